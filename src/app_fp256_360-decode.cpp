// Response decoding: pairs each accepted answer with the awaited command and
// stores what it says in the driver's records.
//
// Malformed answers never write outside a record: an answer too short for the
// data its command carries stores none of that data (the confirm code and the
// pairing are still taken; a short index-table answer also counts as a failed
// confirm code, FP_RESP_NONE); a capture number above 8 in an enrolment report is
// ignored (there is no capture it could stand for); id lists longer than the id
// arrays, or than the bytes actually received, are cut.
#include "app_fp256_360.h"

#include "common.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{

constexpr int kSysParamAnswerLen = 11;
constexpr int kValidTemplateNumAnswerLen = 3;
constexpr int kIndexTableAnswerLen = 1 + FP_INDEX_TABLE_PAGE_SIZE;
constexpr int kChipSn16AnswerLen = 17; // length field 19
constexpr int kChipSn32AnswerLen = 33; // length field 35
constexpr int kFwVersionAnswerLen = 1 + FP_FW_VERSION_TEXT_LEN;
constexpr int kSingleMatchAnswerLen = 6;
constexpr int kIdListHeaderLen = 3;

uint16_t be16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t be32(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void pair_answer()
{
    prot_packet_usb.current_resp_cmd = prot_packet_usb.current_cmd_code;
}

void log_short_answer(int len, tvp_log_origin at = tvp_log_origin::here())
{
    TVP_LOG_FROM(at, ERR_LOG_GRADE, "len = %d, error!!!\r\n", len);
}

// Number of one-byte ids of a list report that can be stored: the announced
// count cut to the bytes received and to `room`.
int id_list_count(const uint8_t *buf, int len, int room)
{
    const int announced = buf[2];
    const int present = len - kIdListHeaderLen;
    const int count = std::min({announced, present, room});
    if (count != announced) {
        TVP_LOG(ERR_LOG_GRADE, "search_num = %d, error!!!\r\n", announced);
    }
    return count;
}

void decode_enroll_stage(const uint8_t *buf, int len)
{
    FP_AUTOENROLL_PARAM_STRUCT &e = fp_device_param.auto_enroll_param;
    if (len < 2) {
        log_short_answer(len);
        return;
    }
    const uint8_t confirm = buf[0];
    const uint8_t stage = buf[1];
    if (stage >= FP_ENROLL_STAGE_CAPTURE && stage <= FP_ENROLL_STAGE_ENROLL) {
        if (len < 3) {
            log_short_answer(len);
            return;
        }
        const uint8_t n = buf[2];
        if (n > FP_ENROLL_TIMES_MAX) {
            TVP_LOG(ERR_LOG_GRADE, "enroll_time = %d, error!!!\r\n", n);
            return;
        }
        uint8_t *results = stage == FP_ENROLL_STAGE_CAPTURE   ? e.capture_result
                           : stage == FP_ENROLL_STAGE_FEATURE ? e.create_feature_result
                                                              : e.enroll_result;
        results[n] = confirm;
        e.current_enroll_time = n;
        if (stage == FP_ENROLL_STAGE_ENROLL) {
            e.current_enroll_flag = 1;
        }
        return;
    }
    switch (stage) {
    case FP_ENROLL_STAGE_CHECK:
        e.validity_check_result = confirm;
        break;
    case FP_ENROLL_STAGE_MERGE:
        e.merge_template_result = confirm;
        break;
    case FP_ENROLL_STAGE_CONFLICT:
        e.enroll_conflict_result = confirm;
        TVP_LOG(DBG_LOG_GRADE, "enroll_conflict_result = 0x%02x.\r\n", confirm);
        break;
    case FP_ENROLL_STAGE_STORE:
        e.store_template_result = confirm;
        e.enroll_finish_flag = 1;
        TVP_LOG(DBG_LOG_GRADE, "store_template_result = 0x%02x.\r\n", confirm);
        break;
    default:
        TVP_LOG(ERR_LOG_GRADE, "param buf[1] = 0x%02x, error!!!\r\n", stage);
        break;
    }
}

void decode_identify_stage(const uint8_t *buf, int len)
{
    FP_AUTOIDENTIFY_PARAM_STRUCT &a = fp_device_param.auto_identify_param;
    if (len < 2) {
        log_short_answer(len);
        return;
    }
    const uint8_t confirm = buf[0];
    const uint8_t stage = buf[1];
    switch (stage) {
    case FP_IDENTIFY_STAGE_CHECK:
        a.validity_check_result = confirm;
        break;
    case FP_IDENTIFY_STAGE_CAPTURE:
        a.validity_check_result = 0;
        a.capture_result = confirm;
        break;
    case FP_IDENTIFY_STAGE_SINGLE:
        if (len < kSingleMatchAnswerLen) {
            log_short_answer(len);
            break;
        }
        a.search_result = confirm;
        a.validity_check_result = 0;
        a.search_num = 1;
        a.search_id[0] = be16(&buf[2]);
        a.score = be16(&buf[4]);
        a.identify_finish_flag = 1;
        TVP_LOG(DBG_LOG_GRADE, "search_result = 0x%02x, search_id[0] = 0x%04x.\n", a.search_result,
                a.search_id[0]);
        break;
    case FP_IDENTIFY_STAGE_LIST: {
        if (len < kIdListHeaderLen) {
            log_short_answer(len);
            break;
        }
        const int count = id_list_count(buf, len, FP_SEARCH_ID_MAX);
        a.search_result = confirm;
        a.search_num = count;
        for (int i = 0; i < count; ++i) {
            a.search_id[i] = buf[kIdListHeaderLen + i];
        }
        a.identify_finish_flag = 1;
        TVP_LOG(DBG_LOG_GRADE, "search_result = 0x%02x, search_num = %d.\r\n", a.search_result, a.search_num);
        break;
    }
    default:
        TVP_LOG(ERR_LOG_GRADE, "param buf[1] = 0x%02x, error!!!\r\n", stage);
        break;
    }
}

// A firmware version request is answered either by the version or, after a
// one-key power-up, by the pending identification result.
void decode_firmware_version(const uint8_t *buf, int len)
{
    FP_DEVICE_PARAM_STRUCT &d = fp_device_param;
    if (len == kFwVersionAnswerLen) {
        d.onekey_powerup.continue_read_fw_version_flag = 0;
        memcpy(d.firmware_version, &buf[1], FP_FW_VERSION_TEXT_LEN);
        d.firmware_version[FP_FW_VERSION_TEXT_LEN] = '\0';
        TVP_LOG(LOG_LOG_GRADE, "firmware_version is %s\n", d.firmware_version);
        int num = 0;
        if (sscanf(d.firmware_version, "acm32_btl_nuvex_pc_%d", &num) == 1) {
            d.firmware_version_num = static_cast<uint32_t>(num);
        }
        TVP_LOG(LOG_LOG_GRADE, "firmware_version num is %d\n", static_cast<int>(d.firmware_version_num));
        return;
    }

    d.onekey_powerup.continue_read_fw_version_flag = 1;
    TVP_LOG(LOG_LOG_GRADE, "not received firmware_version!!!\n");
    if (len < kSingleMatchAnswerLen) {
        return;
    }
    const uint8_t confirm = buf[0];
    const uint8_t stage = buf[1];
    uint16_t ids[FP_SEARCH_ID_MAX] = {};
    int num = 0;
    if (stage == FP_IDENTIFY_STAGE_SINGLE && len == kSingleMatchAnswerLen) {
        if (confirm != PROT_RESP_OK) {
            TVP_LOG(DBG_LOG_GRADE, "identify failed!\n");
        } else {
            ids[0] = be16(&buf[2]);
            num = 1;
        }
        fp_onekey_store_powerup_answer(ids, num);
        TVP_LOG(DBG_LOG_GRADE, "search_num = %d, search_id[0] = 0x%04x.\n", num,
                fp_device_param.onekey_powerup.search_id[0]);
    } else if (stage == FP_IDENTIFY_STAGE_LIST) {
        if (confirm != PROT_RESP_OK) {
            TVP_LOG(DBG_LOG_GRADE, "identify failed!\n");
        } else {
            // The list keeps one slot for its 0xFFFF terminator.
            num = id_list_count(buf, len, FP_SEARCH_ID_MAX - 1);
            for (int i = 0; i < num; ++i) {
                ids[i] = buf[kIdListHeaderLen + i];
            }
        }
        fp_onekey_store_powerup_answer(ids, num);
        TVP_LOG(DBG_LOG_GRADE, "search_num = %d, search_id[0] = %d.\n", num,
                fp_device_param.onekey_powerup.search_id[0]);
    }
}

} // namespace

int fp_parse_prot_response(const uint8_t *buf, int len)
{
    if (buf == nullptr || len <= 0) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return -1;
    }
    PROT_PACKET &p = prot_packet_usb;
    FP_DEVICE_PARAM_STRUCT &d = fp_device_param;
    const uint8_t confirm = buf[0];
    p.current_resp_type = confirm;

    switch (p.current_cmd_code) {
    case PROT_CMD_GETIMAGE:
    case PROT_CMD_UPIMAGE:
    case PROT_CMD_SETCHIPADDR:
    case PROT_CMD_READINFOPAGE:
    case PORT_CMD_STARTCAPIMAGE:
        // Data, if any, follows as an end-of-data packet.
        pair_answer();
        break;
    case PROT_CMD_DELCHAR:
        pair_answer();
        d.delete_template_result = confirm;
        break;
    case PROT_CMD_EMPTY:
        pair_answer();
        d.empty_template_result = confirm;
        break;
    case PROT_CMD_READSYSPARA:
        pair_answer();
        if (len < kSysParamAnswerLen) {
            log_short_answer(len);
            break;
        }
        // Stored whatever the confirm code.
        d.sys_param.sensor_type = be16(&buf[1]);
        d.sys_param.fp_database_size = be16(&buf[3]);
        d.sys_param.security_level = be16(&buf[5]);
        d.sys_param.device_addr = be32(&buf[7]);
        break;
    case PROT_CMD_VALIDTEMPLATENUM:
        pair_answer();
        if (confirm == PROT_RESP_OK) {
            if (len < kValidTemplateNumAnswerLen) {
                log_short_answer(len);
                break;
            }
            d.valid_template_num = be16(&buf[1]);
        }
        break;
    case PROT_CMD_READINDEXTABLE:
        pair_answer();
        if (d.index_table_page < FP_INDEX_TABLE_PAGES) {
            if (len < kIndexTableAnswerLen) {
                // The page did not arrive: the read fails as a failed confirm,
                // so nothing is chosen from or deleted because of the old row.
                log_short_answer(len);
                p.current_resp_type = FP_RESP_NONE;
                break;
            }
            memcpy(d.index_table_info[d.index_table_page], &buf[1], FP_INDEX_TABLE_PAGE_SIZE);
        }
        break;
    case PROT_CMD_CANCEL:
        pair_answer();
        d.cancel_result = confirm;
        break;
    case PROT_CMD_AUTOENROLL:
        pair_answer();
        decode_enroll_stage(buf, len);
        break;
    case PROT_CMD_AUTOIDENTIFY:
        pair_answer();
        decode_identify_stage(buf, len);
        break;
    case PROT_CMD_SLEEP:
        pair_answer();
        d.sleep_result = confirm;
        break;
    case PROT_CMD_GETCHIPSN:
        pair_answer();
        if (len == kChipSn16AnswerLen || len == kChipSn32AnswerLen) {
            d.chip_serial_num_len = static_cast<uint8_t>(len - 1);
            memcpy(d.chip_serial_num, &buf[1], static_cast<size_t>(len - 1));
        } else {
            p.current_resp_type = FP_RESP_NONE;
        }
        break;
    case PROT_CMD_HANDSHAKE:
        TVP_LOG(DBG_LOG_GRADE, "received PROT_CMD_HANDSHAKE response.\r\n");
        d.handshake_state = 1; // whatever the confirm code
        pair_answer();
        break;
    case PROT_CMD_PS_PC_STATE:
        TVP_LOG(DBG_LOG_GRADE, "received PROT_CMD_PS_PC_STATE response.\r\n");
        pair_answer();
        break;
    case PROT_CMD_TEST_TYPE:
        pair_answer();
        if (p.current_sub_cmd_code == PROT_SUBCMD_READ_FW) {
            decode_firmware_version(buf, len);
        }
        break;
    case PROT_CMD_RTBOOT:
        TVP_LOG(DBG_LOG_GRADE, "received PROT_CMD_RTBOOT response.\n");
        pair_answer();
        break;
    case PROT_CMD_GENCHAR:
    case PROT_CMD_MATCH:
    case PROT_CMD_SEARCH:
    case PROT_CMD_REGMODEL:
    case PROT_CMD_STORECHAR:
    case PROT_CMD_LOADCHAR:
    case PROT_CMD_UPCHAR:
    case PROT_CMD_DOWNCHAR:
    case PROT_CMD_DOWNIMAGE:
    case PROT_CMD_SETPWD:
    case PROT_CMD_VFYPWD:
    case PROT_CMD_HIGHSPEEDSEARCH:
    case PROT_CMD_GETENROLLIMAGE:
    case PROT_CMD_CHECKSENSOR:
    case PROT_CMD_IIC_LED_CONTROL:
    case PORT_CMD_SET_BRIGHTNESS:
    case PORT_CMD_GET_BRIGHTNESS:
    case PORT_CMD_SET_CONTRAST:
    case PORT_CMD_GET_CONTRAST:
    case PORT_CMD_GET_MAXSIZEOFIMAGE:
    case PORT_CMD_SET_SIZEOFIMAGE:
    case PORT_CMD_GET_SIZEOFIMAGE:
    case PORT_CMD_READYCAPIMAGE:
    case PORT_CMD_ENDCAPIMAGE:
        // Known commands the driver does not drive: not paired.
        break;
    default:
        TVP_LOG(ERR_LOG_GRADE, "not find the current_cmd_code 0x%02x, error!!!\r\n", p.current_cmd_code);
        return -1;
    }
    return 0;
}
