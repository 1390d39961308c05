#include "fprint-errors.h"

#include <cstdarg>

namespace
{

const GDBusErrorEntry kEntries[] = {
    {static_cast<gint>(FprintError::ClaimDevice), "net.reactivated.Fprint.Error.ClaimDevice"},
    {static_cast<gint>(FprintError::AlreadyInUse), "net.reactivated.Fprint.Error.AlreadyInUse"},
    {static_cast<gint>(FprintError::Internal), "net.reactivated.Fprint.Error.Internal"},
    {static_cast<gint>(FprintError::PermissionDenied), "net.reactivated.Fprint.Error.PermissionDenied"},
    {static_cast<gint>(FprintError::NoEnrolledPrints), "net.reactivated.Fprint.Error.NoEnrolledPrints"},
    {static_cast<gint>(FprintError::FingerAlreadyEnrolled),
     "net.reactivated.Fprint.Error.FingerAlreadyEnrolled"},
    {static_cast<gint>(FprintError::NoActionInProgress), "net.reactivated.Fprint.Error.NoActionInProgress"},
    {static_cast<gint>(FprintError::InvalidFingername), "net.reactivated.Fprint.Error.InvalidFingername"},
    {static_cast<gint>(FprintError::NoSuchDevice), "net.reactivated.Fprint.Error.NoSuchDevice"},
    {static_cast<gint>(FprintError::PrintsNotDeleted), "net.reactivated.Fprint.Error.PrintsNotDeleted"},
};

} // namespace

GQuark fprint_error_quark(void)
{
    static gsize quark = 0;
    g_dbus_error_register_error_domain("fprint-error-quark", &quark, kEntries, G_N_ELEMENTS(kEntries));
    return static_cast<GQuark>(quark);
}

void fprint_return_error(GDBusMethodInvocation *invocation, FprintError code, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    g_dbus_method_invocation_return_error_valist(invocation, fprint_error_quark(), static_cast<gint>(code),
                                                 fmt, args);
    va_end(args);
}
