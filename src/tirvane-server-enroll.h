// Enrolment, shared by both bus interfaces: the statuses of a running
// enrolment go to a sink, which each interface implements in its own terms.
#pragma once

#include "tirvane-generated.h"
#include "tirvane-server-operation.h"
#include "tirvane-server.h"

#include <gio/gio.h>

class EnrollSink
{
  public:
    EnrollSink() = default;
    EnrollSink(const EnrollSink &) = delete;
    EnrollSink &operator=(const EnrollSink &) = delete;
    virtual ~EnrollSink() = default;

    // One status in the terms of enrollStatusChanged: the code and the
    // message form (TVP_MSG_*) with its value.
    virtual void send(int code, const char *format, int value = 0) = 0;
};

// The number of captures one enrolment takes on the module.
inline constexpr int kEnrollCaptures = 6;

// Runs the enrolment of `finger` for `user_id` on the device `hold` holds.
// Failures reach the sink before the hold lets go; a success after it.
void tvp_enroll_on_hold(tvp_dev *dev, DeviceHold &hold, EnrollSink &sink, const char *user_id,
                        const char *finger, int timeout_ms);

// Our own interface's handlers and workers.
gboolean gdbus_handle_enroll(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id,
                             const gchar *finger);
gboolean gdbus_handle_stop_enroll(Tirvane *skeleton, GDBusMethodInvocation *invocation);
// Workers take the WorkerCall their handler made and free it.
void *gdbus_enroll_pt(void *call);
void *gdbus_stop_enroll_pt(void *call);
