// Our interface's device-level methods: open, release, reset, storage type,
// the device count and name, export and import.
#pragma once

#include "tirvane-generated.h"
#include "tirvane_common.h"

#include <gio/gio.h>

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
gboolean gdbus_handle_export_all_data_from_device(Tirvane *skeleton, GDBusMethodInvocation *invocation,
                                                  const gchar *path);
gboolean gdbus_handle_export_data_stop(Tirvane *skeleton, GDBusMethodInvocation *invocation);
gboolean gdbus_handle_import_all_data_to_device(Tirvane *skeleton, GDBusMethodInvocation *invocation);
gboolean gdbus_handle_import_data_stop(Tirvane *skeleton, GDBusMethodInvocation *invocation);
