// Verification: verify and verifyStop.
#include "app_fp256_360.h"
#include "common.h"
#include "tirvane-server-session.h"
#include "tirvane-server-worker.h"
#include "upgrade.h"
#include "usb_device.h"

#include <array>
#include <cstring>
#include <sys/time.h>
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

using ResultIds = std::array<uint16_t, kResultSlots>;

class VerifySignals
{
  public:
    explicit VerifySignals(char *id) : id_(id) {}

    void send(int code, const char *format, int value = 0, char *id = nullptr)
    {
        char msg_info[TVP_MSG_SIZE] = {0};
        snprintf(msg_info, sizeof(msg_info), format, value);
        if (tvp_verify_status_changed_callback != nullptr) {
            tvp_verify_status_changed_callback(id != nullptr ? id : id_, code, msg_info);
        }
    }

  private:
    char *id_;
};

bool stop_requested(tvp_dev *dev)
{
    return tvp_priv(dev)->ctrlFlag.load() == 2;
}

int elapsed_ms(const struct timeval &begin)
{
    struct timeval now {
    };
    gettimeofday(&now, nullptr);
    return static_cast<int>((now.tv_sec - begin.tv_sec) * 1000 + (now.tv_usec - begin.tv_usec) / 1000);
}

enum class ScanOutcome { Match, NoMatch, Stopped };

ScanOutcome scan_results(tvp_dev *dev, const ResultIds &ids, const char *user_id, fprint_info *match)
{
    for (uint16_t slot : ids) {
        if (slot == kNoSlot) {
            break;
        }
        if (tvp_copy_fprint_info_byfprintid(dev, slot, match) && strcmp(match->user_id, user_id) == 0) {
            return ScanOutcome::Match;
        }
        if (fp_get_ctrlFlag() == FP_CONTROL_FLAG_STOPPED) {
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
        if (stop_requested(dev)) {
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

// The verification on a device this worker holds, from the one-key result to
// the end. Returns whether the device was already released.
bool run_verification(tvp_dev *dev, VerifySignals &signals, const char *user_id,
                      const struct timeval &tv_begin)
{
    ResultIds ids;
    ids.fill(kNoSlot);
    bool have_result = false;

    if (get_onekey_powerup_flag() == 1 &&
        fp_get_increment_of_time_ms(get_onekey_powerup_tv_time()) <= kOneKeyMaxAgeMs) {
        TVP_LOG(LOG_LOG_GRADE, "received one key power up identify result.\n");
        const int count = std::min(get_onekey_powerup_search_num(), kResultSlots);
        const uint16_t *stored = get_onekey_powerup_search_id();
        for (int i = 0; i < count; ++i) {
            ids[i] = stored[i];
        }
        set_onekey_powerup_flag(0);
        if (get_onekey_restart_flag() == 1) {
            set_onekey_restart_flag(0);
        } else {
            TVP_LOG(DBG_LOG_GRADE, "sleep 2s\n");
            sleep(2);
        }
        have_result = true;
    } else {
        set_onekey_powerup_flag(0);
        set_onekey_restart_flag(0);
        if (!wait_for_upgrade(dev)) {
            return false;
        }
    }

    bool absent = false;
    bool first_open = true;
    struct timeval absent_since {
    };
    // Notes the module as away; false once it has stayed away too long.
    auto still_waiting_for_module = [&]() {
        if (!absent) {
            absent = true;
            gettimeofday(&absent_since, nullptr);
        }
        if (elapsed_ms(absent_since) >= kModuleAbsentLimitMs) {
            TVP_LOG(ERR_LOG_GRADE, "module absent for %d ms, verification ended.\n", kModuleAbsentLimitMs);
            signals.send(TVP_VERIFY_STAGE_DISCONNECTED, TVP_MSG_EMPTY);
            return false;
        }
        return true;
    };
    for (;;) {
        if (!have_result) {
            // Also after a one-key result without a match: this worker opens the module itself.
            if (usb_get_dev_handle() == nullptr && usb_dev_open(dev) != 0) {
                if (first_open) {
                    signals.send(TVP_VERIFY_STAGE_DISCONNECTED, TVP_MSG_EMPTY);
                    TVP_LOG(ERR_LOG_GRADE, "open device failed!\n");
                    return false;
                }
                if (!still_waiting_for_module()) {
                    return false;
                }
                if (stop_requested(dev)) {
                    TVP_LOG(DBG_LOG_GRADE, "received CONTROL_FLAG_STOPING\n");
                    return false;
                }
                usleep(kAbsentRetryPauseMs * 1000);
                continue;
            }
            first_open = false;
            if (stop_requested(dev)) {
                TVP_LOG(DBG_LOG_GRADE, "received CONTROL_FLAG_STOPING\n");
                return false;
            }
            ids.fill(kNoSlot);
            if (fp_auto_identify(3, 0xFFFF, 3, ids.data(), 0) != 0) {
                const int flag = fp_get_ctrlFlag();
                const bool gone = flag == FP_CONTROL_FLAG_DEV_NOT_EXIST || usb_get_dev_handle() == nullptr;
                if (flag == FP_CONTROL_FLAG_TIMEOUT) {
                    TVP_LOG(DBG_LOG_GRADE, "FP_CONTROL_FLAG_TIMEOUT\n");
                } else if (flag == FP_CONTROL_FLAG_DEV_NOT_EXIST) {
                    signals.send(TVP_VERIFY_STAGE_DISCONNECTED, TVP_MSG_EMPTY);
                    TVP_LOG(DBG_LOG_GRADE, "FP_CONTROL_FLAG_DEV_NOT_EXIST\n");
                } else if (flag == FP_CONTROL_FLAG_STOPPED) {
                    TVP_LOG(DBG_LOG_GRADE, "FP_CONTROL_FLAG_STOPPED\n");
                } else {
                    TVP_LOG(DBG_LOG_GRADE, "OPS_VERIFY_ERROR\n");
                }
                fp_cancel();
                fp_set_ctrlFlag(FP_CONTROL_FLAG_IDLE);
                if (stop_requested(dev)) {
                    return false;
                }
                if (gone) {
                    if (!still_waiting_for_module()) {
                        return false;
                    }
                    usleep(kAbsentRetryPauseMs * 1000);
                }
                signals.send(TVP_VERIFY_STAGE_RETRY, TVP_MSG_SUBCODE, 3);
                if (stop_requested(dev)) {
                    TVP_LOG(DBG_LOG_GRADE, "received CONTROL_FLAG_STOPING\n");
                    return false;
                }
                continue;
            }
            absent = false;
        }
        have_result = false;

        fprint_info match{};
        switch (scan_results(dev, ids, user_id, &match)) {
        case ScanOutcome::Stopped:
            return false;
        case ScanOutcome::Match: {
            TVP_LOG(DBG_LOG_GRADE, "user_id = %s\n", match.user_id);
            if (elapsed_ms(tv_begin) <= 79) {
                usleep(200 * 1000);
            }
            if (stop_requested(dev)) {
                fp_onekey_restart_identify_2(ids.data());
                return false;
            }
            tvp_worker_release_device(dev);
            signals.send(TVP_VERIFY_STATUS_MATCH, TVP_MSG_EMPTY, 0, match.user_id);
            return true;
        }
        case ScanOutcome::NoMatch:
            break;
        }
        TVP_LOG(DBG_LOG_GRADE, "user_id = NULL\n");
        if (stop_requested(dev)) {
            fp_onekey_restart_identify_2(ids.data());
            return false;
        }
        signals.send(TVP_VERIFY_STATUS_NOMATCH, TVP_MSG_SUBCODE, 3);
        usleep(200 * 1000);
    }
}

} // namespace

gboolean gdbus_handle_verify(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id,
                             gint try_count)
{
    TVP_LOG(DBG_LOG_GRADE, "start, id=%s, try_count = %d.\n", id, try_count);
    GSList *argv = tvp_worker_args(skeleton, invocation);
    argv = g_slist_append(argv, tvp_new_string(const_cast<char *>(id)));
    argv = g_slist_append(argv, GINT_TO_POINTER(try_count));
    tvp_start_worker(gdbus_verify_pt, argv);
    return TRUE;
}

void *gdbus_verify_pt(void *data)
{
    auto *argv = static_cast<GSList *>(data);
    TvpWorkerArgs args = tvp_worker_unpack(argv);
    char *user_id = static_cast<char *>(g_slist_nth_data(argv, 2));
    const int try_count = GPOINTER_TO_INT(g_slist_nth_data(argv, 3));
    tvp_dev *dev = dev_tirvane;
    driver_info *priv = tvp_priv(dev);
    TVP_LOG(DBG_LOG_GRADE, "start, id=%s, try_count = %d.\n", user_id, try_count);
    TvpCaller caller{};
    tvp_caller_capture(args.invocation, &caller);
    tirvane_complete_verify(args.skeleton, args.invocation);
    // Refusals are signalled with the caller's id; the record's user id belongs
    // to whichever verification holds the device.
    VerifySignals refusal(user_id);

    if (dev->enable == 0 || (dev->dev_num.load() < 1 && get_onekey_powerup_flag() == 0)) {
        refusal.send(TVP_VERIFY_STAGE_DISCONNECTED, TVP_MSG_EMPTY);
    } else if (!tvp_claim_device(dev, DEVS_VERIFY_DOING)) {
        refusal.send(TVP_VERIFY_STAGE_ERROR, TVP_MSG_SUBCODE_NL, 1);
        TVP_LOG(LOG_LOG_GRADE, "tvp_get_dev_status(dev) = %d, not IDLE!\n", tvp_get_dev_status(dev));
    } else {
        snprintf(priv->user_id, sizeof(priv->user_id), "%s", user_id);
        tvp_session_begin(&caller);
        struct timeval tv_begin {
        };
        gettimeofday(&tv_begin, nullptr);
        VerifySignals signals(priv->user_id);
        if (!run_verification(dev, signals, user_id, tv_begin)) {
            tvp_worker_release_device(dev);
        }
    }
    tvp_caller_clear(&caller);
    tvp_free_worker_args(argv, 1);
    TVP_LOG(LOG_LOG_GRADE, "end.\n");
    return nullptr;
}

gboolean gdbus_handle_verify_stop(Tirvane *skeleton, GDBusMethodInvocation *invocation)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\r\n");
    tvp_start_worker(gdbus_verify_stop_pt, tvp_worker_args(skeleton, invocation));
    return TRUE;
}

void *gdbus_verify_stop_pt(void *data)
{
    auto *argv = static_cast<GSList *>(data);
    TvpWorkerArgs args = tvp_worker_unpack(argv);
    TVP_LOG(LOG_LOG_GRADE, "start.\n");
    tvp_stop_running_operation(dev_tirvane, true);
    tirvane_complete_verify_stop(args.skeleton, args.invocation);
    tvp_free_worker_args(argv, 0);
    TVP_LOG(LOG_LOG_GRADE, "end.\n");
    return nullptr;
}
