// How operations share the device and what they leave behind: the start-up
// checks beside a verification, a restart the module ignores, a module that
// arrives late, deletions behind a silent module, departures and bursts.
#include "flow_helpers.h"
#include "upgrade_helpers.h"

#include <chrono>

using namespace tvtest;

namespace
{

std::string list_entry(int index, const char *user, const char *finger, int slot)
{
    return "[UserFprint-" + std::to_string(index) + "]\nenable=true\nuser_id=" + user +
           "\nfprint_name=" + finger + "\nfprint_id=" + std::to_string(slot) + "\n";
}

// A module that is plugged only once the test has set its faults up.
DaemonOptions absent_at_start()
{
    DaemonOptions options;
    options.env["TIRVANE_EMU_PRESENT"] = "0";
    options.wait_ready = false;
    return options;
}

void install_image(ServiceHarness &h, DaemonOptions &options, const char *mode, int module_version,
                   int image_version)
{
    options.driver_conf =
        std::string("[BASIC_PARAM]\nPrintfLogFlag=3\nUpgradeFlag=1\nUpgradeMode=") + mode + "\n";
    options.env["TIRVANE_EMU_FW_VERSION"] = std::to_string(module_version);
    const std::string base = "ACM32FP_V" + std::to_string(image_version);
    write_file(h.conf_dir() + "kal_fw.conf", base + "\n");
    write_file(h.conf_dir() + base + ".bin", image_with_version(image_version));
}

bool sent_reboot(ServiceHarness &h)
{
    return has_frame(h.emu(), "ef 01 ff ff ff ff 01 00 0b ff 3c c3 69 96 51 52 58 4b");
}

bool checks_done(ServiceHarness &h)
{
    return h.log_text().find("start-up checks done") != std::string::npos;
}

void verify(ServiceHarness &h, const char *user)
{
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), user, 1, nullptr, &error));
}

// A second client on the same bus.
GDBusConnection *second_client(ServiceHarness &h)
{
    g_autoptr(GError) error = nullptr;
    GDBusConnection *connection = g_dbus_connection_new_for_address_sync(
        h.bus_address().c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    EXPECT_NE(connection, nullptr) << (error != nullptr ? error->message : "");
    return connection;
}

} // namespace

TEST(Operation, RestartTheModuleIgnoresLeavesItCountedAndUsable)
{
    ServiceHarness h;
    DaemonOptions options = absent_at_start();
    install_image(h, options, "FORCE_UPGRADE", 1500, 1600);
    ASSERT_TRUE(h.start(options)) << h.error;
    ASSERT_TRUE(h.emu().ok("ignore-restart on"));
    ASSERT_TRUE(h.emu().ok("plug"));
    ASSERT_TRUE(h.wait_for([&] { return checks_done(h); }, 40000)) << h.log_text();
    EXPECT_TRUE(sent_reboot(h)) << "the start-up round asked for the bootloader";
    EXPECT_EQ(h.emu().command("mode"), "OK app");
    EXPECT_EQ(device_count(h), 1);
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "u", "thumb", nullptr, &error));
    ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 1, 10000));
    EXPECT_EQ(sig_str(h.signals("enrollStatusChanged")[0]), "(2, {\"progress\":0})")
        << "the enrolment starts instead of being refused as busy";
    EXPECT_TRUE(h.emu().ok("touch u-thumb"));
    EXPECT_TRUE(h.wait_signals("enrollStatusChanged", 2, 10000));
}

TEST(Operation, StartUpChecksWaitForAVerificationThatHoldsTheDevice)
{
    ServiceHarness h;
    DaemonOptions options = absent_at_start();
    options.write_list_conf = true;
    options.list_conf = list_entry(1, "alice", "thumb", 90);
    // The verification's identification, not the checks', may be the module's first.
    options.env["TIRVANE_EMU_NO_POWERUP"] = "wait";
    ASSERT_TRUE(h.start(options)) << h.error;
    ASSERT_TRUE(h.emu().ok("store 90 alice-thumb"));
    ASSERT_TRUE(h.emu().ok("plug"));
    // The checks poll for the module; the verification is started at once, so
    // it usually takes the device before they do.
    ASSERT_TRUE(h.wait_for([&] { return device_count(h) == 1; }, 5000));
    verify(h, "alice");
    ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, 20000)) << h.log_text();
    const std::string before = h.emu().command("stats");
    const size_t frames_before = host_frames(h.emu()).size();
    // Longer than any bound the checks could have had before they drive the module.
    h.pump(7000);
    EXPECT_TRUE(identify_pending(h)) << "the identification request is still the module's";
    EXPECT_TRUE(verify_signals(h).empty()) << list_of(verify_signals(h));
    const std::string after = h.emu().command("stats");
    for (const char *key : {"opens", "closes"}) {
        EXPECT_EQ(stat_value(after, key), stat_value(before, key))
            << key << ": nothing opened or closed beside the verification";
    }
    EXPECT_EQ(host_frames(h.emu()).size(), frames_before) << "no command sent beside the verification";
    ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000));
    h.pump(300);
    EXPECT_EQ(verify_signals(h), std::vector<std::string>{"(0, {})"});
    EXPECT_TRUE(h.wait_for([&] { return checks_done(h); }, 10000)) << "the checks ran after it";
}

TEST(Operation, LateModuleVerifiesFromTheFileWithoutListingFirst)
{
    ServiceHarness h;
    DaemonOptions options = absent_at_start();
    options.write_list_conf = true;
    options.list_conf = list_entry(1, "alice", "thumb", 90);
    ASSERT_TRUE(h.start(options)) << h.error;
    ASSERT_TRUE(h.emu().ok("store 90 alice-thumb"));
    ASSERT_TRUE(h.emu().ok("store 91 bob-index"));
    h.pump(500);
    // The file changes while the module is away; the table follows it on arrival.
    write_file(h.conf_dir() + "tvplist.conf",
               list_entry(1, "alice", "thumb", 90) + list_entry(2, "bob", "index", 91));
    ASSERT_TRUE(h.emu().ok("plug"));
    ASSERT_TRUE(h.wait_for([&] { return device_count(h) == 1; }, 5000));
    ASSERT_TRUE(h.wait_for([&] { return checks_done(h); }, 25000));
    struct Case {
        const char *user;
        const char *finger;
    };
    for (const Case &c : {Case{"alice", "alice-thumb"}, Case{"bob", "bob-index"}}) {
        SCOPED_TRACE(c.user);
        h.clear_signals();
        verify(h, c.user);
        ASSERT_TRUE(h.emu().ok(std::string("touch ") + c.finger));
        ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000));
        EXPECT_EQ(verify_signals(h)[0], "(0, {})");
    }
}

TEST(Operation, DeletionBehindASilentModuleLeavesOtherCallersAnswered)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    g_autoptr(GDBusConnection) other = second_client(h);
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(h.emu().ok("silence on"));
    AsyncCall deletion;
    h.call_async("deleteFingerByName", g_variant_new("(ss)", "alice", "thumb"), &deletion, 60000);
    h.pump(300); // the deletion now waits on the module
    for (const char *method : {"getDeviceName", "getDeviceCount"}) {
        SCOPED_TRACE(method);
        GVariant *reply = nullptr;
        g_autoptr(GError) error = call_service(other, method, nullptr, &reply, 1000);
        EXPECT_EQ(error, nullptr) << (error != nullptr ? error->message : "");
        g_clear_pointer(&reply, g_variant_unref);
    }
    EXPECT_FALSE(deletion.done) << "the deletion is still waiting on the module";
    ASSERT_TRUE(h.emu().ok("silence off"));
    ASSERT_TRUE(h.wait_for([&] { return deletion.done; }, 30000));
    EXPECT_EQ(deletion.error, nullptr);
    EXPECT_TRUE(h.listfingers("alice").empty());
    // The device is free again for the next operation.
    EXPECT_TRUE(enrol_finger(h, "alice", "index", "alice-index"));
}

TEST(Operation, DeletionAnswersAfterItsWork)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    ASSERT_TRUE(enrol_finger(h, "alice", "index", "alice-index"));
    g_autoptr(GError) error = h.call("deleteAllFeatureByUserId", g_variant_new("(s)", "alice"));
    EXPECT_EQ(error, nullptr);
    // Right after the reply: the list and the module are already changed.
    EXPECT_TRUE(h.listfingers("alice").empty());
    EXPECT_TRUE(module_templates(h.emu()).empty());
}

TEST(Operation, LastCaptureReportedBeforeSuccessWhenTheReportsComeTogether)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    ASSERT_TRUE(h.emu().ok("enroll-burst on"));
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    const auto got = sig_strs(h.signals("enrollStatusChanged"));
    const std::vector<std::string> expected = {"(2, {\"progress\":0})",  "(2, {\"progress\":16})",
                                               "(2, {\"progress\":32})", "(2, {\"progress\":48})",
                                               "(2, {\"progress\":64})", "(2, {\"progress\":80})",
                                               "(2, {\"progress\":96})", "(0, {})"};
    EXPECT_EQ(got, expected) << list_of(got);
}
