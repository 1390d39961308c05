// Automatic identification, and the collection of a one-key identification
// result (the result itself is kept in app_fp256_360-onekey.cpp).
#include "app_fp256_360.h"

#include "common.h"

#include <algorithm>
#include <cstring>

namespace
{

constexpr unsigned kIdentifyPollPauseMs = 20;
constexpr int kOnekeyReads = 5;
constexpr int kRestartWaitMs = 20;

int send_identify_request(uint8_t security_level, uint16_t identify_id, uint16_t param)
{
    FP_AUTOIDENTIFY_PARAM_STRUCT &a = fp_device_param.auto_identify_param;
    fp_auto_identify_param_init(&a, security_level, identify_id, param);
    const uint8_t request[5] = {security_level, static_cast<uint8_t>(identify_id >> 8),
                                static_cast<uint8_t>(identify_id), static_cast<uint8_t>(param >> 8),
                                static_cast<uint8_t>(param)};
    return fp_exchange(FP_HERE, PROT_CMD_AUTOIDENTIFY, request, sizeof(request), FP_LINE_NONE);
}

void copy_found_ids(uint16_t *identify_result_id)
{
    if (identify_result_id == nullptr) {
        return;
    }
    memmove(identify_result_id, fp_device_param.auto_identify_param.search_id,
            sizeof(uint16_t) * static_cast<size_t>(fp_found_id_count()));
}

// Where an identification stands after the packets read so far.
enum class Search {
    Pending,     // still waiting for the search result
    Finished,    // a search result arrived
    CheckFailed, // the module refused the request
};

Search search_state()
{
    const FP_AUTOIDENTIFY_PARAM_STRUCT &a = fp_device_param.auto_identify_param;
    if (a.identify_finish_flag != 0) {
        return Search::Finished;
    }
    return a.validity_check_result != PROT_RESP_OK ? Search::CheckFailed : Search::Pending;
}

// How the reads of a result collection wait.
struct Collection {
    unsigned read_timeout_ms; // the data phase of each read
    bool end_when_silent;     // a read that brings nothing ends the collection
};
// Start-up: the module holds the power-up result, or delivers it soon.
constexpr Collection kPowerupCollection = {1000, false};
// After a stop the stopped operation still holds the module, so the collection
// stays short: a module silent for a short read has no result on its way. At
// most five reads of FP_SHORT_READ_TIMEOUT_MS and their pauses (1.1 s), one read
// (200 ms) when nothing comes.
constexpr Collection kAfterStopCollection = {FP_SHORT_READ_TIMEOUT_MS, true};

// Reads up to five more packets while the module finishes a search; a result
// that is already held needs no read. Returns false when the module disappeared.
bool collect_pending_result(int wait_ms, const Collection &how)
{
    for (int i = 0; i < kOnekeyReads && search_state() == Search::Pending; ++i) {
        if (!fp_module_present()) {
            return false;
        }
        int32_t received = 0;
        fp_read_and_parse_prot_within(FP_IDENTIFY_WAIT_READ_LEN, how.read_timeout_ms, &received);
        if (search_state() != Search::Pending || (how.end_when_silent && received == 0)) {
            break;
        }
        fp_delay_ms(static_cast<unsigned>(std::max(wait_ms, 0)));
    }
    return true;
}

void log_check_failed(tvp_log_origin at = tvp_log_origin::here())
{
    TVP_LOG_FROM(at, ERR_LOG_GRADE, "validity_check_result = 0x%02x !!!\r\n",
                 fp_device_param.auto_identify_param.validity_check_result);
}

} // namespace

int fp_auto_identify_param_init(FP_AUTOIDENTIFY_PARAM_STRUCT *identify_param, uint8_t security_level,
                                uint16_t identify_id, uint16_t param)
{
    if (identify_param == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return -1;
    }
    identify_param->identify_id = identify_id;
    identify_param->security_level = security_level;
    identify_param->param = param;
    identify_param->validity_check_result = FP_RESP_NONE;
    identify_param->capture_result = FP_RESP_NONE;
    identify_param->search_result = FP_RESP_NONE;
    identify_param->search_num = 0;
    identify_param->search_id[0] = FP_SEARCH_ID_NONE;
    identify_param->search_id[1] = FP_SEARCH_ID_NONE;
    identify_param->score = 0;
    identify_param->identify_finish_flag = 0;
    return 0;
}

int fp_auto_identify(uint8_t security_level, uint16_t identify_id, uint16_t param,
                     uint16_t *identify_result_id, int timeout_ms)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_AUTOIDENTIFY command.\n");
    const FP_AUTOIDENTIFY_PARAM_STRUCT &a = fp_device_param.auto_identify_param;
    // A failed exchange leaves the request check at 0xFF and ends below.
    if (send_identify_request(security_level, identify_id, param) == 0) {
        if (a.validity_check_result != PROT_RESP_OK) {
            fp_log_not_ok(FP_HERE, FP_LINE_CRLF);
            return -1;
        }
        TVP_LOG(DBG_LOG_GRADE, "received PROT_RESP_OK.\n");
        FP_WAIT_CLOCK waited{};
        fp_wait_clock_start(&waited);
        // A search result that came with the request's answer (a finger already
        // on the sensor) ends the wait before any further read.
        Search state = search_state();
        while (state == Search::Pending) {
            if (!fp_module_present()) {
                fp_device_param.ctrlFlag.store(FP_CONTROL_FLAG_DEV_NOT_EXIST);
                return -1;
            }
            if (timeout_ms != 0 && fp_wait_clock_elapsed_ms(&waited) > timeout_ms) {
                TVP_LOG(DBG_LOG_GRADE, "identify timeout.\n");
                fp_device_param.ctrlFlag.store(FP_CONTROL_FLAG_TIMEOUT);
                return -1;
            }
            fp_read_and_parse_prot(FP_IDENTIFY_WAIT_READ_LEN);
            state = search_state();
            if (state != Search::Pending) {
                break;
            }
            if (fp_device_param.ctrlFlag.load() == FP_CONTROL_FLAG_STOPPED) {
                // Keep a result the module is about to deliver for the next verification.
                fp_onekey_restart_identify(get_onekey_powerup_search_id(), kRestartWaitMs);
                return -1;
            }
            fp_delay_ms(kIdentifyPollPauseMs);
        }
    }
    if (a.validity_check_result != PROT_RESP_OK) {
        log_check_failed();
        return -1;
    }
    TVP_LOG(DBG_LOG_GRADE, "search_result = 0x%02x, search_num = %d, search_id[0] = 0x%04x !!!\r\n",
            a.search_result, a.search_num, a.search_id[0]);
    if (a.search_result == PROT_RESP_OK) {
        copy_found_ids(identify_result_id);
    } else {
        // No match: the caller's prefilled buffer stays as it was.
        TVP_LOG(ERR_LOG_GRADE, "not search id %d !!!\n", a.identify_id);
    }
    return 0;
}

int fp_onekey_powerup_identify(uint8_t security_level, uint16_t identify_id, uint16_t param,
                               uint16_t *identify_result_id, int wait_ms)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_AUTOIDENTIFY command.\n");
    const FP_AUTOIDENTIFY_PARAM_STRUCT &a = fp_device_param.auto_identify_param;
    if (send_identify_request(security_level, identify_id, param) == 0) {
        if (a.validity_check_result != PROT_RESP_OK) {
            fp_log_not_ok(FP_HERE, FP_LINE_CRLF);
            return -1;
        }
        TVP_LOG(DBG_LOG_GRADE, "received PROT_RESP_OK.\n");
        if (!collect_pending_result(wait_ms, kPowerupCollection)) {
            return -1;
        }
    }
    if (a.validity_check_result != PROT_RESP_OK) {
        log_check_failed();
        return -1;
    }
    TVP_LOG(DBG_LOG_GRADE, "search_result = 0x%02x, search_id[0] = %d.\n", a.search_result, a.search_id[0]);
    if (a.search_result != PROT_RESP_OK) {
        TVP_LOG(ERR_LOG_GRADE, "not search id %d !!!\r\n", a.identify_id);
    }
    fp_onekey_record_search(identify_result_id, false);
    return 0;
}

int fp_onekey_restart_identify(uint16_t *identify_result_id, int wait_ms)
{
    TVP_LOG(LOG_LOG_GRADE, "start.\r\n");
    init_onekey_powerup_search_id();
    const FP_AUTOIDENTIFY_PARAM_STRUCT &a = fp_device_param.auto_identify_param;
    if (!collect_pending_result(wait_ms, kAfterStopCollection)) {
        return -1;
    }
    if (a.validity_check_result != PROT_RESP_OK) {
        log_check_failed();
        return -1;
    }
    TVP_LOG(DBG_LOG_GRADE, "search_result = 0x%02x, search_id[0] = %d.\n", a.search_result, a.search_id[0]);
    if (a.search_result != PROT_RESP_OK) {
        TVP_LOG(ERR_LOG_GRADE, "not search id !!!\r\n");
    }
    fp_onekey_record_search(identify_result_id, true);
    return 0;
}
