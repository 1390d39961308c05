// Bus-facing pieces of the service core shared by its files: the skeleton, the
// handlers and the worker hand-over.
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

// Device-level methods.
gboolean gdbus_handle_open_device(Tirvane *skeleton, GDBusMethodInvocation *invocation, gint i);
gboolean gdbus_handle_release_device(Tirvane *skeleton, GDBusMethodInvocation *invocation, gint i);
gboolean gdbus_handle_reset_device(Tirvane *skeleton, GDBusMethodInvocation *invocation, gint i);
gboolean gdbus_handle_set_storage_type(Tirvane *skeleton, GDBusMethodInvocation *invocation, gint type);
gboolean gdbus_handle_get_device_count(Tirvane *skeleton, GDBusMethodInvocation *invocation);
gboolean gdbus_handle_get_device_name(Tirvane *skeleton, GDBusMethodInvocation *invocation);
// The bodies of the replies of getDeviceCount and getDeviceName, as their
// handlers answer them, for calls answered where they arrive (see
// tirvane-server-bus.cpp); callable from any thread.
GVariant *tvp_get_device_count_answer(void);
GVariant *tvp_get_device_name_answer(void);
// The reply of listfingers for `id` when it can be built anywhere (module present,
// list table in step with its file), with the handler's log lines; null when the
// call must go to its handler.
GVariant *tvp_listfingers_quick_answer(const char *id);
gboolean gdbus_handle_export_all_data_from_device(Tirvane *skeleton, GDBusMethodInvocation *invocation,
                                                  const gchar *path);
gboolean gdbus_handle_export_data_stop(Tirvane *skeleton, GDBusMethodInvocation *invocation);
gboolean gdbus_handle_import_all_data_to_device(Tirvane *skeleton, GDBusMethodInvocation *invocation);
gboolean gdbus_handle_import_data_stop(Tirvane *skeleton, GDBusMethodInvocation *invocation);

// Enrolment.
gboolean gdbus_handle_enroll(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id,
                             const gchar *finger);
gboolean gdbus_handle_stop_enroll(Tirvane *skeleton, GDBusMethodInvocation *invocation);
// Workers take the WorkerCall their handler made and free it.
void *gdbus_enroll_pt(void *call);
void *gdbus_stop_enroll_pt(void *call);

// Verification.
gboolean gdbus_handle_verify(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id,
                             gint try_count);
gboolean gdbus_handle_verify_stop(Tirvane *skeleton, GDBusMethodInvocation *invocation);
void *gdbus_verify_pt(void *call);
void *gdbus_verify_stop_pt(void *call);

// Fingerprint management.
gboolean gdbus_handle_listfingers(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id);
gboolean gdbus_handle_renamefinger_name(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id,
                                        const gchar *finger, const gchar *newName);
gboolean gdbus_handle_delete_finger_by_name(Tirvane *skeleton, GDBusMethodInvocation *invocation,
                                            const gchar *id, const gchar *finger);
gboolean gdbus_handle_delete_all_feature_by_user_id(Tirvane *skeleton, GDBusMethodInvocation *invocation,
                                                    const gchar *id);

// Removes from the module every template in the enrolment window that the
// list does not know; the module must be open.
int tvp_delete_invalid_feature(tvp_dev *dev);

// Background maintenance threads.
void *tvp_upgrade_pt_notdelay(void *arg);
void *tirvane_upgrade_pt(void *arg);
int tvp_onekey_powerup_identify(tvp_dev *dev);
int tvp_check_firmware_version(tvp_dev *dev);
int tvp_upgrade_pt(tvp_dev *dev, int dev_exit_flag);
int tvp_ops_cancel(tvp_dev *dev);
// Makes sure upgrade attempts run (a new bounded round, or a restarted count).
void tvp_request_upgrade_attempts(void);
// The module arrived (or answered) in application mode: an upgrade state left
// set by a restart it ignored or a round that could not reach it is cleared.
void tvp_module_back_in_application(void);

// The authorisation gate. Connected to a handler signal before the handler, it
// runs first and answers a refused call itself.
void tvp_connect_method_gate(gpointer skeleton, const char *handler_signal);
// Whether the gate has a rule for the method; a method without one is refused.
bool tvp_method_has_rule(const char *method);
// Whether the method's rule lets every caller through without asking anyone.
bool tvp_method_open_to_all(const char *method);
// Whether the gate would let a call of `method` from the bus name `sender`
// through at once, asking no one: a method open to all, or a sender already
// known to be root. Argument sizes are not looked at. Callable from any thread.
bool tvp_call_passes_gate_at_once(const char *method, const char *sender);
// The polkit action a caller other than root needs for the method, for its own
// user id or (`other_user`) for another's; null when polkit is never asked or
// the method has no rule.
const char *tvp_method_polkit_action(const char *method, bool other_user);
// Answers a call with the AccessDenied error; `fmt` holds one %s, the method.
void tvp_deny_call(GDBusMethodInvocation *invocation, const char *fmt, const char *method);

// Builds the worker argument list: cells holding the skeleton and the
// invocation (the call's own arguments are appended by its WorkerCall).
GSList *tvp_worker_args(Tirvane *skeleton, GDBusMethodInvocation *invocation);
