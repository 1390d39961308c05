// tirvanectl delete USER FINGER and delete-all USER: removes fingers.
//
// The service answers deletions without telling whether anything was deleted
// (the device may be absent or busy), so the list is read before and after.
#include "tirvanectl.h"

namespace tirvanectl
{

namespace
{

// Deletions need the module; false (reported) when the service drives none.
bool device_present(Tirvane *proxy, int *status)
{
    int devices = 0;
    if (!device_count(proxy, &devices, status)) {
        return false;
    }
    if (devices < 1) {
        print_error("no fingerprint device is present");
        *status = kExitFailed;
        return false;
    }
    return true;
}

} // namespace

int run_delete(Tirvane *proxy, const Args &args, const Options &options)
{
    (void)options;
    const std::string &user = args[0];
    const std::string &finger = args[1];
    int status = kExitOk;
    if (!device_present(proxy, &status)) {
        return status;
    }
    std::vector<std::string> fingers;
    if (!list_fingers(proxy, user, &fingers, &status)) {
        return status;
    }
    if (!contains(fingers, finger)) {
        print_error("user %s has no finger named %s", user.c_str(), finger.c_str());
        return kExitFailed;
    }

    g_autoptr(GError) error = nullptr;
    if (!tirvane_call_delete_finger_by_name_sync(proxy, user.c_str(), finger.c_str(), nullptr, &error)) {
        return report_bus_error(error);
    }

    if (!list_fingers(proxy, user, &fingers, &status)) {
        return status;
    }
    if (contains(fingers, finger)) {
        print_error("%s was not deleted (the device is busy or the module refused)", finger.c_str());
        return kExitFailed;
    }
    print_line("deleted");
    return kExitOk;
}

int run_delete_all(Tirvane *proxy, const Args &args, const Options &options)
{
    (void)options;
    const std::string &user = args[0];
    int status = kExitOk;
    if (!device_present(proxy, &status)) {
        return status;
    }
    std::vector<std::string> before;
    if (!list_fingers(proxy, user, &before, &status)) {
        return status;
    }

    g_autoptr(GError) error = nullptr;
    if (!tirvane_call_delete_all_feature_by_user_id_sync(proxy, user.c_str(), nullptr, &error)) {
        return report_bus_error(error);
    }

    std::vector<std::string> after;
    if (!list_fingers(proxy, user, &after, &status)) {
        return status;
    }
    if (!after.empty()) {
        print_error("%zu of %zu fingers were not deleted (the device is busy or the module refused)",
                    after.size(), before.size());
        return kExitFailed;
    }
    print_line("deleted %zu finger%s", before.size(), before.size() == 1 ? "" : "s");
    return kExitOk;
}

} // namespace tirvanectl
