// Shared pieces of the enrolment and verification workers.
#pragma once

#include "tirvane-server-bus.h"
#include "tirvane_common.h"

#include <gio/gio.h>

// Elements of a worker argument list.
struct TvpWorkerArgs {
    Tirvane *skeleton;
    GDBusMethodInvocation *invocation;
};
TvpWorkerArgs tvp_worker_unpack(GSList *argv);
// Frees the two cells, the heap strings among the elements and the list.
void tvp_free_worker_args(GSList *argv, int n_strings);

// Moves the device from idle to `status`. While the start-up checks hold the
// device, or the operation holding it has been asked to stop, waits for it (a
// few seconds at most) rather than refusing. False when another operation
// holds the device. A successful claim clears the stop flags.
bool tvp_claim_device(tvp_dev *dev, int status);

// Asks the running enrolment or verification to stop (sets both stop flags);
// false when neither is running. Does not wait.
bool tvp_raise_stop_flags(tvp_dev *dev);

// The ending every worker that held the device runs: module flag idle, a
// pending stop acknowledged, module closed, device idle.
void tvp_worker_release_device(tvp_dev *dev);

// The stop hand-over shared by stopEnroll and verifyStop: ask the running
// operation to stop and wait for its acknowledgement, at most 3 seconds.
void tvp_stop_running_operation(tvp_dev *dev, bool also_until_idle);
