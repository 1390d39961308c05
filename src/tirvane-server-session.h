// The caller behind the running enrolment or verification.
//
// While an operation holds the device, the service watches the bus name of the
// client that started it; when that client leaves the bus the session calls the
// holder's "caller vanished" callback (which stops the operation exactly as the
// stop methods would), so a crashed lock screen cannot keep the device busy.
// Who the caller is (TvpCaller, its uid) is tirvane-server-caller.h's to say.
#pragma once

#include "tirvane-server-caller.h"

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
