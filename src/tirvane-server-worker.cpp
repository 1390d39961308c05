// The worker hand-over and the stop protocol shared by enrolment and verification.
#include "tirvane-server-worker.h"

#include "app_fp256_360.h"
#include "common.h"
#include "tirvane-server-session.h"
#include "usb_device.h"

#include <cstdlib>
#include <mutex>
#include <unistd.h>

TvpWorkerArgs tvp_worker_unpack(GSList *argv)
{
    TvpWorkerArgs args{};
    args.skeleton = *static_cast<Tirvane **>(g_slist_nth_data(argv, 0));
    args.invocation = *static_cast<GDBusMethodInvocation **>(g_slist_nth_data(argv, 1));
    return args;
}

void tvp_free_worker_args(GSList *argv, int n_strings)
{
    g_free(g_slist_nth_data(argv, 0));
    g_free(g_slist_nth_data(argv, 1));
    for (int i = 0; i < n_strings; ++i) {
        free(g_slist_nth_data(argv, 2 + i));
    }
    g_slist_free(argv);
}

namespace
{
// Orders a claim of the device against a stop request, so that a stop is either
// seen as "nothing running" or lands on the operation that holds the device.
std::mutex hand_over_mutex;
} // namespace

bool tvp_claim_device(tvp_dev *dev, int status)
{
    // The start-up checks hold the device briefly, and an operation that was
    // asked to stop still cancels the module's work before it lets go: a new
    // call waits for either instead of being refused as busy.
    constexpr int kHandOverWaitMs = 15000;
    for (int waited_ms = 0;; waited_ms += 10) {
        {
            std::lock_guard<std::mutex> lock(hand_over_mutex);
            if (tvp_try_claim_dev_status(dev, status)) {
                // A stop that came before this operation took the device does not
                // apply to it; one that comes from now on does.
                tvp_priv(dev)->ctrlFlag.store(0);
                fp_set_ctrlFlag(FP_CONTROL_FLAG_IDLE);
                return true;
            }
        }
        // 2: a stop is pending; 3: the stopped operation is in its ending (a new
        // operation resets the flag to 0 when it takes the device).
        const int stop_flag = tvp_priv(dev)->ctrlFlag.load();
        const bool letting_go =
            tvp_get_dev_status(dev) == DEVS_COMM_DOING || stop_flag == 2 || stop_flag == 3;
        if (!letting_go || waited_ms >= kHandOverWaitMs) {
            return false;
        }
        usleep(10 * 1000);
    }
}

void tvp_worker_release_device(tvp_dev *dev)
{
    fp_set_ctrlFlag(FP_CONTROL_FLAG_IDLE);
    int requested = 2;
    tvp_priv(dev)->ctrlFlag.compare_exchange_strong(requested, 3);
    usb_dev_close();
    tvp_session_end();
    tvp_set_dev_status(dev, DEVS_COMM_IDLE);
}

bool tvp_raise_stop_flags(tvp_dev *dev)
{
    // Only an enrolment or a verification takes part in the stop hand-over; the
    // short start-up checks and the deletions have nothing to stop.
    std::lock_guard<std::mutex> lock(hand_over_mutex);
    const int status = tvp_get_dev_status(dev);
    if (status != DEVS_ENROLL_DOING && status != DEVS_VERIFY_DOING) {
        return false;
    }
    tvp_priv(dev)->ctrlFlag.store(2);
    fp_set_ctrlFlag(FP_CONTROL_FLAG_STOPPED);
    return true;
}

void tvp_stop_running_operation(tvp_dev *dev, bool also_until_idle)
{
    if (dev->enable == 0 || dev->dev_num.load() <= 0) {
        return;
    }
    if (!tvp_raise_stop_flags(dev)) {
        TVP_LOG(DBG_LOG_GRADE, "DEVS_COMM_IDLE.\n");
        return;
    }
    TVP_LOG(DBG_LOG_GRADE, "continue.\n");
    driver_info *priv = tvp_priv(dev);
    auto acknowledged = [&] {
        const int flag = priv->ctrlFlag.load();
        return flag == 0 || flag == 3 || flag == 4 ||
               (also_until_idle && tvp_get_dev_status(dev) == DEVS_COMM_IDLE);
    };
    for (int used_ms = 0; !acknowledged() && used_ms < 3000;) {
        used_ms += 10;
        usleep(10 * 1000);
    }
}
