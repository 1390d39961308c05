// USB hot-plug of the emulated module as the service sees it.
#include "flow_helpers.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace tvtest;

namespace
{

} // namespace

TEST(HotPlug, PlugAndUnplugWhileIdleFollowTheModule)
{
    ServiceHarness h;
    DaemonOptions options;
    options.driver_conf = "[BASIC_PARAM]\nPrintfLogFlag=3\nAutoSuspend=1\nUpgradeFlag=0\n";
    // The sysfs power attributes of the module's directory, as the kernel shows them.
    const std::string power = h.sysfs_root() + "/bus/usb/devices/1-1.2/power";
    ASSERT_EQ(system(("mkdir -p '" + power + "'").c_str()), 0);
    ASSERT_TRUE(h.start(options)) << h.error;
    EXPECT_EQ(device_count(h), 1);

    ASSERT_TRUE(h.emu().ok("unplug"));
    ASSERT_TRUE(h.wait_for([&] { return device_count(h) == 0; }, 5000));
    EXPECT_NE(h.log_text().find("Device detached: 33a7:2388\n"), std::string::npos);
    unlink((power + "/control").c_str());

    const std::string before = h.emu().command("stats");
    ASSERT_TRUE(h.emu().ok("plug"));
    ASSERT_TRUE(h.wait_for([&] { return device_count(h) == 1; }, 5000));
    ASSERT_TRUE(
        h.wait_for([&] { return h.log_text().find("end *************") != std::string::npos; }, 5000));
    h.pump(300);
    const std::string after = h.emu().command("stats");
    // The arrival is the hot-plug event's word: the idle module is not opened for it.
    EXPECT_EQ(std::stoi(stat_value(after, "opens")) - std::stoi(stat_value(before, "opens")), 0) << after;
    EXPECT_EQ(stat_value(after, "open"), "0") << "no handle stays open: " << after;
    EXPECT_EQ(slurp(power + "/control"), "auto\n");
    EXPECT_EQ(slurp(power + "/autosuspend"), "2\n");
    EXPECT_EQ(slurp(power + "/autosuspend_delay_ms"), "2000\n");
}

TEST(HotPlug, DisabledDeviceOnlyLogsPlugEvents)
{
    ServiceHarness h;
    DaemonOptions options;
    options.write_list_conf = true;
    options.list_conf = "[DeviceParam]\nenable=false\n";
    ASSERT_TRUE(h.start(options)) << h.error;
    const std::string before = h.emu().command("stats");
    ASSERT_TRUE(h.emu().ok("unplug"));
    ASSERT_TRUE(h.emu().ok("plug"));
    ASSERT_TRUE(h.wait_for(
        [&] { return h.log_text().find("Device attached: 33a7:2388\n") != std::string::npos; }, 5000));
    h.pump(300);
    EXPECT_EQ(stat_value(h.emu().command("stats"), "opens"), stat_value(before, "opens"));
}

TEST(HotPlug, FirstTableIdentityBehavesLikeTheModule)
{
    ServiceHarness h;
    DaemonOptions options;
    options.env["TIRVANE_EMU_ID"] = "1234:abcd";
    ASSERT_TRUE(h.start(options)) << h.error;
    ASSERT_TRUE(h.emu().ok("unplug"));
    ASSERT_TRUE(h.wait_for([&] { return device_count(h) == 0; }, 5000));
    ASSERT_TRUE(h.emu().ok("plug"));
    ASSERT_TRUE(h.wait_for([&] { return device_count(h) == 1; }, 5000));
    EXPECT_TRUE(enrol_finger(h, "zed", "thumb", "z"));
}

TEST(HotPlug, UnplugDuringEnrolmentSignalsDisconnected)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    h.clear_signals();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_enroll_sync(h.proxy(), "yan", "thumb", nullptr, &error));
    ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 1, 5000));
    ASSERT_TRUE(h.emu().ok("unplug"));
    ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 2, 5000));
    EXPECT_EQ(sig_str(h.signals("enrollStatusChanged")[1]), "(4, {})");
    // Plugged back, the service enrols again.
    ASSERT_TRUE(h.emu().ok("plug"));
    ASSERT_TRUE(h.wait_for([&] { return device_count(h) == 1; }, 5000));
    h.clear_signals();
    EXPECT_TRUE(enrol_finger(h, "yan", "thumb", "y"));
}
