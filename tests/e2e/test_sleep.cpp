// System sleep as logind announces it: the service lets go of the module before
// the machine sleeps and serves again after every resume.
#include "flow_helpers.h"
#include "upgrade_helpers.h"

#include <algorithm>
#include <chrono>

using namespace tvtest;

namespace
{

constexpr const char *kLogind = "org.freedesktop.login1";
constexpr const char *kLogindPath = "/org/freedesktop/login1";
constexpr const char *kMockInterface = "org.freedesktop.DBus.Mock";

// The service's inhibitors as "what mode", from logind's own list.
std::vector<std::string> service_inhibitors(ServiceHarness &h)
{
    GVariant *reply = nullptr;
    g_autoptr(GError) error = h.call_mock(kLogind, kLogindPath, "org.freedesktop.login1.Manager",
                                          "ListInhibitors", nullptr, &reply);
    std::vector<std::string> out;
    if (reply == nullptr) {
        return {"error: " + std::string(error->message)};
    }
    g_autoptr(GVariant) list = g_variant_get_child_value(reply, 0);
    GVariantIter iter;
    g_variant_iter_init(&iter, list);
    const gchar *what = nullptr;
    const gchar *who = nullptr;
    const gchar *why = nullptr;
    const gchar *mode = nullptr;
    guint32 uid = 0;
    guint32 pid = 0;
    while (g_variant_iter_next(&iter, "(&s&s&s&suu)", &what, &who, &why, &mode, &uid, &pid)) {
        if (std::string(who) == "tirvane-serverd") {
            out.push_back(std::string(what) + " " + mode);
        }
    }
    g_variant_unref(reply);
    return out;
}

// The daemon with logind played by python3-dbusmock's template.
class Sleep : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(h.start_mock("logind", kLogind)) << h.error;
        ASSERT_TRUE(h.start()) << h.error;
        ASSERT_TRUE(h.wait_for([&] { return inhibitors() == std::vector<std::string>{"sleep delay"}; }, 5000))
            << "inhibitors: " << list_of(inhibitors());
    }

    std::vector<std::string> inhibitors()
    {
        return service_inhibitors(h);
    }

    // logind's announcement of a sleep (true) or of the resume (false).
    void prepare_for_sleep(bool start)
    {
        GVariantBuilder args;
        g_variant_builder_init(&args, G_VARIANT_TYPE("av"));
        g_variant_builder_add(&args, "v", g_variant_new_boolean(start));
        g_autoptr(GError) error = h.call_mock(
            kLogind, kLogindPath, kMockInterface, "EmitSignal",
            g_variant_new("(sssav)", "org.freedesktop.login1.Manager", "PrepareForSleep", "b", &args));
        ASSERT_EQ(error, nullptr) << error->message;
    }

    // Announces the sleep and waits until the service has let go of the module.
    void go_to_sleep()
    {
        prepare_for_sleep(true);
        ASSERT_TRUE(h.wait_for([&] { return inhibitors().empty(); }, 6000))
            << "the inhibitor stays: " << list_of(inhibitors()) << h.log_text();
        EXPECT_EQ(stat_value(h.emu().command("stats"), "open"), "0") << "the module is closed for the sleep";
    }

    void resume()
    {
        prepare_for_sleep(false);
        ASSERT_TRUE(h.wait_for([&] { return inhibitors() == std::vector<std::string>{"sleep delay"}; }, 5000))
            << "no inhibitor after the resume: " << list_of(inhibitors());
    }

    // One verification that is answered by a touch with a match.
    void verify_matches(const std::string &user, const std::string &finger)
    {
        h.clear_signals();
        g_autoptr(GError) error = nullptr;
        ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), user.c_str(), 1, nullptr, &error)) << error->message;
        ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, 5000)) << h.log_text();
        ASSERT_TRUE(h.emu().ok("touch " + finger));
        ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000));
        EXPECT_EQ(verify_signals(h)[0], "(0, {})") << list_of(verify_signals(h));
        ASSERT_TRUE(h.wait_for([&] { return stat_value(h.emu().command("stats"), "open") == "0"; }, 3000));
    }

    ServiceHarness h;
};

TEST_F(Sleep, InhibitorIsLetGoForTheSleepAndTakenAgainAfterTheResume)
{
    go_to_sleep();
    EXPECT_NE(h.log_text().find("module let go for sleep after"), std::string::npos);
    resume();
    EXPECT_NE(h.log_text().find("the system has resumed.\n"), std::string::npos);
}

// What a client of a running operation hears when the machine goes to sleep.
struct RunningAtSleep {
    const char *name;
    const char *signal; // the bus signal the client follows
};

class SleepDuringOperation : public Sleep, public ::testing::WithParamInterface<RunningAtSleep>
{
};

const RunningAtSleep kRunning[] = {
    {"Verification", "verifyStatusChanged"},
    {"Enrolment", "enrollStatusChanged"},
};

TEST_P(SleepDuringOperation, EndsAsAnUnplugAndTheDeviceServesAfterTheResume)
{
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    h.clear_signals();
    const std::string signal = GetParam().signal;
    g_autoptr(GError) error = nullptr;
    if (signal == "verifyStatusChanged") {
        ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "alice", 1, nullptr, &error));
        ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, 5000)) << h.log_text();
    } else {
        ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "alice", "index", nullptr, &error));
        ASSERT_TRUE(h.wait_signals(signal, 1, 5000));
        ASSERT_TRUE(touch_and_wait(h, "alice-index"));
        h.clear_signals();
    }
    h.pump(300);

    go_to_sleep();
    ASSERT_TRUE(h.wait_signals(signal, 1, 3000)) << h.log_text();
    EXPECT_EQ(sig_strs(h.signals(signal)), std::vector<std::string>{"(4, {})"});

    // Between the sleep and the resume: answered at once, never driven.
    h.clear_signals();
    const std::string before = h.emu().command("stats");
    g_autoptr(GError) verify_error = nullptr;
    ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "alice", 1, nullptr, &verify_error));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 3000)) << "a verification during the sleep hangs";
    EXPECT_NE(verify_signals(h)[0], "(0, {})");
    EXPECT_EQ(stat_value(h.emu().command("stats"), "opens"), stat_value(before, "opens"))
        << "the module is not opened while the machine sleeps";
    g_autoptr(GError) enroll_error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "alice", "ring", nullptr, &enroll_error));
    ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 1, 3000)) << "an enrolment during the sleep hangs";
    EXPECT_EQ(sig_strs(h.signals("enrollStatusChanged")), std::vector<std::string>{"(1, {\"subcode\":1}\n)"});
    g_autoptr(GError) delete_error =
        h.call("deleteFingerByName", g_variant_new("(ss)", "alice", "thumb"), nullptr, 3000);
    EXPECT_EQ(delete_error, nullptr) << "a deletion during the sleep is answered";
    EXPECT_EQ(h.listfingers("alice").size(), 1u) << "and leaves the finger listed, its template kept";

    resume();
    verify_matches("alice", "alice-thumb");
    const auto listed = h.listfingers("alice");
    EXPECT_EQ(listed.size(), 1u) << "the enrolment stopped by the sleep added nothing";
}

INSTANTIATE_TEST_SUITE_P(Running, SleepDuringOperation, ::testing::ValuesIn(kRunning),
                         [](const auto &info) { return std::string(info.param.name); });

// Some sleeps come while a verification waits for a touch, and across some the
// module re-enumerates (it is gone at the resume and arrives just after).
TEST_F(Sleep, HundredSleepCyclesEachFollowedByAVerificationThatMatches)
{
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    for (int cycle = 0; cycle < 100; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        const bool verifying = cycle % 3 == 1;
        const bool reenumerates = cycle % 5 == 2;
        if (verifying) {
            h.clear_signals();
            g_autoptr(GError) error = nullptr;
            ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "alice", 1, nullptr, &error));
            ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, 5000));
        }
        go_to_sleep();
        if (verifying) {
            ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 3000));
            EXPECT_EQ(verify_signals(h), std::vector<std::string>{"(4, {})"});
        }
        if (reenumerates) {
            ASSERT_TRUE(h.emu().ok("unplug"));
        }
        resume();
        if (reenumerates) {
            ASSERT_TRUE(h.emu().ok("plug"));
            ASSERT_TRUE(h.wait_for([&] { return device_count(h) == 1; }, 5000));
        }
        verify_matches("alice", "alice-thumb");
        if (HasFatalFailure()) {
            return;
        }
    }
    EXPECT_EQ(count_of(h.log_text(), "the system has resumed.\n"), 100u);
}

TEST_F(Sleep, LogindThatLeavesDuringASleepAndStaysAwayEndsItAfterItsBound)
{
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    go_to_sleep();
    h.stop_mock(kLogind);
    // No one is left to announce the resume: after its bound the service takes
    // the system as awake and serves again.
    ASSERT_TRUE(h.wait_for(
        [&] {
            return h.log_text().find("during a sleep: the system is taken as awake") != std::string::npos;
        },
        bound_ms(15000)));
    verify_matches("alice", "alice-thumb");
}

TEST_F(Sleep, ModuleGoneAtTheResumeIsTakenWhenItComesBack)
{
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    go_to_sleep();
    ASSERT_TRUE(h.emu().ok("unplug"));
    resume();
    ASSERT_TRUE(h.wait_for([&] { return device_count(h) == 0; }, 5000));
    h.clear_signals();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "alice", 1, nullptr, &error));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 3000));
    EXPECT_EQ(verify_signals(h)[0], "(4, {})");

    ASSERT_TRUE(h.emu().ok("plug"));
    ASSERT_TRUE(h.wait_for([&] { return device_count(h) == 1; }, 5000));
    verify_matches("alice", "alice-thumb");
}

TEST_F(Sleep, RefusedInhibitorIsAskedForAgainAfterTheNextResume)
{
    // logind refuses a delay inhibitor while a sleep is under way.
    g_autoptr(GError) error =
        h.call_mock(kLogind, kLogindPath, kMockInterface, "AddMethod",
                    g_variant_new("(sssss)", "org.freedesktop.login1.Manager", "Inhibit", "ssss", "h",
                                  "raise dbus.exceptions.DBusException('sleep in progress', "
                                  "name='org.freedesktop.login1.OperationInProgress')"));
    ASSERT_EQ(error, nullptr) << error->message;
    ASSERT_EQ(h.call_mock(kLogind, kLogindPath, kMockInterface, "ClearCalls", nullptr), nullptr);
    auto inhibit_calls = [&] {
        GVariant *reply = nullptr;
        g_autoptr(GError) err = h.call_mock(kLogind, kLogindPath, kMockInterface, "GetMethodCalls",
                                            g_variant_new("(s)", "Inhibit"), &reply);
        if (reply == nullptr) {
            return size_t{0};
        }
        g_autoptr(GVariant) list = g_variant_get_child_value(reply, 0);
        const size_t n = g_variant_n_children(list);
        g_variant_unref(reply);
        return n;
    };
    go_to_sleep();
    prepare_for_sleep(false);
    ASSERT_TRUE(h.wait_for([&] { return inhibit_calls() == 1; }, 5000));
    ASSERT_TRUE(h.wait_for(
        [&] {
            return h.log_text().find("could not take a sleep inhibitor: sleep in progress") !=
                   std::string::npos;
        },
        3000))
        << h.log_text();
    // The next sleep is still let go of, and its resume asks again.
    prepare_for_sleep(true);
    ASSERT_TRUE(
        h.wait_for([&] { return count_of(h.log_text(), "the system is going to sleep.\n") == 2; }, 3000));
    prepare_for_sleep(false);
    ASSERT_TRUE(h.wait_for([&] { return inhibit_calls() == 2; }, 5000));
}

// logind suspends at most InhibitDelayMaxSec (5 s) after its announcement: the
// service lets go at the latest this long after it, idle device or not.
constexpr int kLetGoLimitMs = 4000;
// The service polls the device every 20 ms; the test polls logind's list.
constexpr int kLetGoSlackMs = 500;

// A deletion behind a silent module holds the device for its five reads of a
// second each, longer than the service may delay the sleep.
TEST_F(Sleep, LetGoGivesUpAfterItsBoundWhileADeletionHoldsTheDevice)
{
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    auto thumb_on_module = [&] {
        for (const auto &[slot, finger] : module_templates(h.emu())) {
            if (finger == "alice-thumb") {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(thumb_on_module());
    ASSERT_TRUE(h.emu().ok("trace-clear"));
    ASSERT_TRUE(h.emu().ok("silence on"));
    AsyncCall deletion;
    h.call_async("deleteFingerByName", g_variant_new("(ss)", "alice", "thumb"), &deletion, 60000);
    ASSERT_TRUE(h.wait_for([&] { return has_frame(h.emu(), "ef 01 ff ff ff ff 01 00 07 0c"); }, 5000))
        << "the deletion never reached the module: " << list_of(host_frames(h.emu()));
    ASSERT_FALSE(deletion.done) << "the deletion waits on the silent module";

    const auto announced = std::chrono::steady_clock::now();
    prepare_for_sleep(true);
    ASSERT_TRUE(h.wait_for([&] { return inhibitors().empty(); }, bound_ms(kLetGoLimitMs + kLetGoSlackMs)))
        << "the inhibitor stays past the bound: " << list_of(inhibitors()) << h.log_text();
    const auto waited_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - announced)
            .count();
    EXPECT_GE(waited_ms, kLetGoLimitMs) << "the sleep is delayed while the device is busy";
    EXPECT_FALSE(deletion.done) << "the deletion still held the device when the inhibitor went";
    const std::string log = h.log_text();
    const std::string gave_up = "the device did not become idle within " + std::to_string(kLetGoLimitMs) +
                                " ms, sleep is no longer delayed.\n";
    EXPECT_NE(log.find(gave_up), std::string::npos) << log;
    EXPECT_EQ(log.find("module let go for sleep after"), std::string::npos) << log;

    // The deletion ends by itself; its outcome is whole.
    ASSERT_TRUE(h.wait_for([&] { return deletion.done; }, bound_ms(15000))) << h.log_text();
    EXPECT_EQ(deletion.error, nullptr) << deletion.error->message;
    ASSERT_TRUE(h.emu().ok("silence off"));
    const auto listed = h.listfingers("alice");
    const bool entry_kept = std::find(listed.begin(), listed.end(), "thumb") != listed.end();
    EXPECT_EQ(entry_kept, thumb_on_module()) << "the list entry and the module's template part ways";
    ASSERT_TRUE(h.wait_for([&] { return stat_value(h.emu().command("stats"), "open") == "0"; }, 3000))
        << "the module stays open across the sleep";

    resume();
    ASSERT_TRUE(enrol_finger(h, "alice", "index", "alice-index")) << h.log_text();
    verify_matches("alice", "alice-index");
}

// How a signal that imitates logind's reaches the service.
struct Impostor {
    const char *name;
    bool to_service; // sent to the service's connection alone, not broadcast
};

class SleepImpostor : public Sleep, public ::testing::WithParamInterface<Impostor>
{
};

const Impostor kImpostors[] = {
    {"Broadcast", false},
    {"SentToTheService", true},
};

// Any peer may send a signal with logind's path, interface and member (the
// system bus lets every peer send signals); only the owner of logind's name
// announces a sleep.
TEST_P(SleepImpostor, PrepareForSleepFromAnotherSenderIsIgnored)
{
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    g_autoptr(GDBusConnection) impostor = g_dbus_connection_new_for_address_sync(
        h.bus_address().c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    ASSERT_NE(impostor, nullptr);
    g_autofree gchar *service = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(h.proxy()));
    ASSERT_NE(service, nullptr);

    h.clear_signals();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "alice", 1, nullptr, &error)) << error->message;
    ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, 5000)) << h.log_text();

    g_autoptr(GError) emit_error = nullptr;
    ASSERT_TRUE(g_dbus_connection_emit_signal(impostor, GetParam().to_service ? service : nullptr,
                                              kLogindPath, "org.freedesktop.login1.Manager",
                                              "PrepareForSleep", g_variant_new("(b)", TRUE), &emit_error))
        << emit_error->message;
    // A call from the same connection after the signal: the service has read the
    // signal by the time it answers.
    GVariant *reply = nullptr;
    g_autoptr(GError) barrier = call_service(impostor, "getDeviceCount", nullptr, &reply, 5000);
    ASSERT_EQ(barrier, nullptr) << barrier->message;
    g_clear_pointer(&reply, g_variant_unref);
    h.pump(0);

    EXPECT_EQ(count_of(h.log_text(), "the system is going to sleep.\n"), 0u) << h.log_text();
    EXPECT_TRUE(verify_signals(h).empty()) << "the verification was ended: " << list_of(verify_signals(h));
    EXPECT_EQ(inhibitors(), std::vector<std::string>{"sleep delay"}) << "the inhibitor is kept";
    ASSERT_TRUE(identify_pending(h)) << "the verification still waits for a touch";
    ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000)) << h.log_text();
    EXPECT_EQ(verify_signals(h)[0], "(0, {})") << list_of(verify_signals(h));
    ASSERT_TRUE(h.wait_for([&] { return stat_value(h.emu().command("stats"), "open") == "0"; }, 3000));

    // The next calls are served as while awake, not refused as during a sleep.
    verify_matches("alice", "alice-thumb");
    ASSERT_TRUE(enrol_finger(h, "alice", "index", "alice-index")) << h.log_text();
    EXPECT_EQ(inhibitors(), std::vector<std::string>{"sleep delay"});
}

INSTANTIATE_TEST_SUITE_P(Sender, SleepImpostor, ::testing::ValuesIn(kImpostors),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(SleepWithoutLogind, ServiceRunsAndTakesTheInhibitorWhenLogindArrives)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    ASSERT_TRUE(h.wait_for(
        [&] {
            return h.log_text().find("logind is not on the bus, system sleep is not watched.\n") !=
                   std::string::npos;
        },
        3000));
    EXPECT_EQ(device_count(h), 1);
    ASSERT_TRUE(h.start_mock("logind", kLogind)) << h.error;
    ASSERT_TRUE(
        h.wait_for([&] { return service_inhibitors(h) == std::vector<std::string>{"sleep delay"}; }, 5000))
        << "inhibitors: " << list_of(service_inhibitors(h));
    EXPECT_EQ(count_of(h.log_text(), "logind is not on the bus"), 1u);
}

// logind restarts between the service's last word from it and now; the new
// logind sends no PrepareForSleep for what happened while it was away, so the
// service asks it whether a sleep is under way.
struct LogindRestart {
    const char *name;
    bool asleep_before;   // the old logind had announced a sleep and no resume
    bool preparing_after; // the new logind's PreparingForSleep
    const char *log;      // what the service says once it has the new logind's answer
};

void PrintTo(const LogindRestart &c, std::ostream *os)
{
    *os << c.name;
}

class SleepAcrossLogindRestart : public Sleep, public ::testing::WithParamInterface<LogindRestart>
{
};

const LogindRestart kRestarts[] = {
    {"AsleepAndTheResumeWasMissed", true, false, "is not preparing for sleep: the resume was missed.\n"},
    {"AsleepAndTheSleepGoesOn", true, true, "says the system is still going to sleep.\n"},
    {"AwakeAndASleepIsUnderWay", false, true, "the system is going to sleep.\n"},
    {"AwakeAndStillAwake", false, false, nullptr},
};

TEST_P(SleepAcrossLogindRestart, ServiceTakesItsStateFromTheNewLogind)
{
    const LogindRestart &c = GetParam();
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    if (c.asleep_before) {
        go_to_sleep();
    }
    h.stop_mock(kLogind);
    ASSERT_TRUE(h.start_mock("logind", kLogind, c.preparing_after ? R"({"PreparingForSleep": true})" : ""))
        << h.error;
    if (c.log != nullptr) {
        ASSERT_TRUE(h.wait_for([&] { return h.log_text().find(c.log) != std::string::npos; }, 5000))
            << h.log_text();
    }
    if (c.preparing_after) {
        // Asleep: refused at once, the module left alone, nothing delayed.
        h.pump(300);
        EXPECT_TRUE(inhibitors().empty()) << list_of(inhibitors());
        h.clear_signals();
        const std::string before = h.emu().command("stats");
        g_autoptr(GError) error = nullptr;
        ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "alice", 1, nullptr, &error));
        ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 3000));
        EXPECT_NE(verify_signals(h)[0], "(0, {})");
        EXPECT_EQ(stat_value(h.emu().command("stats"), "opens"), stat_value(before, "opens"));
        // The resume comes from the new logind.
        resume();
    } else {
        ASSERT_TRUE(h.wait_for([&] { return inhibitors() == std::vector<std::string>{"sleep delay"}; }, 5000))
            << "no inhibitor from the new logind: " << list_of(inhibitors());
    }
    verify_matches("alice", "alice-thumb");
    ASSERT_TRUE(enrol_finger(h, "alice", "index", "alice-index")) << h.log_text();
}

INSTANTIATE_TEST_SUITE_P(Restart, SleepAcrossLogindRestart, ::testing::ValuesIn(kRestarts),
                         [](const auto &info) { return std::string(info.param.name); });

// A service started while the system goes to sleep leaves the module alone
// until the resume, and then runs its start-up checks.
TEST(SleepAtStartUp, StartUpChecksWaitForTheResume)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start_mock("logind", kLogind, R"({"PreparingForSleep": true})")) << h.error;
    DaemonOptions options;
    options.wait_ready = false;
    ASSERT_TRUE(h.start(options)) << h.error;
    ASSERT_TRUE(h.wait_for(
        [&] { return h.log_text().find("the system is going to sleep.\n") != std::string::npos; }, 5000))
        << h.log_text();
    h.pump(1500);
    EXPECT_EQ(stat_value(h.emu().command("stats"), "opens"), "0") << "the module was opened during the sleep";
    EXPECT_EQ(h.log_text().find("start-up checks done"), std::string::npos);
    EXPECT_TRUE(service_inhibitors(h).empty());

    GVariantBuilder args;
    g_variant_builder_init(&args, G_VARIANT_TYPE("av"));
    g_variant_builder_add(&args, "v", g_variant_new_boolean(FALSE));
    g_autoptr(GError) error = h.call_mock(
        kLogind, kLogindPath, kMockInterface, "EmitSignal",
        g_variant_new("(sssav)", "org.freedesktop.login1.Manager", "PrepareForSleep", "b", &args));
    ASSERT_EQ(error, nullptr) << error->message;
    ASSERT_TRUE(
        h.wait_for([&] { return h.log_text().find("start-up checks done") != std::string::npos; }, 10000))
        << h.log_text();
    EXPECT_EQ(device_count(h), 1);
    EXPECT_EQ(service_inhibitors(h), std::vector<std::string>{"sleep delay"});
    EXPECT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb")) << h.log_text();
}

// The Inhibit calls logind has had, as "what who mode".
std::vector<std::string> inhibit_calls(ServiceHarness &h)
{
    GVariant *reply = nullptr;
    g_autoptr(GError) error = h.call_mock(kLogind, kLogindPath, kMockInterface, "GetMethodCalls",
                                          g_variant_new("(s)", "Inhibit"), &reply);
    std::vector<std::string> out;
    if (reply == nullptr) {
        return {"error: " + std::string(error->message)};
    }
    g_autoptr(GVariant) calls = g_variant_get_child_value(reply, 0);
    for (gsize i = 0; i < g_variant_n_children(calls); ++i) {
        g_autoptr(GVariant) call = g_variant_get_child_value(calls, i);
        g_autoptr(GVariant) call_args = g_variant_get_child_value(call, 1);
        std::string line;
        for (gsize a : {0, 1, 3}) {
            g_autoptr(GVariant) boxed = g_variant_get_child_value(call_args, a);
            g_autoptr(GVariant) value = g_variant_get_variant(boxed);
            line += (line.empty() ? "" : " ") + std::string(g_variant_get_string(value, nullptr));
        }
        out.push_back(line);
    }
    g_variant_unref(reply);
    return out;
}

// A module that sleeps half written may come back without firmware: the image
// is written under a block inhibitor, let go when the write is over.
TEST(SleepDuringUpgrade, ImageIsWrittenUnderABlockInhibitor)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start_mock("logind", kLogind)) << h.error;
    DaemonOptions options;
    options.driver_conf = "[BASIC_PARAM]\nPrintfLogFlag=3\nUpgradeFlag=1\nUpgradeMode=FORCE_UPGRADE\n";
    options.env["TIRVANE_EMU_FW_VERSION"] = "1500";
    options.env["TIRVANE_EMU_PRESENT"] = "boot";
    // The bootloader keeps silent: each attempt waits on the erase's reply.
    options.env["TIRVANE_EMU_BOOT_FAULT"] = "silence";
    options.wait_ready = false;
    write_file(h.conf_dir() + "kal_fw.conf", "ACM32FP_V1600\n");
    write_file(h.conf_dir() + "ACM32FP_V1600.bin", image_with_version(1600));
    ASSERT_TRUE(h.start(options)) << h.error;
    auto blocking = [&] {
        const auto list = service_inhibitors(h);
        return std::find(list.begin(), list.end(), "sleep block") != list.end();
    };
    ASSERT_TRUE(h.wait_for(blocking, 10000))
        << "no block inhibitor during the write: " << list_of(service_inhibitors(h)) << h.log_text();
    const auto calls = inhibit_calls(h);
    EXPECT_NE(std::find(calls.begin(), calls.end(), "sleep tirvane-serverd block"), calls.end())
        << list_of(calls);

    ASSERT_TRUE(h.emu().ok("boot-fault none"));
    ASSERT_TRUE(
        h.wait_for([&] { return h.emu().command("mode") == "OK app" && module_version(h) == 1600; }, 30000))
        << h.log_text();
    ASSERT_TRUE(h.wait_for([&] { return !blocking(); }, 3000))
        << "the block inhibitor stays after the write: " << list_of(service_inhibitors(h));
    EXPECT_EQ(h.log_text().find("without blocking sleep"), std::string::npos);
}

} // namespace
