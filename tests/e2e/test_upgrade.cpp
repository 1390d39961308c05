// Firmware upgrade through the module's bootloader, end to end.
#include "flow_helpers.h"
#include "upgrade_helpers.h"

using namespace tvtest;

namespace
{

DaemonOptions upgrade_options(ServiceHarness &h, const char *mode, int module_version, int image_version)
{
    DaemonOptions options;
    options.driver_conf =
        std::string("[BASIC_PARAM]\nPrintfLogFlag=3\nUpgradeFlag=1\nUpgradeMode=") + mode + "\n";
    options.env["TIRVANE_EMU_FW_VERSION"] = std::to_string(module_version);
    if (image_version > 0) {
        const std::string base = "ACM32FP_V" + std::to_string(image_version);
        write_file(h.conf_dir() + "kal_fw.conf", base + "\n");
        write_file(h.conf_dir() + base + ".bin", image_with_version(image_version));
    }
    return options;
}

bool sent_reboot(ServiceHarness &h)
{
    return has_frame(h.emu(), "ef 01 ff ff ff ff 01 00 0b ff 3c c3 69 96 51 52 58 4b");
}

size_t count_lines_with(const std::vector<std::string> &lines, const std::string &prefix)
{
    size_t n = 0;
    for (const auto &l : lines) {
        n += l.rfind(prefix, 0) == 0;
    }
    return n;
}

} // namespace

TEST(Upgrade, ModesDecideByVersionTextOrNumber)
{
    struct Case {
        const char *mode;
        int module;
        int image;
        bool upgrades;
    };
    const Case cases[] = {
        {"FORCE_UPGRADE", 1500, 1400, true},  {"FORCE_UPGRADE", 1500, 1500, true},
        {"DONT_UPGRADE", 1400, 1500, false},  {"AUTO_UPGRADE", 1500, 1500, false},
        {"AUTO_UPGRADE", 1500, 1400, true},   {"SMART_UPGRADE", 1400, 1502, true},
        {"SMART_UPGRADE", 1500, 1500, false}, {"SMART_UPGRADE", 1600, 1500, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " module " + std::to_string(c.module) + " image " +
                     std::to_string(c.image));
        ServiceHarness h;
        ASSERT_TRUE(h.start(upgrade_options(h, c.mode, c.module, c.image))) << h.error;
        if (c.upgrades) {
            ASSERT_TRUE(h.wait_for(
                [&] { return module_version(h) == c.image && h.emu().command("mode") == "OK app"; }, 30000))
                << h.emu().command("mode");
            // Back in service with the new version; the counter is lowered once.
            EXPECT_TRUE(enrol_finger(h, "u", "thumb", "t"));
            EXPECT_NE(h.log_text().find("runAPP: success.\n"), std::string::npos);
        } else {
            h.pump(500);
            EXPECT_FALSE(sent_reboot(h));
            EXPECT_EQ(module_version(h), c.module);
        }
        EXPECT_EQ(upgrade_flag(h), 0) << "lowered once in this run";
    }
}

TEST(Upgrade, NoImageInstalledMeansNoRebootAndTheCounterKept)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start(upgrade_options(h, "FORCE_UPGRADE", 1500, 0))) << h.error;
    EXPECT_FALSE(sent_reboot(h));
    EXPECT_EQ(upgrade_flag(h), 1);
}

TEST(Upgrade, CrcMismatchKeepsTheStateAndTheNextAttemptErasesAgain)
{
    ServiceHarness h;
    DaemonOptions options = upgrade_options(h, "FORCE_UPGRADE", 1500, 1600);
    options.env["TIRVANE_EMU_PRESENT"] = "boot";
    // In force before the daemon's first attempt, which may otherwise finish before a command lands.
    options.env["TIRVANE_EMU_BOOT_FAULT"] = "crc";
    options.wait_ready = false;
    ASSERT_TRUE(h.start(options)) << h.error;
    ASSERT_TRUE(
        h.wait_for([&] { return h.log_text().find("check CRC: error!!!\n") != std::string::npos; }, 15000));
    ASSERT_TRUE(
        h.wait_for([&] { return count_lines_with(h.emu().trace(), "OUT 04 aa d3 00 00 2c 55") >= 2; }, 15000))
        << "a later attempt starts again with the erase";
    EXPECT_EQ(h.log_text().find("runAPP: success"), std::string::npos);
    EXPECT_NE(h.log_text().find("state 1\n"), std::string::npos);
    h.emu().ok("boot-fault none");
    ASSERT_TRUE(
        h.wait_for([&] { return h.emu().command("mode") == "OK app" && module_version(h) == 1600; }, 30000));
    // Without logind every attempt writes without blocking sleep; that is said once.
    EXPECT_EQ(
        count_of(h.log_text(), "logind is not on the bus: the firmware is written without blocking sleep."),
        1u)
        << h.log_text();
}

TEST(Upgrade, BootloaderFramesOnTheWire)
{
    ServiceHarness h;
    DaemonOptions options = upgrade_options(h, "FORCE_UPGRADE", 1500, 1600);
    options.env["TIRVANE_EMU_PRESENT"] = "boot";
    options.wait_ready = false;
    ASSERT_TRUE(h.start(options)) << h.error;
    ASSERT_TRUE(h.wait_for([&] { return h.emu().command("mode") == "OK app"; }, 30000));
    const auto trace = h.emu().trace();
    // 1000 bytes: four blocks of 240 at 0, 240, 480, 720 and one of 40 at 960.
    const char *blocks[] = {"OUT 04 aa d7 f4 00 00 00 00 00", "OUT 04 aa d7 f4 00 f0 00 00 00",
                            "OUT 04 aa d7 f4 00 e0 01 00 00", "OUT 04 aa d7 f4 00 d0 02 00 00",
                            "OUT 04 aa d7 2c 00 c0 03 00 00"};
    for (const char *b : blocks) {
        EXPECT_EQ(count_lines_with(trace, b), 1u) << b;
    }
    EXPECT_EQ(count_lines_with(trace, "OUT 04 aa d3 00 00 2c 55"), 1u) << "erase";
    EXPECT_EQ(count_lines_with(trace, "OUT 04 aa a6 08 00 00 00 00 00 e8 03 00 00"), 1u)
        << "CRC of 1000 bytes";
    EXPECT_EQ(count_lines_with(trace, "OUT 04 aa cc 00 00 33 55"), 1u) << "security code";
    EXPECT_EQ(count_lines_with(trace, "OUT 04 aa e3 00 00 1c 55"), 1u) << "run";
    EXPECT_TRUE(h.emu().lines("errors").empty());
}

TEST(Upgrade, ModuleWaitingInItsBootloaderWithoutImageEndsTheAttemptsAtOnce)
{
    ServiceHarness h;
    DaemonOptions options;
    options.env["TIRVANE_EMU_PRESENT"] = "boot";
    options.wait_ready = false;
    options.driver_conf = "[BASIC_PARAM]\nPrintfLogFlag=3\nUpgradeFlag=1\n";
    ASSERT_TRUE(h.start(options)) << h.error;
    auto attempts = [&] { return count_of(h.log_text(), " open failed!\n"); };
    ASSERT_TRUE(h.wait_for([&] { return attempts() >= 1; }, bound_ms(5000))) << "the first attempt";
    // Attempts come 100 ms apart: ten periods without a second one show the end.
    EXPECT_FALSE(h.wait_for([&] { return attempts() >= 2; }, bound_ms(1000)))
        << "one attempt, then the thread ends";
    EXPECT_EQ(attempts(), 1u);
}

TEST(Upgrade, NoModuleGivesUpAfterTheDiscoverLoop)
{
    ServiceHarness h;
    DaemonOptions options;
    options.env["TIRVANE_EMU_PRESENT"] = "0";
    options.wait_ready = false;
    ASSERT_TRUE(h.start(options)) << h.error;
    ASSERT_TRUE(h.wait_for(
        [&] { return h.log_text().find("not discover the device.\n") != std::string::npos; }, 40000));
}

TEST(Upgrade, BootloaderFoundAfterTheStartUpRoundIsStillUpgraded)
{
    // The module appears in its bootloader only after both start-up threads gave up.
    ServiceHarness h;
    DaemonOptions options = upgrade_options(h, "FORCE_UPGRADE", 1500, 1600);
    options.env["TIRVANE_EMU_PRESENT"] = "0";
    options.wait_ready = false;
    ASSERT_TRUE(h.start(options)) << h.error;
    ASSERT_TRUE(h.wait_for(
        [&] { return h.log_text().find("not discover the device.\n") != std::string::npos; }, 40000));
    h.pump(1500);
    ASSERT_TRUE(h.emu().ok("plug boot"));
    ASSERT_TRUE(
        h.wait_for([&] { return h.emu().command("mode") == "OK app" && module_version(h) == 1600; }, 30000))
        << "the service wrote the image it found waiting";
    ASSERT_TRUE(h.wait_for(
        [&] {
            gint count = 0;
            tirvane_call_get_device_count_sync(h.proxy(), &count, nullptr, nullptr);
            return count == 1;
        },
        5000));
}

TEST(Upgrade, OneKeyPowerUpTouchIsUsedByAVerificationWithin30s)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    ASSERT_TRUE(enrol_finger(h, "olga", "thumb", "olga-thumb"));
    h.stop_daemon(SIGKILL);

    // The machine is switched on with Olga's finger on the sensor.
    DaemonOptions options;
    options.wait_ready = false;
    options.env["TIRVANE_EMU_NO_POWERUP"] = "wait"; // the start-up's collection waits for the touch
    ASSERT_TRUE(h.start(options)) << h.error;
    ASSERT_TRUE(h.emu().ok("touch olga-thumb 15000"));
    ASSERT_TRUE(
        h.wait_for([&] { return h.log_text().find("start-up checks done") != std::string::npos; }, 20000));
    h.clear_signals();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "olga", 1, nullptr, &error));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000));
    EXPECT_EQ(sig_str(h.signals("verifyStatusChanged")[0]), "(0, {})") << "matched without a touch";
    EXPECT_NE(h.log_text().find("received one key power up identify result.\n"), std::string::npos);
    // Consumed: the next verification asks for a touch.
    h.clear_signals();
    ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "olga", 1, nullptr, &error));
    h.pump(1500);
    EXPECT_TRUE(h.signals("verifyStatusChanged").empty());
    EXPECT_NE(h.emu().command("pending").find("identify"), std::string::npos);
    ASSERT_TRUE(h.emu().ok("touch olga-thumb"));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000));
}
