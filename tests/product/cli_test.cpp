// tirvanectl against a scripted stand-in of the service on a private bus: the
// command line, the output lines, the exit statuses, the stop calls on SIGINT
// and --timeout, and the reporting of bus errors.
#include "tirvane-generated.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gio/gio.h>
#include <map>
#include <mutex>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using namespace std::chrono_literals;

constexpr const char *kBusName = "nuvex.kal.Tirvane";
constexpr const char *kObjectPath = "/nuvex/kal/Tirvane";

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// One scripted signal: emitted `delay_ms` after the previous one.
struct Step {
    Step(int code_, std::string msg_, int delay_ms_ = 30, std::string id_ = "")
        : code(code_), msg(std::move(msg_)), delay_ms(delay_ms_), id(std::move(id_))
    {
    }
    int code;
    std::string msg;
    int delay_ms;
    std::string id; // empty: the user of the call
};

// A special step code: the stand-in gives up its bus name.
constexpr int kLeaveBus = -1;

// The service's interface, answered from a thread of its own as the test scripts it.
class FakeService
{
  public:
    explicit FakeService(const std::string &address) : address_(address)
    {
        thread_ = std::thread([this] { run(); });
        std::unique_lock<std::mutex> lock(mutex_);
        ready_cv_.wait_for(lock, 10s, [this] { return ready_ || failed_; });
    }

    ~FakeService()
    {
        g_main_context_invoke(context_, quit_loop, this);
        thread_.join();
        g_main_context_unref(context_);
    }

    bool owns_name()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return ready_;
    }

    // Script, set before the client runs.
    std::vector<Step> enroll_steps;
    std::vector<Step> verify_steps;
    std::optional<GDBusError> call_error; // for enroll and verify; none: the call goes on
    std::string call_error_message;
    std::vector<std::string> fingers;
    int device_count = 1;
    bool deletions_work = true;

    std::vector<std::string> calls()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    bool called(const std::string &method)
    {
        for (const auto &call : calls()) {
            if (call.rfind(method, 0) == 0) {
                return true;
            }
        }
        return false;
    }

  private:
    static gboolean quit_loop(gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        g_main_loop_quit(self->loop_);
        return G_SOURCE_REMOVE;
    }

    void record(const std::string &call)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
    }

    void run()
    {
        context_ = g_main_context_new();
        g_main_context_push_thread_default(context_);
        loop_ = g_main_loop_new(context_, FALSE);
        g_autoptr(GError) error = nullptr;
        connection_ = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (connection_ != nullptr) {
            skeleton_ = TIRVANE(tirvane_skeleton_new());
            connect_handlers();
            g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(skeleton_), connection_, kObjectPath,
                                             nullptr);
            owner_id_ = g_bus_own_name_on_connection(connection_, kBusName, G_BUS_NAME_OWNER_FLAGS_NONE,
                                                     on_name_acquired, on_name_lost, this, nullptr);
            g_main_loop_run(loop_);
            if (owner_id_ != 0) {
                g_bus_unown_name(owner_id_);
            }
            g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(skeleton_));
            g_object_unref(skeleton_);
            g_dbus_connection_close_sync(connection_, nullptr, nullptr);
            g_object_unref(connection_);
        } else {
            std::lock_guard<std::mutex> lock(mutex_);
            failed_ = true;
            ready_cv_.notify_all();
        }
        g_main_loop_unref(loop_);
        g_main_context_pop_thread_default(context_);
    }

    static void on_name_acquired(GDBusConnection *, const gchar *, gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->ready_ = true;
        self->ready_cv_.notify_all();
    }

    static void on_name_lost(GDBusConnection *, const gchar *, gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->failed_ = !self->ready_;
        self->ready_ = false;
        self->ready_cv_.notify_all();
    }

    // Plays a script: one timeout per step; a stop makes the rest void.
    struct Pending {
        FakeService *self;
        bool verify;
        std::string user;
        Step step;
        int generation;
    };

    void play(bool verify, const std::string &user, const std::vector<Step> &steps)
    {
        int at_ms = 0;
        for (const auto &step : steps) {
            at_ms += step.delay_ms;
            auto *pending = new Pending{this, verify, user, step, generation_};
            GSource *source = g_timeout_source_new(static_cast<guint>(at_ms));
            g_source_set_callback(source, emit_step, pending,
                                  [](gpointer p) { delete static_cast<Pending *>(p); });
            g_source_attach(source, context_);
            g_source_unref(source);
        }
    }

    static gboolean emit_step(gpointer data)
    {
        auto *pending = static_cast<Pending *>(data);
        FakeService *self = pending->self;
        if (pending->generation != self->generation_) {
            return G_SOURCE_REMOVE;
        }
        const Step &step = pending->step;
        if (step.code == kLeaveBus) {
            g_bus_unown_name(self->owner_id_);
            self->owner_id_ = 0;
            return G_SOURCE_REMOVE;
        }
        const std::string &id = step.id.empty() ? pending->user : step.id;
        if (pending->verify) {
            tirvane_emit_verify_status_changed(self->skeleton_, id.c_str(), step.code, step.msg.c_str());
        } else {
            tirvane_emit_enroll_status_changed(self->skeleton_, id.c_str(), step.code, step.msg.c_str());
        }
        return G_SOURCE_REMOVE;
    }

    bool refuse(GDBusMethodInvocation *invocation)
    {
        if (!call_error) {
            return false;
        }
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, *call_error, "%s",
                                              call_error_message.c_str());
        return true;
    }

    void connect_handlers()
    {
        g_signal_connect(skeleton_, "handle-enroll", G_CALLBACK(on_enroll), this);
        g_signal_connect(skeleton_, "handle-stop-enroll", G_CALLBACK(on_stop_enroll), this);
        g_signal_connect(skeleton_, "handle-verify", G_CALLBACK(on_verify), this);
        g_signal_connect(skeleton_, "handle-verify-stop", G_CALLBACK(on_verify_stop), this);
        g_signal_connect(skeleton_, "handle-listfingers", G_CALLBACK(on_list), this);
        g_signal_connect(skeleton_, "handle-renamefinger-name", G_CALLBACK(on_rename), this);
        g_signal_connect(skeleton_, "handle-delete-finger-by-name", G_CALLBACK(on_delete), this);
        g_signal_connect(skeleton_, "handle-delete-all-feature-by-user-id", G_CALLBACK(on_delete_all), this);
        g_signal_connect(skeleton_, "handle-get-device-count", G_CALLBACK(on_count), this);
        g_signal_connect(skeleton_, "handle-get-device-name", G_CALLBACK(on_name), this);
    }

    static gboolean on_enroll(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *user,
                              const gchar *finger, gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        self->record(std::string("enroll ") + user + " " + finger);
        if (!self->refuse(invocation)) {
            tirvane_complete_enroll(skeleton, invocation);
            self->play(false, user, self->enroll_steps);
            self->current_user_ = user;
        }
        return TRUE;
    }

    static gboolean on_stop_enroll(Tirvane *skeleton, GDBusMethodInvocation *invocation, gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        self->record("stopEnroll");
        ++self->generation_;
        // Like the service: the stop's failure signal comes before the reply.
        tirvane_emit_enroll_status_changed(self->skeleton_, self->current_user_.c_str(), 1,
                                           "{\"subcode\":3}");
        tirvane_complete_stop_enroll(skeleton, invocation);
        return TRUE;
    }

    static gboolean on_verify(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *user,
                              gint tries, gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        self->record(std::string("verify ") + user + " " + std::to_string(tries));
        if (!self->refuse(invocation)) {
            tirvane_complete_verify(skeleton, invocation);
            self->play(true, user, self->verify_steps);
        }
        return TRUE;
    }

    static gboolean on_verify_stop(Tirvane *skeleton, GDBusMethodInvocation *invocation, gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        self->record("verifyStop");
        ++self->generation_;
        tirvane_complete_verify_stop(skeleton, invocation);
        return TRUE;
    }

    static gboolean on_list(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *user,
                            gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        self->record(std::string("listfingers ") + user);
        std::vector<const gchar *> names;
        for (const auto &finger : self->fingers) {
            names.push_back(finger.c_str());
        }
        names.push_back(nullptr);
        tirvane_complete_listfingers(skeleton, invocation, names.data());
        return TRUE;
    }

    static gboolean on_rename(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *user,
                              const gchar *finger, const gchar *new_name, gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        self->record(std::string("renamefingerName ") + user + " " + finger + " " + new_name);
        for (auto &entry : self->fingers) {
            if (entry == finger) {
                entry = new_name;
            }
        }
        tirvane_complete_renamefinger_name(skeleton, invocation);
        return TRUE;
    }

    static gboolean on_delete(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *user,
                              const gchar *finger, gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        self->record(std::string("deleteFingerByName ") + user + " " + finger);
        if (self->deletions_work) {
            std::erase(self->fingers, std::string(finger));
        }
        tirvane_complete_delete_finger_by_name(skeleton, invocation);
        return TRUE;
    }

    static gboolean on_delete_all(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *user,
                                  gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        self->record(std::string("deleteAllFeatureByUserId ") + user);
        if (self->deletions_work) {
            self->fingers.clear();
        }
        tirvane_complete_delete_all_feature_by_user_id(skeleton, invocation);
        return TRUE;
    }

    static gboolean on_count(Tirvane *skeleton, GDBusMethodInvocation *invocation, gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        self->record("getDeviceCount");
        tirvane_complete_get_device_count(skeleton, invocation, self->device_count);
        return TRUE;
    }

    static gboolean on_name(Tirvane *skeleton, GDBusMethodInvocation *invocation, gpointer data)
    {
        auto *self = static_cast<FakeService *>(data);
        self->record("getDeviceName");
        tirvane_complete_get_device_name(skeleton, invocation, "tvp2388");
        return TRUE;
    }

    std::string address_;
    std::thread thread_;
    GMainContext *context_ = nullptr;
    GMainLoop *loop_ = nullptr;
    GDBusConnection *connection_ = nullptr;
    Tirvane *skeleton_ = nullptr;
    guint owner_id_ = 0;
    int generation_ = 0;
    std::string current_user_;

    std::mutex mutex_;
    std::condition_variable ready_cv_;
    bool ready_ = false;
    bool failed_ = false;
    std::vector<std::string> calls_;
};

struct Result {
    int status = -1; // exit status; -1 when it did not end by itself
    std::string out;
    std::string err;
};

// A private bus and the client programs run against it.
class CliTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tirvanectl-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }

    void TearDown() override
    {
        service_.reset();
        if (bus_pid_ > 0) {
            kill(bus_pid_, SIGTERM);
            waitpid(bus_pid_, nullptr, 0);
        }
        const std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0) {
            // Leftovers in /tmp are harmless.
        }
    }

    std::string address() const
    {
        return "unix:path=" + dir_ + "/bus";
    }

    // A bus like the system bus: only the bus policy decides who owns what.
    void start_bus(bool with_service)
    {
        std::ofstream conf(dir_ + "/bus.conf");
        conf << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig>\n"
                "  <type>system</type>\n"
                "  <listen>unix:path="
             << dir_
             << "/bus</listen>\n"
                "  <auth>EXTERNAL</auth>\n"
                "  <policy context=\"default\">\n"
                "    <allow user=\"*\"/>\n"
                "    <allow own=\"*\"/>\n"
                "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                "    <allow eavesdrop=\"true\"/>\n"
                "  </policy>\n"
                "</busconfig>\n";
        conf.close();
        std::string config = "--config-file=" + dir_ + "/bus.conf";
        std::string program = "dbus-daemon", nofork = "--nofork", nosyslog = "--nosyslog";
        char *bus_argv[] = {program.data(), nofork.data(), nosyslog.data(), config.data(), nullptr};
        if (posix_spawn(&bus_pid_, "/usr/bin/dbus-daemon", nullptr, nullptr, bus_argv, environ) != 0) {
            bus_pid_ = -1;
        }
        ASSERT_TRUE(wait_until(
            [&] {
                g_autoptr(GDBusConnection) probe = g_dbus_connection_new_for_address_sync(
                    address().c_str(),
                    static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                      G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                    nullptr, nullptr, nullptr);
                return probe != nullptr;
            },
            10s))
            << "private bus did not come up";
        if (with_service) {
            service_ = std::make_unique<FakeService>(address());
            ASSERT_TRUE(service_->owns_name());
        }
    }

    pid_t start(const std::vector<std::string> &args, const std::string &bus_address = "")
    {
        std::vector<std::string> argv = {TIRVANECTL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LC_ALL=C",
                                        "DBUS_SYSTEM_BUS_ADDRESS=" +
                                            (bus_address.empty() ? address() : bus_address)};
        std::vector<char *> c_argv;
        for (auto &a : argv) {
            c_argv.push_back(a.data());
        }
        c_argv.push_back(nullptr);
        std::vector<char *> c_env;
        for (auto &e : env) {
            c_env.push_back(e.data());
        }
        c_env.push_back(nullptr);
        const std::string out = dir_ + "/out";
        const std::string err = dir_ + "/err";
        unlink(out.c_str());
        unlink(err.c_str());
        // posix_spawn rather than fork: this process has bus threads, and a
        // sanitizer runtime may hold its locks in them at the moment of a fork.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        pid_t pid = -1;
        if (posix_spawn(&pid, c_argv[0], &actions, nullptr, c_argv.data(), c_env.data()) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    std::string output() const
    {
        return slurp(dir_ + "/out");
    }

    Result finish(pid_t pid, std::chrono::milliseconds limit = 15s)
    {
        Result result;
        if (pid <= 0) {
            return result; // not started
        }
        int status = 0;
        const bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        } else if (WIFEXITED(status)) {
            result.status = WEXITSTATUS(status);
        }
        result.out = slurp(dir_ + "/out");
        result.err = slurp(dir_ + "/err");
        return result;
    }

    Result run(const std::vector<std::string> &args, const std::string &bus_address = "")
    {
        return finish(start(args, bus_address));
    }

    std::string dir_;
    pid_t bus_pid_ = -1;
    std::unique_ptr<FakeService> service_;
};

// ---- Command line ------------------------------------------------------------------

TEST_F(CliTest, HelpListsEveryVerb)
{
    const Result r = run({"--help"}, "unix:path=/nonexistent");
    EXPECT_EQ(r.status, 0);
    for (const char *verb :
         {"enroll USER FINGER", "verify USER", "list USER", "rename USER FINGER NEW", "delete USER FINGER",
          "delete-all USER", "info", "--timeout", "--once", "--version"}) {
        EXPECT_NE(r.out.find(verb), std::string::npos) << verb;
    }
    EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, VersionIsTheProjectVersion)
{
    const Result r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("tirvanectl ") + PROJECT_VERSION + "\n");
}

TEST_F(CliTest, WrongCommandLinesExitTwo)
{
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"frobnicate"},
        {"enroll", "alice"},
        {"list"},
        {"info", "extra"},
        {"rename", "alice", "a"},
        {"--bogus", "list", "alice"},
        {"--timeout", "0", "verify", "alice"},
        {"--timeout", "soon", "verify", "alice"},
        {"verify", "alice", "--timeout"},
        {"--once", "list", "alice"},
        {"list", ""},
    };
    for (const auto &args : wrong) {
        const Result r = run(args, "unix:path=/nonexistent");
        std::string joined;
        for (const auto &a : args) {
            joined += a + " ";
        }
        EXPECT_EQ(r.status, 2) << joined;
        EXPECT_EQ(r.out, "") << joined;
        ASSERT_FALSE(r.err.empty()) << joined;
        EXPECT_EQ(r.err.rfind("tirvanectl: ", 0), 0u) << r.err;
    }
}

// ---- Bus errors ------------------------------------------------------------------

TEST_F(CliTest, NoBusIsOneLineAndStatusFour)
{
    const Result r = run({"list", "alice"}, "unix:path=" + dir_ + "/no-such-bus");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(lines_of(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("tirvanectl: cannot connect to the system bus: ", 0), 0u) << r.err;
}

TEST_F(CliTest, ServiceNotRunningIsOneLineAndStatusFour)
{
    start_bus(false);
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"list", "alice"}, {"info"}, {"enroll", "alice", "right-index"}, {"verify", "alice"}}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 4) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_EQ(r.err, "tirvanectl: the fingerprint service (nuvex.kal.Tirvane) is not running\n")
            << args[0];
    }
}

TEST_F(CliTest, AccessDeniedShowsTheServiceMessage)
{
    start_bus(true);
    service_->call_error = G_DBUS_ERROR_ACCESS_DENIED;
    service_->call_error_message = "enroll: callers other than root may only act on their own user id";
    const Result r = run({"enroll", "bob", "thumb"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(
        r.err,
        "tirvanectl: access denied: enroll: callers other than root may only act on their own user id\n");
}

TEST_F(CliTest, InvalidArgumentsShowTheServiceMessage)
{
    start_bus(true);
    service_->call_error = G_DBUS_ERROR_INVALID_ARGS;
    service_->call_error_message = "user alice already has a finger named thumb";
    const Result r = run({"enroll", "alice", "thumb"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "tirvanectl: invalid arguments: user alice already has a finger named thumb\n");
}

// ---- enroll ----------------------------------------------------------------------

TEST_F(CliTest, EnrollFollowsProgressAndHints)
{
    start_bus(true);
    service_->enroll_steps = {
        {2, "{\"progress\":0}"},
        {3, "{\"subcode\":3}"},
        {2, "{\"progress\":16}"},
        {2, "{\"progress\":5}", 30, "bob"}, // another user's enrolment: not ours
        {3, "{\"subcode\":1}"},
        {2, "{\"progress\":32}"},
        {3, "{\"subcode\":2}"},
        {2, "{\"progress\":48}"},
        {3, "{\"subcode\":4}"},
        {2, "{\"progress\":64}"},
        {3, "{\"subcode\":6}"},
        {2, "{\"progress\":80}"},
        {2, "{ \"progress\" : 96 }"},
        {0, "{}"},
    };
    const Result r = run({"enroll", "alice", "right-index"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> expected = {
        "enrolling finger right-index of user alice; touch the sensor repeatedly",
        "enrolling: 0%",
        "retry: position already captured, move your finger a little",
        "enrolling: 16%",
        "retry: area too small, press a larger part of your finger",
        "enrolling: 32%",
        "retry: poor quality, clean the sensor / press again",
        "enrolling: 48%",
        "retry: this finger is already enrolled",
        "enrolling: 64%",
        "retry: enrolment of this touch failed, press again",
        "enrolling: 80%",
        "enrolling: 96%",
        "enrolling: 100%",
        "enrolled",
    };
    EXPECT_EQ(lines_of(r.out), expected);
    EXPECT_EQ(service_->calls(), std::vector<std::string>{"enroll alice right-index"});
}

TEST_F(CliTest, EnrollFailureWithTrailingNewlineIsRead)
{
    start_bus(true);
    service_->enroll_steps = {{1, "{\"subcode\":1}\n"}};
    const Result r = run({"enroll", "alice", "thumb"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_of(r.out).back(), "enrolment failed: the device is busy or the module reported an error");
}

TEST_F(CliTest, EnrollFailureReasons)
{
    start_bus(true);
    const std::vector<std::pair<Step, std::string>> cases = {
        {{1, "{\"subcode\":3}"}, "enrolment failed: stopped or timed out"},
        {{1, "{\"subcode\":4}"}, "enrolment failed: the fingerprint storage is full"},
        {{4, "{}"}, "device disconnected"},
    };
    for (const auto &[step, line] : cases) {
        service_->enroll_steps = {{2, "{\"progress\":0}"}, step};
        const Result r = run({"enroll", "alice", "thumb"});
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_EQ(lines_of(r.out).back(), line);
    }
}

TEST_F(CliTest, InterruptStopsTheEnrolment)
{
    start_bus(true);
    service_->enroll_steps = {{2, "{\"progress\":0}"}, {0, "{}", 20000}};
    const pid_t pid = start({"enroll", "alice", "thumb"});
    ASSERT_TRUE(wait_until([&] { return output().find("enrolling: 0%") != std::string::npos; }, 10s));
    kill(pid, SIGINT);
    const Result r = finish(pid);
    EXPECT_EQ(r.status, 130);
    EXPECT_TRUE(service_->called("stopEnroll"));
    // The failure that answers the stop is not shown as the outcome.
    EXPECT_EQ(r.out.find("enrolment failed"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("enrolled"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "tirvanectl: interrupted; stopping the operation\n");
}

TEST_F(CliTest, TimeoutStopsTheEnrolment)
{
    start_bus(true);
    service_->enroll_steps = {{2, "{\"progress\":0}"}, {0, "{}", 20000}};
    const auto begin = std::chrono::steady_clock::now();
    const Result r = run({"--timeout", "1", "enroll", "alice", "thumb"});
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 8s);
    EXPECT_EQ(r.status, 5);
    EXPECT_TRUE(service_->called("stopEnroll"));
    EXPECT_EQ(r.err, "tirvanectl: timed out after 1 s; stopping the operation\n");
}

TEST_F(CliTest, ServiceLeavingTheBusEndsTheWait)
{
    start_bus(true);
    service_->enroll_steps = {{2, "{\"progress\":0}"}, {kLeaveBus, ""}};
    const Result r = run({"enroll", "alice", "thumb"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "tirvanectl: the fingerprint service left the bus\n");
}

// ---- verify ----------------------------------------------------------------------

TEST_F(CliTest, VerifyWaitsPastNoMatchUntilMatch)
{
    start_bus(true);
    service_->verify_steps = {
        {3, "{\"subcode\":3}"},
        {1, "{\"subcode\":3}"},
        {3, "{\"subcode\":1}"},
        {3, "{\"subcode\":2}"},
        {3, "{\"subcode\":4}"},
        {1, "{\"subcode\":3}"},
        {0, "{}"},
    };
    const Result r = run({"verify", "alice"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> expected = {
        "verifying user alice; touch the sensor",
        "retry: remove your finger and touch the sensor again",
        "no match",
        "retry: touch too short, leave your finger on the sensor a little longer",
        "retry: finger not centred, centre your finger on the sensor",
        "retry: poor quality, clean the sensor / press again",
        "no match",
        "match",
    };
    EXPECT_EQ(lines_of(r.out), expected);
    EXPECT_EQ(service_->calls(), std::vector<std::string>{"verify alice 1"});
}

TEST_F(CliTest, VerifyOnceStopsAfterTheFirstNoMatch)
{
    start_bus(true);
    service_->verify_steps = {{1, "{\"subcode\":3}"}, {0, "{}", 3000}};
    const Result r = run({"--once", "verify", "alice"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_of(r.out).back(), "no match");
    EXPECT_TRUE(service_->called("verifyStop"));
}

TEST_F(CliTest, VerifyBusyAndDisconnectedFail)
{
    start_bus(true);
    service_->verify_steps = {{2, "{\"subcode\":1}\n"}};
    Result r = run({"verify", "alice"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_of(r.out).back(),
              "verification failed: the device is busy or the module reported an error");

    service_->verify_steps = {{4, "{}"}};
    r = run({"verify", "alice"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_of(r.out).back(), "device disconnected");
    EXPECT_TRUE(service_->called("verifyStop"));
}

TEST_F(CliTest, VerifyTimeoutAndInterruptStop)
{
    start_bus(true);
    Result r = run({"verify", "alice", "--timeout=1"});
    EXPECT_EQ(r.status, 5);
    EXPECT_TRUE(service_->called("verifyStop"));

    const pid_t pid = start({"verify", "alice"});
    ASSERT_TRUE(wait_until([&] { return output().find("verifying") != std::string::npos; }, 10s));
    kill(pid, SIGTERM);
    r = finish(pid);
    EXPECT_EQ(r.status, 130);
}

// ---- Management verbs --------------------------------------------------------------

TEST_F(CliTest, ListPrintsOneFingerPerLine)
{
    start_bus(true);
    service_->fingers = {"right-index", "left thumb"};
    const Result r = run({"list", "alice"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "right-index\nleft thumb\n");
    service_->fingers.clear();
    EXPECT_EQ(run({"list", "alice"}).out, "");
}

TEST_F(CliTest, InfoShowsNameAndCount)
{
    start_bus(true);
    const Result r = run({"info"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "device name: tvp2388\ndevice count: 1\n");
}

TEST_F(CliTest, RenameChecksTheList)
{
    start_bus(true);
    service_->fingers = {"a", "b"};
    Result r = run({"rename", "alice", "a", "c"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "renamed\n");
    EXPECT_TRUE(service_->called("renamefingerName alice a c"));

    r = run({"rename", "alice", "zz", "d"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tirvanectl: user alice has no finger named zz\n");

    r = run({"rename", "alice", "c", "b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tirvanectl: user alice already has a finger named b\n");
}

TEST_F(CliTest, DeleteChecksBeforeAndAfter)
{
    start_bus(true);
    service_->fingers = {"a", "b", "c"};
    Result r = run({"delete", "alice", "a"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "deleted\n");

    r = run({"delete", "alice", "a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tirvanectl: user alice has no finger named a\n");

    service_->deletions_work = false;
    r = run({"delete", "alice", "b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tirvanectl: b was not deleted (the device is busy or the module refused)\n");
    r = run({"delete-all", "alice"});
    EXPECT_EQ(r.status, 1);

    service_->deletions_work = true;
    r = run({"delete-all", "alice"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "deleted 2 fingers\n");

    service_->device_count = 0;
    r = run({"delete", "alice", "b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tirvanectl: no fingerprint device is present\n");
}

} // namespace
