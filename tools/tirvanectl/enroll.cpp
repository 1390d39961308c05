// tirvanectl enroll USER FINGER: enrols a finger and follows its progress.
#include "tirvanectl.h"

#include <algorithm>
#include <unistd.h>

namespace tirvanectl
{

namespace
{

const char *retry_hint(int subcode)
{
    switch (subcode) {
    case TVP_ENROLL_RETRY_AREA_TOO_SMALL:
        return "area too small, press a larger part of your finger";
    case TVP_ENROLL_RETRY_QUALITY_BAD:
        return "poor quality, clean the sensor / press again";
    case TVP_ENROLL_RETRY_POSITION_REPEATED:
        return "position already captured, move your finger a little";
    case TVP_ENROLL_RETRY_ALREADY_ENROLLED:
        return "this finger is already enrolled";
    case TVP_ENROLL_RETRY_TOUCH_FAILED:
        return "enrolment of this touch failed, press again";
    default:
        return "press your finger again";
    }
}

std::string failure_reason(const char *msg)
{
    int subcode = 0;
    if (!payload_int(msg, TVP_MSG_KEY_SUBCODE, &subcode)) {
        return "the service gave no reason";
    }
    switch (subcode) {
    case TVP_ENROLL_FAILED_BUSY:
        return "the device is busy or the module reported an error";
    case TVP_ENROLL_FAILED_STOPPED:
        return "stopped or timed out";
    case TVP_ENROLL_FAILED_STORAGE_FULL:
        return "the fingerprint storage is full";
    default:
        return "reason " + std::to_string(subcode);
    }
}

// Progress as lines "enrolling: N%", or as a bar drawn in place on a terminal.
class Progress
{
  public:
    Progress() : bar_(isatty(STDOUT_FILENO) == 1 && g_strcmp0(g_getenv("TERM"), "dumb") != 0) {}

    void show(int percent)
    {
        percent = std::clamp(percent, 0, 100);
        if (!bar_) {
            print_line("enrolling: %d%%", percent);
            return;
        }
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        g_autofree gchar *text = g_strdup_printf("enrolling: [%s%s] %3d%%", std::string(filled, '#').c_str(),
                                                 std::string(kWidth - filled, '-').c_str(), percent);
        set_progress_line(text);
    }

  private:
    bool bar_;
};

struct Enrolment {
    Operation *operation;
    std::string user;
    Progress progress;
};

void on_enroll_status(Tirvane *proxy, const gchar *id, gint code, const gchar *msg, gpointer data)
{
    (void)proxy;
    auto *enrolment = static_cast<Enrolment *>(data);
    Operation &operation = *enrolment->operation;
    if (g_strcmp0(id, enrolment->user.c_str()) != 0 || operation.finished()) {
        return;
    }
    if (operation.stopping()) {
        // The failure that answers our own stop is expected; only a success
        // that got in first is still reported.
        if (code == TVP_ENROLL_STATUS_SUCCESS) {
            enrolment->progress.show(100);
            close_progress_line();
            print_line("enrolled");
            operation.settle(kExitOk);
        }
        return;
    }
    int value = 0;
    switch (code) {
    case TVP_ENROLL_STATUS_SUCCESS:
        enrolment->progress.show(100);
        close_progress_line();
        print_line("enrolled");
        operation.finish(kExitOk);
        break;
    case TVP_ENROLL_STATUS_FAILED:
        close_progress_line();
        print_line("enrolment failed: %s", failure_reason(msg).c_str());
        operation.finish(kExitFailed);
        break;
    case TVP_ENROLL_STAGE_PASSED:
        if (payload_int(msg, TVP_MSG_KEY_PROGRESS, &value)) {
            enrolment->progress.show(value);
        }
        break;
    case TVP_ENROLL_STAGE_RETRY:
        if (!payload_int(msg, TVP_MSG_KEY_SUBCODE, &value)) {
            value = 0;
        }
        print_line("retry: %s", retry_hint(value));
        break;
    case TVP_ENROLL_STAGE_DISCONNECTED:
        close_progress_line();
        print_line("device disconnected");
        operation.finish(kExitFailed);
        break;
    default:
        break; // codes of later service versions
    }
}

} // namespace

int run_enroll(Tirvane *proxy, const Args &args, const Options &options)
{
    const std::string &user = args[0];
    const std::string &finger = args[1];
    Operation operation(proxy, tirvane_call_stop_enroll, options);
    Enrolment enrolment{&operation, user, Progress()};
    // Connected before the call: the first signals may follow its reply at once.
    const gulong handler =
        g_signal_connect(proxy, "enroll-status-changed", G_CALLBACK(on_enroll_status), &enrolment);

    g_autoptr(GError) error = nullptr;
    int status = kExitOk;
    if (tirvane_call_enroll_sync(proxy, user.c_str(), finger.c_str(), nullptr, &error)) {
        print_line("enrolling finger %s of user %s; touch the sensor repeatedly", finger.c_str(),
                   user.c_str());
        status = operation.run();
    } else {
        status = report_bus_error(error);
    }
    g_signal_handler_disconnect(proxy, handler);
    return status;
}

} // namespace tirvanectl
