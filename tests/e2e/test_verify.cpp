// Verification over the bus with the emulated module acting out the touches.
#include "flow_helpers.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace tvtest;

namespace
{

class Verify : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(h.start()) << h.error;
        ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
        ASSERT_TRUE(enrol_finger(h, "bob", "index", "bob-index"));
        h.clear_signals();
    }
    std::vector<std::string> verify_signals()
    {
        return sig_strs(h.signals("verifyStatusChanged"));
    }
    void verify(const char *user, int try_count = 1)
    {
        g_autoptr(GError) error = nullptr;
        ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), user, try_count, nullptr, &error));
    }
    ServiceHarness h;
};

} // namespace

TEST_F(Verify, MatchingTouchIsReportedNoSoonerThan80ms)
{
    for (int try_count : {0, 1, 100}) {
        h.clear_signals();
        const auto begin = std::chrono::steady_clock::now();
        verify("alice", try_count);
        ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
        ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000)) << try_count;
        auto got = h.signals("verifyStatusChanged");
        EXPECT_EQ(sig_str(got[0]), "(0, {})") << try_count;
        EXPECT_EQ(got[0].id, "alice");
        EXPECT_GE(got[0].when - begin, std::chrono::milliseconds(80));
        h.pump(100);
        EXPECT_EQ(h.signals("verifyStatusChanged").size(), 1u) << "a match ends the verification";
    }
    // The identification request on the wire: level 3, every slot, param 3.
    EXPECT_TRUE(has_frame(h.emu(), "ef 01 ff ff ff ff 01 00 08 32 03 ff ff 00 03"))
        << list_of(host_frames(h.emu()));
}

TEST_F(Verify, NoMatchIsReportedAndTheNextTouchAwaited)
{
    struct Case {
        const char *touched;
        const char *why;
    };
    const Case cases[] = {
        {"bob-index", "another user's finger"},
        {"stranger", "a finger the module does not hold"},
    };
    verify("alice");
    size_t seen = 0;
    for (const auto &c : cases) {
        ASSERT_TRUE(h.emu().ok(std::string("touch ") + c.touched)) << c.why;
        ASSERT_TRUE(h.wait_signals("verifyStatusChanged", seen + 1, 5000)) << c.why;
        EXPECT_EQ(verify_signals()[seen], "(1, {\"subcode\":3})") << c.why;
        seen = h.signals("verifyStatusChanged").size();
    }
    ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
    ASSERT_TRUE(
        h.wait_for([&] { return !verify_signals().empty() && verify_signals().back() == "(0, {})"; }, 5000))
        << list_of(verify_signals());
}

TEST_F(Verify, SlotUnknownToTheListIsNoMatch)
{
    ASSERT_TRUE(h.emu().ok("store 100 ghost-finger"));
    verify("alice");
    ASSERT_TRUE(h.emu().ok("touch ghost-finger"));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000));
    EXPECT_EQ(verify_signals()[0], "(1, {\"subcode\":3})");
}

TEST_F(Verify, VerifyStopEndsWithoutFurtherSignal)
{
    verify("alice");
    ASSERT_TRUE(
        h.wait_for([&] { return h.emu().command("pending").find("identify") != std::string::npos; }, 5000));
    const auto begin = std::chrono::steady_clock::now();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_verify_stop_sync(h.proxy(), nullptr, &error));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(bound_ms(3500)));
    h.pump(1500);
    EXPECT_TRUE(h.signals().empty()) << list_of(verify_signals());
    // Once the stopped search is cancelled on the module, a new verification runs.
    ASSERT_TRUE(
        h.wait_for([&] { return h.emu().command("pending").find("none") != std::string::npos; }, 10000));
    verify("alice");
    ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000));
    EXPECT_EQ(verify_signals()[0], "(0, {})");
}

// Either stop method with nothing running: answered at once, nothing sent.
TEST_F(Verify, EitherStopWhileIdleAnswersAtOnce)
{
    for (const char *method : {"verifyStop", "stopEnroll"}) {
        const auto begin = std::chrono::steady_clock::now();
        g_autoptr(GError) error = h.call(method, nullptr);
        EXPECT_EQ(error, nullptr) << method;
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(bound_ms(500)))
            << method;
    }
    EXPECT_TRUE(h.signals().empty()) << list_of(verify_signals());
    EXPECT_EQ(h.emu().command("pending"), "OK none");
}

TEST_F(Verify, ClientThatLeavesTheBusReleasesTheDevice)
{
    // A second client starts a verification and then drops off the bus, as a
    // crashed lock screen would.
    g_autoptr(GDBusConnection) client = g_dbus_connection_new_for_address_sync(
        h.bus_address().c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    ASSERT_NE(client, nullptr);
    g_autoptr(GVariant) r = g_dbus_connection_call_sync(
        client, "nuvex.kal.Tirvane", "/nuvex/kal/Tirvane", "nuvex.kal.Tirvane", "verify",
        g_variant_new("(si)", "alice", 1), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(
        h.wait_for([&] { return h.emu().command("pending").find("identify") != std::string::npos; }, 5000));
    g_dbus_connection_close_sync(client, nullptr, nullptr);
    // Once the service notices, the operation stops (collecting a late result
    // first, then cancelling the module's search) and the device is free.
    ASSERT_TRUE(
        h.wait_for([&] { return h.emu().command("pending").find("none") != std::string::npos; }, 12000));
    EXPECT_NE(h.log_text().find("left the bus, stopping its operation"), std::string::npos);
    h.clear_signals();
    verify("alice");
    ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000));
    EXPECT_EQ(verify_signals()[0], "(0, {})");
}

TEST_F(Verify, UnpluggedModuleDoesNotFloodAndEndsTheVerification)
{
    verify("alice");
    ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, bound_ms(5000)));
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(h.emu().ok("unplug"));
    ASSERT_TRUE(h.wait_for(
        [&] {
            auto s = h.log_text();
            return s.find("verification ended") != std::string::npos;
        },
        20000));
    const auto took = std::chrono::steady_clock::now() - begin;
    h.pump(200);
    auto got = h.signals("verifyStatusChanged");
    EXPECT_GE(took, std::chrono::seconds(9));
    // Paced: about two signals per second of absence at most.
    EXPECT_LE(got.size(), 30u) << list_of(sig_strs(got));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(sig_str(got.back()), "(4, {})");
}

// The module leaves mid-verification: the client hears it at once, the
// verification waits for the module without retry reports, and goes on when it
// is back within the limit.
TEST_F(Verify, ModuleBackWithinTheLimitLetsTheVerificationGoOn)
{
    verify("alice");
    ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, bound_ms(5000)));
    ASSERT_TRUE(h.emu().ok("unplug"));
    // Well inside the ten seconds the verification waits for the module.
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, bound_ms(3000))) << h.log_text();
    EXPECT_EQ(verify_signals()[0], "(4, {})");
    h.pump(2500); // away for a while
    ASSERT_TRUE(h.emu().ok("plug"));
    ASSERT_TRUE(h.emu().ok("touch alice-thumb 8000"));
    ASSERT_TRUE(h.wait_for([&] { return !verify_signals().empty() && verify_signals().back() == "(0, {})"; },
                           bound_ms(8000)))
        << list_of(verify_signals());
    for (const auto &s : verify_signals()) {
        EXPECT_NE(s, "(3, {\"subcode\":3})") << "no retry reports while the module is away";
    }
}
