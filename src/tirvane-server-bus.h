// The bus side of our own interface: the skeleton and its name, the status
// signals, and the hand-over of a call's arguments to a worker.
#pragma once

#include "tirvane-generated.h"
#include "tirvane-server.h"
#include "tirvane_common.h"

#include <gio/gio.h>

extern TirvaneSkeleton *pSkeleton;

void GBusAcquired_Callback(GDBusConnection *connection, const gchar *name, gpointer user_data);
void GBusNameAcquired_Callback(GDBusConnection *connection, const gchar *name, gpointer user_data);
void GBusNameLost_Callback(GDBusConnection *connection, const gchar *name, gpointer user_data);
// Quits the main loop; set by main before the name is requested.
void tvp_server_set_main_loop(GMainLoop *loop);

void gdbus_signal_enroll_status_changed(char *id, int code, char *msg);
void gdbus_signal_verify_status_changed(char *id, int code, char *msg);
void gdbus_signal_data_export_status(char *id, int code, char *msg);
void gdbus_signal_data_import_status(char *id, int code, char *msg);
void gdbus_signal_rest_status(char *id, int code, char *msg);

struct TvpCaller;
// A status signal of an operation (enrollStatusChanged, verifyStatusChanged),
// sent to the connection that started it only: who enrols or verifies, and
// whether a touch matched, is nobody else's business, and a client waiting for
// its own result must never see another operation's. Without a known caller
// the signal goes through the broadcast forwarder of the same name.
void tvp_emit_status_to(const TvpCaller *to, const char *signal, char *id, int code, char *msg);

// Builds the worker argument list: cells holding the skeleton and the
// invocation (the call's own arguments are appended by its WorkerCall).
GSList *tvp_worker_args(Tirvane *skeleton, GDBusMethodInvocation *invocation);
