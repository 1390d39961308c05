// pam_tirvane.so as a login program sees it: pam_start and pam_authenticate
// under pam_wrapper with the service files of the build tree, against the real
// daemon on the private bus and the emulated module playing the finger.
#include "pam_harness.h"

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace tvtest;
using namespace tvpam;
using namespace std::chrono_literals;

namespace
{

// The module waits half a second at most for verifyStop's answer before it
// returns, and the service logs the call only when its main loop takes it up:
// a stop may be logged a little after pam_authenticate returned. True once
// `count` stops are logged.
bool wait_verify_stops(PamTest &t, size_t count)
{
    return t.h.wait_for([&] { return t.verify_stops() >= count; }, bound_ms(3000));
}

// ---- Authenticate: the way through -----------------------------------------------

using Authenticate = PamTest;

TEST_F(Authenticate, MatchingFingerSucceeds)
{
    start_with_alice();
    PamRun run("tirvane", "alice");
    ASSERT_TRUE(wait_prompt(run, kPlace));
    ASSERT_TRUE(wait_identify_pending());
    ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
    ASSERT_TRUE(wait_done(run, 5000));
    EXPECT_EQ(run.result(), PAM_SUCCESS) << pam_strerror(nullptr, run.result());
    EXPECT_EQ(run.prompts(), kPlacePrompt);
    EXPECT_EQ(verify_calls(), 1u);
}

TEST_F(Authenticate, FingersEnrolledUnderTheUidAreFound)
{
    // root has no fingers under its name, one under its uid "0".
    DaemonOptions options;
    options.list_conf = "[UserFprint-1]\nenable=true\nuser_id=0\nfprint_name=thumb\nfprint_id=91\n";
    options.write_list_conf = true;
    ASSERT_TRUE(h.start(options)) << h.error;
    ASSERT_TRUE(h.emu().ok("store 91 root-thumb"));
    PamRun run("tirvane", "root");
    ASSERT_TRUE(wait_prompt(run, kPlace));
    ASSERT_TRUE(wait_identify_pending());
    ASSERT_TRUE(h.emu().ok("touch root-thumb"));
    ASSERT_TRUE(wait_done(run, 5000));
    EXPECT_EQ(run.result(), PAM_SUCCESS) << pam_strerror(nullptr, run.result());
    EXPECT_NE(h.log_text().find("gdbus_handle_verify] start, id=0,"), std::string::npos);
}

struct TriesCase {
    const char *service;
    unsigned tries;
};

std::ostream &operator<<(std::ostream &out, const TriesCase &c)
{
    return out << c.service << " (" << c.tries << " tries)";
}

class AuthenticateTries : public PamTest, public ::testing::WithParamInterface<TriesCase>
{
};

TEST_P(AuthenticateTries, StrangerFingerUntilMaxTries)
{
    start_with_alice();
    PamRun run(GetParam().service, "alice");
    ASSERT_TRUE(wait_prompt(run, kPlace));
    for (unsigned i = 0; i < GetParam().tries; ++i) {
        ASSERT_TRUE(wait_identify_pending()) << "touch " << i;
        ASSERT_FALSE(run.done()) << "ended after " << i << " touches";
        ASSERT_TRUE(h.emu().ok("touch stranger")) << i;
        if (i + 1 < GetParam().tries) {
            ASSERT_TRUE(h.wait_for([&] { return run.prompts().size() == i + 2; }, 5000)) << i;
        }
    }
    ASSERT_TRUE(wait_done(run, 8000));
    EXPECT_EQ(run.result(), PAM_MAXTRIES) << pam_strerror(nullptr, run.result());
    std::vector<Prompt> expected = kPlacePrompt;
    for (unsigned i = 1; i < GetParam().tries; ++i) {
        expected.push_back({PAM_ERROR_MSG, kNoMatch});
    }
    EXPECT_EQ(run.prompts(), expected);
    EXPECT_TRUE(wait_verify_stops(*this, 1)) << "the module stops the verification it started";
    expect_reader_idle();
    EXPECT_EQ(verify_stops(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Options, AuthenticateTries,
                         ::testing::Values(TriesCase{"tirvane", 3}, TriesCase{"tirvane-two", 2}),
                         [](const auto &info) { return std::to_string(info.param.tries) + "Tries"; });

TEST_F(Authenticate, NoTouchTimesOutUnavailable)
{
    start_with_alice();
    PamRun run("tirvane-short", "alice"); // timeout=2
    ASSERT_TRUE(wait_prompt(run, kPlace));
    ASSERT_TRUE(wait_done(run, 6000));
    EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
    EXPECT_GE(run.elapsed(), 2s);
    EXPECT_LT(run.elapsed(), 3s)
        << "the time-out plus one second bounds the wait: "
        << std::chrono::duration_cast<std::chrono::milliseconds>(run.elapsed()).count() << " ms";
    EXPECT_EQ(run.prompts(), kPlacePrompt);
    EXPECT_TRUE(wait_verify_stops(*this, 1)) << "the module stops the verification it started";
    expect_reader_idle();
    EXPECT_EQ(verify_stops(), 1u);
}

// The service's retry signals for alice, (3, {"subcode":3}): it sends them to
// the connection that started the verification, PAM's, and the harness sees
// them through its monitor.
std::vector<std::chrono::steady_clock::time_point> retries_sent(const ServiceHarness &h)
{
    std::vector<std::chrono::steady_clock::time_point> out;
    for (const auto &s : h.signals("verifyStatusChanged")) {
        if (s.id == "alice" && sig_str(s) == "(3, {\"subcode\":3})") {
            out.push_back(s.when);
        }
    }
    return out;
}

// The module gives up the search the service waits on: a refusal of the search
// (the report [1, 0], confirm 1 at its check stage) comes before the module's
// next answer, the reports of a touch, and the read that brings it ends halfway
// through the touch's first report (split-next), so the refusal is never read
// together with the touch's result. The service cancels the search, dropping
// the rest of the touch's reports, sends a retry signal and searches again.
// True once that signal was sent.
bool give_up_search(PamTest &t)
{
    const size_t before = retries_sent(t.h).size();
    return t.wait_identify_pending() && t.h.emu().ok("stray-next 0100") && t.h.emu().ok("split-next") &&
           t.h.emu().ok("touch stranger") &&
           t.h.wait_for([&] { return retries_sent(t.h).size() > before; }, bound_ms(5000));
}

TEST_F(Authenticate, RetryHintIsShownOncePerThreeSeconds)
{
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::duration d) {
        return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) + " ms";
    };
    const Prompt place{PAM_TEXT_INFO, kPlace};
    const Prompt retry{PAM_TEXT_INFO, kRetry};
    start_with_alice();
    PamRun run("tirvane", "alice");
    ASSERT_TRUE(wait_prompt(run, kPlace));
    // A burst of retries, one after the other for 1.5 s: well within the 3 s
    // that the module lets pass between two hints.
    ASSERT_TRUE(give_up_search(*this));
    const auto first = retries_sent(h).front();
    while (Clock::now() - first < 1500ms) {
        ASSERT_TRUE(give_up_search(*this)) << "retry " << retries_sent(h).size() + 1;
    }
    const auto burst = retries_sent(h);
    ASSERT_GE(burst.size(), 3u) << "too few retries for the hint to be held back";
    ASSERT_LT(burst.back() - first, 2500ms) << burst.size() << " retries took " << ms(burst.back() - first);
    ASSERT_TRUE(wait_prompt(run, kRetry)) << "the first retry brings the hint";
    // 3.5 s after the first retry and, at this pace, less than 3 s after the
    // last one: the gap counts from the hint, not from the latest retry.
    ASSERT_TRUE(h.wait_for([&] { return Clock::now() - first >= 3500ms; }, 4000));
    EXPECT_EQ(run.prompts(), (std::vector<Prompt>{place, retry}))
        << burst.size() << " retries within " << ms(burst.back() - first) << " bring the hint once";
    // The next burst: its first retry comes more than 3 s after the first hint.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(give_up_search(*this)) << "retry " << retries_sent(h).size() + 1;
    }
    const auto all = retries_sent(h);
    ASSERT_LT(all.back() - all[burst.size()], 2500ms) << ms(all.back() - all[burst.size()]);
    ASSERT_TRUE(wait_identify_pending());
    ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
    ASSERT_TRUE(wait_done(run, bound_ms(5000)));
    EXPECT_EQ(run.result(), PAM_SUCCESS) << pam_strerror(nullptr, run.result());
    EXPECT_EQ(run.prompts(), (std::vector<Prompt>{place, retry, retry}))
        << all.size() << " retries over " << ms(all.back() - first) << ", the second burst from "
        << ms(all[burst.size()] - first) << " on, bring the hint twice";
    EXPECT_EQ(retries_sent(h).size(), all.size()) << "one retry for each search given up";
}

// ---- Refusal: nothing to verify, no prompt -------------------------------------------

struct RefusalCase {
    const char *name;
    const char *user;
    bool daemon;
    const char *present; // TIRVANE_EMU_PRESENT
};

std::ostream &operator<<(std::ostream &out, const RefusalCase &c)
{
    return out << c.name;
}

class Refusal : public PamTest, public ::testing::WithParamInterface<RefusalCase>
{
};

TEST_P(Refusal, UnavailableAtOnceWithoutPrompt)
{
    const auto &c = GetParam();
    if (c.daemon) {
        DaemonOptions options;
        options.env["TIRVANE_EMU_PRESENT"] = c.present;
        start_with_alice(options);
    }
    PamRun run("tirvane", c.user);
    ASSERT_TRUE(wait_done(run, 3000));
    EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
    EXPECT_TRUE(run.prompts().empty()) << run.prompts()[0];
    EXPECT_EQ(verify_calls(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, Refusal,
                         ::testing::Values(RefusalCase{"NoFingersEnrolled", "carol", true, "1"},
                                           RefusalCase{"ServiceAbsent", "alice", false, "1"},
                                           RefusalCase{"NoReader", "alice", true, "0"}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Remote: no finger can be placed from afar ---------------------------------------

struct RemoteCase {
    const char *name;
    const char *rhost; // kOwnHostName: the machine's own host name
    const char *ssh_connection;
    bool remote;
};

const char *const kOwnHostName = "(this machine's host name)";

std::string own_host_name()
{
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

std::ostream &operator<<(std::ostream &out, const RemoteCase &c)
{
    return out << c.name;
}

class Remote : public PamTest, public ::testing::WithParamInterface<RemoteCase>
{
  protected:
    void TearDown() override
    {
        unsetenv("SSH_CONNECTION");
    }
};

TEST_P(Remote, RemoteSessionIsSkippedWithoutAnyCall)
{
    const auto &c = GetParam();
    start_with_alice();
    const size_t lists_before = listfingers_calls();
    if (c.ssh_connection != nullptr) {
        setenv("SSH_CONNECTION", c.ssh_connection, 1);
    }
    const std::string host_name = own_host_name();
    PamRun run("tirvane-short", "alice", {c.rhost == kOwnHostName ? host_name.c_str() : c.rhost});
    if (c.remote) {
        ASSERT_TRUE(wait_done(run, 1000));
        EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
        EXPECT_TRUE(run.prompts().empty()) << run.prompts()[0];
        h.pump(300);
        EXPECT_EQ(listfingers_calls(), lists_before) << "no call reaches the service";
        EXPECT_EQ(verify_calls(), 0u);
    } else {
        // No remote host, or this machine's name as sudo sets it: the finger is asked for.
        ASSERT_TRUE(wait_prompt(run, kPlace));
        ASSERT_TRUE(wait_identify_pending());
        ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
        ASSERT_TRUE(wait_done(run, 5000));
        EXPECT_EQ(run.result(), PAM_SUCCESS) << pam_strerror(nullptr, run.result());
    }
}

// A login over the loopback interface (ssh alice@localhost) is a network login
// like any other; the attack suite covers the loopback addresses.
INSTANTIATE_TEST_SUITE_P(Cases, Remote,
                         ::testing::Values(RemoteCase{"RemoteHost", "remote.example.org", nullptr, true},
                                           RemoteCase{"SshConnection", nullptr,
                                                      "192.0.2.7 50022 192.0.2.1 22", true},
                                           RemoteCase{"Localhost", "localhost", nullptr, true},
                                           RemoteCase{"OwnHostName", kOwnHostName, nullptr, false},
                                           RemoteCase{"EmptyHost", "", nullptr, false}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Sender: only the service's own signals, after its answer, for the user -------------

using Sender = PamTest;

void emit_verify_status(GDBusConnection *connection, const char *id, int code)
{
    g_dbus_connection_emit_signal(connection, nullptr, "/nuvex/kal/Tirvane", "nuvex.kal.Tirvane",
                                  "verifyStatusChanged", g_variant_new("(sis)", id, code, "{}"), nullptr);
    g_dbus_connection_flush_sync(connection, nullptr, nullptr);
}

TEST_F(Sender, ForgedMatchFromAnotherConnectionIsIgnored)
{
    start_with_alice();
    PamRun run("tirvane", "alice");
    ASSERT_TRUE(wait_prompt(run, kPlace));
    ASSERT_TRUE(wait_identify_pending());
    emit_verify_status(h.connection(), "alice", 0);
    h.pump(700);
    ASSERT_FALSE(run.done()) << "a match from a connection other than the service's was taken: "
                             << pam_strerror(nullptr, run.result());
    ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
    ASSERT_TRUE(wait_done(run, 5000));
    EXPECT_EQ(run.result(), PAM_SUCCESS) << pam_strerror(nullptr, run.result());
}

// A scripted service in place of the daemon, to order a signal before the
// answer to verify, which the real one never does.
enum class Script { MatchAfterReply, MatchBeforeReply, MatchForOtherUser };

struct ScriptCase {
    const char *name;
    Script script;
    int expected;
};

std::ostream &operator<<(std::ostream &out, const ScriptCase &c)
{
    return out << c.name;
}

class SenderScripted : public PamTest, public ::testing::WithParamInterface<ScriptCase>
{
  protected:
    void SetUp() override
    {
        PamTest::SetUp();
        static const GDBusInterfaceVTable vtable = {on_call, nullptr, nullptr, {}};
        g_autoptr(GError) error = nullptr;
        registration_ = g_dbus_connection_register_object(
            h.connection(), "/nuvex/kal/Tirvane", tirvane_interface_info(), &vtable, this, nullptr, &error);
        ASSERT_NE(registration_, 0u) << error->message;
        g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
            h.connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", "nuvex.kal.Tirvane", 4u), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        ASSERT_NE(reply, nullptr) << error->message;
        guint32 answer = 0;
        g_variant_get(reply, "(u)", &answer);
        ASSERT_EQ(answer, 1u) << "the scripted service could not own the name";
    }
    void TearDown() override
    {
        if (registration_ != 0) {
            g_dbus_connection_unregister_object(h.connection(), registration_);
        }
    }

    static void on_call(GDBusConnection *connection, const gchar *, const gchar *, const gchar *,
                        const gchar *method, GVariant *, GDBusMethodInvocation *invocation, gpointer data)
    {
        auto *self = static_cast<SenderScripted *>(data);
        const std::string m = method;
        if (m == "getDeviceCount") {
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(i)", 1));
        } else if (m == "listfingers") {
            const gchar *names[] = {"thumb", nullptr};
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", names));
        } else if (m == "verify") {
            const Script script = self->GetParam().script;
            if (script == Script::MatchBeforeReply) {
                emit_verify_status(connection, "alice", 0);
            }
            g_dbus_method_invocation_return_value(invocation, nullptr);
            if (script != Script::MatchBeforeReply) {
                emit_verify_status(connection, script == Script::MatchForOtherUser ? "bob" : "alice", 0);
            }
        } else {
            if (m == "verifyStop") {
                ++self->stops_;
            }
            g_dbus_method_invocation_return_value(invocation, nullptr);
        }
        if (self->caller_.empty()) {
            self->caller_ = g_dbus_method_invocation_get_sender(invocation);
        }
    }

    // Once the module's connection has left the bus, every call it made has
    // reached this connection, whose main context then hands them out.
    bool wait_module_left()
    {
        return !caller_.empty() && h.wait_for([&] { return !h.name_has_owner(caller_); }, bound_ms(3000));
    }

    guint registration_ = 0;
    int stops_ = 0;
    std::string caller_; // the module's unique name
};

TEST_P(SenderScripted, OnlyAMatchAfterTheAnswerForTheUserCounts)
{
    PamRun run("tirvane-short", "alice"); // timeout=2
    ASSERT_TRUE(wait_done(run, 5000));
    EXPECT_EQ(run.result(), GetParam().expected) << pam_strerror(nullptr, run.result());
    EXPECT_EQ(run.prompts(), kPlacePrompt);
    if (GetParam().expected != PAM_SUCCESS) {
        EXPECT_GE(run.elapsed(), 2s) << "ended before its time-out";
        // The module waits half a second at most for the stop's answer.
        ASSERT_TRUE(wait_module_left()) << "the module's connection stays on the bus";
        EXPECT_TRUE(h.wait_for([&] { return stops_ >= 1; }, bound_ms(1000)));
        EXPECT_EQ(stops_, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SenderScripted,
    ::testing::Values(ScriptCase{"MatchAfterReply", Script::MatchAfterReply, PAM_SUCCESS},
                      ScriptCase{"MatchBeforeReply", Script::MatchBeforeReply, PAM_AUTHINFO_UNAVAIL},
                      ScriptCase{"MatchForOtherUser", Script::MatchForOtherUser, PAM_AUTHINFO_UNAVAIL}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Stop: the wait ends early --------------------------------------------------------

using Stop = PamTest;

TEST_F(Stop, ModuleUnpluggedMidWaitIsUnavailable)
{
    start_with_alice();
    PamRun run("tirvane", "alice");
    ASSERT_TRUE(wait_prompt(run, kPlace));
    ASSERT_TRUE(wait_identify_pending());
    h.emu().unplug();
    // The service reports the departure at once; while it waits for the reader
    // to come back it sends no retry signals.
    ASSERT_TRUE(wait_done(run, bound_ms(5000)));
    EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
    EXPECT_EQ(run.prompts(), kPlacePrompt);
    // The service's verification still waits for the reader when the module's
    // connection leaves the bus. Whatever the module sent went out before it
    // left, so a stop of the module's is logged before the service notices.
    ASSERT_TRUE(
        h.wait_for([&] { return log_count("left the bus, stopping its operation") > 0; }, bound_ms(5000)))
        << "the service did not see the module leave the bus";
    EXPECT_EQ(verify_stops(), 0u) << "after a disconnect the service ends the verification itself";
}

TEST_F(Stop, ServiceLeavingTheBusMidWaitIsUnavailable)
{
    start_with_alice();
    PamRun run("tirvane", "alice"); // timeout 30 s: only the owner change can end it this soon
    ASSERT_TRUE(wait_prompt(run, kPlace));
    ASSERT_TRUE(wait_identify_pending());
    h.stop_daemon(SIGKILL);
    ASSERT_TRUE(wait_done(run, 3000));
    EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
    EXPECT_EQ(run.prompts(), kPlacePrompt);
}

TEST_F(Stop, CtrlCStopsTheVerification)
{
    start_with_alice();
    PamRun run("tirvane", "alice");
    ASSERT_TRUE(wait_prompt(run, kPlace));
    ASSERT_TRUE(wait_identify_pending());
    kill(getpid(), SIGINT);
    ASSERT_TRUE(wait_done(run, 5000));
    EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
    EXPECT_TRUE(wait_verify_stops(*this, 1)) << "the module stops the verification it started";
    expect_reader_idle();
    EXPECT_EQ(verify_stops(), 1u);
    struct sigaction now {
    };
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << "the program's own Ctrl-C handling is put back";
}

} // namespace

int main(int argc, char **argv)
{
    if (getenv("PAM_WRAPPER") == nullptr) {
        return reexec_under_pam_wrapper(argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
