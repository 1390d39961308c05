// Authorisation of the desktop's fingerprint interface: the same polkit
// actions and the same rules without polkit as our own interface.
#pragma once

#include <gio/gio.h>
#include <sys/types.h>

enum class FprintRight {
    Verify, // check a touch, list fingers, claim the device for oneself
    Enroll, // enrol or delete one's own fingers
    Manage, // claim the device for, enrol or delete the fingers of another user
};

// The polkit action of a right.
const char *fprint_action_of(FprintRight right);
// Whether the caller (uid `caller_uid`, the sender of `invocation`) has the
// right. Root always has; otherwise polkit decides, and without polkit the
// uid rules: verifying for anyone, enrolling for oneself (Enroll is only asked
// for the caller's own user), managing for root alone. Waits for polkit, up to
// its bound: worker threads only. On a refusal the call is answered with
// PermissionDenied naming the action.
bool fprint_authorise(GDBusMethodInvocation *invocation, uid_t caller_uid, FprintRight right);
