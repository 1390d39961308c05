// tirvanectl verify USER: checks touches against a user's fingers.
#include "tirvanectl.h"

namespace tirvanectl
{

namespace
{

const char *retry_hint(int subcode)
{
    switch (subcode) {
    case TVP_VERIFY_TOUCH_TOO_SHORT:
        return "touch too short, leave your finger on the sensor a little longer";
    case TVP_VERIFY_FINGER_NOT_CENTERED:
        return "finger not centred, centre your finger on the sensor";
    case TVP_VERIFY_REMOVE_AND_RETRY:
        return "remove your finger and touch the sensor again";
    case TVP_VERIFY_QUALITY_BAD:
        return "poor quality, clean the sensor / press again";
    default:
        return "touch the sensor again";
    }
}

std::string error_reason(const char *msg)
{
    int subcode = 0;
    if (!payload_int(msg, TVP_MSG_KEY_SUBCODE, &subcode)) {
        return "the service gave no reason";
    }
    if (subcode == TVP_VERIFY_ERROR_BUSY) {
        return "the device is busy or the module reported an error";
    }
    if (subcode == TVP_VERIFY_ERROR_LOCKED_OUT) {
        return "too many failed touches, fingerprints are locked for a while";
    }
    return "reason " + std::to_string(subcode);
}

struct Verification {
    Operation *operation;
    std::string user;
    bool once;
};

void on_verify_status(Tirvane *proxy, const gchar *id, gint code, const gchar *msg, gpointer data)
{
    (void)proxy;
    auto *verification = static_cast<Verification *>(data);
    Operation &operation = *verification->operation;
    if (g_strcmp0(id, verification->user.c_str()) != 0 || operation.finished()) {
        return;
    }
    if (operation.stopping()) {
        if (code == TVP_VERIFY_STATUS_MATCH) {
            print_line("match");
            operation.settle(kExitOk);
        }
        return;
    }
    int subcode = 0;
    switch (code) {
    case TVP_VERIFY_STATUS_MATCH:
        print_line("match");
        operation.finish(kExitOk);
        break;
    case TVP_VERIFY_STATUS_NOMATCH:
        print_line("no match");
        if (verification->once) {
            operation.stop(kExitFailed);
        }
        break;
    case TVP_VERIFY_STAGE_ERROR:
        print_line("verification failed: %s", error_reason(msg).c_str());
        operation.finish(kExitFailed);
        break;
    case TVP_VERIFY_STAGE_RETRY:
        if (!payload_int(msg, TVP_MSG_KEY_SUBCODE, &subcode)) {
            subcode = 0;
        }
        print_line("retry: %s", retry_hint(subcode));
        break;
    case TVP_VERIFY_STAGE_DISCONNECTED:
        // The service may keep waiting for the module to come back; this client
        // does not, and releases the device.
        print_line("device disconnected");
        operation.stop(kExitFailed);
        break;
    default:
        break; // codes of later service versions
    }
}

} // namespace

int run_verify(Tirvane *proxy, const Args &args, const Options &options)
{
    const std::string &user = args[0];
    Operation operation(proxy, tirvane_call_verify_stop, options);
    Verification verification{&operation, user, options.once};
    // Connected before the call: the first signals may follow its reply at once.
    const gulong handler =
        g_signal_connect(proxy, "verify-status-changed", G_CALLBACK(on_verify_status), &verification);

    g_autoptr(GError) error = nullptr;
    int status = kExitOk;
    if (tirvane_call_verify_sync(proxy, user.c_str(), 1, nullptr, &error)) {
        print_line("verifying user %s; touch the sensor", user.c_str());
        status = operation.run();
    } else {
        status = report_bus_error(error);
    }
    g_signal_handler_disconnect(proxy, handler);
    return status;
}

} // namespace tirvanectl
