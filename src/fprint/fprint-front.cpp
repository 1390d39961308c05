// The desktop's fingerprint interface on the bus: its name, its Manager, and
// its Device object, which is there while the module is.
#include "fprint-front.h"

#include "common.h"
#include "fprint-device.h"
#include "fprint-generated.h"
#include "fprint-main-loop.h"
#include "tirvane-server-errors.h"
#include "tirvane_common-presence.h"
#include "tirvane_common.h"

namespace
{

constexpr const char *kFprintName = "net.reactivated.Fprint";
constexpr const char *kManagerPath = "/net/reactivated/Fprint/Manager";

struct Front {
    GDBusConnection *connection = nullptr;
    FprintManager *manager = nullptr;
    FprintDevice *device = nullptr;
    bool device_exported = false;
    bool name_owned = false;
};

Front front;

gboolean on_get_devices(FprintManager *manager, GDBusMethodInvocation *invocation)
{
    const char *none[] = {nullptr};
    const char *one[] = {kFprintDevicePath, nullptr};
    fprint_manager_complete_get_devices(manager, invocation, front.device_exported ? one : none);
    return TRUE;
}

gboolean on_get_default_device(FprintManager *manager, GDBusMethodInvocation *invocation)
{
    if (!front.device_exported) {
        fprint_return_error(invocation, FPRINT_ERROR_NO_SUCH_DEVICE, "No devices available");
    } else {
        fprint_manager_complete_get_default_device(manager, invocation, kFprintDevicePath);
    }
    return TRUE;
}

// Shows or hides the Device object as the module comes and goes.
void follow_presence(bool present)
{
    if (present == front.device_exported || front.device == nullptr) {
        return;
    }
    if (present) {
        fprint_device_set_name(front.device, dev_tirvane->device_name);
        g_autoptr(GError) error = nullptr;
        if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(front.device), front.connection,
                                              kFprintDevicePath, &error)) {
            TVP_LOG(ERR_LOG_GRADE, "the desktop interface's device could not be exported: %s\n",
                    error->message);
            return;
        }
        front.device_exported = true;
        TVP_LOG(LOG_LOG_GRADE, "desktop interface: device %s is there.\n", kFprintDevicePath);
    } else {
        g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(front.device));
        front.device_exported = false;
        fprint_device_module_left();
        TVP_LOG(LOG_LOG_GRADE, "desktop interface: device %s is gone.\n", kFprintDevicePath);
    }
}

// Heard under the presence unit's lock, on the thread that saw the change:
// the main loop reads the presence again when it gets there, so a burst of
// changes ends with the one that holds.
void on_presence_changed(bool, void *)
{
    fprint_on_main_loop([] {
        if (front.name_owned) {
            follow_presence(fprint_device_module_present());
        }
    });
}

void on_name_owner_changed(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                           GVariant *parameters, gpointer)
{
    const gchar *name = nullptr;
    const gchar *old_owner = nullptr;
    const gchar *new_owner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &name, &old_owner, &new_owner);
    if (name[0] == ':' && new_owner[0] == '\0') {
        fprint_device_name_vanished(name);
    }
}

void on_name_acquired(GDBusConnection *, const gchar *name, gpointer)
{
    TVP_LOG(LOG_LOG_GRADE, "desktop interface: %s acquired.\n", name);
    front.name_owned = true;
    follow_presence(fprint_device_module_present());
}

void on_name_lost(GDBusConnection *, const gchar *name, gpointer)
{
    // Logged once: either another service (fprintd, say) has the name, or
    // the bus policy does not let us own it.
    static bool logged = false;
    if (!logged) {
        logged = true;
        TVP_LOG(LOG_LOG_GRADE,
                "desktop interface: %s is owned by another process or not ours to own; serving %s only.\n",
                name, "nuvex.kal.Tirvane");
    }
    front.name_owned = false;
    follow_presence(false);
}

} // namespace

void tvp_fprint_front_init(void)
{
    if (tvp_priv(dev_tirvane)->config.desktop_interface != 0) {
        tvp_presence_add_listener(on_presence_changed, nullptr);
    }
}

void tvp_fprint_front_start(GDBusConnection *connection)
{
    if (tvp_priv(dev_tirvane)->config.desktop_interface == 0) {
        TVP_LOG(LOG_LOG_GRADE, "desktop interface: switched off.\n");
        return;
    }
    front.connection = G_DBUS_CONNECTION(g_object_ref(connection));
    front.manager = fprint_manager_skeleton_new();
    g_signal_connect(front.manager, "handle-get-devices", G_CALLBACK(on_get_devices), nullptr);
    g_signal_connect(front.manager, "handle-get-default-device", G_CALLBACK(on_get_default_device), nullptr);
    g_autoptr(GError) error = nullptr;
    if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(front.manager), connection, kManagerPath,
                                          &error)) {
        TVP_LOG(ERR_LOG_GRADE, "the desktop interface's manager could not be exported: %s\n", error->message);
        return;
    }
    front.device = fprint_device_skeleton_create();
    // Every client that leaves the bus, heard once for all: a claim it held goes.
    g_dbus_connection_signal_subscribe(connection, "org.freedesktop.DBus", "org.freedesktop.DBus",
                                       "NameOwnerChanged", "/org/freedesktop/DBus", nullptr,
                                       G_DBUS_SIGNAL_FLAGS_NONE, on_name_owner_changed, nullptr, nullptr);
    g_bus_own_name_on_connection(connection, kFprintName, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
                                 on_name_acquired, on_name_lost, nullptr, nullptr);
}
