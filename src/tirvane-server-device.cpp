// Device-level methods: acknowledgements and the device's count and name.
#include "tirvane-server-device.h"
#include "common.h"
#include "tirvane-server-bus.h"
#include "tirvane_common.h"

namespace
{

// Common shape: log the start, refuse quietly on a disabled device, answer.
bool device_enabled()
{
    if (dev_tirvane->enable == 0) {
        TVP_LOG(ERR_LOG_GRADE, "tirvane-serverd not enable!!!\n");
        return false;
    }
    return true;
}

} // namespace

gboolean gdbus_handle_open_device(Tirvane *skeleton, GDBusMethodInvocation *invocation, gint i)
{
    (void)i;
    device_enabled();
    tirvane_complete_open_device(skeleton, invocation);
    return TRUE;
}

gboolean gdbus_handle_release_device(Tirvane *skeleton, GDBusMethodInvocation *invocation, gint i)
{
    TVP_LOG(DBG_LOG_GRADE, "start. i = %d\n", i);
    device_enabled();
    tirvane_complete_release_device(skeleton, invocation);
    return TRUE;
}

gboolean gdbus_handle_reset_device(Tirvane *skeleton, GDBusMethodInvocation *invocation, gint i)
{
    TVP_LOG(DBG_LOG_GRADE, "start. i = %d\n", i);
    device_enabled();
    tirvane_complete_reset_device(skeleton, invocation);
    return TRUE;
}

gboolean gdbus_handle_set_storage_type(Tirvane *skeleton, GDBusMethodInvocation *invocation, gint type)
{
    TVP_LOG(DBG_LOG_GRADE, "start. type = %d\n", type);
    device_enabled();
    tirvane_complete_set_storage_type(skeleton, invocation);
    return TRUE;
}

// The replies are built by the answer functions below, which the bus
// connection's quick path uses too, so both answer and log alike.
gboolean gdbus_handle_get_device_count(Tirvane *skeleton, GDBusMethodInvocation *invocation)
{
    (void)skeleton;
    g_dbus_method_invocation_return_value(invocation, tvp_get_device_count_answer());
    return TRUE;
}

gboolean gdbus_handle_get_device_name(Tirvane *skeleton, GDBusMethodInvocation *invocation)
{
    (void)skeleton;
    g_dbus_method_invocation_return_value(invocation, tvp_get_device_name_answer());
    return TRUE;
}

gboolean gdbus_handle_export_all_data_from_device(Tirvane *skeleton, GDBusMethodInvocation *invocation,
                                                  const gchar *path)
{
    TVP_LOG(DBG_LOG_GRADE, "start. path = %s\n", path);
    device_enabled();
    tirvane_complete_export_all_data_from_device(skeleton, invocation);
    return TRUE;
}

gboolean gdbus_handle_export_data_stop(Tirvane *skeleton, GDBusMethodInvocation *invocation)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    const bool enabled = device_enabled();
    tirvane_complete_export_data_stop(skeleton, invocation);
    if (enabled) {
        TVP_LOG(DBG_LOG_GRADE, "end.\n");
    }
    return TRUE;
}

gboolean gdbus_handle_import_all_data_to_device(Tirvane *skeleton, GDBusMethodInvocation *invocation)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    device_enabled();
    tirvane_complete_import_all_data_to_device(skeleton, invocation);
    return TRUE;
}

gboolean gdbus_handle_import_data_stop(Tirvane *skeleton, GDBusMethodInvocation *invocation)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    const bool enabled = device_enabled();
    tirvane_complete_import_data_stop(skeleton, invocation);
    if (enabled) {
        TVP_LOG(DBG_LOG_GRADE, "end.\n");
    }
    return TRUE;
}

GVariant *tvp_get_device_count_answer(void)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    if (!device_enabled()) {
        return g_variant_new("(i)", 0);
    }
    GVariant *answer = g_variant_new("(i)", dev_tirvane->dev_num.load());
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return answer;
}

GVariant *tvp_get_device_name_answer(void)
{
    TVP_LOG(DBG_LOG_GRADE, "start\n");
    GVariant *answer = g_variant_new("(s)", dev_tirvane->device_name);
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return answer;
}
