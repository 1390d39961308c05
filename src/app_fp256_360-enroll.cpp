// Automatic enrolment: the module captures, extracts and merges by itself and
// reports every stage; the driver starts it and waits for one capture at a time.
#include "app_fp256_360.h"

#include "common.h"

namespace
{

constexpr unsigned kEnrollPollPauseMs = 30;

// A report already held ends the wait: the finish first, then the one-shot
// capture signal (consumed here).
bool held_report(FP_AUTOENROLL_PARAM_STRUCT &e)
{
    if (e.enroll_finish_flag != 0) {
        TVP_LOG(DBG_LOG_GRADE, "received enroll_finish_flag.\n");
        return true;
    }
    if (e.current_enroll_flag != 0) {
        e.current_enroll_flag = 0;
        return true;
    }
    return false;
}

} // namespace

int fp_auto_enroll_param_init(FP_AUTOENROLL_PARAM_STRUCT *enroll_param, uint16_t enroll_id,
                              uint8_t auto_enroll_times)
{
    if (enroll_param == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return -1;
    }
    enroll_param->enroll_id = enroll_id;
    enroll_param->auto_enroll_times = auto_enroll_times;
    enroll_param->current_enroll_time = 0;
    enroll_param->current_enroll_flag = 0;
    enroll_param->validity_check_result = FP_RESP_NONE;
    // Entries 0 to 7; entry 8 keeps its value.
    for (int i = 0; i < FP_ENROLL_TIMES_MAX; ++i) {
        enroll_param->capture_result[i] = FP_RESP_NONE;
        enroll_param->create_feature_result[i] = FP_RESP_NONE;
        enroll_param->enroll_result[i] = FP_RESP_NONE;
    }
    enroll_param->merge_template_result = FP_RESP_NONE;
    enroll_param->enroll_conflict_result = FP_RESP_NONE;
    enroll_param->store_template_result = FP_RESP_NONE;
    enroll_param->enroll_finish_flag = 0;
    return 0;
}

int fp_auto_enroll_start(uint16_t enroll_id, uint8_t enroll_times, uint16_t param)
{
    TVP_LOG(DBG_LOG_GRADE, "send PROT_CMD_AUTOENROLL command.\n");
    FP_AUTOENROLL_PARAM_STRUCT &e = fp_device_param.auto_enroll_param;
    fp_auto_enroll_param_init(&e, enroll_id, enroll_times);

    const uint8_t request[5] = {static_cast<uint8_t>(enroll_id >> 8), static_cast<uint8_t>(enroll_id),
                                enroll_times, static_cast<uint8_t>(param >> 8), static_cast<uint8_t>(param)};
    // The module's first answer is the stage 0 report, which pairs the exchange.
    if (fp_exchange(FP_HERE, PROT_CMD_AUTOENROLL, request, sizeof(request), FP_LINE_LF) != 0) {
        return -1;
    }
    switch (e.validity_check_result) {
    case PROT_RESP_OK:
        return 0;
    case PROT_RESP_ADDR_OUT_RANGE:
    case PROT_RESP_FPRINTLIB_FULL:
        fp_device_param.ctrlFlag.store(FP_CONTROL_FLAG_ENROLLID_OUT_RANGE);
        TVP_LOG(ERR_LOG_GRADE, "enroll id out of range!!!\n");
        return -1;
    default:
        fp_log_not_ok(FP_HERE, FP_LINE_LF);
        return -1;
    }
}

int fp_auto_enroll(int timeout_ms)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    FP_WAIT_CLOCK waited{};
    fp_wait_clock_start(&waited);
    FP_AUTOENROLL_PARAM_STRUCT &e = fp_device_param.auto_enroll_param;
    // Stage reports that arrived together with earlier ones need no further read.
    if (held_report(e)) {
        return 0;
    }
    for (;;) {
        fp_read_and_parse_prot(FP_ENROLL_WAIT_READ_LEN); // stage reports are decoded as they come
        if (e.enroll_finish_flag != 0) {
            TVP_LOG(DBG_LOG_GRADE, "received enroll_finish_flag.\n");
            return 0;
        }
        if (!fp_module_present()) {
            fp_device_param.ctrlFlag.store(FP_CONTROL_FLAG_DEV_NOT_EXIST);
            return -1;
        }
        if (fp_device_param.ctrlFlag.load() == FP_CONTROL_FLAG_STOPPED) {
            return -1;
        }
        if (fp_wait_clock_elapsed_ms(&waited) > timeout_ms) {
            TVP_LOG(DBG_LOG_GRADE, "enroll timeout!!!\n");
            fp_device_param.ctrlFlag.store(FP_CONTROL_FLAG_TIMEOUT);
            return -1;
        }
        if (e.current_enroll_flag != 0) {
            e.current_enroll_flag = 0; // one-shot: consumed here
            return 0;
        }
        fp_delay_ms(kEnrollPollPauseMs);
    }
}

uint8_t fp_get_current_enroll_time(void)
{
    return fp_device_param.auto_enroll_param.current_enroll_time;
}

uint8_t fp_get_enroll_finish_flag(void)
{
    return fp_device_param.auto_enroll_param.enroll_finish_flag;
}

uint8_t fp_get_store_template_result(void)
{
    return fp_device_param.auto_enroll_param.store_template_result;
}

uint8_t fp_get_merge_template_result(void)
{
    return fp_device_param.auto_enroll_param.merge_template_result;
}

uint8_t fp_get_enroll_conflict_result(void)
{
    return fp_device_param.auto_enroll_param.enroll_conflict_result;
}

uint8_t fp_get_enroll_create_feature_result(uint8_t enroll_time)
{
    if (enroll_time > FP_ENROLL_TIMES_MAX) {
        TVP_LOG(ERR_LOG_GRADE, "enroll_time = %d, error!!!\r\n", enroll_time);
        return FP_RESP_NONE;
    }
    return fp_device_param.auto_enroll_param.create_feature_result[enroll_time];
}

uint8_t fp_get_enroll_result(uint8_t enroll_time)
{
    if (enroll_time > FP_ENROLL_TIMES_MAX) {
        TVP_LOG(ERR_LOG_GRADE, "enroll_time = %d, error!!!\r\n", enroll_time);
        return FP_RESP_NONE;
    }
    return fp_device_param.auto_enroll_param.enroll_result[enroll_time];
}
