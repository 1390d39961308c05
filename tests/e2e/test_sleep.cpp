// System sleep as logind announces it: the service lets go of the module before
// the machine sleeps and serves again after every resume.
#include "flow_helpers.h"

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

} // namespace
