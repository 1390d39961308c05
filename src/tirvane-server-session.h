// The caller behind the running enrolment or verification.
//
// While an operation holds the device, the service watches the bus name of the
// client that started it; when that client leaves the bus the operation is
// stopped exactly as the stop methods would stop it, so a crashed lock screen
// cannot keep the device busy.
#pragma once

#include <gio/gio.h>
#include <sys/types.h>

// The uid of a call's sender, asked of the bus daemon (cached per sender).
bool tvp_caller_uid(GDBusMethodInvocation *invocation, uid_t *uid);

// Who started an operation, captured before its call is answered.
struct TvpCaller {
    GDBusConnection *connection; // owned reference, may be null
    char *sender;                // owned copy, may be null
    uid_t uid;
    bool uid_known;
};
void tvp_caller_capture(GDBusMethodInvocation *invocation, TvpCaller *caller);
void tvp_caller_clear(TvpCaller *caller);

// Called by a worker once it holds the device for `caller`.
void tvp_session_begin(const TvpCaller *caller);
// Called by the worker's ending.
void tvp_session_end(void);
// Whether a non-root caller may stop what is running (nothing, or its own).
bool tvp_session_may_stop(uid_t uid);
// Asks the running enrolment or verification to stop (no wait).
void tvp_request_stop(void);
