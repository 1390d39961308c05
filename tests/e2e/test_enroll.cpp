// Enrolment over the bus with the emulated module acting out the touches.
#include "flow_helpers.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace tvtest;

namespace
{

class Enrol : public ::testing::Test
{
  protected:
    void start(DaemonOptions options = {})
    {
        ASSERT_TRUE(h.start(options)) << h.error;
        h.clear_signals();
    }
    std::vector<std::string> enrol_signals()
    {
        return sig_strs(h.signals("enrollStatusChanged"));
    }
    bool wait_final()
    {
        return h.wait_for(
            [&] {
                for (const auto &s : h.signals("enrollStatusChanged")) {
                    if (s.code == 0 || s.code == 1 || s.code == 4) {
                        return true;
                    }
                }
                return false;
            },
            15000);
    }
    ServiceHarness h;
};

} // namespace

TEST_F(Enrol, SixGoodTouchesStoreTheFingerInSlot90)
{
    start();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "alice", "right-thumb", nullptr, &error));
    ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 1, 5000));
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(touch_and_wait(h, "thumb-a")) << i;
    }
    ASSERT_TRUE(wait_final());
    EXPECT_EQ(enrol_signals(), (std::vector<std::string>{"(2, {\"progress\":0})", "(2, {\"progress\":16})",
                                                         "(2, {\"progress\":32})", "(2, {\"progress\":48})",
                                                         "(2, {\"progress\":64})", "(2, {\"progress\":80})",
                                                         "(2, {\"progress\":96})", "(0, {})"}));
    for (const auto &s : h.signals("enrollStatusChanged")) {
        EXPECT_EQ(s.id, "alice");
    }
    const std::string list = h.read_file("tvplist.conf");
    EXPECT_NE(list.find("[UserFprint-1]\nenable=true\nuser_id=alice\nfprint_name=right-thumb\nfprint_id=90"),
              std::string::npos)
        << list;
    EXPECT_EQ(h.listfingers("alice"), std::vector<std::string>{"right-thumb"});
    EXPECT_EQ(module_templates(h.emu())[90], "thumb-a");
    // The start of the enrolment on the wire: slot 90, six captures, param 0.
    EXPECT_TRUE(has_frame(h.emu(), "ef 01 ff ff ff ff 01 00 08 31 00 5a 06 00 00 00 9a"))
        << list_of(host_frames(h.emu()));
}

TEST_F(Enrol, RejectedTouchesAskForARetryAndTheEnrolmentGoesOn)
{
    struct Row {
        const char *outcome;
        const char *signal;
    };
    const Row rows[] = {
        {"quality", "(3, {\"subcode\":2})"},   {"area", "(3, {\"subcode\":1})"},
        {"repeated", "(3, {\"subcode\":3})"},  {"exists", "(3, {\"subcode\":4})"},
        {"enrolfail", "(3, {\"subcode\":6})"},
    };
    start();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "bob", "index", nullptr, &error));
    ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 1, 5000));
    ASSERT_TRUE(touch_and_wait(h, "idx"));
    for (const auto &row : rows) {
        const size_t before = h.signals("enrollStatusChanged").size();
        ASSERT_TRUE(touch_and_wait(h, std::string("idx ") + row.outcome)) << row.outcome;
        EXPECT_EQ(sig_str(h.signals("enrollStatusChanged")[before]), row.signal) << row.outcome;
    }
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(touch_and_wait(h, "idx"));
    }
    ASSERT_TRUE(wait_final());
    EXPECT_EQ(enrol_signals().back(), "(0, {})");
    EXPECT_EQ(h.listfingers("bob"), std::vector<std::string>{"index"});
}

TEST_F(Enrol, FullModuleFailsWithStorageFull)
{
    // Every slot of the enrolment window holds a finger the list knows.
    DaemonOptions options;
    options.write_list_conf = true;
    for (int slot = 90; slot <= 119; ++slot) {
        options.list_conf += "[UserFprint-" + std::to_string(slot - 89) +
                             "]\nenable=true\nuser_id=filler\nfprint_name=f" + std::to_string(slot) +
                             "\nfprint_id=" + std::to_string(slot) + "\n";
    }
    start(options);
    ASSERT_TRUE(h.emu().ok("fill"));
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "carol", "thumb", nullptr, &error));
    ASSERT_TRUE(wait_final());
    EXPECT_EQ(enrol_signals(), std::vector<std::string>{"(1, {\"subcode\":4})"});
    EXPECT_TRUE(h.listfingers("carol").empty());
}

TEST_F(Enrol, DisabledDeviceOrAbsentModuleSignalsDisconnected)
{
    {
        DaemonOptions options;
        options.write_list_conf = true;
        options.list_conf = "[DeviceParam]\nenable=false\n";
        start(options);
        g_autoptr(GError) error = nullptr;
        ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "dave", "thumb", nullptr, &error));
        ASSERT_TRUE(wait_final());
        EXPECT_EQ(enrol_signals(), std::vector<std::string>{"(4, {})"});
        EXPECT_EQ(h.read_file("tvplist.conf").find("UserFprint"), std::string::npos);
    }
}

TEST_F(Enrol, AbsentModuleSignalsDisconnected)
{
    DaemonOptions options;
    options.env["TIRVANE_EMU_PRESENT"] = "0";
    options.wait_ready = false;
    start(options);
    // Without a module the start-up discovery gives the device up after its probes;
    // until then the record still counts one module and the open fails.
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "erin", "thumb", nullptr, &error));
    ASSERT_TRUE(wait_final());
    EXPECT_EQ(enrol_signals(), std::vector<std::string>{"(4, {})"});
}

TEST_F(Enrol, StopEnrollEndsTheEnrolmentBeforeItsReply)
{
    start();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "frank", "thumb", nullptr, &error));
    ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 1, 5000));
    ASSERT_TRUE(touch_and_wait(h, "f"));
    const auto begin = std::chrono::steady_clock::now();
    AsyncCall stop;
    h.call_async("stopEnroll", nullptr, &stop);
    ASSERT_TRUE(h.wait_for([&] { return stop.done; }, 6000));
    EXPECT_EQ(stop.error, nullptr);
    h.pump(50);
    auto all = h.signals("enrollStatusChanged");
    ASSERT_EQ(sig_str(all.back()), "(1, {\"subcode\":3})");
    EXPECT_LT(all.back().seq, stop.seq) << "the failure signal precedes the reply";
    EXPECT_LT(stop.when - begin, std::chrono::milliseconds(bound_ms(3500)));
    // The device is free again at once.
    h.clear_signals();
    EXPECT_TRUE(enrol_finger(h, "frank", "thumb", "f"));
}

TEST_F(Enrol, ExistingPairIsRefusedBeforeAnyTouch)
{
    start();
    ASSERT_TRUE(enrol_finger(h, "gina", "thumb", "g1"));
    h.clear_signals();
    h.emu().ok("trace-clear");
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(tirvane_call_enroll_sync(h.proxy(), "gina", "thumb", nullptr, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS)) << error->message;
    h.pump(300);
    EXPECT_TRUE(h.signals().empty());
    EXPECT_TRUE(host_frames(h.emu()).empty()) << "the module is not asked for anything";
    EXPECT_EQ(module_templates(h.emu())[90], "g1");
}

TEST_F(Enrol, OversizedStringsAreRefusedWithInvalidArgs)
{
    start();
    const std::string long_text(100, 'x');
    const std::string fits(99, 'y');
    GVariant *(*enroll_args)(const std::string &, const std::string &) = [](const std::string &a,
                                                                            const std::string &b) {
        return g_variant_new("(ss)", a.c_str(), b.c_str());
    };
    for (auto [user, finger] : {std::pair{long_text, fits}, std::pair{fits, long_text}}) {
        g_autoptr(GError) error = h.call("enroll", enroll_args(user, finger));
        ASSERT_NE(error, nullptr);
        EXPECT_TRUE(g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS)) << error->message;
    }
    g_autoptr(GError) rename_error =
        h.call("renamefingerName", g_variant_new("(sss)", "u", "f", long_text.c_str()));
    ASSERT_NE(rename_error, nullptr);
    EXPECT_TRUE(g_error_matches(rename_error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS));
    g_autoptr(GError) verify_error = h.call("verify", g_variant_new("(si)", long_text.c_str(), 1));
    ASSERT_NE(verify_error, nullptr);
    g_autoptr(GError) list_error = h.call("listfingers", g_variant_new("(s)", long_text.c_str()));
    ASSERT_NE(list_error, nullptr);
    EXPECT_TRUE(g_error_matches(list_error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS));
    h.pump(200);
    EXPECT_TRUE(h.signals().empty()) << "nothing was started";

    // 99 bytes fit the list's 100-byte fields: accepted and stored whole.
    g_autoptr(GError) list_fits = h.call("listfingers", g_variant_new("(s)", fits.c_str()));
    EXPECT_EQ(list_fits, nullptr) << list_fits->message;
    ASSERT_TRUE(enrol_finger(h, fits, fits, "y-finger"));
    EXPECT_EQ(h.signals("enrollStatusChanged").back().id, fits);
    EXPECT_EQ(h.listfingers(fits), std::vector<std::string>{fits});
}

TEST_F(Enrol, OrphanedTemplatesInTheWindowAreDeletedBeforeEnrolling)
{
    start();
    ASSERT_TRUE(h.emu().ok("store 95 ghost"));
    ASSERT_TRUE(h.emu().ok("store 5 outside"));
    ASSERT_TRUE(enrol_finger(h, "hana", "thumb", "h"));
    auto templates = module_templates(h.emu());
    EXPECT_EQ(templates.count(95), 0u) << "orphan in 90..119 removed";
    EXPECT_EQ(templates[5], "outside") << "slots outside the window are never touched";
    EXPECT_TRUE(has_frame(h.emu(), "ef 01 ff ff ff ff 01 00 07 0c 00 5f 00 01"))
        << list_of(host_frames(h.emu()));
}

TEST_F(Enrol, VerifyDuringEnrolmentIsRefusedAndTheEnrolmentCompletes)
{
    start();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "ivan", "thumb", nullptr, &error));
    ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 1, 5000));
    ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "ivan", 1, nullptr, &error));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000));
    EXPECT_EQ(sig_str(h.signals("verifyStatusChanged")[0]), "(2, {\"subcode\":1}\n)");
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(touch_and_wait(h, "iv"));
    }
    ASSERT_TRUE(wait_final());
    EXPECT_EQ(enrol_signals().back(), "(0, {})");
    EXPECT_EQ(h.signals("verifyStatusChanged").size(), 1u);
}

TEST_F(Enrol, SlotLeftByALostDeletionNeverVerifiesAsItsOldOwner)
{
    start();
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    // The module erased the template but the deletion's answer was lost: the
    // list still names slot 90 for alice.
    ASSERT_TRUE(h.emu().ok("erase 90"));
    h.clear_signals();
    ASSERT_TRUE(enrol_finger(h, "bob", "index", "bob-index"));
    EXPECT_EQ(module_templates(h.emu())[90], "bob-index");
    EXPECT_TRUE(h.listfingers("alice").empty()) << "the stale entry is gone";
    EXPECT_EQ(h.listfingers("bob"), std::vector<std::string>{"index"});
    h.clear_signals();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "alice", 1, nullptr, &error));
    ASSERT_TRUE(
        h.wait_for([&] { return h.emu().command("pending").find("identify") != std::string::npos; }, 5000));
    ASSERT_TRUE(h.emu().ok("touch bob-index"));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000));
    EXPECT_EQ(sig_str(h.signals("verifyStatusChanged")[0]), "(1, {\"subcode\":3})")
        << "bob's finger is not alice's";
}

// The list file cannot take the new entry (its path is a directory now): the
// enrolment ends as failed, no entry names the finger, and the module keeps no
// template for it. Once the file can be written again, enrolment works.
TEST_F(Enrol, FailedFinalSaveIsAFailureAndLeavesNoTemplate)
{
    start();
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    const std::string list_path = h.conf_dir() + "tvplist.conf";
    const std::string saved = h.read_file("tvplist.conf");
    ASSERT_EQ(unlink(list_path.c_str()), 0);
    ASSERT_EQ(mkdir(list_path.c_str(), 0755), 0);
    h.clear_signals();
    EXPECT_FALSE(enrol_finger(h, "bob", "index", "bob-index"));
    EXPECT_EQ(enrol_signals().back(), "(1, {\"subcode\":1}\n)") << list_of(enrol_signals());
    EXPECT_TRUE(h.listfingers("bob").empty());
    const auto templates = module_templates(h.emu());
    EXPECT_EQ(templates.size(), 1u) << "only alice's template is left";
    EXPECT_EQ(templates.begin()->second, "alice-thumb");

    ASSERT_EQ(rmdir(list_path.c_str()), 0);
    write_file(list_path, saved);
    h.clear_signals();
    ASSERT_TRUE(enrol_finger(h, "bob", "index", "bob-index")) << list_of(enrol_signals());
    EXPECT_EQ(h.listfingers("bob"), std::vector<std::string>{"index"});
    EXPECT_EQ(h.listfingers("alice"), std::vector<std::string>{"thumb"});
}
