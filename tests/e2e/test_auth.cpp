// Who may do what: the caller's identity comes from the bus, not the arguments.
#include "flow_helpers.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace tvtest;

namespace
{

constexpr uid_t kNobody = 65534;
constexpr const char *kClientModeVariable = "TIRVANE_E2E_UNPRIVILEGED_CLIENT";

// ---- The unprivileged client ----------------------------------------------------
//
// A verification belongs to the connection that started it: a caller that leaves
// the bus has its operation stopped. To stop its own verification the caller must
// stay connected between the two calls, so this test binary doubles as a client
// that keeps one connection as "nobody" and runs one call per line read from its
// standard input ("verify USER", "verifyStop", "stopEnroll"), answering "ok" or
// the error's name. It is chosen before main (and before GLib starts a thread)
// when the variable above is set.

GVariant *client_args(const std::string &method, const std::string &arg)
{
    if (method == "verify") {
        return g_variant_new("(si)", arg.c_str(), 1);
    }
    return nullptr;
}

[[noreturn]] void run_unprivileged_client()
{
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
        printf("error cannot become nobody: %s\n", strerror(errno));
        fflush(stdout);
        _exit(2);
    }
    g_autoptr(GError) error = nullptr;
    const char *address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    g_autoptr(GDBusConnection) bus = g_dbus_connection_new_for_address_sync(
        address != nullptr ? address : "",
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (bus == nullptr) {
        printf("error %s\n", error->message);
        fflush(stdout);
        _exit(2);
    }
    char line[256];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        line[strcspn(line, "\n")] = '\0';
        const std::string text(line);
        const size_t space = text.find(' ');
        const std::string method = text.substr(0, space);
        const std::string arg = space == std::string::npos ? "" : text.substr(space + 1);
        g_autoptr(GError) call_error = nullptr;
        g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
            bus, "nuvex.kal.Tirvane", "/nuvex/kal/Tirvane", "nuvex.kal.Tirvane", method.c_str(),
            client_args(method, arg), nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &call_error);
        if (reply != nullptr) {
            printf("ok\n");
        } else {
            g_autofree char *name = g_dbus_error_get_remote_error(call_error);
            printf("error %s\n", name != nullptr ? name : call_error->message);
        }
        fflush(stdout);
    }
    _exit(0);
}

[[gnu::constructor]] void choose_client_mode()
{
    const char *mode = getenv(kClientModeVariable);
    if (mode != nullptr && strcmp(mode, "1") == 0) {
        run_unprivileged_client();
    }
}

// This binary run as the client above, with its pipes.
class UnprivilegedClient
{
  public:
    explicit UnprivilegedClient(const std::string &bus_address)
    {
        int to_child[2] = {-1, -1};
        int from_child[2] = {-1, -1};
        if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
        std::vector<std::string> env_text;
        for (char **e = environ; *e != nullptr; ++e) {
            if (strncmp(*e, "DBUS_SYSTEM_BUS_ADDRESS=", 24) != 0) {
                env_text.emplace_back(*e);
            }
        }
        env_text.push_back(std::string(kClientModeVariable) + "=1");
        env_text.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + bus_address);
        std::vector<char *> envp;
        for (auto &e : env_text) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        char self[] = "/proc/self/exe";
        char *argv[] = {self, nullptr};
        if (posix_spawn(&pid_, self, &actions, nullptr, argv, envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(to_child[0]);
        close(from_child[1]);
        in_ = to_child[1];
        out_ = from_child[0];
    }
    ~UnprivilegedClient()
    {
        if (in_ >= 0) {
            close(in_); // the client ends at the end of its input
        }
        if (out_ >= 0) {
            close(out_);
        }
        if (pid_ > 0) {
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    UnprivilegedClient(const UnprivilegedClient &) = delete;
    UnprivilegedClient &operator=(const UnprivilegedClient &) = delete;

    // Runs one call and returns "ok", "error NAME", or "no answer".
    std::string call(const std::string &line)
    {
        const std::string text = line + "\n";
        if (pid_ <= 0 || write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            return "no answer";
        }
        std::string answer;
        char c = 0;
        while (true) {
            pollfd fd{out_, POLLIN, 0};
            if (poll(&fd, 1, 15000) <= 0 || read(out_, &c, 1) != 1) {
                return "no answer";
            }
            if (c == '\n') {
                return answer;
            }
            answer += c;
        }
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
};

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
    ASSERT_EQ(nobody.call("verify alice"), "ok");
    h.pump(300); // the verification takes the device and waits for a touch
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
