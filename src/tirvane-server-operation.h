// The operation layer of the service core: how a call becomes a worker, how an
// operation holds the device, and how a running operation is asked to stop.
//
// Shared values, who writes them and what guards them:
// - the device status (dev_status): moved from idle only by a DeviceHold (under
//   the hand-over lock), back to idle only by that hold's ending;
// - the driver record's ctrlFlag, the stop word below: kStopRequested written by
//   tvp_request_stop (under the hand-over lock), kStopAcknowledged by the ending
//   of the hold that was asked, kStopNone by a new hold when it takes the device;
// - the module driver's control flag: FP_CONTROL_FLAG_STOPPED written by
//   tvp_request_stop after the stop word, FP_CONTROL_FLAG_IDLE by a new hold and
//   by every ending;
// - the owner (the uid of the caller that started the running operation): set
//   with the claim and cleared with the return to idle, under the hand-over lock,
//   so a stop request sees the operation and its owner together;
// - the session (the bus name watched for the running operation): the session
//   unit's lock.
#pragma once

#include "tirvane-server-bus.h"
#include "tirvane-server-caller.h"
#include "tirvane-server-session.h"
#include "tirvane_common.h"

#include <gio/gio.h>
#include <sys/time.h>

// ---- Stop hand-over ------------------------------------------------------------

// Words of the driver record's ctrlFlag.
inline constexpr int kStopNone = 0;            // nothing asked of the operation holding the device
inline constexpr int kStopRequested = 2;       // a stop method asked it to stop
inline constexpr int kStopAcknowledged = 3;    // the asked operation reached its ending
inline constexpr int kStopAcknowledgedAlt = 4; // also taken as an acknowledgement by the stop wait

// A stop method asked the operation holding the device to stop.
bool tvp_stop_requested(tvp_dev *dev);
// The module driver was told to give up its current wait.
bool tvp_module_wait_stopped(void);
// What became of a request to stop.
enum class StopAsk {
    Requested,      // the running enrolment or verification was asked to stop
    NothingRunning, // neither runs: nothing to stop
    NotOwner,       // it runs for another caller, whom the asker may not stop
};
// The one entry that asks the running enrolment or verification to stop; does
// not wait. `by` is the caller of a stop method, who must be on the connection
// that started the operation, or (when not root) have that caller's uid; null
// when the service itself asks (the operation's caller left the bus).
StopAsk tvp_request_stop(tvp_dev *dev, const TvpCaller *by);
// The stop methods: ask on behalf of `by` and wait for the acknowledgement, at
// most 3 seconds (or until the device is idle, when `until_idle`). False when
// `by` may not stop the running operation (it was left alone).
bool tvp_stop_and_wait(tvp_dev *dev, bool until_idle, const TvpCaller &by);

// ---- Device hold ---------------------------------------------------------------

enum class HoldWait {
    Refuse,    // take the device only when it is idle now
    HandOver,  // wait, a few seconds at most, while the holder is letting go: the
               // start-up checks, or an operation that was asked to stop
    UntilIdle, // wait for whatever holds the device, however long it takes
};

// "This operation holds the device": claimed in the constructor with a wait
// policy, let go in the destructor on every path. The ending: module flag idle,
// a pending stop acknowledged, module closed, session ended, device idle.
//
// An operation started by a bus caller names it as `owner`: from the moment the
// device is taken, only that caller's connection (or, for a caller other than
// root, its uid) may stop it, and a caller
// that leaves the bus has its operation stopped as the stop methods would.
class DeviceHold
{
  public:
    DeviceHold(tvp_dev *dev, int status, HoldWait wait, const TvpCaller *owner = nullptr);
    ~DeviceHold();
    DeviceHold(const DeviceHold &) = delete;
    DeviceHold &operator=(const DeviceHold &) = delete;

    bool held() const
    {
        return held_;
    }
    // Opens the module unless it is open; false when it cannot be opened.
    bool open_module();
    // Runs the ending now, for a success that must find the device idle when it
    // is reported. The destructor then has nothing left to do.
    void release();

  private:
    tvp_dev *dev_;
    bool held_ = false;
};

// ---- Worker call ---------------------------------------------------------------

// One call handed to a worker thread: owns the worker argument list (the cells of
// the skeleton and the invocation, then heap copies of the string arguments),
// the call's integer argument, the time the call arrived, and the caller.
class WorkerCall
{
  public:
    WorkerCall(Tirvane *skeleton, GDBusMethodInvocation *invocation);
    ~WorkerCall();
    WorkerCall(const WorkerCall &) = delete;
    WorkerCall &operator=(const WorkerCall &) = delete;

    // Appends a heap copy of `text` to the argument list.
    void add_string(const char *text);
    void set_number(int value)
    {
        number_ = value;
    }

    Tirvane *skeleton() const;
    GDBusMethodInvocation *invocation() const;
    // The i-th string argument (0-based), never null.
    char *string(int i) const;
    int number() const
    {
        return number_;
    }
    const struct timeval &arrived() const
    {
        return arrived_;
    }
    // Who made the call; must be taken before the call is answered.
    void capture_caller();
    const TvpCaller &caller() const
    {
        return caller_.get();
    }

  private:
    GSList *argv_ = nullptr;
    int n_strings_ = 0;
    int number_ = 0;
    struct timeval arrived_ {
    };
    TvpOwnedCaller caller_;
};

// A new call object for the invocation; null (the call answered with an error)
// when there is no memory for it.
WorkerCall *tvp_worker_call(Tirvane *skeleton, GDBusMethodInvocation *invocation);
// Starts `worker` on a detached thread, handing it `call` (the worker owns and
// frees it). When the thread cannot be started, logs "Can't create thread: %s\n",
// answers the call with an error and frees it. False in that case.
bool tvp_start_worker(void *(*worker)(void *), WorkerCall *call); // a null call is ignored
// Starts a detached thread with no call behind it (background threads).
bool tvp_start_thread(void *(*body)(void *), void *arg);
