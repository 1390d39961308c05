// The caller behind the running enrolment or verification.
//
// While an operation holds the device, the service watches the bus name of the
// client that started it; when that client leaves the bus the session calls the
// holder's "caller vanished" callback (which stops the operation exactly as the
// stop methods would), so a crashed lock screen cannot keep the device busy.
#pragma once

#include <gio/gio.h>
#include <sys/types.h>

// The uid of a call's sender, asked of the bus daemon (cached per sender). Waits
// for the bus daemon: call it from worker threads only; the main loop uses the
// authorisation gate's asynchronous lookup, which fills the same cache.
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
// Whether the caller runs in a logind session that is not remote; true when
// logind is not on the bus (nothing tells otherwise), false when the caller is
// in no session or cannot be looked up. Waits for the bus: worker threads only.
bool tvp_caller_in_local_session(const TvpCaller &caller);

// Called when an operation holds the device for `caller`; `on_vanished` runs
// (on the main loop) if that caller leaves the bus before the session ends.
// The callback gets the session's generation: it must act only while
// tvp_session_is_current says that session still runs, since the device may
// have passed to another caller's operation by the time it runs.
typedef void (*TVP_CALLER_VANISHED_CALLBACK)(unsigned generation);
void tvp_session_begin(const TvpCaller *caller, TVP_CALLER_VANISHED_CALLBACK on_vanished);
// Whether the session begun as `generation` is still the running one.
bool tvp_session_is_current(unsigned generation);
// Called by the worker's ending.
void tvp_session_end(void);
