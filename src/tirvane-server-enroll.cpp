// Enrolment: enroll and stopEnroll.
#include "tirvane-server-enroll.h"
#include "app_fp256_360.h"
#include "common.h"
#include "tirvane-server-auth.h"
#include "tirvane-server-errors.h"
#include "tirvane-server-manage.h"
#include "tirvane-server-operation.h"
#include "tirvane-server-session.h"
#include "upgrade.h"
#include "usb_device.h"

#include <cstring>
#include <memory>
#include <vector>

namespace
{

struct TouchReport {
    int code;
    const char *text;
    int subcode;
};

// Module verdicts on a rejected touch and the guidance each one gets.
const TouchReport kRetryTouches[] = {
    {39, "Current fingerprint already exist, please press your finger again.\n",
     TVP_ENROLL_RETRY_ALREADY_ENROLLED},
    {48, "Current fingerprint position repeated, please press your finger again.\n",
     TVP_ENROLL_RETRY_POSITION_REPEATED},
    {49, "The quality of current fingerprint is bad, please press your finger again.\n",
     TVP_ENROLL_RETRY_QUALITY_BAD},
    {50, "The area of current fingerprint is too small, please press your finger again.\n",
     TVP_ENROLL_RETRY_AREA_TOO_SMALL},
};
constexpr const char *kEnrollFailedText = "Enroll failed, please press your finger again.\n";

// enrollStatusChanged to the caller that asked.
class EnrollSignals : public EnrollSink
{
  public:
    EnrollSignals(char *user_id, const TvpCaller *to) : user_id_(user_id), to_(to) {}

    void send(int code, const char *format, int value = 0) override
    {
        char msg_info[TVP_MSG_SIZE] = {0};
        snprintf(msg_info, sizeof(msg_info), format, value);
        tvp_emit_status_to(to_, TVP_SIGNAL_ENROLL_STATUS_CHANGED, user_id_, code, msg_info);
    }

  private:
    char *user_id_;
    const TvpCaller *to_;
};

void note_extra_info(tvp_dev *dev, const char *text, LOG_GRADE_ENUM grade,
                     tvp_log_origin at = tvp_log_origin::here())
{
    snprintf(tvp_priv(dev)->extra_info, sizeof(tvp_priv(dev)->extra_info), "%s", text);
    TVP_LOG_FROM(at, grade, "%s", text);
}

void report_touch(tvp_dev *dev, EnrollSink &signals, uint8_t t)
{
    const uint8_t r = fp_get_enroll_create_feature_result(t);
    if (r == 0) {
        if (fp_get_enroll_result(t) == 0) {
            char text[64] = {0};
            snprintf(text, sizeof(text), "enroll times %d/6.\n", t);
            note_extra_info(dev, text, DBG_LOG_GRADE);
            signals.send(TVP_ENROLL_STAGE_PASSED, TVP_MSG_PROGRESS, (100 / dev->sample_times) * t);
        } else {
            note_extra_info(dev, kEnrollFailedText, DBG_LOG_GRADE);
            signals.send(TVP_ENROLL_STAGE_RETRY, TVP_MSG_SUBCODE, TVP_ENROLL_RETRY_TOUCH_FAILED);
        }
        return;
    }
    for (const auto &retry : kRetryTouches) {
        if (retry.code == r) {
            note_extra_info(dev, retry.text, DBG_LOG_GRADE);
            signals.send(TVP_ENROLL_STAGE_RETRY, TVP_MSG_SUBCODE, retry.subcode);
            return;
        }
    }
    note_extra_info(dev, kEnrollFailedText, DBG_LOG_GRADE);
    signals.send(TVP_ENROLL_STAGE_RETRY, TVP_MSG_SUBCODE, TVP_ENROLL_RETRY_TOUCH_FAILED);
}

// Either stop flag: a stop method's request, or the module wait told to give up.
bool asked_to_stop(tvp_dev *dev)
{
    return tvp_stop_requested(dev) || tvp_module_wait_stopped();
}

// The enrolment could not begin because the module did not answer.
void report_unanswered_start(tvp_dev *dev, EnrollSink &signals)
{
    if (asked_to_stop(dev)) {
        signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE, TVP_ENROLL_FAILED_STOPPED);
    } else if (usb_get_dev_handle() == nullptr) {
        signals.send(TVP_ENROLL_STAGE_DISCONNECTED, TVP_MSG_EMPTY);
    } else {
        note_extra_info(dev, "Enroll failed ! The module did not answer.\n", ERR_LOG_GRADE);
        signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE_NL, TVP_ENROLL_FAILED_BUSY);
    }
}

// A capture report that the driver decoded together with the finish of the
// enrolment: the driver's one-shot "new capture" flag is still set.
void report_pending_touch(tvp_dev *dev, EnrollSink &signals)
{
    FP_AUTOENROLL_PARAM_STRUCT &e = fp_device_param.auto_enroll_param;
    if (e.current_enroll_flag == 0) {
        return;
    }
    e.current_enroll_flag = 0;
    const uint8_t t = fp_get_current_enroll_time();
    if (t != 0) {
        report_touch(dev, signals, t);
    }
}

// The module reports `slot` empty, so no list entry may still name it: such an
// entry is left over from a deletion whose answer was lost (or cut short), and
// keeping it would give the new finger to that entry's user. The entries go by
// slot in one save, whatever their names. False when that save failed.
bool drop_entries_of_empty_slot(tvp_dev *dev, uint16_t slot)
{
    std::vector<fprint_info> dropped;
    if (tvp_drop_fprint_info_byfprintid(dev, slot, &dropped) < 0) {
        TVP_LOG(ERR_LOG_GRADE, "slot %d is empty on the module, its entries could not be dropped\n", slot);
        return false;
    }
    for (const fprint_info &stale : dropped) {
        TVP_LOG(ERR_LOG_GRADE, "slot %d is empty on the module, dropping id=%s finger=%s\n", slot,
                stale.user_id, stale.fprint_name);
    }
    return true;
}

// The finish flag comes with the store report whatever its confirm code, so the
// end of an enrolment is judged by the stages after the last capture: merge (4),
// duplicate-finger check (5) and store (6) must each have reported 0. A merge or
// check report that never arrived (0xFF) gives no verdict of its own; the store
// then decides. Returns false, with the stage and its code, for a failed one.
struct StageResult {
    int stage;
    const char *what;
    uint8_t code;
};

bool enrolment_stages_passed(StageResult *failed)
{
    const StageResult stages[] = {
        {4, "merge", fp_get_merge_template_result()},
        {5, "duplicate finger check", fp_get_enroll_conflict_result()},
        {6, "store", fp_get_store_template_result()},
    };
    for (const StageResult &r : stages) {
        const bool unreported = r.stage != 6 && r.code == FP_RESP_NONE;
        if (r.code != 0 && !unreported) {
            *failed = r;
            return false;
        }
    }
    return true;
}

// Runs the enrolment on the device `hold` holds. Failures are signalled before
// the hold lets go (a stop request sees its failure signal before its reply); a
// success lets go first, so a client that reacts to the success signal at once
// finds the device idle.
void run_enrolment(tvp_dev *dev, DeviceHold &hold, EnrollSink &signals, const char *user_id,
                   const char *finger, int timeout_ms)
{
    if (!hold.open_module()) {
        signals.send(TVP_ENROLL_STAGE_DISCONNECTED, TVP_MSG_EMPTY);
        return;
    }
    fp_read_invalid_pkg(5);
    if (tvp_delete_invalid_feature(dev) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "tvp_delete_invalid_feature failed!!!\n");
    }
    const uint16_t enroll_id = fp_get_empty_enroll_id();
    if (enroll_id > 255 && fp_empty_enroll_id_unread()) {
        // The module did not give its table: that says nothing about free space.
        report_unanswered_start(dev, signals);
        return;
    }
    if (enroll_id > 255) {
        note_extra_info(dev, "Enroll failed ! Storage space is full.\n", ERR_LOG_GRADE);
        signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE, TVP_ENROLL_FAILED_STORAGE_FULL);
        return;
    }
    TVP_LOG(DBG_LOG_GRADE, "enroll_id = %d\n", enroll_id);
    if (!drop_entries_of_empty_slot(dev, enroll_id)) {
        // Enrolling now would give the new finger to the stale entry's user.
        signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE_NL, TVP_ENROLL_FAILED_BUSY);
        return;
    }
    if (asked_to_stop(dev)) {
        // Asked to stop before the module was told to enrol: nothing to cancel.
        signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE, TVP_ENROLL_FAILED_STOPPED);
        return;
    }
    if (fp_auto_enroll_start(enroll_id, kEnrollCaptures, 0) != 0) {
        if (fp_get_ctrlFlag() == FP_CONTROL_FLAG_ENROLLID_OUT_RANGE) {
            TVP_LOG(DBG_LOG_GRADE, "Enroll failed ! Storage space is full.\n");
            signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE, TVP_ENROLL_FAILED_STORAGE_FULL);
        } else {
            signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE_NL, TVP_ENROLL_FAILED_BUSY);
        }
        fp_cancel();
        return;
    }
    note_extra_info(dev, "enroll start ! Please press your finger.\n", DBG_LOG_GRADE);
    signals.send(TVP_ENROLL_STAGE_PASSED, TVP_MSG_PROGRESS, 0);
    TVP_LOG(DBG_LOG_GRADE, "timeout_ms = %d\n", timeout_ms);
    for (;;) {
        if (fp_auto_enroll(timeout_ms) != 0) {
            const int flag = fp_get_ctrlFlag();
            if (flag == FP_CONTROL_FLAG_STOPPED || flag == FP_CONTROL_FLAG_TIMEOUT) {
                signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE, TVP_ENROLL_FAILED_STOPPED);
            } else if (flag == FP_CONTROL_FLAG_DEV_NOT_EXIST) {
                signals.send(TVP_ENROLL_STAGE_DISCONNECTED, TVP_MSG_EMPTY);
            } else {
                signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE_NL, TVP_ENROLL_FAILED_BUSY);
            }
            fp_cancel();
            return;
        }
        if (fp_get_enroll_finish_flag() != 0) {
            // The last capture's report may have come in the same read as the
            // store: its progress is still owed, and comes before the success.
            report_pending_touch(dev, signals);
            break;
        }
        const uint8_t t = fp_get_current_enroll_time();
        if (t != 0) {
            report_touch(dev, signals, t);
        }
    }
    TVP_LOG(DBG_LOG_GRADE, "enroll_id = %d\n", enroll_id);
    fp_cancel();
    StageResult failed{};
    if (!enrolment_stages_passed(&failed)) {
        char text[128] = {0};
        snprintf(text, sizeof(text), "Enroll failed ! stage %d (%s) result = 0x%02x.\n", failed.stage,
                 failed.what, failed.code);
        note_extra_info(dev, text, ERR_LOG_GRADE);
        if (fp_get_store_template_result() == 0) {
            // Stored in spite of the failed stage: no entry will name it.
            fp_delete_template(enroll_id, 1);
        }
        signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE_NL, TVP_ENROLL_FAILED_BUSY);
        return;
    }
    fprint_info entry{};
    entry.enable = 1;
    snprintf(entry.user_id, sizeof(entry.user_id), "%s", user_id);
    snprintf(entry.fprint_name, sizeof(entry.fprint_name), "%s", finger);
    entry.fprint_id = enroll_id;
    if (tvp_add_fprint_info(dev, &entry) != 0) {
        // No success without a stored entry: the template nobody refers to goes.
        fp_delete_template(enroll_id, 1);
        signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE_NL, TVP_ENROLL_FAILED_BUSY);
        return;
    }
    hold.release();
    signals.send(TVP_ENROLL_STATUS_SUCCESS, TVP_MSG_EMPTY);
}

} // namespace

void tvp_enroll_on_hold(tvp_dev *dev, DeviceHold &hold, EnrollSink &sink, const char *user_id,
                        const char *finger, int timeout_ms)
{
    run_enrolment(dev, hold, sink, user_id, finger, timeout_ms);
}

gboolean gdbus_handle_enroll(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id,
                             const gchar *finger)
{
    TVP_LOG(DBG_LOG_GRADE, "start, id=%s, finger=%s.\n", id, finger);
    fprint_info existing{};
    if (tvp_copy_fprint_info(dev_tirvane, id, finger, &existing) != 0) {
        // Refused before any touch: the existing entry and its template stay.
        tvp_return_error(invocation, TVP_ERROR_INVALID_ARGS, "user %s already has a finger named %s", id,
                         finger);
        TVP_LOG(DBG_LOG_GRADE, "end.\n");
        return TRUE;
    }
    WorkerCall *call = tvp_worker_call(skeleton, invocation);
    if (call != nullptr) {
        call->add_string(id);
        call->add_string(finger);
        tvp_start_worker(gdbus_enroll_pt, call);
    }
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return TRUE;
}

void *gdbus_enroll_pt(void *data)
{
    std::unique_ptr<WorkerCall> call(static_cast<WorkerCall *>(data));
    char *user_id = call->string(0);
    char *finger = call->string(1);
    tvp_dev *dev = dev_tirvane;
    const int timeout_ms = tvp_priv(dev)->timeoutMS;
    TVP_LOG(LOG_LOG_GRADE, "start.\n");
    call->capture_caller();
    tirvane_complete_enroll(call->skeleton(), call->invocation());
    EnrollSignals signals(user_id, &call->caller());

    if (dev->enable == 0 || dev->dev_num.load() < 1) {
        signals.send(TVP_ENROLL_STAGE_DISCONNECTED, TVP_MSG_EMPTY);
    } else if (get_upgrade_state() == 1) {
        signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE_NL, TVP_ENROLL_FAILED_BUSY);
    } else {
        DeviceHold hold(dev, DEVS_ENROLL_DOING, HoldWait::HandOver, &call->caller());
        if (!hold.held()) {
            // Busy: the operation holding the device is left alone.
            signals.send(TVP_ENROLL_STATUS_FAILED, TVP_MSG_SUBCODE_NL, TVP_ENROLL_FAILED_BUSY);
        } else {
            tvp_enroll_on_hold(dev, hold, signals, user_id, finger, timeout_ms);
        }
    }
    TVP_LOG(LOG_LOG_GRADE, "end.\n");
    return nullptr;
}

gboolean gdbus_handle_stop_enroll(Tirvane *skeleton, GDBusMethodInvocation *invocation)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    tvp_start_worker(gdbus_stop_enroll_pt, tvp_worker_call(skeleton, invocation));
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return TRUE;
}

void *gdbus_stop_enroll_pt(void *data)
{
    std::unique_ptr<WorkerCall> call(static_cast<WorkerCall *>(data));
    TVP_LOG(LOG_LOG_GRADE, "start.\n");
    call->capture_caller();
    if (tvp_stop_and_wait(dev_tirvane, false, call->caller())) {
        tirvane_complete_stop_enroll(call->skeleton(), call->invocation());
    } else {
        tvp_deny_call(call->invocation(), "%s: the running operation was started by another caller",
                      "stopEnroll");
    }
    call.reset();
    TVP_LOG(LOG_LOG_GRADE, "end.\n");
    return nullptr;
}
