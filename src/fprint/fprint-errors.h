// The errors of the desktop's fingerprint interface, as one registered GError
// domain whose codes travel as the interface's documented error names.
#pragma once

#include <gio/gio.h>

enum class FprintError {
    ClaimDevice,
    AlreadyInUse,
    Internal,
    PermissionDenied,
    NoEnrolledPrints,
    FingerAlreadyEnrolled,
    NoActionInProgress,
    InvalidFingername,
    NoSuchDevice,
    PrintsNotDeleted,
};

GQuark fprint_error_quark(void);
// Answers the call with the error; `fmt` is the message.
void fprint_return_error(GDBusMethodInvocation *invocation, FprintError code, const char *fmt, ...)
    G_GNUC_PRINTF(3, 4);
