// The one-key identification result: an identification obtained outside a
// verification request (power-up touch, a result collected after a stop), kept
// for the next verification. Pure: no transport call.
//
// The result is written by the thread that collects it (start-up thread,
// verification worker) and read by the verification worker. Every writer holds
// `g_onekey_write_lock` and stores the ids, the count and the times before the
// flags; flags are released last, so a reader that sees a flag set (acquire)
// also sees the result it stands for. Readers take no lock.
#include "app_fp256_360.h"

#include "common.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace
{

std::mutex g_onekey_write_lock;

FP_ONEKEY_POWERUP_STRUCT &onekey()
{
    return fp_device_param.onekey_powerup;
}

void clear_onekey_ids()
{
    std::fill(std::begin(onekey().search_id), std::end(onekey().search_id), FP_SEARCH_ID_NONE);
}

} // namespace

int fp_found_id_count(void)
{
    return std::clamp(fp_device_param.auto_identify_param.search_num, 0, FP_SEARCH_ID_MAX);
}

void fp_onekey_record_search(uint16_t *identify_result_id, bool restart)
{
    const FP_AUTOIDENTIFY_PARAM_STRUCT &a = fp_device_param.auto_identify_param;
    std::lock_guard<std::mutex> lock(g_onekey_write_lock);
    FP_ONEKEY_POWERUP_STRUCT &k = onekey();
    if (a.search_result == PROT_RESP_OK) {
        const int n = fp_found_id_count();
        if (identify_result_id != nullptr) {
            memmove(identify_result_id, a.search_id, sizeof(uint16_t) * static_cast<size_t>(n));
        }
        k.search_num.store(n);
    } else {
        k.search_num.store(0);
    }
    if (a.identify_finish_flag == 0) {
        return;
    }
    if (restart) {
        fp_get_time_now(&k.tv_restart_begin);
        k.tv_current_time = k.tv_restart_begin;
    } else {
        fp_get_time_now(&k.tv_current_time);
    }
    k.onekey_restart_flag.store(restart ? 1 : 0, std::memory_order_release);
    k.onekey_powerup_flag.store(1, std::memory_order_release);
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
