// Error domains of the service and the replies built from them.
//
// A domain is a quark name and a table of {code, D-Bus error name}; a reply
// always carries the table's name. The table is also handed to GLib's
// registry, so that an error of the domain encodes to its name anywhere
// (g_dbus_error_encode_gerror) and a received one decodes to the domain. One
// name can belong to one domain only: the freedesktop names are GIO's own
// (G_DBUS_ERROR), and must stay GIO's so that a D-Bus error the service
// receives (ServiceUnknown from polkit or logind, say) still matches
// G_DBUS_ERROR. Those entries are left out of the registration; the reply
// carries their name all the same. A further domain is one more enum in the
// header, one more table and quark function here, and its reply function.
#include "tirvane-server-errors.h"

#include "common.h"

#include <cstddef>
#include <vector>

namespace
{

struct ErrorDomain {
    const char *quark_name;
    const GDBusErrorEntry *entries;
    size_t n_entries;
};

const GDBusErrorEntry kTvpErrorNames[] = {
    {TVP_ERROR_FAILED, "org.freedesktop.DBus.Error.Failed"},
    {TVP_ERROR_ACCESS_DENIED, "org.freedesktop.DBus.Error.AccessDenied"},
    {TVP_ERROR_INVALID_ARGS, "org.freedesktop.DBus.Error.InvalidArgs"},
    {TVP_ERROR_NO_MEMORY, "org.freedesktop.DBus.Error.NoMemory"},
    {TVP_ERROR_UNKNOWN_METHOD, "org.freedesktop.DBus.Error.UnknownMethod"},
};

const ErrorDomain kTvpErrorDomain = {"tvp-error-quark", kTvpErrorNames, G_N_ELEMENTS(kTvpErrorNames)};

const GDBusErrorEntry kFprintErrorNames[] = {
    {FPRINT_ERROR_CLAIM_DEVICE, "net.reactivated.Fprint.Error.ClaimDevice"},
    {FPRINT_ERROR_ALREADY_IN_USE, "net.reactivated.Fprint.Error.AlreadyInUse"},
    {FPRINT_ERROR_INTERNAL, "net.reactivated.Fprint.Error.Internal"},
    {FPRINT_ERROR_PERMISSION_DENIED, "net.reactivated.Fprint.Error.PermissionDenied"},
    {FPRINT_ERROR_NO_ENROLLED_PRINTS, "net.reactivated.Fprint.Error.NoEnrolledPrints"},
    {FPRINT_ERROR_FINGER_ALREADY_ENROLLED, "net.reactivated.Fprint.Error.FingerAlreadyEnrolled"},
    {FPRINT_ERROR_NO_ACTION_IN_PROGRESS, "net.reactivated.Fprint.Error.NoActionInProgress"},
    {FPRINT_ERROR_INVALID_FINGERNAME, "net.reactivated.Fprint.Error.InvalidFingername"},
    {FPRINT_ERROR_NO_SUCH_DEVICE, "net.reactivated.Fprint.Error.NoSuchDevice"},
    {FPRINT_ERROR_PRINTS_NOT_DELETED, "net.reactivated.Fprint.Error.PrintsNotDeleted"},
};

const ErrorDomain kFprintErrorDomain = {"fprint-error-quark", kFprintErrorNames,
                                        G_N_ELEMENTS(kFprintErrorNames)};

// Whether another domain (GIO's, in practice) decodes `name` already.
bool name_taken(const char *name)
{
    g_autoptr(GError) probe = g_dbus_error_new_for_dbus_error(name, "");
    return !g_error_matches(probe, G_IO_ERROR, G_IO_ERROR_DBUS_ERROR);
}

GQuark register_domain(const ErrorDomain &domain, gsize *quark)
{
    if (g_once_init_enter(quark)) {
        // GIO registers its names when its domain is first used; make sure that
        // has happened, or a name of ours could take one of its names first.
        (void)G_DBUS_ERROR;
        std::vector<GDBusErrorEntry> free_names;
        for (size_t i = 0; i < domain.n_entries; ++i) {
            if (!name_taken(domain.entries[i].dbus_error_name)) {
                free_names.push_back(domain.entries[i]);
            }
        }
        // The registry copies the names; the filtered table need not outlive
        // the call, and this once-guard already makes the call happen once.
        // GLib wants at least one entry; a domain of GIO's names only has none
        // left, and its quark is all there is to make.
        if (!free_names.empty()) {
            gsize registered = 0;
            g_dbus_error_register_error_domain(domain.quark_name, &registered, free_names.data(),
                                               static_cast<guint>(free_names.size()));
        }
        g_once_init_leave(quark, g_quark_from_static_string(domain.quark_name));
    }
    return static_cast<GQuark>(*quark);
}

const char *name_in(const ErrorDomain &domain, int code)
{
    for (size_t i = 0; i < domain.n_entries; ++i) {
        if (domain.entries[i].error_code == code) {
            return domain.entries[i].dbus_error_name;
        }
    }
    return nullptr;
}

void return_error_of(GDBusMethodInvocation *invocation, const ErrorDomain &domain, int code,
                     const char *message)
{
    const char *name = name_in(domain, code);
    if (name == nullptr) {
        // A code without a table row is a mistake of ours; still answer.
        TVP_LOG(ERR_LOG_GRADE, "error code %d of %s has no D-Bus name.\n", code, domain.quark_name);
        name = "org.freedesktop.DBus.Error.Failed";
    }
    g_dbus_method_invocation_return_dbus_error(invocation, name, message);
}

} // namespace

GQuark tvp_error_quark(void)
{
    static gsize quark = 0;
    return register_domain(kTvpErrorDomain, &quark);
}

const char *tvp_error_name(TvpError code)
{
    const char *name = name_in(kTvpErrorDomain, code);
    return name != nullptr ? name : "org.freedesktop.DBus.Error.Failed";
}

void tvp_return_error(GDBusMethodInvocation *invocation, TvpError code, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    g_autofree char *message = g_strdup_vprintf(fmt, args);
    va_end(args);
    return_error_of(invocation, kTvpErrorDomain, code, message);
}

GQuark fprint_error_quark(void)
{
    static gsize quark = 0;
    return register_domain(kFprintErrorDomain, &quark);
}

void fprint_return_error(GDBusMethodInvocation *invocation, FprintError code, const char *fmt, ...)
{
    (void)FPRINT_ERROR; // registered before the first reply, for clients in this process
    va_list args;
    va_start(args, fmt);
    g_autofree char *message = g_strdup_vprintf(fmt, args);
    va_end(args);
    return_error_of(invocation, kFprintErrorDomain, code, message);
}
