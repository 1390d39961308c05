// The operation layer: device hold, stop hand-over, worker calls and threads.
#include "tirvane-server-operation.h"

#include "app_fp256_360.h"
#include "common.h"
#include "tirvane-server-errors.h"
#include "tirvane-server-sleep.h"
#include "usb_device.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <unistd.h>

namespace
{

// Orders a claim of the device against a stop request, so that a stop is either
// seen as "nothing running" or lands on the operation that holds the device.
std::mutex hand_over_mutex;

// Who started the operation holding the device; written with the claim and
// cleared with the return to idle, both under hand_over_mutex.
struct Owner {
    bool known = false;
    uid_t uid = 0;
    std::string connection; // unique bus name of the caller, empty when none
};
Owner owner;

constexpr int kHandOverWaitMs = 15000;
constexpr int kClaimPollMs = 10;
constexpr int kStopWaitMs = 3000;
constexpr int kStopPollMs = 10;

bool stop_acknowledged(int flag)
{
    return flag == kStopNone || flag == kStopAcknowledged || flag == kStopAcknowledgedAlt;
}

// The holder is on its way out: the start-up checks hold the device briefly, and
// an operation that was asked to stop still cancels the module's work first.
bool holder_letting_go(tvp_dev *dev)
{
    const int flag = tvp_priv(dev)->ctrlFlag.load();
    return tvp_get_dev_status(dev) == DEVS_COMM_DOING || flag == kStopRequested || flag == kStopAcknowledged;
}

bool try_take(tvp_dev *dev, int status, const TvpCaller *by)
{
    std::lock_guard<std::mutex> lock(hand_over_mutex);
    // Between a sleep's announcement and the resume the module stays let go.
    if (tvp_system_sleeping() || !tvp_try_claim_dev_status(dev, status)) {
        return false;
    }
    owner.known = by != nullptr && by->uid_known;
    owner.uid = owner.known ? by->uid : 0;
    owner.connection = by != nullptr && by->sender != nullptr ? by->sender : "";
    // A stop that came before this operation took the device does not apply to
    // it; one that comes from now on does.
    tvp_priv(dev)->ctrlFlag.store(kStopNone);
    fp_set_ctrlFlag(FP_CONTROL_FLAG_IDLE);
    return true;
}

// A stop ends what the stopper's own connection started, or, for a caller other
// than root, what another connection of its uid started (a user's tools stop
// each other). Root gets no wider right: login programs, greeters and sshd all
// run as root, and one of them stopping another's prompt, or a user's
// enrolment, is what an attacker with a shell would ask for. An administrator
// ends another caller's operation by ending that caller.
bool may_stop(const TvpCaller &by)
{
    if (!by.uid_known) {
        return false;
    }
    if (by.sender != nullptr && !owner.connection.empty() && owner.connection == by.sender) {
        return true;
    }
    return by.uid != 0 && owner.known && owner.uid == by.uid;
}

// Asks the running enrolment or verification to stop; the caller holds
// hand_over_mutex.
StopAsk request_stop_locked(tvp_dev *dev, const TvpCaller *by)
{
    // Only an enrolment or a verification takes part in the stop hand-over; the
    // start-up checks and the deletions have nothing to stop.
    const int status = tvp_get_dev_status(dev);
    if (status != DEVS_ENROLL_DOING && status != DEVS_VERIFY_DOING) {
        return StopAsk::NothingRunning;
    }
    if (by != nullptr && !may_stop(*by)) {
        return StopAsk::NotOwner;
    }
    tvp_priv(dev)->ctrlFlag.store(kStopRequested);
    fp_set_ctrlFlag(FP_CONTROL_FLAG_STOPPED);
    return StopAsk::Requested;
}

// Stops the operation of the session that vanished, never a newer one: the
// check and the stop happen under the hand-over lock, so the device cannot pass
// to another caller's operation in between (a new operation takes the device
// under that lock before its session begins).
void on_caller_vanished(unsigned generation)
{
    if (dev_tirvane == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(hand_over_mutex);
    if (!tvp_session_is_current(generation)) {
        TVP_LOG(LOG_LOG_GRADE, "the caller's operation has ended already, nothing stopped.\n");
        return;
    }
    request_stop_locked(dev_tirvane, nullptr);
}

} // namespace

// ---- Stop hand-over ------------------------------------------------------------

bool tvp_stop_requested(tvp_dev *dev)
{
    return tvp_priv(dev)->ctrlFlag.load() == kStopRequested;
}

bool tvp_module_wait_stopped(void)
{
    return fp_get_ctrlFlag() == FP_CONTROL_FLAG_STOPPED;
}

StopAsk tvp_request_stop(tvp_dev *dev, const TvpCaller *by)
{
    std::lock_guard<std::mutex> lock(hand_over_mutex);
    return request_stop_locked(dev, by);
}

bool tvp_stop_and_wait(tvp_dev *dev, bool until_idle, const TvpCaller &by)
{
    // An operation whose module has left still runs (it waits for the module to
    // come back): a stop reaches it whether or not the module is present.
    if (dev->enable == 0) {
        return true;
    }
    switch (tvp_request_stop(dev, &by)) {
    case StopAsk::NothingRunning:
        TVP_LOG(DBG_LOG_GRADE, "DEVS_COMM_IDLE.\n");
        return true;
    case StopAsk::NotOwner:
        TVP_LOG(LOG_LOG_GRADE, "uid %u (%s) may not stop the running operation.\n",
                static_cast<unsigned>(by.uid), by.sender != nullptr ? by.sender : "?");
        return false;
    case StopAsk::Requested:
        break;
    }
    TVP_LOG(DBG_LOG_GRADE, "continue.\n");
    auto done = [&] {
        return stop_acknowledged(tvp_priv(dev)->ctrlFlag.load()) ||
               (until_idle && tvp_get_dev_status(dev) == DEVS_COMM_IDLE);
    };
    for (int used_ms = 0; !done() && used_ms < kStopWaitMs;) {
        used_ms += kStopPollMs;
        usleep(kStopPollMs * 1000);
    }
    return true;
}

// ---- Device hold ---------------------------------------------------------------

DeviceHold::DeviceHold(tvp_dev *dev, int status, HoldWait wait, const TvpCaller *owner_call) : dev_(dev)
{
    for (int waited_ms = 0;; waited_ms += kClaimPollMs) {
        if (try_take(dev, status, owner_call)) {
            held_ = true;
            if (owner_call != nullptr) {
                tvp_session_begin(owner_call, on_caller_vanished);
            }
            return;
        }
        bool keep_waiting = false;
        switch (wait) {
        case HoldWait::Refuse:
            break;
        case HoldWait::HandOver:
            keep_waiting = holder_letting_go(dev) && waited_ms < kHandOverWaitMs;
            break;
        case HoldWait::UntilIdle:
            keep_waiting = true;
            break;
        }
        if (!keep_waiting) {
            return;
        }
        usleep(kClaimPollMs * 1000);
    }
}

DeviceHold::~DeviceHold()
{
    release();
}

bool DeviceHold::open_module()
{
    if (tvp_system_sleeping()) {
        return false;
    }
    return usb_get_dev_handle() != nullptr || usb_dev_open(dev_) == 0;
}

void DeviceHold::release()
{
    if (!held_) {
        return;
    }
    held_ = false;
    fp_set_ctrlFlag(FP_CONTROL_FLAG_IDLE);
    int requested = kStopRequested;
    tvp_priv(dev_)->ctrlFlag.compare_exchange_strong(requested, kStopAcknowledged);
    usb_dev_close();
    tvp_session_end();
    std::lock_guard<std::mutex> lock(hand_over_mutex);
    owner = Owner{};
    tvp_set_dev_status(dev_, DEVS_COMM_IDLE);
}

// ---- Worker call ---------------------------------------------------------------

WorkerCall::WorkerCall(Tirvane *skeleton, GDBusMethodInvocation *invocation)
{
    argv_ = tvp_worker_args(skeleton, invocation);
    fp_get_time_now(&arrived_);
}

WorkerCall::~WorkerCall()
{
    g_free(g_slist_nth_data(argv_, 0));
    g_free(g_slist_nth_data(argv_, 1));
    for (int i = 0; i < n_strings_; ++i) {
        free(g_slist_nth_data(argv_, 2 + i));
    }
    g_slist_free(argv_);
}

void WorkerCall::add_string(const char *text)
{
    argv_ = g_slist_append(argv_, tvp_new_string(const_cast<char *>(text)));
    ++n_strings_;
}

Tirvane *WorkerCall::skeleton() const
{
    return *static_cast<Tirvane **>(g_slist_nth_data(argv_, 0));
}

GDBusMethodInvocation *WorkerCall::invocation() const
{
    return *static_cast<GDBusMethodInvocation **>(g_slist_nth_data(argv_, 1));
}

char *WorkerCall::string(int i) const
{
    auto *text = static_cast<char *>(g_slist_nth_data(argv_, 2 + i));
    static char empty[] = "";
    return text != nullptr ? text : empty;
}

void WorkerCall::capture_caller()
{
    caller_.capture(invocation());
}

WorkerCall *tvp_worker_call(Tirvane *skeleton, GDBusMethodInvocation *invocation)
{
    auto *call = new (std::nothrow) WorkerCall(skeleton, invocation);
    if (call == nullptr) {
        tvp_return_error(invocation, TVP_ERROR_NO_MEMORY, "the service is out of memory");
    }
    return call;
}

bool tvp_start_thread(void *(*body)(void *), void *arg)
{
    pthread_t thread;
    const int err = pthread_create(&thread, nullptr, body, arg);
    if (err != 0) {
        TVP_LOG(ERR_LOG_GRADE, "Can't create thread: %s\n", strerror(err));
        return false;
    }
    pthread_detach(thread);
    return true;
}

bool tvp_start_worker(void *(*worker)(void *), WorkerCall *call)
{
    if (call == nullptr) {
        return false;
    }
    if (tvp_start_thread(worker, call)) {
        return true;
    }
    // Without a worker nobody would ever answer: say so now.
    tvp_return_error(call->invocation(), TVP_ERROR_NO_MEMORY, "the service could not start a thread for %s",
                     g_dbus_method_invocation_get_method_name(call->invocation()));
    delete call;
    return false;
}
