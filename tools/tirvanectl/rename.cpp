// tirvanectl rename USER FINGER NEW: gives one of a user's fingers a new name.
#include "tirvanectl.h"

namespace tirvanectl
{

int run_rename(Tirvane *proxy, const Args &args, const Options &options)
{
    (void)options;
    const std::string &user = args[0];
    const std::string &finger = args[1];
    const std::string &new_name = args[2];
    int status = kExitOk;

    // The service answers a rename of an unknown finger without complaint; the
    // list tells what happened. Without a device the list is empty and tells
    // nothing, so the checks are left out then.
    int devices = 0;
    if (!device_count(proxy, &devices, &status)) {
        return status;
    }
    std::vector<std::string> fingers;
    if (devices > 0) {
        if (!list_fingers(proxy, user, &fingers, &status)) {
            return status;
        }
        if (!contains(fingers, finger)) {
            print_error("user %s has no finger named %s", user.c_str(), finger.c_str());
            return kExitFailed;
        }
        if (finger != new_name && contains(fingers, new_name)) {
            print_error("user %s already has a finger named %s", user.c_str(), new_name.c_str());
            return kExitFailed;
        }
    }

    g_autoptr(GError) error = nullptr;
    if (!tirvane_call_renamefinger_name_sync(proxy, user.c_str(), finger.c_str(), new_name.c_str(), nullptr,
                                             &error)) {
        return report_bus_error(error);
    }

    if (devices > 0) {
        if (!list_fingers(proxy, user, &fingers, &status)) {
            return status;
        }
        if (!contains(fingers, new_name)) {
            print_error("the service did not rename %s", finger.c_str());
            return kExitFailed;
        }
    }
    print_line("renamed");
    return kExitOk;
}

} // namespace tirvanectl
