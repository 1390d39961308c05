// Verification: verify and verifyStop.
#include "tirvane-server-verify.h"
#include "app_fp256_360.h"
#include "common.h"
#include "tirvane-server-auth.h"
#include "tirvane-server-lockout.h"
#include "tirvane-server-operation.h"
#include "tirvane-server-session.h"
#include "tirvane-server-sleep.h"
#include "upgrade.h"
#include "usb_device.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>

namespace
{

constexpr int kResultSlots = 30;
constexpr uint16_t kNoSlot = 0xFFFF;
constexpr int kOneKeyMaxAgeMs = 29999;
// A module that stays away this long ends the verification; each failed wait
// for an absent module costs at least one read time-out, so the loop never spins.
constexpr int kModuleAbsentLimitMs = 10000;
constexpr int kAbsentRetryPauseMs = 1000;
constexpr int kMatchFloorMs = 80;

using ResultIds = std::array<uint16_t, kResultSlots>;

// verifyStatusChanged to the caller that asked.
class VerifySignals : public VerifySink
{
  public:
    VerifySignals(char *id, const TvpCaller *to) : id_(id), to_(to) {}

    void send(int code, const char *format, int value = 0, char *id = nullptr) override
    {
        char msg_info[TVP_MSG_SIZE] = {0};
        snprintf(msg_info, sizeof(msg_info), format, value);
        tvp_emit_status_to(to_, TVP_SIGNAL_VERIFY_STATUS_CHANGED, id != nullptr ? id : id_, code, msg_info);
    }

  private:
    char *id_;
    const TvpCaller *to_;
};

// Whose verification left the touch result that a stop keeps for the next one:
// that result counts only for a verification over the same bus connection for
// the same user id. Written by the verification holding the device once it
// has passed its own one-key check; read by the next one.
struct KeptResultOwner {
    std::string connection;
    std::string user_id;
};
std::mutex kept_owner_mutex;
KeptResultOwner kept_owner;

bool kept_result_is_for(const TvpCaller &caller, const char *user_id)
{
    std::lock_guard<std::mutex> lock(kept_owner_mutex);
    return caller.sender != nullptr && !kept_owner.connection.empty() &&
           kept_owner.connection == caller.sender && kept_owner.user_id == user_id;
}

void keep_results_for(const TvpCaller &caller, const char *user_id)
{
    std::lock_guard<std::mutex> lock(kept_owner_mutex);
    kept_owner.connection = caller.sender != nullptr ? caller.sender : "";
    kept_owner.user_id = user_id;
}

enum class ScanOutcome { Match, NoMatch, Stopped };

// Whether a list entry is one the verification looks for.
bool entry_is_wanted(const fprint_info &entry, const VerifyRequest &request)
{
    const bool users =
        strcmp(entry.user_id, request.user_id) == 0 ||
        (request.other_user_id != nullptr && strcmp(entry.user_id, request.other_user_id) == 0);
    return users && (request.finger == nullptr || strcmp(entry.fprint_name, request.finger) == 0);
}

ScanOutcome scan_results(tvp_dev *dev, const ResultIds &ids, const VerifyRequest &request, fprint_info *match)
{
    for (uint16_t slot : ids) {
        if (slot == kNoSlot) {
            break;
        }
        if (tvp_copy_fprint_info_byfprintid(dev, slot, match) && entry_is_wanted(*match, request)) {
            return ScanOutcome::Match;
        }
        if (tvp_module_wait_stopped()) {
            TVP_LOG(DBG_LOG_GRADE, "received CONTROL_FLAG_STOPING\n");
            if (usb_get_dev_handle() != nullptr) {
                fp_cancel();
            }
            return ScanOutcome::Stopped;
        }
    }
    return ScanOutcome::NoMatch;
}

// Waits out a running firmware upgrade, at most 15 seconds; false on a stop.
bool wait_for_upgrade(tvp_dev *dev)
{
    if (get_upgrade_state() != 1) {
        return true;
    }
    for (int pass = 0; pass < 15; ++pass) {
        if (tvp_stop_requested(dev)) {
            TVP_LOG(DBG_LOG_GRADE, "received CONTROL_FLAG_STOPING\n");
            return false;
        }
        if (get_upgrade_state() == 0) {
            sleep(1);
            break;
        }
        sleep(1);
    }
    return true;
}

// The phases of one verification, in the order of its description: a one-key
// result, the upgrade wait, opening the module, a touch, the scan of the slots
// found, the match.
enum class Phase { OneKey, UpgradeWait, Open, Touch, Scan, Match, End };

class Verification
{
  public:
    Verification(tvp_dev *dev, DeviceHold &hold, VerifySink &signals, const VerifyRequest &request)
        : dev_(dev), hold_(hold), signals_(signals), request_(request), user_id_(request.user_id),
          called_(request.arrived), caller_(*request.caller)
    {
        ids_.fill(kNoSlot);
    }

    void run()
    {
        for (Phase phase = Phase::OneKey; phase != Phase::End;) {
            phase = step(phase);
        }
    }

  private:
    Phase step(Phase phase)
    {
        switch (phase) {
        case Phase::OneKey:
            return one_key();
        case Phase::UpgradeWait:
            return wait_for_upgrade(dev_) ? Phase::Open : Phase::End;
        case Phase::Open:
            return open();
        case Phase::Touch:
            return touch();
        case Phase::Scan:
            return scan();
        case Phase::Match:
            return match();
        case Phase::End:
            break;
        }
        return Phase::End;
    }

    // A one-key result younger than 30 seconds stands for the first touch, for
    // the caller it belongs to: a result kept from a stopped verification to a
    // verification over the same connection for the same user id; a power-up
    // result to a caller in a local session. Any other caller has it discarded
    // unused. Results kept from now on belong to this verification.
    Phase one_key()
    {
        const Phase next = use_one_key_result();
        keep_results_for(caller_, user_id_);
        return next;
    }

    bool one_key_result_is_mine()
    {
        if (get_onekey_restart_flag() == 1) {
            if (kept_result_is_for(caller_, user_id_)) {
                return true;
            }
            TVP_LOG(LOG_LOG_GRADE, "a touch result kept for another caller was discarded.\n");
            return false;
        }
        if (tvp_caller_in_local_session(caller_)) {
            return true;
        }
        TVP_LOG(LOG_LOG_GRADE,
                "the power-up touch result is not used for a caller outside a local session.\n");
        return false;
    }

    Phase use_one_key_result()
    {
        if (get_onekey_powerup_flag() == 1 &&
            fp_get_increment_of_time_ms(get_onekey_powerup_tv_time()) <= kOneKeyMaxAgeMs &&
            one_key_result_is_mine()) {
            TVP_LOG(LOG_LOG_GRADE, "received one key power up identify result.\n");
            const int count = std::min(get_onekey_powerup_search_num(), kResultSlots);
            const uint16_t *stored = get_onekey_powerup_search_id();
            for (int i = 0; i < count; ++i) {
                ids_[i] = stored[i];
            }
            set_onekey_powerup_flag(0);
            if (get_onekey_restart_flag() == 1) {
                set_onekey_restart_flag(0);
            } else {
                TVP_LOG(DBG_LOG_GRADE, "sleep 2s\n");
                sleep(2);
            }
            return Phase::Scan;
        }
        set_onekey_powerup_flag(0);
        set_onekey_restart_flag(0);
        return Phase::UpgradeWait;
    }

    // Also after a one-key result without a match: this worker opens the module
    // itself. A module that went away is waited for, paced, up to a limit.
    Phase open()
    {
        if (hold_.open_module()) {
            opened_ = true;
            return Phase::Touch;
        }
        if (!opened_) {
            signals_.send(TVP_VERIFY_STAGE_DISCONNECTED, TVP_MSG_EMPTY);
            TVP_LOG(ERR_LOG_GRADE, "open device failed!\n");
            return Phase::End;
        }
        return module_away();
    }

    Phase touch()
    {
        if (tvp_stop_requested(dev_)) {
            TVP_LOG(DBG_LOG_GRADE, "received CONTROL_FLAG_STOPING\n");
            return Phase::End;
        }
        ids_.fill(kNoSlot);
        if (fp_auto_identify(3, 0xFFFF, 3, ids_.data(), 0) == 0) {
            away_ = false;
            return Phase::Scan;
        }
        const int flag = fp_get_ctrlFlag();
        const bool gone = flag == FP_CONTROL_FLAG_DEV_NOT_EXIST || usb_get_dev_handle() == nullptr;
        const bool timed_out = flag == FP_CONTROL_FLAG_TIMEOUT;
        if (timed_out) {
            TVP_LOG(DBG_LOG_GRADE, "FP_CONTROL_FLAG_TIMEOUT\n");
        } else if (gone) {
            TVP_LOG(DBG_LOG_GRADE, "FP_CONTROL_FLAG_DEV_NOT_EXIST\n");
        } else if (flag == FP_CONTROL_FLAG_STOPPED) {
            TVP_LOG(DBG_LOG_GRADE, "FP_CONTROL_FLAG_STOPPED\n");
        } else {
            TVP_LOG(DBG_LOG_GRADE, "OPS_VERIFY_ERROR\n");
        }
        fp_cancel();
        fp_set_ctrlFlag(FP_CONTROL_FLAG_IDLE);
        if (tvp_stop_requested(dev_)) {
            return Phase::End;
        }
        if (gone) {
            return module_away();
        }
        if (timed_out) {
            signals_.touch_missed();
        } else {
            signals_.send(TVP_VERIFY_STAGE_RETRY, TVP_MSG_SUBCODE, TVP_VERIFY_REMOVE_AND_RETRY);
        }
        if (tvp_stop_requested(dev_)) {
            TVP_LOG(DBG_LOG_GRADE, "received CONTROL_FLAG_STOPING\n");
            return Phase::End;
        }
        return Phase::Touch;
    }

    // The module is known to be gone: the client hears it at once; then the
    // verification waits for it to come back, paced and without retry signals,
    // and ends when it stays away too long.
    Phase module_away()
    {
        if (!away_) {
            away_ = true;
            fp_get_time_now(&away_since_);
            signals_.send(TVP_VERIFY_STAGE_DISCONNECTED, TVP_MSG_EMPTY);
        }
        if (tvp_system_sleeping()) {
            // Let go before the machine sleeps; the client has heard the departure.
            TVP_LOG(LOG_LOG_GRADE, "the system is going to sleep, verification ended.\n");
            return Phase::End;
        }
        if (fp_get_increment_of_time_ms(&away_since_) >= kModuleAbsentLimitMs) {
            TVP_LOG(ERR_LOG_GRADE, "module absent for %d ms, verification ended.\n", kModuleAbsentLimitMs);
            signals_.send(TVP_VERIFY_STAGE_DISCONNECTED, TVP_MSG_EMPTY);
            return Phase::End;
        }
        if (tvp_stop_requested(dev_)) {
            TVP_LOG(DBG_LOG_GRADE, "received CONTROL_FLAG_STOPING\n");
            return Phase::End;
        }
        usleep(kAbsentRetryPauseMs * 1000);
        return Phase::Open;
    }

    Phase scan()
    {
        switch (scan_results(dev_, ids_, request_, &match_)) {
        case ScanOutcome::Stopped:
            return Phase::End;
        case ScanOutcome::Match:
            return Phase::Match;
        case ScanOutcome::NoMatch:
            break;
        }
        TVP_LOG(DBG_LOG_GRADE, "user_id = NULL\n");
        if (tvp_stop_requested(dev_)) {
            fp_onekey_restart_identify_2(ids_.data());
            return Phase::End;
        }
        bool locked_out = tvp_lockout_note_failure(user_id_);
        if (request_.other_user_id != nullptr) {
            locked_out = tvp_lockout_note_failure(request_.other_user_id) || locked_out;
        }
        signals_.send(TVP_VERIFY_STATUS_NOMATCH, TVP_MSG_SUBCODE, TVP_VERIFY_NOMATCH_TOUCH_AGAIN);
        if (locked_out) {
            signals_.send(TVP_VERIFY_STAGE_ERROR, TVP_MSG_SUBCODE, TVP_VERIFY_ERROR_LOCKED_OUT);
            return Phase::End;
        }
        if (signals_.no_match_ends()) {
            return Phase::End;
        }
        usleep(200 * 1000);
        return Phase::Open;
    }

    // A match is never reported sooner than 80 ms after the call arrived, and
    // the floor adds nothing once those 80 ms have passed.
    Phase match()
    {
        TVP_LOG(DBG_LOG_GRADE, "user_id = %s\n", match_.user_id);
        const int verify_time_ms = fp_get_increment_of_time_ms(&called_);
        if (verify_time_ms < kMatchFloorMs) {
            usleep(static_cast<useconds_t>(kMatchFloorMs - std::max(verify_time_ms, 0)) * 1000);
        }
        if (tvp_stop_requested(dev_)) {
            fp_onekey_restart_identify_2(ids_.data());
            return Phase::End;
        }
        tvp_lockout_note_match(user_id_);
        if (request_.other_user_id != nullptr) {
            tvp_lockout_note_match(request_.other_user_id);
        }
        hold_.release();
        signals_.send(TVP_VERIFY_STATUS_MATCH, TVP_MSG_EMPTY, 0, match_.user_id);
        return Phase::End;
    }

    tvp_dev *dev_;
    DeviceHold &hold_;
    VerifySink &signals_;
    const VerifyRequest &request_;
    const char *user_id_;
    const struct timeval &called_;
    const TvpCaller &caller_;
    ResultIds ids_{};
    fprint_info match_{};
    bool opened_ = false;
    bool away_ = false;
    struct timeval away_since_ {
    };
};

} // namespace

bool tvp_verify_refused_locked_out(const VerifyRequest &request, VerifySink &sink)
{
    int locked_s = 0;
    const char *locked = nullptr;
    if (tvp_lockout_active(request.user_id, &locked_s)) {
        locked = request.user_id;
    } else if (request.other_user_id != nullptr && tvp_lockout_active(request.other_user_id, &locked_s)) {
        locked = request.other_user_id;
    }
    if (locked == nullptr) {
        return false;
    }
    TVP_LOG(LOG_LOG_GRADE, "user %s is locked out for %d s more, verification refused.\n", locked, locked_s);
    sink.send(TVP_VERIFY_STAGE_ERROR, TVP_MSG_SUBCODE, TVP_VERIFY_ERROR_LOCKED_OUT);
    return true;
}

void tvp_verify_on_hold(tvp_dev *dev, DeviceHold &hold, VerifySink &sink, const VerifyRequest &request)
{
    Verification(dev, hold, sink, request).run();
}

gboolean gdbus_handle_verify(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id,
                             gint try_count)
{
    TVP_LOG(DBG_LOG_GRADE, "start, id=%s, try_count = %d.\n", id, try_count);
    WorkerCall *call = tvp_worker_call(skeleton, invocation);
    if (call != nullptr) {
        call->add_string(id);
        call->set_number(try_count);
        tvp_start_worker(gdbus_verify_pt, call);
    }
    return TRUE;
}

void *gdbus_verify_pt(void *data)
{
    std::unique_ptr<WorkerCall> call(static_cast<WorkerCall *>(data));
    char *user_id = call->string(0);
    tvp_dev *dev = dev_tirvane;
    driver_info *priv = tvp_priv(dev);
    TVP_LOG(DBG_LOG_GRADE, "start, id=%s, try_count = %d.\n", user_id, call->number());
    call->capture_caller();
    tirvane_complete_verify(call->skeleton(), call->invocation());
    // Refusals are signalled with the caller's id; the record's user id belongs
    // to whichever verification holds the device.
    VerifySignals refusal(user_id, &call->caller());
    const VerifyRequest request{user_id, nullptr, nullptr, call->arrived(), &call->caller()};

    if (dev->enable == 0 || (dev->dev_num.load() < 1 && get_onekey_powerup_flag() == 0)) {
        refusal.send(TVP_VERIFY_STAGE_DISCONNECTED, TVP_MSG_EMPTY);
    } else if (!tvp_verify_refused_locked_out(request, refusal)) {
        DeviceHold hold(dev, DEVS_VERIFY_DOING, HoldWait::HandOver, &call->caller());
        if (!hold.held()) {
            refusal.send(TVP_VERIFY_STAGE_ERROR, TVP_MSG_SUBCODE_NL, TVP_VERIFY_ERROR_BUSY);
            TVP_LOG(LOG_LOG_GRADE, "tvp_get_dev_status(dev) = %d, not IDLE!\n", tvp_get_dev_status(dev));
        } else {
            snprintf(priv->user_id, sizeof(priv->user_id), "%s", user_id);
            VerifySignals signals(priv->user_id, &call->caller());
            tvp_verify_on_hold(dev, hold, signals, request);
        }
    }
    TVP_LOG(LOG_LOG_GRADE, "end.\n");
    return nullptr;
}

gboolean gdbus_handle_verify_stop(Tirvane *skeleton, GDBusMethodInvocation *invocation)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\r\n");
    tvp_start_worker(gdbus_verify_stop_pt, tvp_worker_call(skeleton, invocation));
    return TRUE;
}

void *gdbus_verify_stop_pt(void *data)
{
    std::unique_ptr<WorkerCall> call(static_cast<WorkerCall *>(data));
    TVP_LOG(LOG_LOG_GRADE, "start.\n");
    call->capture_caller();
    if (tvp_stop_and_wait(dev_tirvane, true, call->caller())) {
        tirvane_complete_verify_stop(call->skeleton(), call->invocation());
    } else {
        tvp_deny_call(call->invocation(), "%s: the running operation was started by another caller",
                      "verifyStop");
    }
    call.reset();
    TVP_LOG(LOG_LOG_GRADE, "end.\n");
    return nullptr;
}
