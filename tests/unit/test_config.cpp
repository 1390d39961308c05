// Driver configuration, device parameters and the upgrade counter.
#include "common.h"
#include "tirvane_common.h"
#include "unit_support.h"
#include "usb_device.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

class ConfigTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        set_printf_log_grade(3);
    }
    void TearDown() override
    {
        set_printf_log_grade(0);
    }
    void driver_conf(const std::string &body)
    {
        tvunit::write_file(conf.file("fp_driver.conf"), "[BASIC_PARAM]\n" + body);
    }
    std::string log() const
    {
        return tvunit::read_file(conf.file("log_tvp.txt"));
    }
    tvunit::TempConfDir conf;
};

} // namespace

TEST_F(ConfigTest, UpgradeModeTexts)
{
    struct Case {
        const char *line;
        int mode;
        const char *logged;
    };
    const Case cases[] = {
        {"UpgradeMode=FORCE_UPGRADE\n", FORCE_UPGRADE, "set upgrade mode: FORCE_UPGRADE\n"},
        {"UpgradeMode=SMART_UPGRADE\n", SMART_UPGRADE, "set upgrade mode: SMART_UPGRADE\n"},
        {"UpgradeMode=auto_upgrade\n", 0, nullptr},
        {"", AUTO_UPGRADE, "set upgrade mode: AUTO_UPGRADE\n"},
    };
    for (const auto &c : cases) {
        unlink(conf.file("log_tvp.txt").c_str());
        driver_conf(c.line);
        DRIVER_CONFIG_STRUCT config{};
        EXPECT_EQ(driver_config_init(&config), 0);
        EXPECT_EQ(config.upgrade_mode, c.mode) << c.line;
        if (c.logged != nullptr) {
            EXPECT_NE(log().find(c.logged), std::string::npos) << c.line;
        } else {
            EXPECT_EQ(log().find("set upgrade mode"), std::string::npos) << c.line;
        }
    }
}

TEST_F(ConfigTest, AutoSuspendKeepsTheLowByte)
{
    struct Case {
        int value;
        unsigned char stored;
    };
    for (const Case c : {Case{257, 1}, Case{2, 2}, Case{1, 1}, Case{0, 0}}) {
        driver_conf("AutoSuspend=" + std::to_string(c.value) + "\n");
        DRIVER_CONFIG_STRUCT config{};
        ASSERT_EQ(driver_config_init(&config), 0);
        EXPECT_EQ(config.autosuspend_flag, c.stored) << c.value;
        EXPECT_EQ(usb_dev_param.autosuspend_flag, c.stored) << c.value;
    }
}

TEST_F(ConfigTest, MissingDriverConfigurationLeavesDefaults)
{
    DRIVER_CONFIG_STRUCT config{};
    EXPECT_EQ(driver_config_init(&config), -1);
    EXPECT_EQ(config.upgrade_mode, 0);
    EXPECT_EQ(config.upgrade_flag, 0);
}

TEST_F(ConfigTest, LockoutKeys)
{
    struct Case {
        const char *lines;
        int failures, seconds, max_seconds;
    };
    const Case cases[] = {
        {"", 5, 30, 600},
        {"LockoutFailures=3\nLockoutSeconds=10\nLockoutMaxSeconds=40\n", 3, 10, 40},
        {"LockoutFailures=0\n", 0, 30, 600},
        {"LockoutSeconds=-4\nLockoutMaxSeconds=soon\n", 5, 30, 600},
    };
    for (const auto &c : cases) {
        driver_conf(c.lines);
        DRIVER_CONFIG_STRUCT config{};
        EXPECT_EQ(driver_config_init(&config), 0);
        EXPECT_EQ(config.lockout_failures, c.failures) << c.lines;
        EXPECT_EQ(config.lockout_seconds, c.seconds) << c.lines;
        EXPECT_EQ(config.lockout_max_seconds, c.max_seconds) << c.lines;
    }
    unlink(conf.file("fp_driver.conf").c_str());
    DRIVER_CONFIG_STRUCT missing{};
    driver_config_init(&missing);
    EXPECT_EQ(missing.lockout_failures, 5) << "a missing file keeps the lock-out";
    EXPECT_EQ(missing.lockout_seconds, 30);
}

TEST_F(ConfigTest, UpgradeCounterDropsAtMostOncePerRun)
{
    // Each case runs in a child: the once-per-run rule lives for the process.
    struct Case {
        int flag;
        int first_read;
        int after_change;
    };
    for (const Case c : {Case{1, 0, 0}, Case{3, 0, 2}, Case{0, -1, 0}, Case{-2, -1, -2}}) {
        driver_conf("UpgradeFlag=" + std::to_string(c.flag) + "\n");
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = read_fw_upgrade_flag() == c.first_read;
            ok = ok && change_fw_upgrade_flag() == 0;
            ok = ok && change_fw_upgrade_flag() == 0; // second call writes nothing
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.flag;
        const std::string text = tvunit::read_file(conf.file("fp_driver.conf"));
        EXPECT_NE(text.find("UpgradeFlag=" + std::to_string(c.after_change)), std::string::npos)
            << c.flag << ": " << text;
    }
    EXPECT_NE(log().find("upgrade_flag has been changed.\n"), std::string::npos);
}

TEST_F(ConfigTest, AfterLoweringToZeroTheFlagNoLongerAllowsAnUpgrade)
{
    driver_conf("UpgradeFlag=1\n");
    pid_t pid = fork();
    if (pid == 0) {
        _exit(change_fw_upgrade_flag() == 0 && read_fw_upgrade_flag() == -1 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

namespace
{

struct DeviceParamCase {
    const char *list_file;
    int enable;
    int mode_flag;
    int reboot_flag;
    const char *file_holds; // expected substring after the call
    const char *file_lacks;
};

} // namespace

TEST_F(ConfigTest, DeviceParametersAndTheirWriteBack)
{
    const DeviceParamCase cases[] = {
        {"", 1, 0, 0, "[DeviceParam]\nenable=true", "ModeFlag"},
        {"[DeviceParam]\nenable=false\n", 0, 0, 0, "enable=false", nullptr},
        {"[DeviceParam]\nenable=true\nRebootFlag=5\n", 1, 0, 5, "RebootFlag=0", nullptr},
        {"[DeviceParam]\nenable=true\nModeFlag=2\n", 1, 2, 0, "ModeFlag=0", nullptr},
    };
    for (const auto &c : cases) {
        tvunit::write_file(conf.file("tvplist.conf"), c.list_file);
        tvp_dev *dev = tvp_dev_new();
        dev->dev_priv = new driver_info{};
        dev->ops_free = tvp_ops_free;
        dev->enable = 1;
        EXPECT_EQ(tvp_param_config(dev), 0);
        EXPECT_EQ(dev->enable, c.enable) << c.list_file;
        EXPECT_EQ(tvp_priv(dev)->mode_flag, c.mode_flag) << c.list_file;
        EXPECT_EQ(tvp_priv(dev)->reboot_flag, c.reboot_flag) << c.list_file;
        const std::string text = tvunit::read_file(conf.file("tvplist.conf"));
        EXPECT_NE(text.find(c.file_holds), std::string::npos) << c.list_file << " -> " << text;
        if (c.file_lacks != nullptr) {
            EXPECT_EQ(text.find(c.file_lacks), std::string::npos) << text;
        }
        tvp_dev_free(dev);
    }
}

TEST_F(ConfigTest, LogThresholdFromTheListFileWinsAndZeroChangesNothing)
{
    struct Case {
        const char *driver;
        const char *list;
        int threshold;
    };
    const Case cases[] = {
        {"PrintfLogFlag=1\n", "[DeviceParam]\nPrintfLogFlag=3\n", 3},
        {"PrintfLogFlag=2\n", "[DeviceParam]\nenable=true\n", 2},
        {"PrintfLogFlag=0\n", "[DeviceParam]\nPrintfLogFlag=0\n", 7},
    };
    for (const auto &c : cases) {
        set_printf_log_grade(7);
        driver_conf(c.driver);
        tvunit::write_file(conf.file("tvplist.conf"), c.list);
        DRIVER_CONFIG_STRUCT config{};
        driver_config_init(&config);
        tvp_dev *dev = tvp_dev_new();
        dev->dev_priv = new driver_info{};
        dev->ops_free = tvp_ops_free;
        tvp_param_config(dev);
        EXPECT_EQ(get_printf_log_grade(), c.threshold) << c.driver << c.list;
        tvp_dev_free(dev);
    }
}
