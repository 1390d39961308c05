// Template and device control commands, and the control flag through which the
// service stops a running module wait.
#include "app_fp256_360.h"

#include "common.h"

#include <cstring>

namespace
{

constexpr int kCancelDrainReads = 3;
constexpr int kSetModeMaxLen = 99;
// Restart code: four bytes followed by the ASCII letters "QRXK".
constexpr uint8_t kRebootCode[8] = {0x3C, 0xC3, 0x69, 0x96, 0x51, 0x52, 0x58, 0x4B};

} // namespace

int fp_delete_template(uint16_t enroll_id, uint16_t num)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_DELCHAR command.\n");
    TVP_LOG(DBG_LOG_GRADE, "enroll_id = %d, num = %d.\n", enroll_id, num);
    fp_device_param.delete_template_result = FP_RESP_NONE;
    const uint8_t params[4] = {static_cast<uint8_t>(enroll_id >> 8), static_cast<uint8_t>(enroll_id),
                               static_cast<uint8_t>(num >> 8), static_cast<uint8_t>(num)};
    if (fp_exchange(FP_HERE, PROT_CMD_DELCHAR, params, sizeof(params), FP_LINE_CRLF) != 0) {
        return -1;
    }
    if (fp_device_param.delete_template_result != PROT_RESP_OK) {
        TVP_LOG(ERR_LOG_GRADE, "delete_template_result = 0x%02x, error!!!\r\n",
                fp_device_param.delete_template_result);
        return -1;
    }
    return 0;
}

int fp_empty_template(void)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_EMPTY command.\n");
    fp_device_param.empty_template_result = FP_RESP_NONE;
    if (fp_exchange(FP_HERE, PROT_CMD_EMPTY, nullptr, 0, FP_LINE_NONE) != 0) {
        return -1;
    }
    if (fp_device_param.empty_template_result != PROT_RESP_OK) {
        TVP_LOG(ERR_LOG_GRADE, "empty_template_result = 0x%02x, error!!!\r\n",
                fp_device_param.empty_template_result);
        return -1;
    }
    return 0;
}

int fp_cancel(void)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_CANCEL command.\n");
    fp_device_param.cancel_result = FP_RESP_NONE;
    int result = 0;
    // A module that does not answer is taken as cancelled.
    if (fp_exchange(FP_HERE, PROT_CMD_CANCEL, nullptr, 0, FP_LINE_NONE) == 0 &&
        fp_device_param.cancel_result != PROT_RESP_OK) {
        TVP_LOG(ERR_LOG_GRADE, "cancel_result = 0x%02x, error!!!\r\n", fp_device_param.cancel_result);
        result = -1;
    }
    // Stage reports sent before the module stopped must not reach the next exchange.
    // They are already waiting, so the drain's short reads take them; an empty
    // pipe ends it after one short read.
    fp_read_invalid_pkg(kCancelDrainReads);
    return result;
}

int fp_sleep(void)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_SLEEP command.\n");
    fp_device_param.sleep_result = FP_RESP_NONE;
    if (fp_exchange(FP_HERE, PROT_CMD_SLEEP, nullptr, 0, FP_LINE_NONE) != 0) {
        return -1;
    }
    if (fp_device_param.sleep_result != PROT_RESP_OK) {
        TVP_LOG(ERR_LOG_GRADE, "sleep_result = 0x%02x, error!!!\r\n", fp_device_param.sleep_result);
        return -1;
    }
    return 0;
}

int fp_set_mode(const char *mode, int len)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_SET_MODE command.\n");
    // A mode text is at most 99 bytes; a longer or missing one is refused.
    if (len < 0 || len > kSetModeMaxLen || (mode == nullptr && len > 0)) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return -1;
    }
    uint8_t params[1 + kSetModeMaxLen];
    params[0] = PROT_SUBCMD_SET_MODE;
    if (len > 0) {
        memcpy(&params[1], mode, static_cast<size_t>(len));
    }
    // Marks the answer as not being a firmware version.
    prot_packet_usb.current_sub_cmd_code = PROT_SUBCMD_SET_MODE;
    return fp_exchange_ok(FP_HERE, PROT_CMD_TEST_TYPE, params, len + 1, FP_LINE_LF, FP_LINE_CRLF);
}

int fp_reboot(void)
{
    // One read after 70 ms: a module that restarts before answering gives -1.
    return fp_exchange_ok(FP_HERE, PROT_CMD_RTBOOT, kRebootCode, sizeof(kRebootCode), FP_LINE_LF,
                          FP_LINE_CRLF);
}

int fp_set_pc_state(uint8_t pc_state)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_PS_PC_STATE command.\n");
    return fp_exchange_ok(FP_HERE, PROT_CMD_PS_PC_STATE, &pc_state, 1, FP_LINE_LF, FP_LINE_LF);
}

int fp_delete_invalid_template(const uint8_t *index_list)
{
    if (index_list == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "index_list = NULL, error!!!\r\n");
        return -1;
    }
    if (fp_read_index_table(0) != 0) {
        return 0;
    }
    uint8_t page[FP_INDEX_TABLE_PAGE_SIZE];
    memcpy(page, fp_device_param.index_table_info[0], sizeof(page));
    for (int i = 0; i < FP_INDEX_TABLE_PAGE_SIZE; ++i) {
        if (page[i] == 0) {
            continue;
        }
        for (int j = 0; j < 8; ++j) {
            const int slot = 8 * i + j;
            const uint8_t bit = static_cast<uint8_t>(1u << j);
            // Only the driver's window; a slot the caller still knows is kept.
            if (slot >= FP_ENROLL_ID_MIN && slot <= FP_ENROLL_ID_MAX && (page[i] & bit) != 0 &&
                (index_list[i] & bit) == 0) {
                fp_delete_template(static_cast<uint16_t>(slot), 1);
            }
        }
    }
    return 0;
}

int fp_set_ctrlFlag(int ctrlFlag)
{
    fp_device_param.ctrlFlag.store(ctrlFlag);
    return 0;
}

int fp_get_ctrlFlag(void)
{
    return fp_device_param.ctrlFlag.load();
}
