// pam_tirvane.so as a login program sees it: pam_start and pam_authenticate
// under pam_wrapper with the service files of the build tree, against the real
// daemon on the private bus and the emulated module playing the finger.
#include "bus_fixture.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <security/pam_appl.h>
#include <systemd/sd-login.h>
#include <thread>
#include <unistd.h>

using namespace tvtest;
using namespace std::chrono_literals;

namespace
{

const char *const kPlace = "Place your finger on the fingerprint reader";
const char *const kNoMatch = "No match, try again";
const char *const kRetry = "Lift your finger and place it on the reader again";
const char *const kAliceList =
    "[UserFprint-1]\nenable=true\nuser_id=alice\nfprint_name=thumb\nfprint_id=90\n";

struct Prompt {
    int style;
    std::string text;
    bool operator==(const Prompt &o) const
    {
        return style == o.style && text == o.text;
    }
};

std::ostream &operator<<(std::ostream &out, const Prompt &p)
{
    return out << (p.style == PAM_TEXT_INFO   ? "info "
                   : p.style == PAM_ERROR_MSG ? "error "
                                              : "ask ")
               << '"' << p.text << '"';
}

// One pam_authenticate on its own thread, as a login program would run it;
// the conversation records every message.
class PamRun
{
  public:
    struct Items {
        const char *rhost;
    };

    PamRun(std::string service, std::string user, Items items = {nullptr})
        : service_(std::move(service)), user_(std::move(user)), items_(items)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~PamRun()
    {
        thread_.join();
    }
    PamRun(const PamRun &) = delete;
    PamRun &operator=(const PamRun &) = delete;

    bool done() const
    {
        return done_.load();
    }
    // Valid once done().
    int result() const
    {
        return result_;
    }
    std::chrono::steady_clock::duration elapsed() const
    {
        return elapsed_;
    }
    std::vector<Prompt> prompts() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return prompts_;
    }
    bool has_prompt(const std::string &text) const
    {
        for (const auto &p : prompts()) {
            if (p.text == text) {
                return true;
            }
        }
        return false;
    }

  private:
    static int converse(int n, const struct pam_message **msg, struct pam_response **resp, void *data)
    {
        auto *self = static_cast<PamRun *>(data);
        auto *answers = static_cast<pam_response *>(calloc(static_cast<size_t>(n), sizeof(pam_response)));
        if (answers == nullptr) {
            return PAM_BUF_ERR;
        }
        std::lock_guard<std::mutex> lock(self->mutex_);
        for (int i = 0; i < n; ++i) {
            self->prompts_.push_back({msg[i]->msg_style, msg[i]->msg != nullptr ? msg[i]->msg : ""});
            if (msg[i]->msg_style == PAM_PROMPT_ECHO_OFF || msg[i]->msg_style == PAM_PROMPT_ECHO_ON) {
                answers[i].resp = strdup("");
            }
        }
        *resp = answers;
        return PAM_SUCCESS;
    }

    void run()
    {
        const struct pam_conv conv = {converse, this};
        pam_handle_t *pamh = nullptr;
        const auto begin = std::chrono::steady_clock::now();
        int r = pam_start(service_.c_str(), user_.c_str(), &conv, &pamh);
        if (r == PAM_SUCCESS && items_.rhost != nullptr) {
            r = pam_set_item(pamh, PAM_RHOST, items_.rhost);
        }
        if (r == PAM_SUCCESS) {
            r = pam_authenticate(pamh, 0);
        }
        elapsed_ = std::chrono::steady_clock::now() - begin;
        if (pamh != nullptr) {
            pam_end(pamh, r);
        }
        result_ = r;
        done_.store(true);
    }

    std::string service_;
    std::string user_;
    Items items_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Prompt> prompts_;
    std::atomic<bool> done_{false};
    int result_ = -1;
    std::chrono::steady_clock::duration elapsed_{};
};

class PamTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(h.error.empty()) << h.error;
        char *session = nullptr;
        const bool remote = sd_pid_get_session(0, &session) >= 0 && sd_session_is_remote(session) > 0;
        free(session);
        // The module rightly refuses a caller in a remote logind session.
        ASSERT_FALSE(remote) << "run these tests from a local session or outside logind";
        // The module must find this bus, and must not take the test for an SSH login.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", h.bus_address().c_str(), 1);
        unsetenv("SSH_CONNECTION");
    }

    // The daemon with alice's thumb enrolled in slot 90.
    void start_with_alice(DaemonOptions options = {})
    {
        options.list_conf = kAliceList;
        options.write_list_conf = true;
        ASSERT_TRUE(h.start(options)) << h.error;
        ASSERT_TRUE(h.emu().ok("store 90 alice-thumb"));
    }

    bool wait_done(PamRun &run, int timeout_ms)
    {
        return h.wait_for([&] { return run.done(); }, timeout_ms);
    }
    bool wait_prompt(PamRun &run, const std::string &text, int timeout_ms = 10000)
    {
        return h.wait_for([&] { return run.has_prompt(text); }, timeout_ms);
    }
    // Waits until the module's verification holds the reader, waiting for a touch.
    bool wait_identify_pending()
    {
        return h.wait_for([&] { return h.emu().command("pending").find("identify") != std::string::npos; },
                          10000);
    }
    size_t log_count(const std::string &what) const
    {
        const std::string log = h.log_text();
        size_t n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) {
            ++n;
        }
        return n;
    }
    size_t verify_calls() const
    {
        return log_count("gdbus_handle_verify] start");
    }
    size_t verify_stops() const
    {
        return log_count("gdbus_handle_verify_stop] start");
    }
    size_t listfingers_calls() const
    {
        return log_count("gdbus_handle_listfingers] start");
    }
    // After the module returned, the reader comes free for the next verification.
    // The service takes its time to call the module's search off (its stop
    // answer alone may take 3 s), so this bound is generous.
    void expect_reader_idle()
    {
        EXPECT_TRUE(
            h.wait_for([&] { return h.emu().command("pending").find("none") != std::string::npos; }, 12000))
            << "the module still waits for a touch";
    }

    ServiceHarness h;
};

const std::vector<Prompt> kPlacePrompt = {{PAM_TEXT_INFO, kPlace}};

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
    EXPECT_EQ(verify_stops(), 1u) << "the module stops the verification it started";
    expect_reader_idle();
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
    EXPECT_EQ(verify_stops(), 1u);
    expect_reader_idle();
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
    const char *rhost;
    const char *ssh_connection;
    bool remote;
};

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
    PamRun run("tirvane-short", "alice", {c.rhost});
    if (c.remote) {
        ASSERT_TRUE(wait_done(run, 1000));
        EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
        EXPECT_TRUE(run.prompts().empty()) << run.prompts()[0];
        h.pump(300);
        EXPECT_EQ(listfingers_calls(), lists_before) << "no call reaches the service";
        EXPECT_EQ(verify_calls(), 0u);
    } else {
        // A local host name is a local session: the finger is asked for.
        ASSERT_TRUE(wait_prompt(run, kPlace));
        ASSERT_TRUE(wait_identify_pending());
        ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
        ASSERT_TRUE(wait_done(run, 5000));
        EXPECT_EQ(run.result(), PAM_SUCCESS) << pam_strerror(nullptr, run.result());
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Remote,
                         ::testing::Values(RemoteCase{"RemoteHost", "remote.example.org", nullptr, true},
                                           RemoteCase{"SshConnection", nullptr,
                                                      "192.0.2.7 50022 192.0.2.1 22", true},
                                           RemoteCase{"LocalHostName", "localhost", nullptr, false}),
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
    }

    guint registration_ = 0;
    int stops_ = 0;
};

TEST_P(SenderScripted, OnlyAMatchAfterTheAnswerForTheUserCounts)
{
    PamRun run("tirvane-short", "alice"); // timeout=2
    ASSERT_TRUE(wait_done(run, 5000));
    EXPECT_EQ(run.result(), GetParam().expected) << pam_strerror(nullptr, run.result());
    EXPECT_EQ(run.prompts(), kPlacePrompt);
    if (GetParam().expected != PAM_SUCCESS) {
        EXPECT_GE(run.elapsed(), 2s) << "ended before its time-out";
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
    // The service waits ten seconds for the reader to come back before it
    // reports it disconnected; meanwhile it asks to try again.
    ASSERT_TRUE(wait_done(run, 16000));
    EXPECT_EQ(run.result(), PAM_AUTHINFO_UNAVAIL) << pam_strerror(nullptr, run.result());
    const auto prompts = run.prompts();
    ASSERT_FALSE(prompts.empty());
    EXPECT_EQ(prompts[0], kPlacePrompt[0]);
    for (size_t i = 1; i < prompts.size(); ++i) {
        EXPECT_EQ(prompts[i], (Prompt{PAM_TEXT_INFO, kRetry})) << i;
    }
    EXPECT_LE(prompts.size(), 5u) << "the retry hint is not repeated at the service's pace";
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
    EXPECT_EQ(verify_stops(), 1u);
    expect_reader_idle();
    struct sigaction now {
    };
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << "the program's own Ctrl-C handling is put back";
}

} // namespace

int main(int argc, char **argv)
{
    // pam_wrapper has to be in the process from its start: run again with it.
    const std::string wrapper = TIRVANE_PAM_WRAPPER_LIBRARY;
    if (getenv("PAM_WRAPPER") == nullptr) {
        if (wrapper.empty() || access(wrapper.c_str(), R_OK) != 0) {
            fprintf(stderr, "SKIP: pam_wrapper (libpam-wrapper) is not installed\n");
            return 77;
        }
        setenv("PAM_WRAPPER", "1", 1);
        setenv("PAM_WRAPPER_SERVICE_DIR", TIRVANE_PAM_SERVICE_DIR, 1);
        setenv("LD_PRELOAD", wrapper.c_str(), 1);
        execv("/proc/self/exe", argv);
        perror("execv");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
