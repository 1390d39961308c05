// The one-key power-up result: a touch on the sensor that powered the machine
// up was identified by the module itself, and the service's start-up collects
// it. A verification that comes soon after stands on it without a touch, but
// only for a caller in a local login session (or any caller when logind is not
// on the bus); every other caller has it discarded and touches as usual.
#include "flow_helpers.h"

#include <csignal>
#include <unistd.h>

using namespace tvtest;

namespace
{

const char kLogind[] = "org.freedesktop.login1";
const char kLogindPath[] = "/org/freedesktop/login1";
const char kMockInterface[] = "org.freedesktop.DBus.Mock";
const char kSessionPath[] = "/org/freedesktop/login1/session/c1";
const char kNotUsedLine[] = "the power-up touch result is not used for a caller outside a local session.";
const char kStartupDone[] = "start-up checks done";
const char kIdentifyFrame[] = "ef 01 ff ff ff ff 01 00 08 32 03 ff ff 00 03";

// What is on the bus in place of logind when the verification comes.
enum class Logind {
    Absent,        // nothing owns org.freedesktop.login1
    NoSession,     // the template as it is: GetSessionByPID does not exist
    LocalSession,  // GetSessionByPID finds session c1, Remote=false
    RemoteSession, // as LocalSession, with Remote=true
};

struct Row {
    const char *name;
    Logind logind;
    bool used; // the verification stands on the power-up result
};

const Row kRows[] = {
    {"WithoutLogindAnyCallerUsesTheResult", Logind::Absent, true},
    {"CallerInNoSessionTouchesAgain", Logind::NoSession, false},
    {"CallerInALocalSessionUsesTheResult", Logind::LocalSession, true},
    {"CallerInARemoteSessionTouchesAgain", Logind::RemoteSession, false},
};

std::ostream &operator<<(std::ostream &out, const Row &row)
{
    return out << row.name;
}

class OneKey : public ::testing::TestWithParam<Row>
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(h.start()) << h.error;
        ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
        ASSERT_EQ(list_of(module_identities()), "alice-thumb;") << "the module holds the enrolled finger";
    }

    std::vector<std::string> module_identities()
    {
        std::vector<std::string> out;
        for (const auto &[slot, finger] : module_templates(h.emu())) {
            out.push_back(finger);
        }
        return out;
    }

    size_t identify_requests()
    {
        size_t n = 0;
        for (const auto &f : host_frames(h.emu())) {
            n += f.rfind(kIdentifyFrame, 0) == 0 ? 1 : 0;
        }
        return n;
    }

    // The machine is powered up again by a touch of alice's thumb: the daemon
    // restarts over the same configuration directory and emulator state file
    // (the harness always points the emulator at the same one), and the module
    // starts holding the identification of that touch.
    void power_up_by_touch()
    {
        const size_t done_before = count_of(h.log_text(), kStartupDone);
        h.stop_daemon(SIGTERM);
        ASSERT_TRUE(h.wait_for([&] { return !h.name_has_owner("nuvex.kal.Tirvane"); }, bound_ms(5000)));
        DaemonOptions options;
        options.env["TIRVANE_EMU_POWERUP_TOUCH"] = "alice-thumb";
        options.wait_ready = false; // the log still holds the first run's line
        ASSERT_TRUE(h.start(options)) << h.error;
        ASSERT_TRUE(
            h.wait_for([&] { return count_of(h.log_text(), kStartupDone) > done_before; }, bound_ms(25000)))
            << h.log_text();
        ASSERT_EQ(list_of(module_identities()), "alice-thumb;") << "the state file survived the restart";
        ASSERT_EQ(h.emu().command("pending"), "OK none") << "the start-up identification has ended";
    }

    void start_logind(Logind kind)
    {
        if (kind == Logind::Absent) {
            ASSERT_FALSE(h.name_has_owner(kLogind));
            return;
        }
        ASSERT_TRUE(h.start_mock("logind", kLogind)) << h.error;
        if (kind == Logind::NoSession) {
            // The template knows no GetSessionByPID: the caller is in no session.
            g_autoptr(GError) error = h.call_mock(kLogind, kLogindPath, "org.freedesktop.login1.Manager",
                                                  "GetSessionByPID", g_variant_new("(u)", 1u));
            ASSERT_NE(error, nullptr) << "GetSessionByPID should fail on the bare template";
            return;
        }
        {
            g_autoptr(GError) error =
                h.call_mock(kLogind, kLogindPath, kMockInterface, "AddMethod",
                            g_variant_new("(sssss)", "org.freedesktop.login1.Manager", "GetSessionByPID", "u",
                                          "o", "ret = \"/org/freedesktop/login1/session/c1\""));
            ASSERT_EQ(error, nullptr) << error->message;
        }
        {
            g_autoptr(GError) error = h.call_mock(kLogind, kLogindPath, kMockInterface, "AddSession",
                                                  g_variant_new("(ssusb)", "c1", "seat0", 0u, "root", TRUE));
            ASSERT_EQ(error, nullptr) << error->message;
        }
        if (kind == Logind::RemoteSession) {
            GVariantBuilder props;
            g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
            g_variant_builder_add(&props, "{sv}", "Remote", g_variant_new_boolean(TRUE));
            g_autoptr(GError) error =
                h.call_mock(kLogind, kSessionPath, kMockInterface, "UpdateProperties",
                            g_variant_new("(sa{sv})", "org.freedesktop.login1.Session", &props));
            ASSERT_EQ(error, nullptr) << error->message;
        }
        ASSERT_EQ(session_remote(), kind == Logind::RemoteSession ? "true" : "false");
    }

    // The session's Remote property as the mock serves it.
    std::string session_remote()
    {
        GVariant *reply = nullptr;
        g_autoptr(GError) error =
            h.call_mock(kLogind, kSessionPath, "org.freedesktop.DBus.Properties", "Get",
                        g_variant_new("(ss)", "org.freedesktop.login1.Session", "Remote"), &reply);
        if (reply == nullptr) {
            return std::string("error: ") + error->message;
        }
        g_autoptr(GVariant) owned = reply;
        g_autoptr(GVariant) value = nullptr;
        g_variant_get(owned, "(v)", &value);
        g_autofree gchar *text = g_variant_print(value, FALSE);
        return text;
    }

    // The pids the service asked logind's GetSessionByPID about.
    std::vector<guint32> session_lookups()
    {
        GVariant *reply = nullptr;
        g_autoptr(GError) error = h.call_mock(kLogind, kLogindPath, kMockInterface, "GetMethodCalls",
                                              g_variant_new("(s)", "GetSessionByPID"), &reply);
        std::vector<guint32> out;
        if (reply == nullptr) {
            return out;
        }
        g_autoptr(GVariant) owned = reply;
        g_autoptr(GVariant) calls = g_variant_get_child_value(owned, 0);
        for (gsize i = 0; i < g_variant_n_children(calls); ++i) {
            g_autoptr(GVariant) call = g_variant_get_child_value(calls, i);
            g_autoptr(GVariant) args = g_variant_get_child_value(call, 1);
            if (g_variant_n_children(args) == 1) {
                g_autoptr(GVariant) boxed = g_variant_get_child_value(args, 0);
                g_autoptr(GVariant) pid = g_variant_get_variant(boxed);
                if (g_variant_is_of_type(pid, G_VARIANT_TYPE_UINT32)) {
                    out.push_back(g_variant_get_uint32(pid));
                }
            }
        }
        return out;
    }

    ServiceHarness h;
};

} // namespace

TEST_P(OneKey, PowerUpResultStandsForTheTouchOnlyForALocalCaller)
{
    const Row &row = GetParam();
    ASSERT_NO_FATAL_FAILURE(power_up_by_touch());
    ASSERT_NO_FATAL_FAILURE(start_logind(row.logind));
    const size_t identifies_before = identify_requests();
    const size_t not_used_before = count_of(h.log_text(), kNotUsedLine);
    h.clear_signals();

    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "alice", 1, nullptr, &error)) << error->message;

    if (row.used) {
        // The match comes without a touch: the module is never asked to identify again.
        ASSERT_TRUE(
            h.wait_for([&] { return !verify_signals(h).empty() || identify_pending(h); }, bound_ms(8000)))
            << h.log_text();
        ASSERT_FALSE(identify_pending(h)) << "the verification asked for a touch";
        ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, bound_ms(8000)));
        EXPECT_EQ(list_of(verify_signals(h)), "(0, {});");
        EXPECT_EQ(h.signals("verifyStatusChanged")[0].id, "alice");
        EXPECT_EQ(identify_requests(), identifies_before) << list_of(host_frames(h.emu()));
        EXPECT_EQ(count_of(h.log_text(), kNotUsedLine), not_used_before);
    } else {
        // The verification waits for a touch, and nothing matches without one:
        // the result, had it been used, would have matched in about two seconds.
        ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, bound_ms(8000))) << h.log_text();
        EXPECT_FALSE(h.wait_for([&] { return !verify_signals(h).empty(); }, bound_ms(3000)))
            << list_of(verify_signals(h));
        EXPECT_EQ(identify_requests(), identifies_before + 1) << list_of(host_frames(h.emu()));
        EXPECT_EQ(count_of(h.log_text(), kNotUsedLine), not_used_before + 1) << h.log_text();
        // A real touch of the same finger matches as usual.
        ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
        ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, bound_ms(5000)));
        EXPECT_EQ(list_of(verify_signals(h)), "(0, {});");
    }
    if (row.logind == Logind::LocalSession || row.logind == Logind::RemoteSession) {
        // The service asked about this test process, the caller.
        const std::vector<guint32> pids = session_lookups();
        ASSERT_FALSE(pids.empty());
        EXPECT_EQ(pids.back(), static_cast<guint32>(getpid()));
    }
    EXPECT_FALSE(h.wait_for([&] { return verify_signals(h).size() > 1; }, bound_ms(300)))
        << "a match ends the verification: " << list_of(verify_signals(h));
}

INSTANTIATE_TEST_SUITE_P(Rows, OneKey, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &info) {
                             return std::string(info.param.name);
                         });
