// Attacks by a local shell user on pam_tirvane.so, each row one attack: the real
// module under pam_wrapper (with nss_wrapper for users of digits only) against
// the real daemon on the private bus, the emulated module playing the fingers,
// python3-dbusmock's logind where the row needs one, and a bus monitor that
// sees every call the module makes.
#include "pam_harness.h"

#include <algorithm>
#include <atomic>
#include <dirent.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/resource.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>

using namespace tvtest;
using namespace tvpam;
using namespace std::chrono_literals;

namespace
{

// alice's thumb in slot 90; dora's thumb in slot 92, enrolled under her decimal
// uid 1001. The fake users (nss_wrapper, see main): dora is uid 1001, the user
// named "1001" is uid 1002.
const char *const kList = "[UserFprint-1]\nenable=true\nuser_id=alice\nfprint_name=thumb\nfprint_id=90\n"
                          "[UserFprint-2]\nenable=true\nuser_id=1001\nfprint_name=thumb\nfprint_id=92\n";
const char *const kFakeUsers = "dora:x:1001:1001:dora:/nonexistent:/bin/false\n"
                               "1001:x:1002:1002:digits:/nonexistent:/bin/false\n";
const char *const kBaseDriverConf = "[BASIC_PARAM]\nPrintfLogFlag=3\nAutoSuspend=0\nUpgradeFlag=0\n";
const char *const kIdentifyFrame = "ef 01 ff ff ff ff 01 00 08 32";
const char *const kLogind = "org.freedesktop.login1";
const char *const kSessionPath = "/org/freedesktop/login1/session/c1";
constexpr int kShortTimeoutS = 2; // the service "tirvane-short"
constexpr int kLockoutS = 2;      // LockoutSeconds of the lock-out row

// What logind says about the process that runs PAM.
struct Logind {
    enum Kind { Absent, NoSession, Session } kind = Absent;
    bool active = true;
    bool remote = false;
    const char *seat = "seat0";
    const char *session_class = "user";
};

class AttackTest;
struct Attack {
    const char *name;
    void (*play)(AttackTest &t, const Attack &a);
    const char *rhost = nullptr;
    Logind logind = {};
    const char *driver_conf_extra = "";
};

std::ostream &operator<<(std::ostream &out, const Attack &a)
{
    return out << a.name;
}

// Sends signals shaped like the service's verifyStatusChanged (a match for
// alice) to one bus connection, as fast as the bus takes them, from a
// connection of its own, until stopped.
class SignalFlood
{
  public:
    SignalFlood(const std::string &address, const std::string &destination)
    {
        thread_ = std::thread([this, address, destination] { run(address, destination); });
    }
    ~SignalFlood()
    {
        stop();
    }
    SignalFlood(const SignalFlood &) = delete;
    SignalFlood &operator=(const SignalFlood &) = delete;

    void stop()
    {
        stop_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    unsigned long sent() const
    {
        return sent_.load();
    }
    bool failed() const
    {
        return failed_.load();
    }

  private:
    void run(const std::string &address, const std::string &destination)
    {
        sd_bus *bus = nullptr;
        if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
            failed_.store(true);
            sd_bus_unref(bus);
            return;
        }
        while (!stop_.load()) {
            for (int i = 0; i < 64; ++i) {
                sd_bus_message *m = nullptr;
                if (sd_bus_message_new_signal(bus, &m, "/nuvex/kal/Tirvane", "nuvex.kal.Tirvane",
                                              "verifyStatusChanged") < 0 ||
                    sd_bus_message_set_destination(m, destination.c_str()) < 0 ||
                    sd_bus_message_append(m, "sis", "alice", 0, "{}") < 0 ||
                    sd_bus_send(bus, m, nullptr) < 0) {
                    failed_.store(true);
                }
                sd_bus_message_unref(m);
            }
            if (sd_bus_flush(bus) < 0) {
                failed_.store(true);
                break;
            }
            sent_.fetch_add(64);
        }
        sd_bus_flush_close_unref(bus);
    }

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    std::atomic<unsigned long> sent_{0};
};

// The bus daemon on a CPU of its own, every thread of this process (the PAM
// run's among them, and those started later) on another: a flood then arrives
// faster than the module can take it in, as on a loaded machine. Undone when it
// goes; does nothing with fewer than two CPUs.
class CpuSplit
{
  public:
    explicit CpuSplit(pid_t bus) : bus_(bus)
    {
        if (sched_getaffinity(0, sizeof all_, &all_) != 0 || CPU_COUNT(&all_) < 2) {
            return;
        }
        int first = -1;
        int second = -1;
        for (int cpu = 0; cpu < CPU_SETSIZE && second < 0; ++cpu) {
            if (CPU_ISSET(cpu, &all_)) {
                (first < 0 ? first : second) = cpu;
            }
        }
        cpu_set_t mine;
        cpu_set_t its;
        CPU_ZERO(&mine);
        CPU_ZERO(&its);
        CPU_SET(first, &mine);
        CPU_SET(second, &its);
        active_ = sched_setaffinity(bus_, sizeof its, &its) == 0;
        if (active_) {
            for_each_thread(mine);
        }
    }
    ~CpuSplit()
    {
        if (active_) {
            for_each_thread(all_);
            sched_setaffinity(bus_, sizeof all_, &all_);
        }
    }
    CpuSplit(const CpuSplit &) = delete;
    CpuSplit &operator=(const CpuSplit &) = delete;

  private:
    static void for_each_thread(const cpu_set_t &set)
    {
        DIR *tasks = opendir("/proc/self/task");
        if (tasks == nullptr) {
            return;
        }
        while (const dirent *entry = readdir(tasks)) {
            const pid_t tid = static_cast<pid_t>(atoi(entry->d_name));
            if (tid > 0) {
                sched_setaffinity(tid, sizeof set, &set);
            }
        }
        closedir(tasks);
    }

    pid_t bus_;
    cpu_set_t all_{};
    bool active_ = false;
};

class AttackTest : public PamTest, public ::testing::WithParamInterface<Attack>
{
  public:
    void SetUp() override
    {
        PamTest::SetUp();
        watch_ = std::make_unique<BusWatch>(h.bus_address());
        ASSERT_TRUE(watch_->error.empty()) << watch_->error;
        const Attack &a = GetParam();
        if (a.logind.kind != Logind::Absent) {
            start_logind(a.logind);
        }
        DaemonOptions options;
        options.list_conf = kList;
        options.write_list_conf = true;
        options.driver_conf = std::string(kBaseDriverConf) + a.driver_conf_extra;
        ASSERT_TRUE(h.start(options)) << h.error;
        ASSERT_TRUE(h.emu().ok("store 90 alice-thumb"));
        ASSERT_TRUE(h.emu().ok("store 92 dora-thumb"));
        daemon_name_ = name_owner("nuvex.kal.Tirvane");
        ASSERT_FALSE(daemon_name_.empty());
        h.emu().command("trace-clear");
    }

    // ---- what the module did ----

    // The calls of the PAM runs: every call on the bus but the test's own and
    // the daemon's (which asks logind about its callers).
    std::vector<BusWatch::Call> pam_calls() const
    {
        return watch_->calls_except({g_dbus_connection_get_unique_name(h.connection()), daemon_name_});
    }
    std::vector<BusWatch::Call> pam_service_calls() const
    {
        std::vector<BusWatch::Call> out;
        for (auto &c : pam_calls()) {
            if (c.interface == "nuvex.kal.Tirvane") {
                out.push_back(std::move(c));
            }
        }
        return out;
    }
    size_t pam_calls_of(const std::string &member) const
    {
        size_t n = 0;
        for (const auto &c : pam_service_calls()) {
            n += c.member == member ? 1 : 0;
        }
        return n;
    }
    // The bus name of the PAM run that called verify last; empty before.
    std::string pam_verify_sender() const
    {
        std::string sender;
        for (const auto &c : pam_service_calls()) {
            if (c.member == "verify") {
                sender = c.sender;
            }
        }
        return sender;
    }
    pid_t bus_daemon_pid()
    {
        g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
            h.connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetConnectionUnixProcessID", g_variant_new("(s)", "org.freedesktop.DBus"), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        guint32 pid = 0;
        if (reply != nullptr) {
            g_variant_get(reply, "(u)", &pid);
        }
        return static_cast<pid_t>(pid);
    }
    bool module_asked_to_identify()
    {
        return has_frame(h.emu(), kIdentifyFrame);
    }
    // The service reported a match for `user` (to whichever client).
    bool match_reported(const std::string &user)
    {
        for (const auto &s : h.signals("verifyStatusChanged")) {
            if (s.id == user && s.code == 0) {
                return true;
            }
        }
        return false;
    }

    // ---- what the test does ----

    // One PAM run that touches with `fingers` in turn, each after the module's
    // answer to the one before; returns once the run has ended.
    void run_with_touches(PamRun &run, const std::vector<std::string> &fingers)
    {
        ASSERT_TRUE(wait_prompt(run, kPlace)) << "no prompt";
        for (size_t i = 0; i < fingers.size(); ++i) {
            const size_t before = run.prompts().size();
            // The emulator's touch waits for the module to ask for one.
            ASSERT_TRUE(h.emu().ok("touch " + fingers[i])) << "touch " << i << " (" << fingers[i] << ")";
            ASSERT_TRUE(
                h.wait_for([&] { return run.done() || run.prompts().size() > before; }, bound_ms(8000)))
                << "no answer to touch " << i;
            if (i + 1 < fingers.size()) {
                ASSERT_FALSE(run.done())
                    << "ended after touch " << i << ": " << pam_strerror(nullptr, run.result());
            }
        }
        ASSERT_TRUE(wait_done(run, bound_ms(8000)));
    }

    // The fixture's own verification for alice is stopped while a touch of
    // alice's thumb is on its way: the service keeps that result for the next
    // verification.
    void keep_a_touch_during_a_stop()
    {
        g_autoptr(GError) error = nullptr;
        ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "alice", 3, nullptr, &error)) << error->message;
        ASSERT_TRUE(wait_identify_pending());
        const size_t stops = log_count("gdbus_verify_stop_pt] start");
        AsyncCall stop;
        h.call_async("verifyStop", nullptr, &stop);
        ASSERT_TRUE(
            h.wait_for([&] { return log_count("gdbus_verify_stop_pt] start") > stops; }, bound_ms(5000)));
        ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
        ASSERT_TRUE(h.wait_for([&] { return stop.done; }, bound_ms(8000)));
        ASSERT_EQ(stop.error, nullptr) << stop.error->message;
        ASSERT_FALSE(match_reported("alice")) << "the touch came before the stop: nothing was kept";
        h.clear_signals();
    }

    std::unique_ptr<BusWatch> watch_;

  private:
    std::string name_owner(const std::string &name)
    {
        g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
            h.connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetNameOwner", g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
            5000, nullptr, nullptr);
        const gchar *owner = nullptr;
        if (reply == nullptr) {
            return "";
        }
        g_variant_get(reply, "(&s)", &owner);
        return owner;
    }

    void mock(const char *path, const char *interface, const char *method, GVariant *args)
    {
        g_autoptr(GError) error = h.call_mock(kLogind, path, interface, method, args);
        ASSERT_EQ(error, nullptr) << method << ": " << error->message;
    }
    void set_session(const char *property, GVariant *value)
    {
        mock(kSessionPath, "org.freedesktop.DBus.Properties", "Set",
             g_variant_new("(ssv)", "org.freedesktop.login1.Session", property, value));
    }

    // The logind template has no GetSessionByPID: the row's answer for this
    // process is added; any other process is in no session.
    void start_logind(const Logind &l)
    {
        ASSERT_TRUE(h.start_mock("logind", kLogind)) << h.error;
        const std::string no_session = "raise dbus.exceptions.DBusException('no session', "
                                       "name='org.freedesktop.login1.NoSessionForPID')";
        std::string code = no_session;
        if (l.kind == Logind::Session) {
            code = "if args[0] != " + std::to_string(getpid()) + ":\n    " + no_session + "\nret = '" +
                   kSessionPath + "'";
            mock("/org/freedesktop/login1", "org.freedesktop.DBus.Mock", "AddSession",
                 g_variant_new("(ssusb)", "c1", "seat0", 1000u, "alice", l.active ? TRUE : FALSE));
            set_session("Remote", g_variant_new_boolean(l.remote ? TRUE : FALSE));
            set_session("Class", g_variant_new_string(l.session_class));
            if (std::string(l.seat).empty()) {
                set_session("Seat", g_variant_new("(so)", "", "/"));
            }
        }
        mock("/org/freedesktop/login1", "org.freedesktop.DBus.Mock", "AddMethod",
             g_variant_new("(sssss)", "org.freedesktop.login1.Manager", "GetSessionByPID", "u", "o",
                           code.c_str()));
    }

    std::string daemon_name_;
};

// ---- the plays ----------------------------------------------------------------

// The module gives up before anything reaches the service: no prompt, no call
// of the service, no verification, the module never asked to identify.
void skipped_without_a_call(AttackTest &t, const Attack &a)
{
    PamRun run("tirvane-short", "alice", {a.rhost});
    ASSERT_TRUE(t.wait_done(run, bound_ms(3000)));
    EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
    EXPECT_TRUE(run.prompts().empty()) << run.prompts()[0];
    t.h.pump(300); // a call on its way would arrive meanwhile
    EXPECT_TRUE(t.pam_service_calls().empty()) << members_of(t.pam_service_calls());
    EXPECT_TRUE(t.h.signals("verifyStatusChanged").empty()) << list_of(verify_signals(t.h));
    EXPECT_FALSE(t.module_asked_to_identify());
    if (a.logind.kind != Logind::Absent) {
        const auto calls = t.pam_calls();
        ASSERT_FALSE(calls.empty()) << "logind was not asked";
        EXPECT_EQ(calls[0].member, "GetSessionByPID");
        EXPECT_EQ(calls[0].first_arg, std::to_string(getpid())) << "logind is asked about the PAM process";
    }
}

// The way through: logind is asked about this process first, then the finger matches.
void proceeds_to_a_match(AttackTest &t, const Attack &)
{
    PamRun run("tirvane", "alice");
    ASSERT_NO_FATAL_FAILURE(t.run_with_touches(run, {"alice-thumb"}));
    EXPECT_EQ(run.result(), PAM_SUCCESS) << pam_strerror(nullptr, run.result());
    const auto calls = t.pam_calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].member, "GetSessionByPID") << "logind comes before the service: " << members_of(calls);
    EXPECT_EQ(calls[0].first_arg, std::to_string(getpid()));
}

// A user whose name is digits only, "1001" (uid 1002), is not offered the finger
// enrolled under "1001", the decimal form of dora's uid; dora is.
void numeric_name_of_another_uid(AttackTest &t, const Attack &)
{
    const passwd *digits = getpwnam("1001");
    if (digits == nullptr || digits->pw_uid != 1002) {
        GTEST_SKIP() << "no fake users: nss_wrapper (libnss-wrapper) is not installed";
    }
    {
        PamRun run("tirvane-short", "1001");
        ASSERT_TRUE(t.wait_done(run, bound_ms(3000)));
        EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
        EXPECT_TRUE(run.prompts().empty()) << run.prompts()[0];
        for (const auto &c : t.pam_service_calls()) {
            EXPECT_NE(c.first_arg, "1001") << c.member << " asked about dora's fingers";
        }
        EXPECT_EQ(t.pam_calls_of("verify"), 0u);
    }
    PamRun run("tirvane", "dora");
    ASSERT_NO_FATAL_FAILURE(t.run_with_touches(run, {"dora-thumb"}));
    EXPECT_EQ(run.result(), PAM_SUCCESS)
        << "dora's own uid finds her finger: " << pam_strerror(nullptr, run.result());
}

// Another connection floods the waiting module with verifyStatusChanged-shaped
// signals addressed to it, faster than the module takes them in (its thread
// starved of CPU, the bus daemon on a CPU of its own): they are ignored, and the
// module still leaves its wait at the time-out. Once it has (its verifyStop is
// on the wire), its thread gets its share of CPU back to finish.
void signal_flood(AttackTest &t, const Attack &)
{
    const auto begin = std::chrono::steady_clock::now();
    PamRun run("tirvane-short", "alice"); // timeout=2
    ASSERT_TRUE(t.wait_prompt(run, kPlace));
    ASSERT_TRUE(t.h.wait_for([&] { return !t.pam_verify_sender().empty(); }, bound_ms(2000)));
    const pid_t bus = t.bus_daemon_pid();
    ASSERT_GT(bus, 0);
    ASSERT_GT(run.tid(), 0);
    const auto stop_sent = [&] { return t.pam_calls_of("verifyStop") > 0; };
    unsigned long sent = 0;
    {
        CpuSplit split(bus);
        setpriority(PRIO_PROCESS, static_cast<id_t>(run.tid()), 19);
        SignalFlood flood(t.h.bus_address(), t.pam_verify_sender());
        t.h.wait_for([&] { return stop_sent() || run.done(); }, (kShortTimeoutS + 8) * 1000);
        setpriority(PRIO_PROCESS, static_cast<id_t>(run.tid()), 0);
        t.wait_done(run, bound_ms(5000));
        sent = flood.sent();
        flood.stop();
        ASSERT_FALSE(flood.failed());
    }
    ASSERT_TRUE(run.done()) << "the flood held the module";
    EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
    EXPECT_GT(sent, 1000u) << "the flood did not run";
    const auto calls = t.pam_service_calls();
    const auto stop =
        std::find_if(calls.begin(), calls.end(), [](const auto &c) { return c.member == "verifyStop"; });
    ASSERT_NE(stop, calls.end()) << "the module's own verification is stopped at the time-out";
    const auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    EXPECT_LT(ms(stop->when - begin), kShortTimeoutS * 1000 + bound_ms(800))
        << "the wait ended late, " << sent << " signals sent";
    // Then the stop's 0.5 s and slack.
    EXPECT_LT(ms(run.elapsed()), kShortTimeoutS * 1000 + bound_ms(1500)) << sent << " signals sent";
}

// The fixture's verification for alice runs; a PAM run for alice is refused
// busy, stays silent and leaves that verification alone: no verifyStop.
void busy_refusal_leaves_another_verification(AttackTest &t, const Attack &)
{
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_verify_sync(t.h.proxy(), "alice", 3, nullptr, &error)) << error->message;
    ASSERT_TRUE(t.wait_identify_pending());
    {
        PamRun run("tirvane", "alice");
        ASSERT_TRUE(t.wait_done(run, bound_ms(5000)));
        EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
        EXPECT_EQ(run.prompts(), kPlacePrompt) << "a busy reader is not announced";
        EXPECT_EQ(t.pam_calls_of("verify"), 1u);
    }
    EXPECT_FALSE(t.h.wait_for([&] { return !identify_pending(t.h); }, bound_ms(1500)))
        << "the other verification was stopped";
    EXPECT_EQ(t.pam_calls_of("verifyStop"), 0u) << members_of(t.pam_service_calls());
    ASSERT_TRUE(t.h.emu().ok("touch alice-thumb"));
    EXPECT_TRUE(t.h.wait_for([&] { return t.match_reported("alice"); }, bound_ms(5000)))
        << list_of(verify_signals(t.h));
}

// bob's enrolment runs; root's PAM run (as login or sudo are) is refused busy
// and must not stop it, which root's verifyStop would.
void refused_root_login_leaves_an_enrolment(AttackTest &t, const Attack &)
{
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(t.h.proxy(), "bob", "index", nullptr, &error)) << error->message;
    ASSERT_TRUE(t.h.wait_signals("enrollStatusChanged", 1, bound_ms(10000)));
    ASSERT_TRUE(touch_and_wait(t.h, "bob-index"));
    {
        PamRun run("tirvane", "alice");
        ASSERT_TRUE(t.wait_done(run, bound_ms(5000)));
        EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
    }
    EXPECT_EQ(t.pam_calls_of("verifyStop"), 0u) << members_of(t.pam_service_calls());
    for (int i = 1; i < 6; ++i) {
        ASSERT_TRUE(touch_and_wait(t.h, "bob-index"))
            << "touch " << i << ": " << list_of(sig_strs(t.h.signals("enrollStatusChanged")));
    }
    ASSERT_TRUE(
        t.h.wait_for([&] { return t.h.signals("enrollStatusChanged").back().code != 2; }, bound_ms(10000)));
    EXPECT_EQ(sig_str(t.h.signals("enrollStatusChanged").back()), "(0, {})")
        << list_of(sig_strs(t.h.signals("enrollStatusChanged")));
    EXPECT_EQ(t.h.listfingers("bob"), std::vector<std::string>{"index"});
}

// A touch kept from the fixture's stopped verification is not a match for
// another caller: su alice right after someone else's attempt still needs a
// finger.
void kept_touch_taken_by_another_caller(AttackTest &t, const Attack &)
{
    ASSERT_NO_FATAL_FAILURE(t.keep_a_touch_during_a_stop());
    PamRun run("tirvane", "alice");
    ASSERT_TRUE(t.wait_prompt(run, kPlace));
    ASSERT_TRUE(t.wait_identify_pending())
        << "no new touch was asked for: " << (run.done() ? pam_strerror(nullptr, run.result()) : "running");
    ASSERT_FALSE(run.done()) << "the kept touch was taken: " << pam_strerror(nullptr, run.result());
    ASSERT_TRUE(t.h.emu().ok("touch alice-thumb"));
    ASSERT_TRUE(t.wait_done(run, bound_ms(5000)));
    EXPECT_EQ(run.result(), PAM_SUCCESS) << pam_strerror(nullptr, run.result());
}

// The control of the row above: the same caller's restarted verification for the
// same user takes the kept touch, with no new one.
void kept_touch_reused_by_the_same_caller(AttackTest &t, const Attack &)
{
    ASSERT_NO_FATAL_FAILURE(t.keep_a_touch_during_a_stop());
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_verify_sync(t.h.proxy(), "alice", 3, nullptr, &error)) << error->message;
    EXPECT_TRUE(t.h.wait_for([&] { return t.match_reported("alice"); }, bound_ms(5000)))
        << list_of(verify_signals(t.h));
}

// A stranger's finger, five times across PAM runs: alice is locked out. The
// module says so and returns at once, with no touch awaited and no stop; once
// the lock-out is over her finger matches, and a match starts the count anew.
void lockout_after_failed_touches(AttackTest &t, const Attack &)
{
    const std::vector<std::string> three = {"mallory-index", "mallory-index", "mallory-index"};
    {
        PamRun run("tirvane", "alice"); // max-tries=3
        ASSERT_NO_FATAL_FAILURE(t.run_with_touches(run, three));
        ASSERT_EQ(run.result(), PAM_MAXTRIES) << pam_strerror(nullptr, run.result());
    }
    std::chrono::steady_clock::time_point locked_at;
    {
        const size_t stops = t.pam_calls_of("verifyStop");
        PamRun run("tirvane", "alice");
        ASSERT_NO_FATAL_FAILURE(t.run_with_touches(run, {"mallory-index", "mallory-index"}));
        locked_at = std::chrono::steady_clock::now();
        EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
        const std::vector<Prompt> expected = {{PAM_TEXT_INFO, kPlace},
                                              {PAM_ERROR_MSG, kNoMatch},
                                              {PAM_ERROR_MSG, kNoMatch},
                                              {PAM_ERROR_MSG, kLockedOut}};
        EXPECT_EQ(run.prompts(), expected);
        EXPECT_EQ(t.pam_calls_of("verifyStop"), stops) << "the service ended the verification itself";
    }
    {
        const size_t stops = t.pam_calls_of("verifyStop");
        t.h.emu().command("trace-clear");
        PamRun run("tirvane", "alice");
        ASSERT_TRUE(t.wait_done(run, bound_ms(2000))) << "a touch is awaited while locked out";
        EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
        ASSERT_FALSE(run.prompts().empty());
        EXPECT_EQ(run.prompts().back(), (Prompt{PAM_ERROR_MSG, kLockedOut}));
        EXPECT_FALSE(t.module_asked_to_identify());
        EXPECT_EQ(t.pam_calls_of("verifyStop"), stops);
    }
    // Until the lock-out is over, with a little slack for the service's clock.
    const auto over = locked_at + std::chrono::seconds(kLockoutS) + 300ms;
    ASSERT_TRUE(
        t.h.wait_for([&] { return std::chrono::steady_clock::now() >= over; }, kLockoutS * 1000 + 1000));
    {
        PamRun run("tirvane", "alice");
        ASSERT_NO_FATAL_FAILURE(t.run_with_touches(run, {"alice-thumb"}));
        EXPECT_EQ(run.result(), PAM_SUCCESS) << "after the lock-out: " << pam_strerror(nullptr, run.result());
    }
    // Three failures, one more and a match, three more: seven failures, never
    // five in a row.
    {
        PamRun run("tirvane", "alice");
        ASSERT_NO_FATAL_FAILURE(t.run_with_touches(run, three));
        EXPECT_EQ(run.result(), PAM_MAXTRIES) << pam_strerror(nullptr, run.result());
    }
    {
        PamRun run("tirvane", "alice");
        ASSERT_NO_FATAL_FAILURE(t.run_with_touches(run, {"mallory-index", "alice-thumb"}));
        EXPECT_EQ(run.result(), PAM_SUCCESS) << pam_strerror(nullptr, run.result());
    }
    {
        PamRun run("tirvane", "alice");
        ASSERT_NO_FATAL_FAILURE(t.run_with_touches(run, three));
        EXPECT_EQ(run.result(), PAM_MAXTRIES)
            << "the match reset the count: " << pam_strerror(nullptr, run.result());
        EXPECT_FALSE(run.has_prompt(kLockedOut));
    }
}

TEST_P(AttackTest, IsWithstood)
{
    GetParam().play(*this, GetParam());
}

const char *const kShortLockout = "LockoutFailures=5\nLockoutSeconds=2\nLockoutMaxSeconds=4\n";

INSTANTIATE_TEST_SUITE_P(
    Attacks, AttackTest,
    ::testing::Values(
        // ssh alice@localhost: PAM_RHOST names the loopback interface.
        Attack{"LoopbackAddressV4", skipped_without_a_call, "127.0.0.1"},
        Attack{"LoopbackAddressV6", skipped_without_a_call, "::1"},
        Attack{"LoopbackName", skipped_without_a_call, "localhost"},
        // logind knows better than the PAM items who sits at the seat.
        Attack{"CallerOutsideAnyLogindSession", skipped_without_a_call, nullptr, {.kind = Logind::NoSession}},
        Attack{"InactiveLogindSession",
               skipped_without_a_call,
               nullptr,
               {.kind = Logind::Session, .active = false}},
        Attack{"RemoteLogindSession",
               skipped_without_a_call,
               nullptr,
               {.kind = Logind::Session, .remote = true}},
        Attack{"LogindSessionWithoutSeat",
               skipped_without_a_call,
               nullptr,
               {.kind = Logind::Session, .seat = ""}},
        Attack{"ActiveSeat0SessionProceeds", proceeds_to_a_match, nullptr, {.kind = Logind::Session}},
        Attack{"GreeterOnSeat0Proceeds",
               proceeds_to_a_match,
               nullptr,
               {.kind = Logind::Session, .session_class = "greeter"}},
        Attack{"NumericNameOfAnotherUid", numeric_name_of_another_uid},
        Attack{"SignalFloodAgainstTheTimeOut", signal_flood},
        Attack{"BusyRefusalLeavesAnotherVerification", busy_refusal_leaves_another_verification},
        Attack{"RefusedRootLoginLeavesAnEnrolment", refused_root_login_leaves_an_enrolment},
        Attack{"KeptTouchTakenByAnotherCaller", kept_touch_taken_by_another_caller},
        Attack{"KeptTouchReusedByTheSameCaller", kept_touch_reused_by_the_same_caller},
        Attack{"LockOutAfterFailedTouches", lockout_after_failed_touches, nullptr, {}, kShortLockout}),
    [](const auto &info) { return std::string(info.param.name); });

// The fake users of the numeric-name row, added to a copy of the system's users
// for nss_wrapper; the directory goes when the tests end.
std::string write_fake_users()
{
    char tmpl[] = "/tmp/tirvane-pam-nss-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        return "";
    }
    const std::string dir = tmpl;
    write_file(dir + "/passwd", slurp("/etc/passwd") + kFakeUsers);
    write_file(dir + "/group", slurp("/etc/group") + "dora:x:1001:\ndigits:x:1002:\n");
    return dir;
}

} // namespace

int main(int argc, char **argv)
{
    if (getenv("PAM_WRAPPER") == nullptr) {
        const std::string nss = TIRVANE_NSS_WRAPPER_LIBRARY;
        if (nss.empty() || access(nss.c_str(), R_OK) != 0) {
            return reexec_under_pam_wrapper(argv); // the row of the fake users is skipped
        }
        const std::string dir = write_fake_users();
        if (dir.empty()) {
            perror("mkdtemp");
            return 1;
        }
        setenv("NSS_WRAPPER_PASSWD", (dir + "/passwd").c_str(), 1);
        setenv("NSS_WRAPPER_GROUP", (dir + "/group").c_str(), 1);
        setenv("TIRVANE_PAM_NSS_DIR", dir.c_str(), 1);
        return reexec_under_pam_wrapper(argv, nss);
    }
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    const char *dir = getenv("TIRVANE_PAM_NSS_DIR");
    if (dir != nullptr && std::string(dir).rfind("/tmp/tirvane-pam-nss-", 0) == 0) {
        unlink((std::string(dir) + "/passwd").c_str());
        unlink((std::string(dir) + "/group").c_str());
        rmdir(dir);
    }
    return result;
}
