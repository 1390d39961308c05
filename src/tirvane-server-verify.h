// Verification, shared by both bus interfaces: the statuses of a running
// verification go to a sink, which each interface implements in its own terms.
#pragma once

#include "tirvane-generated.h"
#include "tirvane-server-operation.h"
#include "tirvane-server.h"

#include <gio/gio.h>
#include <sys/time.h>

class VerifySink
{
  public:
    VerifySink() = default;
    VerifySink(const VerifySink &) = delete;
    VerifySink &operator=(const VerifySink &) = delete;
    virtual ~VerifySink() = default;

    // One status in the terms of verifyStatusChanged: the code, the message
    // form (TVP_MSG_*) with its value, and the user id it names (null: the
    // verification's own).
    virtual void send(int code, const char *format, int value = 0, char *id = nullptr) = 0;
    // A touch wait ran out without a touch; the verification goes on.
    virtual void touch_missed()
    {
        send(TVP_VERIFY_STAGE_RETRY, TVP_MSG_SUBCODE, 3);
    }
    // Whether a touch that matched none of the user's fingers ends it.
    virtual bool no_match_ends() const
    {
        return false;
    }
};

// What one verification looks for and for whom.
struct VerifyRequest {
    const char *user_id;       // a finger listed under this id matches
    const char *other_user_id; // or under this one (null: none)
    const char *finger;        // only this finger of theirs (null: any)
    struct timeval arrived;    // when the call arrived
    const TvpCaller *caller;   // who asked
};

// Whether the user is locked out after failed touches; when so, the refusal
// is logged and sent to `sink`.
bool tvp_verify_refused_locked_out(const VerifyRequest &request, VerifySink &sink);
// Runs the verification on the device `hold` holds, until a match, a stop, a
// departure of the module for good or (when the sink says so) a no-match.
void tvp_verify_on_hold(tvp_dev *dev, DeviceHold &hold, VerifySink &sink, const VerifyRequest &request);

// Our own interface's handlers and workers.
gboolean gdbus_handle_verify(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id,
                             gint try_count);
gboolean gdbus_handle_verify_stop(Tirvane *skeleton, GDBusMethodInvocation *invocation);
void *gdbus_verify_pt(void *call);
void *gdbus_verify_stop_pt(void *call);
