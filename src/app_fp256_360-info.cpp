// Device information commands: handshake, parameters, information page, index
// table and free slot, serial number, firmware version, template count,
// brightness and the fingerprint image.
#include "app_fp256_360.h"
#include "common.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace
{

constexpr int kFwFollowUpReads = 5;
constexpr unsigned kFwFollowUpPauseMs = 20;

// Reads the image data packet that follows an OK answer to an image request.
bool read_image_packet()
{
    prot_packet_usb.current_cmd_code = PORT_CMD_ACQUIRE_IMAGEDATA; // image mode of the receive machine
    return fp_read_and_parse_prot(FP_IMAGE_READ_LEN) == 0;
}

} // namespace

int fp_handshake(void)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_HANDSHAKE command.\n");
    fp_device_param.handshake_state = 0;
    return fp_exchange_ok(FP_HERE, PROT_CMD_HANDSHAKE, nullptr, 0, FP_LINE_NONE, FP_LINE_CRLF);
}

int fp_read_sys_param(void)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_READSYSPARA command.\n");
    return fp_exchange_ok(FP_HERE, PROT_CMD_READSYSPARA, nullptr, 0, FP_LINE_NONE, FP_LINE_CRLF);
}

int fp_set_chip_addr(uint32_t chip_addr)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_SETCHIPADDR command.\n");
    const uint8_t params[4] = {static_cast<uint8_t>(chip_addr >> 24), static_cast<uint8_t>(chip_addr >> 16),
                               static_cast<uint8_t>(chip_addr >> 8), static_cast<uint8_t>(chip_addr)};
    // Later frames still carry the address FF FF FF FF.
    return fp_exchange_ok(FP_HERE, PROT_CMD_SETCHIPADDR, params, sizeof(params), FP_LINE_NONE, FP_LINE_CRLF);
}

int fp_read_flash_info_page(void)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_READINFOPAGE command.\n");
    if (fp_exchange_ok(FP_HERE, PROT_CMD_READINFOPAGE, nullptr, 0, FP_LINE_NONE, FP_LINE_CRLF) != 0) {
        return -1;
    }
    if (fp_read_and_parse_prot(FP_INFO_PAGE_READ_LEN) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "fp_read_and_parse_prot failed!!!\r\n");
        return -1;
    }
    return 0;
}

int fp_read_index_table(uint8_t index_page)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_READINDEXTABLE command.\n");
    fp_device_param.index_table_page = index_page;
    return fp_exchange_ok(FP_HERE, PROT_CMD_READINDEXTABLE, &index_page, 1, FP_LINE_CRLF, FP_LINE_CRLF);
}

int fp_get_chip_serial_num(void)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_GETCHIPSN command.\n");
    if (fp_exchange_ok(FP_HERE, PROT_CMD_GETCHIPSN, nullptr, 0, FP_LINE_NONE, FP_LINE_CRLF) != 0) {
        return -1;
    }
    TVP_LOG(DBG_LOG_GRADE, "chip_serial_num: ");
    const int len = std::min<int>(fp_device_param.chip_serial_num_len, FP_CHIP_SN_MAX_LEN);
    fp_log_hex(DBG_LOG_GRADE, fp_device_param.chip_serial_num, len, 0, "\n");
    return 0;
}

int fp_get_valid_template_num(void)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_VALIDTEMPLATENUM command.\r\n");
    fp_device_param.valid_template_num = 0xFFFF;
    return fp_exchange_ok(FP_HERE, PROT_CMD_VALIDTEMPLATENUM, nullptr, 0, FP_LINE_NONE, FP_LINE_CRLF);
}

int fp_get_bright(void)
{
    // The decoder does not pair this code, so the exchange ends with the pairing error.
    if (fp_exchange_ok(FP_HERE, PORT_CMD_GET_BRIGHTNESS, nullptr, 0, FP_LINE_NONE, FP_LINE_CRLF) != 0) {
        return -1;
    }
    TVP_LOG(LOG_LOG_GRADE, "received PROT_RESP_OK.\r\n");
    return 0;
}

int fp_get_fprint_img(void)
{
    if (fp_exchange_ok(FP_HERE, PROT_CMD_GETIMAGE, nullptr, 0, FP_LINE_NONE, FP_LINE_CRLF) != 0) {
        return -1;
    }
    TVP_LOG(LOG_LOG_GRADE, "received PROT_RESP_OK.\r\n");
    fp_upload_fprint_img(); // the capture itself succeeded whatever the upload gives
    return 0;
}

int fp_upload_fprint_img(void)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_UPIMAGE command.\n");
    if (fp_exchange_ok(FP_HERE, PROT_CMD_UPIMAGE, nullptr, 0, FP_LINE_NONE, FP_LINE_CRLF) != 0) {
        return -1;
    }
    if (!read_image_packet()) {
        TVP_LOG(ERR_LOG_GRADE, "fp_read_and_parse_prot failed!!!\r\n");
        return -1;
    }
    return 0;
}

int fp_force_get_fprint_img(void)
{
    if (fp_exchange_ok(FP_HERE, PORT_CMD_STARTCAPIMAGE, nullptr, 0, FP_LINE_NONE, FP_LINE_CRLF) != 0) {
        return -1;
    }
    TVP_LOG(LOG_LOG_GRADE, "received PROT_RESP_OK.\r\n");
    if (!read_image_packet()) {
        TVP_LOG(ERR_LOG_GRADE, "fp_read_and_parse_prot failed!!!\r\n");
        return -1;
    }
    return 0;
}

int fp_get_firmware_version(void)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_TEST_TYPE PROT_SUBCMD_READ_FW command.\r\n");
    prot_packet_usb.current_sub_cmd_code = PROT_SUBCMD_READ_FW;
    const uint8_t sub_cmd = PROT_SUBCMD_READ_FW;
    const bool exchanged = fp_exchange(FP_HERE, PROT_CMD_TEST_TYPE, &sub_cmd, 1, FP_LINE_CRLF) == 0;
    // A module holding a one-key result answers with it first; the version follows.
    for (int i = 0; i < kFwFollowUpReads; ++i) {
        fp_delay_ms(kFwFollowUpPauseMs);
        if (fp_device_param.onekey_powerup.continue_read_fw_version_flag != 1) {
            break;
        }
        if (fp_read_and_parse_prot(FP_FW_FOLLOW_UP_READ_LEN) != 0) {
            break;
        }
    }
    fp_device_param.onekey_powerup.continue_read_fw_version_flag = 0;
    if (!exchanged) {
        return -1;
    }
    if (fp_resp_type_get() != PROT_RESP_OK) {
        fp_log_not_ok(FP_HERE, FP_LINE_CRLF);
        return -1;
    }
    return 0;
}

char *fp_return_firmware_version(void)
{
    return fp_device_param.firmware_version;
}

uint32_t fp_return_firmware_version_num(void)
{
    return fp_device_param.firmware_version_num;
}

namespace
{
// Whether the last free-slot search ended without the module's table: "none free"
// and "module did not answer" share one return value.
std::atomic<bool> empty_id_table_unread{false};
} // namespace

uint16_t fp_get_empty_enroll_id(void)
{
    empty_id_table_unread.store(false);
    if (fp_read_index_table(0) != 0) {
        empty_id_table_unread.store(true);
        return FP_ENROLL_ID_NONE;
    }
    const uint8_t *page = fp_device_param.index_table_info[0];
    // Lowest free slot of the driver's window; bit j of byte i stands for slot 8i + j.
    for (int slot = FP_ENROLL_ID_MIN; slot <= FP_ENROLL_ID_MAX; ++slot) {
        if ((page[slot / 8] & (1u << (slot % 8))) == 0) {
            return static_cast<uint16_t>(slot);
        }
    }
    return FP_ENROLL_ID_NONE;
}

bool fp_empty_enroll_id_unread(void)
{
    return empty_id_table_unread.load();
}
