// Automatic identification and the one-key identification result.
//
// The one-key result is written by the thread that collects it (start-up
// thread, verification worker) and read by the verification worker. Every writer
// holds `g_onekey_write_lock` and stores the ids, the count and the times before
// the flags; flags are released last, so a reader that sees a flag set (acquire)
// also sees the result it stands for. Readers take no lock.
#include "app_fp256_360.h"

#include "common.h"
#include "usb_device.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace
{

constexpr int kIdentifyWaitReadLen = 64;
constexpr unsigned kIdentifyPollPauseMs = 20;
constexpr int kOnekeyReads = 5;
constexpr int kRestartWaitMs = 20;

std::mutex g_onekey_write_lock;

FP_ONEKEY_POWERUP_STRUCT &onekey()
{
    return fp_device_param.onekey_powerup;
}

void clear_onekey_ids()
{
    std::fill(std::begin(onekey().search_id), std::end(onekey().search_id), FP_SEARCH_ID_NONE);
}

int send_identify_request(uint8_t security_level, uint16_t identify_id, uint16_t param)
{
    FP_AUTOIDENTIFY_PARAM_STRUCT &a = fp_device_param.auto_identify_param;
    fp_auto_identify_param_init(&a, security_level, identify_id, param);
    const uint8_t request[5] = {security_level, static_cast<uint8_t>(identify_id >> 8),
                                static_cast<uint8_t>(identify_id), static_cast<uint8_t>(param >> 8),
                                static_cast<uint8_t>(param)};
    RECV_DATA_STRUCT recv_param{};
    fp_recv_param_init(&recv_param, 64, 20, 3, 20);
    return fp_send_cmd(PROT_CMD_AUTOIDENTIFY, request, sizeof(request), recv_param);
}

// Number of ids of the last search result that fit a 30-entry buffer.
int found_id_count()
{
    return std::clamp(fp_device_param.auto_identify_param.search_num, 0, FP_SEARCH_ID_MAX);
}

void copy_found_ids(uint16_t *identify_result_id)
{
    if (identify_result_id == nullptr) {
        return;
    }
    const int n = found_id_count();
    memmove(identify_result_id, fp_device_param.auto_identify_param.search_id, sizeof(uint16_t) * n);
}

// Reads up to five more packets while the module finishes a search. Returns
// false when the module disappeared.
bool collect_pending_result(int wait_ms)
{
    const FP_AUTOIDENTIFY_PARAM_STRUCT &a = fp_device_param.auto_identify_param;
    for (int i = 0; i < kOnekeyReads; ++i) {
        if (usb_get_dev_handle() == nullptr) {
            return false;
        }
        fp_read_and_parse_prot(kIdentifyWaitReadLen);
        if (a.identify_finish_flag != 0 || a.validity_check_result != 0) {
            break;
        }
        fp_delay_ms(static_cast<unsigned>(std::max(wait_ms, 0)));
    }
    return true;
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
            TVP_LOG(ERR_LOG_GRADE, "not received PROT_RESP_OK!!!\r\n");
            return -1;
        }
        TVP_LOG(DBG_LOG_GRADE, "received PROT_RESP_OK.\n");
        struct timeval start {
        };
        fp_get_time_now(&start);
        for (;;) {
            if (usb_get_dev_handle() == nullptr) {
                fp_device_param.ctrlFlag.store(FP_CONTROL_FLAG_DEV_NOT_EXIST);
                return -1;
            }
            if (timeout_ms != 0 && fp_get_increment_of_time_ms(&start) > timeout_ms) {
                TVP_LOG(DBG_LOG_GRADE, "identify timeout.\n");
                fp_device_param.ctrlFlag.store(FP_CONTROL_FLAG_TIMEOUT);
                return -1;
            }
            fp_read_and_parse_prot(kIdentifyWaitReadLen);
            if (a.identify_finish_flag != 0) {
                break;
            }
            if (a.validity_check_result != PROT_RESP_OK) {
                TVP_LOG(ERR_LOG_GRADE, "validity_check_result = 0x%02x !!!\r\n", a.validity_check_result);
                return -1;
            }
            if (fp_device_param.ctrlFlag.load() == FP_CONTROL_FLAG_STOPPED) {
                // Keep a result the module is about to deliver for the next verification.
                fp_onekey_restart_identify(onekey().search_id, kRestartWaitMs);
                return -1;
            }
            fp_delay_ms(kIdentifyPollPauseMs);
        }
    }
    if (a.validity_check_result != PROT_RESP_OK) {
        TVP_LOG(ERR_LOG_GRADE, "validity_check_result = 0x%02x !!!\r\n", a.validity_check_result);
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
            TVP_LOG(ERR_LOG_GRADE, "not received PROT_RESP_OK!!!\r\n");
            return -1;
        }
        TVP_LOG(DBG_LOG_GRADE, "received PROT_RESP_OK.\n");
        if (!collect_pending_result(wait_ms)) {
            return -1;
        }
    }
    if (a.validity_check_result != PROT_RESP_OK) {
        TVP_LOG(ERR_LOG_GRADE, "validity_check_result = 0x%02x !!!\r\n", a.validity_check_result);
        return -1;
    }
    TVP_LOG(DBG_LOG_GRADE, "search_result = 0x%02x, search_id[0] = %d.\n", a.search_result, a.search_id[0]);

    std::lock_guard<std::mutex> lock(g_onekey_write_lock);
    FP_ONEKEY_POWERUP_STRUCT &k = onekey();
    if (a.search_result == PROT_RESP_OK) {
        copy_found_ids(identify_result_id);
        k.search_num.store(found_id_count());
    } else {
        TVP_LOG(ERR_LOG_GRADE, "not search id %d !!!\r\n", a.identify_id);
        k.search_num.store(0);
    }
    if (a.identify_finish_flag != 0) {
        fp_get_time_now(&k.tv_current_time);
        k.onekey_restart_flag.store(0, std::memory_order_release);
        k.onekey_powerup_flag.store(1, std::memory_order_release);
    }
    return 0;
}

int fp_onekey_restart_identify(uint16_t *identify_result_id, int wait_ms)
{
    TVP_LOG(LOG_LOG_GRADE, "start.\r\n");
    {
        std::lock_guard<std::mutex> lock(g_onekey_write_lock);
        clear_onekey_ids();
    }
    const FP_AUTOIDENTIFY_PARAM_STRUCT &a = fp_device_param.auto_identify_param;
    if (!collect_pending_result(wait_ms)) {
        return -1;
    }
    if (a.validity_check_result != PROT_RESP_OK) {
        TVP_LOG(ERR_LOG_GRADE, "validity_check_result = 0x%02x !!!\r\n", a.validity_check_result);
        return -1;
    }
    TVP_LOG(DBG_LOG_GRADE, "search_result = 0x%02x, search_id[0] = %d.\n", a.search_result, a.search_id[0]);

    std::lock_guard<std::mutex> lock(g_onekey_write_lock);
    FP_ONEKEY_POWERUP_STRUCT &k = onekey();
    if (a.search_result == PROT_RESP_OK) {
        copy_found_ids(identify_result_id);
        k.search_num.store(found_id_count());
    } else {
        TVP_LOG(ERR_LOG_GRADE, "not search id !!!\r\n");
        k.search_num.store(0);
    }
    if (a.identify_finish_flag != 0) {
        fp_get_time_now(&k.tv_restart_begin);
        k.tv_current_time = k.tv_restart_begin;
        k.onekey_restart_flag.store(1, std::memory_order_release);
        k.onekey_powerup_flag.store(1, std::memory_order_release);
    }
    return 0;
}

int fp_onekey_restart_identify_2(const uint16_t *identify_result_id)
{
    TVP_LOG(LOG_LOG_GRADE, "start.\r\n");
    if (identify_result_id == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return -1;
    }
    // Copied first: the list may be the one-key array itself.
    uint16_t ids[FP_SEARCH_ID_MAX];
    int num = 0;
    while (num < FP_SEARCH_ID_MAX && identify_result_id[num] != FP_SEARCH_ID_NONE) {
        ids[num] = identify_result_id[num];
        ++num;
    }
    {
        std::lock_guard<std::mutex> lock(g_onekey_write_lock);
        FP_ONEKEY_POWERUP_STRUCT &k = onekey();
        clear_onekey_ids();
        std::copy(ids, ids + num, k.search_id);
        k.search_num.store(num);
        fp_get_time_now(&k.tv_restart_begin);
        k.tv_current_time = k.tv_restart_begin;
        k.onekey_restart_flag.store(1, std::memory_order_release);
        k.onekey_powerup_flag.store(1, std::memory_order_release);
    }
    TVP_LOG(DBG_LOG_GRADE, "search_num = %d.\r\n", num);
    return 0;
}

void fp_onekey_store_powerup_answer(const uint16_t *ids, int num)
{
    num = std::clamp(num, 0, FP_SEARCH_ID_MAX - 1);
    std::lock_guard<std::mutex> lock(g_onekey_write_lock);
    FP_ONEKEY_POWERUP_STRUCT &k = onekey();
    std::copy(ids, ids + num, k.search_id);
    k.search_id[num] = FP_SEARCH_ID_NONE;
    k.search_num.store(num);
    fp_get_time_now(&k.tv_current_time);
    k.onekey_powerup_flag.store(1, std::memory_order_release);
}

uint8_t get_onekey_powerup_flag(void)
{
    return onekey().onekey_powerup_flag.load(std::memory_order_acquire);
}

int set_onekey_powerup_flag(uint8_t flag)
{
    onekey().onekey_powerup_flag.store(flag, std::memory_order_release);
    return 0;
}

uint8_t get_onekey_restart_flag(void)
{
    return onekey().onekey_restart_flag.load(std::memory_order_acquire);
}

int set_onekey_restart_flag(uint8_t flag)
{
    onekey().onekey_restart_flag.store(flag, std::memory_order_release);
    return 0;
}

uint16_t *get_onekey_powerup_search_id(void)
{
    return onekey().search_id;
}

int get_onekey_powerup_search_num(void)
{
    return onekey().search_num.load();
}

int init_onekey_powerup_search_id(void)
{
    std::lock_guard<std::mutex> lock(g_onekey_write_lock);
    clear_onekey_ids();
    return 0;
}

struct timeval *get_onekey_powerup_tv_time(void)
{
    return &onekey().tv_current_time;
}

int get_restart_tv_begin_change_ms(void)
{
    return fp_get_increment_of_time_ms(&onekey().tv_restart_begin);
}
