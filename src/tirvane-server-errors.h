// The errors the service answers calls with, and the one way to send them.
//
// Every code of a domain has one D-Bus error name, fixed in the domain's table
// in tirvane-server-errors.cpp: clients match those names, so a name is part of
// the interface and never changes with the code's wording.
#pragma once

#include <gio/gio.h>

// The service's own interface answers with the freedesktop names its clients
// have always seen (org.freedesktop.DBus.Error.AccessDenied and so on).
enum TvpError {
    TVP_ERROR_FAILED,
    TVP_ERROR_ACCESS_DENIED,
    TVP_ERROR_INVALID_ARGS,
    TVP_ERROR_NO_MEMORY,
    TVP_ERROR_UNKNOWN_METHOD,
};

#define TVP_ERROR (tvp_error_quark())
GQuark tvp_error_quark(void);

// The D-Bus error name a reply with `code` carries.
const char *tvp_error_name(TvpError code);

// Answers `invocation` with the error `code` and the message built from `fmt`.
// Callable from any thread; the invocation is consumed.
void tvp_return_error(GDBusMethodInvocation *invocation, TvpError code, const char *fmt, ...)
    G_GNUC_PRINTF(3, 4);

// The desktop's standard fingerprint interface answers with its documented
// net.reactivated.Fprint.Error names.
enum FprintError {
    FPRINT_ERROR_CLAIM_DEVICE,
    FPRINT_ERROR_ALREADY_IN_USE,
    FPRINT_ERROR_INTERNAL,
    FPRINT_ERROR_PERMISSION_DENIED,
    FPRINT_ERROR_NO_ENROLLED_PRINTS,
    FPRINT_ERROR_FINGER_ALREADY_ENROLLED,
    FPRINT_ERROR_NO_ACTION_IN_PROGRESS,
    FPRINT_ERROR_INVALID_FINGERNAME,
    FPRINT_ERROR_NO_SUCH_DEVICE,
    FPRINT_ERROR_PRINTS_NOT_DELETED,
};

#define FPRINT_ERROR (fprint_error_quark())
GQuark fprint_error_quark(void);

void fprint_return_error(GDBusMethodInvocation *invocation, FprintError code, const char *fmt, ...)
    G_GNUC_PRINTF(3, 4);
