#include "fprint-auth.h"

#include "common.h"
#include "fprint-main-loop.h"
#include "tirvane-server-errors.h"
#include "tirvane-server-polkit.h"

#include <future>
#include <memory>
#include <string>

namespace
{

// One check handed to the main loop, where the polkit client lives.
struct PendingCheck {
    GDBusConnection *connection;
    std::string sender;
    const char *action;
    std::promise<PolkitVerdict> verdict;
};

using SharedCheck = std::shared_ptr<PendingCheck>;

// The main loop's share of the check ends with the verdict.
void on_verdict(PolkitVerdict verdict, gpointer data)
{
    std::unique_ptr<SharedCheck> check(static_cast<SharedCheck *>(data));
    (*check)->verdict.set_value(verdict);
}

PolkitVerdict ask_polkit(GDBusMethodInvocation *invocation, const char *action)
{
    auto check =
        std::make_shared<PendingCheck>(PendingCheck{g_dbus_method_invocation_get_connection(invocation),
                                                    g_dbus_method_invocation_get_sender(invocation),
                                                    action,
                                                    {}});
    std::future<PolkitVerdict> verdict = check->verdict.get_future();
    fprint_on_main_loop([check] {
        tvp_polkit_check(check->connection, check->sender.c_str(), check->action, on_verdict,
                         new SharedCheck(check));
    });
    // The client calls back exactly once, within its bound.
    return verdict.get();
}

} // namespace

const char *fprint_action_of(FprintRight right)
{
    switch (right) {
    case FprintRight::Verify:
        return kActionVerify;
    case FprintRight::Enroll:
        return kActionEnroll;
    case FprintRight::Manage:
        break;
    }
    return kActionManage;
}

bool fprint_authorise(GDBusMethodInvocation *invocation, uid_t caller_uid, FprintRight right)
{
    if (caller_uid == 0) {
        return true;
    }
    const char *action = fprint_action_of(right);
    const char *why = "";
    if (g_dbus_method_invocation_get_sender(invocation) == nullptr) {
        why = " (no bus name to ask polkit about)";
    } else {
        switch (ask_polkit(invocation, action)) {
        case PolkitVerdict::Authorised:
            return true;
        case PolkitVerdict::Absent:
            if (right != FprintRight::Manage) {
                return true;
            }
            why = " (only root may, without polkit)";
            break;
        case PolkitVerdict::NotAuthorised:
            break;
        case PolkitVerdict::NoAnswer:
            why = " (polkit did not answer in time)";
            break;
        case PolkitVerdict::Failed:
            why = " (polkit could not be asked)";
            break;
        }
    }
    TVP_LOG(LOG_LOG_GRADE, "%s of uid %u refused: not authorised for %s%s\n",
            g_dbus_method_invocation_get_method_name(invocation), static_cast<unsigned>(caller_uid), action,
            why);
    fprint_return_error(invocation, FPRINT_ERROR_PERMISSION_DENIED, "Not Authorized: %s%s", action, why);
    return false;
}
