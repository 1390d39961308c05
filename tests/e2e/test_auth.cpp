// Who may do what: the caller's identity comes from the bus, not the arguments.
#include "flow_helpers.h"
#include "unprivileged_client.h"

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
    ASSERT_TRUE(touch_and_wait(h, "alice-index")) << "the enrolment goes on";
    EXPECT_EQ(sig_str(h.signals("enrollStatusChanged").back()), "(2, {\"progress\":16})");
    ASSERT_TRUE(tirvane_call_stop_enroll_sync(h.proxy(), nullptr, &error)) << "root may stop it";
}

TEST_F(Authorisation, NeitherStopMethodOfAnotherUserEndsRootsEnrolment)
{
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "alice", "index", nullptr, &error));
    ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 1, 5000));
    for (const char *method : {"verifyStop", "stopEnroll"}) {
        const CallOutcome stop = call_as_nobody(h, method, {});
        EXPECT_TRUE(access_denied(stop)) << method << ": " << stop.output;
    }
    for (int touch = 0; touch < 6; ++touch) {
        ASSERT_TRUE(touch_and_wait(h, "alice-index"))
            << "touch " << touch << ": " << list_of(sig_strs(h.signals("enrollStatusChanged")));
    }
    ASSERT_TRUE(h.wait_for(
        [&] {
            const auto all = h.signals("enrollStatusChanged");
            return !all.empty() && all.back().code != 2;
        },
        15000));
    const auto all = h.signals("enrollStatusChanged");
    EXPECT_EQ(sig_str(all.back()), "(0, {})") << list_of(sig_strs(all));
    EXPECT_EQ(h.listfingers("alice"), (std::vector<std::string>{"thumb", "index"}));
}

TEST_F(Authorisation, AnUnprivilegedCallerStopsItsOwnVerification)
{
    UnprivilegedClient nobody(h.bus_address());
    ASSERT_EQ(nobody.call("verify alice 1"), "ok");
    ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, bound_ms(5000))) << "it waits for a touch";
    EXPECT_EQ(nobody.call("verifyStop"), "ok") << "its own verification";
    // The device is free again: an enrolment starts instead of being refused as busy.
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "alice", "index", nullptr, &error));
    ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 1, 5000));
    EXPECT_EQ(sig_str(h.signals("enrollStatusChanged")[0]), "(2, {\"progress\":0})");
    for (const auto &s : h.signals("verifyStatusChanged")) {
        EXPECT_NE(s.code, 0) << "stopped before any match";
    }
    // Nor may it stop root's enrolment, with either stop method.
    EXPECT_EQ(nobody.call("verifyStop"), "error org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_EQ(nobody.call("stopEnroll"), "error org.freedesktop.DBus.Error.AccessDenied");
    ASSERT_TRUE(tirvane_call_stop_enroll_sync(h.proxy(), nullptr, &error)) << "root may stop it";
}

// getDeviceName and getDeviceCount are answered where they arrive; a call that
// differs in any way still gets the skeleton's own answer.
TEST_F(Authorisation, DeviceQueriesAnswerLikeTheSkeleton)
{
    struct Case {
        const char *path;
        const char *method;
        GVariant *(*args)();
        const char *reply_type; // null: an error is expected
        GDBusError error;
    };
    const Case cases[] = {
        {"/nuvex/kal/Tirvane", "getDeviceName", [] { return static_cast<GVariant *>(nullptr); }, "(s)", {}},
        {"/nuvex/kal/Tirvane", "getDeviceCount", [] { return static_cast<GVariant *>(nullptr); }, "(i)", {}},
        {"/nuvex/kal/Tirvane", "getDeviceName", [] { return g_variant_new("(s)", "x"); }, nullptr,
         G_DBUS_ERROR_INVALID_ARGS},
        {"/nuvex/kal/Tirvane", "getDeviceCount", [] { return g_variant_new("(i)", 1); }, nullptr,
         G_DBUS_ERROR_INVALID_ARGS},
        {"/nuvex/kal", "getDeviceName", [] { return static_cast<GVariant *>(nullptr); }, nullptr,
         G_DBUS_ERROR_UNKNOWN_METHOD},
    };
    for (const auto &c : cases) {
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
            h.connection(), "nuvex.kal.Tirvane", c.path, "nuvex.kal.Tirvane", c.method, c.args(), nullptr,
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        if (c.reply_type != nullptr) {
            ASSERT_NE(reply, nullptr) << c.method << ": " << error->message;
            EXPECT_STREQ(g_variant_get_type_string(reply), c.reply_type) << c.method;
        } else {
            ASSERT_EQ(reply, nullptr) << c.path << " " << c.method;
            EXPECT_TRUE(g_error_matches(error, G_DBUS_ERROR, c.error) ||
                        (c.error == G_DBUS_ERROR_UNKNOWN_METHOD &&
                         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT)))
                << c.path << " " << c.method << ": " << error->message;
        }
    }
    g_autoptr(GVariant) name = nullptr;
    g_autoptr(GError) error = h.call("getDeviceName", nullptr, &name);
    ASSERT_EQ(error, nullptr);
    g_autoptr(GVariant) first = g_variant_get_child_value(name, 0);
    EXPECT_STREQ(g_variant_get_string(first, nullptr), "tvp2388");
}

TEST_F(Authorisation, RootMayCallEverything)
{
    g_autoptr(GError) reset = h.call("resetDevice", g_variant_new("(i)", 1));
    EXPECT_EQ(reset, nullptr);
    g_autoptr(GError) rename = h.call("renamefingerName", g_variant_new("(sss)", "alice", "thumb", "pollex"));
    EXPECT_EQ(rename, nullptr);
    EXPECT_EQ(h.listfingers("alice"), std::vector<std::string>{"pollex"});
}

namespace
{

// Another client of the service on a bus connection of its own, in this
// process (so as root), recording the status signals that connection receives.
class SecondClient
{
  public:
    explicit SecondClient(ServiceHarness &h) : h_(h)
    {
        connection_ = connect_to_bus(h.bus_address());
        if (connection_ != nullptr) {
            subscription_ = g_dbus_connection_signal_subscribe(
                connection_, nullptr, "nuvex.kal.Tirvane", nullptr, "/nuvex/kal/Tirvane", nullptr,
                G_DBUS_SIGNAL_FLAGS_NONE, on_signal, this, nullptr);
        }
    }
    ~SecondClient()
    {
        if (connection_ != nullptr) {
            g_dbus_connection_signal_unsubscribe(connection_, subscription_);
            g_dbus_connection_close_sync(connection_, nullptr, nullptr);
            g_object_unref(connection_);
        }
    }
    SecondClient(const SecondClient &) = delete;
    SecondClient &operator=(const SecondClient &) = delete;

    bool connected() const
    {
        return connection_ != nullptr;
    }
    // The error's D-Bus name, or "ok".
    std::string call(const char *method, GVariant *args)
    {
        g_autoptr(GError) error = call_service(connection_, method, args, nullptr, 10000);
        if (error == nullptr) {
            return "ok";
        }
        g_autofree gchar *name = g_dbus_error_get_remote_error(error);
        return name != nullptr ? name : error->message;
    }
    std::vector<std::string> received() const
    {
        return sig_strs(signals_);
    }

  private:
    static void on_signal(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *name,
                          GVariant *parameters, gpointer data)
    {
        auto *self = static_cast<SecondClient *>(data);
        Signal s;
        if (read_status_signal(name, parameters, &s)) {
            self->signals_.push_back(s);
        }
    }

    ServiceHarness &h_;
    GDBusConnection *connection_ = nullptr;
    guint subscription_ = 0;
    std::vector<Signal> signals_;
};

} // namespace

// An operation's status signals, refusals included, reach only the connection
// that started it: a prompt never takes another prompt's result for its own.
TEST_F(Authorisation, StatusSignalsGoOnlyToTheirCaller)
{
    SecondClient other(h);
    ASSERT_TRUE(other.connected());
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "alice", "index", nullptr, &error));
    ASSERT_TRUE(h.wait_for([&] { return !h.own_signals("enrollStatusChanged").empty(); }, bound_ms(5000)));

    for (const char *method : {"verify", "enroll"}) {
        GVariant *args = strcmp(method, "verify") == 0 ? g_variant_new("(si)", "alice", 1)
                                                       : g_variant_new("(ss)", "alice", "ring");
        ASSERT_EQ(other.call(method, args), "ok") << method;
    }
    const std::vector<std::string> refusals = {"(2, {\"subcode\":1}\n)", "(1, {\"subcode\":1}\n)"};
    ASSERT_TRUE(h.wait_for([&] { return other.received().size() >= refusals.size(); }, bound_ms(5000)))
        << list_of(other.received());
    EXPECT_EQ(other.received(), refusals)
        << "the refused caller hears its refusals, and nothing of the enrolment";
    for (const auto &s : h.own_signals()) {
        EXPECT_EQ(s.name, "enrollStatusChanged") << "the enrolling client hears no refusal of another";
        EXPECT_NE(s.code, 1) << sig_str(s);
    }

    ASSERT_TRUE(touch_and_wait(h, "alice-index"));
    EXPECT_EQ(other.received(), refusals) << "progress goes to the enrolling client only";
    ASSERT_TRUE(tirvane_call_stop_enroll_sync(h.proxy(), nullptr, &error));
}

// Who may stop whom: the connection that started the operation, or another
// connection of the same uid when that uid is not root. Greeters, su, sudo and
// sshd all run as root, so root on another connection may not.
TEST_F(Authorisation, StopEndsOnlyTheStoppersOwnOperation)
{
    struct Case {
        const char *name;
        bool nobody_starts;  // the operation is nobody's verification, else the fixture's enrolment
        const char *stopper; // "root-other", "nobody-same", "nobody-other", "other-uid"
        bool stops;
    };
    const Case cases[] = {
        {"RootOnAnotherConnectionLeavesRootsEnrolment", false, "root-other", false},
        {"RootOnAnotherConnectionLeavesAUsersVerification", true, "root-other", false},
        {"AnotherNonRootUidLeavesAUsersVerification", true, "other-uid", false},
        {"SameConnectionStopsIt", true, "nobody-same", true},
        {"SameUidOnAnotherConnectionStopsIt", true, "nobody-other", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        h.clear_signals();
        UnprivilegedClient nobody(h.bus_address());
        g_autoptr(GError) error = nullptr;
        if (c.nobody_starts) {
            ASSERT_EQ(nobody.call("verify alice 1"), "ok");
            ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, bound_ms(5000)));
        } else {
            ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "alice", "index", nullptr, &error));
            ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 1, bound_ms(5000)));
        }
        std::string answer;
        if (strcmp(c.stopper, "root-other") == 0) {
            SecondClient root(h);
            answer = root.call("verifyStop", nullptr);
            const std::string second = root.call("stopEnroll", nullptr);
            EXPECT_EQ(second, answer) << "both stop methods follow one rule";
        } else if (strcmp(c.stopper, "nobody-same") == 0) {
            answer = nobody.call("verifyStop");
        } else if (strcmp(c.stopper, "other-uid") == 0) {
            UnprivilegedClient stranger(h.bus_address(), 1); // "daemon", on every Debian system
            answer = stranger.call("verifyStop");
            const std::string second = stranger.call("stopEnroll");
            EXPECT_NE(second.find("AccessDenied"), std::string::npos) << second << ": " << stranger.detail();
        } else {
            UnprivilegedClient nobody2(h.bus_address());
            answer = nobody2.call("verifyStop");
        }
        if (c.stops) {
            EXPECT_EQ(answer, "ok");
            EXPECT_TRUE(h.wait_for([&] { return !identify_pending(h); }, bound_ms(5000)));
            continue;
        }
        EXPECT_NE(answer.find("AccessDenied"), std::string::npos) << answer;
        // Still running: the module still waits for a touch, and a touch reaches it.
        if (c.nobody_starts) {
            EXPECT_TRUE(identify_pending(h));
            ASSERT_TRUE(h.emu().touch("alice-thumb"));
            EXPECT_TRUE(h.wait_for(
                [&] {
                    const auto all = h.signals("verifyStatusChanged");
                    return !all.empty() && all.back().code == 0;
                },
                bound_ms(5000)))
                << list_of(verify_signals(h));
        } else {
            ASSERT_TRUE(touch_and_wait(h, "alice-index"));
            EXPECT_EQ(sig_str(h.signals("enrollStatusChanged").back()), "(2, {\"progress\":16})");
            ASSERT_TRUE(tirvane_call_stop_enroll_sync(h.proxy(), nullptr, &error));
        }
    }
}
