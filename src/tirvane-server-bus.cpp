// Bus ownership, the exported skeleton, the status-signal forwarders and the
// hand-over of calls to worker threads.
#include "tirvane-server-bus.h"
#include "common.h"
#include "fprint/fprint-front.h"
#include "tirvane-server-auth.h"
#include "tirvane-server-device.h"
#include "tirvane-server-enroll.h"
#include "tirvane-server-manage.h"
#include "tirvane-server-session.h"
#include "tirvane-server-sleep.h"
#include "tirvane-server-verify.h"
#include "tirvane_common.h"
#include "upgrade.h"

#include <atomic>
#include <cstring>

TirvaneSkeleton *pSkeleton = nullptr;

TVP_ENROLL_STATUS_CHANGED_CALLBACK tvp_enroll_status_changed_callback = nullptr;
TVP_VERIFY_STATUS_CHANGED_CALLBACK tvp_verify_status_changed_callback = nullptr;
TVP_DATA_EXPORT_STATUS_CALLBACK tvp_data_export_status_callback = nullptr;
TVP_DATA_IMPORT_STATUS_CALLBACK tvp_data_import_status_callback = nullptr;
TVP_REST_STATUS_CALLBACK tvp_rest_status_callback = nullptr;

namespace
{

GMainLoop *main_loop = nullptr;

struct HandlerConnection {
    const char *signal;
    GCallback handler;
};

const HandlerConnection kHandlers[] = {
    {"handle-open-device", G_CALLBACK(gdbus_handle_open_device)},
    {"handle-release-device", G_CALLBACK(gdbus_handle_release_device)},
    {"handle-enroll", G_CALLBACK(gdbus_handle_enroll)},
    {"handle-stop-enroll", G_CALLBACK(gdbus_handle_stop_enroll)},
    {"handle-verify", G_CALLBACK(gdbus_handle_verify)},
    {"handle-verify-stop", G_CALLBACK(gdbus_handle_verify_stop)},
    {"handle-delete-finger-by-name", G_CALLBACK(gdbus_handle_delete_finger_by_name)},
    {"handle-delete-all-feature-by-user-id", G_CALLBACK(gdbus_handle_delete_all_feature_by_user_id)},
    {"handle-listfingers", G_CALLBACK(gdbus_handle_listfingers)},
    {"handle-renamefinger-name", G_CALLBACK(gdbus_handle_renamefinger_name)},
    {"handle-export-all-data-from-device", G_CALLBACK(gdbus_handle_export_all_data_from_device)},
    {"handle-export-data-stop", G_CALLBACK(gdbus_handle_export_data_stop)},
    {"handle-import-all-data-to-device", G_CALLBACK(gdbus_handle_import_all_data_to_device)},
    {"handle-import-data-stop", G_CALLBACK(gdbus_handle_import_data_stop)},
    {"handle-get-device-count", G_CALLBACK(gdbus_handle_get_device_count)},
    {"handle-get-device-name", G_CALLBACK(gdbus_handle_get_device_name)},
    {"handle-reset-device", G_CALLBACK(gdbus_handle_reset_device)},
    {"handle-set-storage-type", G_CALLBACK(gdbus_handle_set_storage_type)},
};

constexpr const char *kObjectPath = TVP_BUS_OBJECT_PATH;
constexpr const char *kInterfaceName = TVP_BUS_INTERFACE;

// Calls answered on the bus connection's own thread. A call dispatched through
// the skeleton crosses from the connection's thread to the main loop, and its
// reply crosses back: two thread wake-ups, about a third of the round trip of a
// call that only reads a fact. These methods only read facts fixed before the
// name is owned, kept atomically, or copied out of the list store under its
// lock, so they are answered where they arrive, with the same reply and log
// lines as their handlers, when the gate would let the call through at once
// (getDeviceCount and getDeviceName are open to all; listfingers only for a
// sender known to be root). Any call that does not look exactly like that
// (another path or interface, none given, other arguments or an oversized one,
// no reply wanted, the object not yet exported, a caller the gate must look up
// or ask polkit about, a listing the handler must do itself) goes through the
// skeleton as every other call does.
struct QuickAnswer {
    const char *method;
    GVariant *(*answer)(void);                      // for a call without arguments
    GVariant *(*answer_for_user)(const char *user); // for a call with one user id
};

const QuickAnswer kQuickAnswers[] = {
    {"getDeviceCount", tvp_get_device_count_answer, nullptr},
    {"getDeviceName", tvp_get_device_name_answer, nullptr},
    {"listfingers", nullptr, tvp_listfingers_quick_answer},
};

std::atomic<bool> skeleton_exported{false};

const QuickAnswer *quick_method_for(GDBusMessage *message)
{
    if (g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL ||
        (g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED) != 0 ||
        !skeleton_exported.load()) {
        return nullptr;
    }
    const char *path = g_dbus_message_get_path(message);
    const char *interface = g_dbus_message_get_interface(message);
    const char *member = g_dbus_message_get_member(message);
    if (path == nullptr || interface == nullptr || member == nullptr || strcmp(path, kObjectPath) != 0 ||
        strcmp(interface, kInterfaceName) != 0) {
        return nullptr;
    }
    for (const auto &quick : kQuickAnswers) {
        if (strcmp(quick.method, member) == 0) {
            return tvp_call_passes_gate_at_once(member, g_dbus_message_get_sender(message)) ? &quick
                                                                                            : nullptr;
        }
    }
    return nullptr;
}

// The reply body, or null when the call must go through the skeleton.
GVariant *quick_answer_to(GDBusMessage *message)
{
    const QuickAnswer *quick = quick_method_for(message);
    if (quick == nullptr) {
        return nullptr;
    }
    GVariant *body = g_dbus_message_get_body(message);
    if (quick->answer != nullptr) {
        return body == nullptr || g_variant_n_children(body) == 0 ? quick->answer() : nullptr;
    }
    if (body == nullptr || !g_variant_is_of_type(body, G_VARIANT_TYPE("(s)"))) {
        return nullptr;
    }
    g_autoptr(GVariant) user = g_variant_get_child_value(body, 0);
    gsize length = 0;
    const char *id = g_variant_get_string(user, &length);
    // An id too long for the list is refused by the gate, with its error.
    return length < TVP_TEXT_FIELD_SIZE ? quick->answer_for_user(id) : nullptr;
}

// A filter of the connection: runs on its thread for every message.
GDBusMessage *answer_quick_calls(GDBusConnection *connection, GDBusMessage *message, gboolean incoming,
                                 gpointer user_data)
{
    (void)user_data;
    GVariant *answer = incoming ? quick_answer_to(message) : nullptr;
    if (answer == nullptr) {
        return message;
    }
    g_autoptr(GDBusMessage) reply = g_dbus_message_new_method_reply(message);
    g_dbus_message_set_body(reply, answer);
    g_dbus_connection_send_message(connection, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    g_object_unref(message);
    return nullptr;
}

} // namespace

void tvp_server_set_main_loop(GMainLoop *loop)
{
    main_loop = loop;
}

void GBusAcquired_Callback(GDBusConnection *connection, const gchar *name, gpointer user_data)
{
    (void)name;
    (void)user_data;
    TVP_LOG(DBG_LOG_GRADE, "GBusAcquired_Callback has been invoked\n");
    pSkeleton = TIRVANE_SKELETON(tirvane_skeleton_new());
    for (const auto &connection_row : kHandlers) {
        tvp_connect_method_gate(pSkeleton, connection_row.signal);
        g_signal_connect(pSkeleton, connection_row.signal, connection_row.handler, nullptr);
    }
    tvp_enroll_status_changed_callback = gdbus_signal_enroll_status_changed;
    tvp_verify_status_changed_callback = gdbus_signal_verify_status_changed;
    tvp_data_export_status_callback = gdbus_signal_data_export_status;
    tvp_data_import_status_callback = gdbus_signal_data_import_status;
    tvp_rest_status_callback = gdbus_signal_rest_status;

    const unsigned state = get_upgrade_state() == 1 ? 1u : tvp_priv(dev_tirvane)->dev_state.load();
    TVP_LOG(LOG_LOG_GRADE, "device state = 0x%02x\n", state);

    g_dbus_connection_add_filter(connection, answer_quick_calls, nullptr, nullptr);
    g_autoptr(GError) error = nullptr;
    if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(pSkeleton), connection, kObjectPath,
                                          &error)) {
        g_print("Error: Failed to export object. Reason: %s.\n", error->message);
        if (main_loop != nullptr) {
            g_main_loop_quit(main_loop);
        }
        return;
    }
    skeleton_exported.store(true);
    tvp_fprint_front_start(connection);
}

void GBusNameAcquired_Callback(GDBusConnection *connection, const gchar *name, gpointer user_data)
{
    (void)name;
    (void)user_data;
    printf("name_acquired_cb called, Acquired bus name: %s\n", TVP_BUS_NAME);
    fflush(stdout);
    tvp_sleep_watch_start(connection);
}

void GBusNameLost_Callback(GDBusConnection *connection, const gchar *name, gpointer user_data)
{
    (void)connection;
    (void)name;
    (void)user_data;
    TVP_LOG(DBG_LOG_GRADE, "GBusNameLost_Callback has been invoked******\n");
}

void gdbus_signal_enroll_status_changed(char *id, int code, char *msg)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\r\n");
    tirvane_emit_enroll_status_changed(TIRVANE(pSkeleton), id, code, msg);
}

void gdbus_signal_verify_status_changed(char *id, int code, char *msg)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\r\n");
    tirvane_emit_verify_status_changed(TIRVANE(pSkeleton), id, code, msg);
}

void tvp_emit_status_to(const TvpCaller *to, const char *signal, char *id, int code, char *msg)
{
    const bool enrol = strcmp(signal, TVP_SIGNAL_ENROLL_STATUS_CHANGED) == 0;
    if (to == nullptr || to->connection == nullptr || to->sender == nullptr) {
        void (*forward)(char *, int, char *) =
            enrol ? tvp_enroll_status_changed_callback : tvp_verify_status_changed_callback;
        if (forward != nullptr) {
            forward(id, code, msg);
        }
        return;
    }
    TVP_LOG(DBG_LOG_GRADE, "start.\r\n");
    g_autoptr(GError) error = nullptr;
    if (!g_dbus_connection_emit_signal(to->connection, to->sender, kObjectPath, kInterfaceName, signal,
                                       g_variant_new("(sis)", id, code, msg), &error)) {
        TVP_LOG(ERR_LOG_GRADE, "Error[%d]: %s\n", error->code, error->message);
    }
}

void gdbus_signal_data_export_status(char *id, int code, char *msg)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\r\n");
    tirvane_emit_data_export_status(TIRVANE(pSkeleton), id, code, msg);
    TVP_LOG(DBG_LOG_GRADE, "end.\r\n");
}

void gdbus_signal_data_import_status(char *id, int code, char *msg)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\r\n");
    tirvane_emit_data_import_status(TIRVANE(pSkeleton), id, code, msg);
    TVP_LOG(DBG_LOG_GRADE, "end.\r\n");
}

void gdbus_signal_rest_status(char *id, int code, char *msg)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\r\n");
    tirvane_emit_rest_status(TIRVANE(pSkeleton), id, code, msg);
    TVP_LOG(DBG_LOG_GRADE, "end.\r\n");
}

GSList *tvp_worker_args(Tirvane *skeleton, GDBusMethodInvocation *invocation)
{
    auto **skeleton_cell = static_cast<Tirvane **>(g_malloc0(sizeof(void *)));
    auto **invocation_cell = static_cast<GDBusMethodInvocation **>(g_malloc0(sizeof(void *)));
    *skeleton_cell = skeleton;
    *invocation_cell = invocation;
    GSList *argv = nullptr;
    argv = g_slist_append(argv, skeleton_cell);
    argv = g_slist_append(argv, invocation_cell);
    return argv;
}
