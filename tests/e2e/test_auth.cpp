// Who may do what: the caller's identity comes from the bus, not the arguments.
#include "flow_helpers.h"

#include <sys/wait.h>

using namespace tvtest;

namespace
{

struct CallOutcome {
    int status = -1;
    std::string output;
};

// Calls a method as the unprivileged user "nobody" (uid 65534) with gdbus.
CallOutcome call_as_nobody(ServiceHarness &h, const std::string &method, const std::vector<std::string> &args)
{
    std::string cmd =
        "DBUS_SYSTEM_BUS_ADDRESS='" + h.bus_address() +
        "' setpriv --reuid=65534 --regid=65534 --clear-groups gdbus call --system"
        " --dest nuvex.kal.Tirvane --object-path /nuvex/kal/Tirvane --method nuvex.kal.Tirvane." +
        method;
    for (const auto &a : args) {
        cmd += " '" + a + "'";
    }
    cmd += " 2>&1";
    CallOutcome outcome;
    FILE *pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) {
        return outcome;
    }
    char buf[512];
    while (fgets(buf, sizeof(buf), pipe) != nullptr) {
        outcome.output += buf;
    }
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

bool access_denied(const CallOutcome &o)
{
    return o.status != 0 && o.output.find("org.freedesktop.DBus.Error.AccessDenied") != std::string::npos;
}

class Authorisation : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(h.start()) << h.error;
        ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
        list_before = h.read_file("tvplist.conf");
        h.clear_signals();
    }
    ServiceHarness h;
    std::string list_before;
};

} // namespace

TEST_F(Authorisation, OtherUsersFingersAreOutOfReach)
{
    struct Case {
        const char *method;
        std::vector<std::string> args;
    };
    const Case refused[] = {
        {"enroll", {"alice", "second"}},
        {"enroll", {"0", "sneaky"}},
        {"renamefingerName", {"alice", "thumb", "stolen"}},
        {"deleteFingerByName", {"alice", "thumb"}},
        {"deleteAllFeatureByUserId", {"alice"}},
        {"resetDevice", {"1"}},
        {"setStorageType", {"1"}},
        {"exportAllDataFromDevice", {"/tmp/x"}},
        {"importAllDataToDevice", {}},
        {"exportDataStop", {}},
        {"importDataStop", {}},
    };
    for (const auto &c : refused) {
        const CallOutcome o = call_as_nobody(h, c.method, c.args);
        EXPECT_TRUE(access_denied(o)) << c.method << ": " << o.output;
    }
    h.pump(300);
    EXPECT_EQ(h.read_file("tvplist.conf"), list_before) << "nothing changed";
    EXPECT_TRUE(h.signals().empty());
    EXPECT_EQ(module_templates(h.emu()).size(), 1u);
}

TEST_F(Authorisation, ReadOnlyMethodsStayOpen)
{
    const CallOutcome list = call_as_nobody(h, "listfingers", {"alice"});
    EXPECT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("'thumb'"), std::string::npos) << list.output;
    for (const char *method : {"getDeviceCount", "getDeviceName"}) {
        const CallOutcome o = call_as_nobody(h, method, {});
        EXPECT_EQ(o.status, 0) << method << ": " << o.output;
    }
    for (const char *method : {"openDevice", "releaseDevice"}) {
        const CallOutcome o = call_as_nobody(h, method, {"0"});
        EXPECT_EQ(o.status, 0) << method << ": " << o.output;
    }
    // A login screen running as a system user verifies anyone.
    const CallOutcome verify = call_as_nobody(h, "verify", {"alice", "1"});
    EXPECT_EQ(verify.status, 0) << verify.output;
    const CallOutcome stop = call_as_nobody(h, "verifyStop", {});
    EXPECT_EQ(stop.status, 0) << stop.output;
}

TEST_F(Authorisation, OwnUserIdByNameOrNumberIsAllowed)
{
    for (const char *user : {"nobody", "65534"}) {
        const CallOutcome o = call_as_nobody(h, "enroll", {user, "own-finger"});
        EXPECT_EQ(o.status, 0) << user << ": " << o.output;
        // The caller left the bus right after the reply, which stops its enrolment.
        ASSERT_TRUE(h.wait_for(
            [&] {
                for (const auto &s : h.signals("enrollStatusChanged")) {
                    if (s.id == user && (s.code == 1 || s.code == 0)) {
                        return true;
                    }
                }
                return false;
            },
            15000))
            << user;
        const CallOutcome del = call_as_nobody(h, "deleteAllFeatureByUserId", {user});
        EXPECT_EQ(del.status, 0) << user << ": " << del.output;
    }
    const CallOutcome stop = call_as_nobody(h, "stopEnroll", {});
    EXPECT_EQ(stop.status, 0) << "nothing running: " << stop.output;
}

TEST_F(Authorisation, StopEnrollOfAnotherUsersEnrolmentIsRefused)
{
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "alice", "index", nullptr, &error));
    ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 1, 5000));
    const CallOutcome stop = call_as_nobody(h, "stopEnroll", {});
    EXPECT_TRUE(access_denied(stop)) << stop.output;
    h.pump(300);
    EXPECT_EQ(h.signals("enrollStatusChanged").size(), 1u) << "the enrolment goes on";
    ASSERT_TRUE(tirvane_call_stop_enroll_sync(h.proxy(), nullptr, &error)) << "root may stop it";
}

TEST_F(Authorisation, RootMayCallEverything)
{
    g_autoptr(GError) reset = h.call("resetDevice", g_variant_new("(i)", 1));
    EXPECT_EQ(reset, nullptr);
    g_autoptr(GError) rename = h.call("renamefingerName", g_variant_new("(sss)", "alice", "thumb", "pollex"));
    EXPECT_EQ(rename, nullptr);
    EXPECT_EQ(h.listfingers("alice"), std::vector<std::string>{"pollex"});
}
