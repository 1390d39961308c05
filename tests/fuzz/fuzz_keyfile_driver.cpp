// Fuzz target: the driver configuration "fp_driver.conf" (group BASIC_PARAM):
// driver_config_init, read_fw_upgrade_flag and change_fw_upgrade_flag.
//
// The input is the whole file. Checked:
//  - read_fw_upgrade_flag agrees with the UpgradeFlag that driver_config_init
//    took from the same file (0 when UpgradeFlag > 0, else -1), and both fail
//    together when the file cannot be loaded;
//  - the upgrade mode is one of the four, or untouched when UpgradeMode names
//    none of them;
//  - when change_fw_upgrade_flag lowered the counter, the file it wrote reads
//    back with UpgradeFlag one lower and every other setting unchanged.
// change_fw_upgrade_flag lowers the counter at most once per process, so its
// write path runs for the first input with UpgradeFlag > 0 of a process only
// (replaying a single input always reaches it).
#include "fuzz_support.h"
#include "tirvane_common.h"
#include "usb_device.h"

namespace
{

// The service's record starts zeroed; 0 is within the enumeration's range.
constexpr UPGRADE_MODE_TYPE kUntouched = static_cast<UPGRADE_MODE_TYPE>(0);

bool counter_lowered = false;

struct Reading {
    int ret;
    DRIVER_CONFIG_STRUCT config;
    int log_grade;
};

Reading read_config()
{
    Reading r{};
    r.config.upgrade_mode = kUntouched;
    r.config.autosuspend_flag = 0xA5;
    r.config.upgrade_flag = -12345;
    set_printf_log_grade(tvp_fuzz::configured_log_grade());
    r.ret = driver_config_init(&r.config);
    r.log_grade = get_printf_log_grade();
    set_printf_log_grade(tvp_fuzz::configured_log_grade());
    return r;
}

void check_reading(const Reading &r)
{
    if (r.ret != 0) {
        return;
    }
    const UPGRADE_MODE_TYPE m = r.config.upgrade_mode;
    if (m != kUntouched && m != FORCE_UPGRADE && m != DONT_UPGRADE && m != AUTO_UPGRADE &&
        m != SMART_UPGRADE) {
        tvp_fuzz::fail("upgrade_mode = %d", static_cast<int>(m));
    }
    if (r.config.upgrade_flag == -12345 ||
        r.config.autosuspend_flag != (usb_dev_param.autosuspend_flag & 0xFF)) {
        tvp_fuzz::fail("driver_config_init returned 0 without setting upgrade_flag and autosuspend_flag");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    tvp_fuzz::conf_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    tvp_fuzz::begin_run();
    tvp_fuzz::write_conf_file(TVP_DRIVER_CONF_FILE_NAME, data, size);

    const Reading first = read_config();
    check_reading(first);

    const int flag_ret = read_fw_upgrade_flag();
    if (first.ret != 0) {
        if (flag_ret != -1) {
            tvp_fuzz::fail("read_fw_upgrade_flag = %d on a file driver_config_init cannot load", flag_ret);
        }
    } else if (flag_ret != (first.config.upgrade_flag > 0 ? 0 : -1)) {
        tvp_fuzz::fail("read_fw_upgrade_flag = %d but UpgradeFlag = %d", flag_ret, first.config.upgrade_flag);
    }

    const bool will_lower = !counter_lowered && first.ret == 0 && first.config.upgrade_flag > 0;
    const int change_ret = change_fw_upgrade_flag();
    set_printf_log_grade(tvp_fuzz::configured_log_grade());
    if (first.ret != 0 && !counter_lowered && change_ret != -1) {
        tvp_fuzz::fail("change_fw_upgrade_flag = %d on a file that cannot be loaded", change_ret);
    }
    if (will_lower) {
        if (change_ret != 0) {
            tvp_fuzz::fail("change_fw_upgrade_flag failed on UpgradeFlag = %d", first.config.upgrade_flag);
        }
        counter_lowered = true;
        const Reading second = read_config();
        if (second.ret != 0) {
            tvp_fuzz::fail("the file written by change_fw_upgrade_flag cannot be loaded");
        }
        check_reading(second);
        if (second.config.upgrade_flag != first.config.upgrade_flag - 1) {
            tvp_fuzz::fail("UpgradeFlag %d written back as %d", first.config.upgrade_flag,
                           second.config.upgrade_flag);
        }
        if (second.config.upgrade_mode != first.config.upgrade_mode ||
            second.config.autosuspend_flag != first.config.autosuspend_flag ||
            second.log_grade != first.log_grade) {
            tvp_fuzz::fail("change_fw_upgrade_flag changed another setting of the file");
        }
    }
    return 0;
}
