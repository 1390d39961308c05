// tirvanectl info: the device's name and the number of devices.
#include "tirvanectl.h"

namespace tirvanectl
{

int run_info(Tirvane *proxy, const Args &args, const Options &options)
{
    (void)args;
    (void)options;
    g_autoptr(GError) error = nullptr;
    g_autofree gchar *name = nullptr;
    if (!tirvane_call_get_device_name_sync(proxy, &name, nullptr, &error)) {
        return report_bus_error(error);
    }
    int status = kExitOk;
    int devices = 0;
    if (!device_count(proxy, &devices, &status)) {
        return status;
    }
    print_line("device name: %s", name != nullptr ? name : "");
    print_line("device count: %d", devices);
    return kExitOk;
}

} // namespace tirvanectl
