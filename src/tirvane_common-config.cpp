// Driver configuration ("fp_driver.conf", group "BASIC_PARAM"), the device
// parameters (group "DeviceParam" of the list file) and the firmware-upgrade
// counter.
#include "tirvane_common.h"

#include "common.h"
#include "usb_device.h"

#include <cstring>
#include <glib.h>
#include <mutex>

namespace
{

constexpr const char *kBasicGroup = "BASIC_PARAM";
constexpr const char *kDeviceGroup = "DeviceParam";
constexpr GKeyFileFlags kKeepAll =
    static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS);

std::string driver_conf_path()
{
    return tvp_conf_file(TVP_DRIVER_CONF_FILE_NAME);
}

void log_gerror(const GError *error, tvp_log_origin at = tvp_log_origin::here())
{
    TVP_LOG_FROM(at, ERR_LOG_GRADE, "Error[%d]: %s\n", error->code, error->message);
}

// Loads the driver configuration file; null (after logging) when it cannot be read.
GKeyFile *load_driver_conf()
{
    g_autoptr(GKeyFile) key_file = g_key_file_new();
    g_autoptr(GError) error = nullptr;
    if (!g_key_file_load_from_file(key_file, driver_conf_path().c_str(), kKeepAll, &error)) {
        log_gerror(error);
        return nullptr;
    }
    return static_cast<GKeyFile *>(g_steal_pointer(&key_file));
}

struct UpgradeModeName {
    const char *text;
    UPGRADE_MODE_TYPE mode;
};

constexpr UpgradeModeName kUpgradeModes[] = {
    {"FORCE_UPGRADE", FORCE_UPGRADE},
    {"DONT_UPGRADE", DONT_UPGRADE},
    {"AUTO_UPGRADE", AUTO_UPGRADE},
    {"SMART_UPGRADE", SMART_UPGRADE},
};

// The upgrade counter in the file is lowered at most once per process run.
std::mutex upgrade_counter_mutex;

// An optional non-negative whole number; a missing key keeps the default
// without a log line, a value that is not one is logged and ignored.
int optional_count(GKeyFile *key_file, const char *key, int fallback)
{
    if (!g_key_file_has_key(key_file, kBasicGroup, key, nullptr)) {
        return fallback;
    }
    g_autoptr(GError) error = nullptr;
    const int value = g_key_file_get_integer(key_file, kBasicGroup, key, &error);
    if (error != nullptr || value < 0) {
        TVP_LOG(ERR_LOG_GRADE, "%s is not a whole number of 0 or more, using %d.\n", key, fallback);
        return fallback;
    }
    return value;
}

} // namespace

int driver_config_init(DRIVER_CONFIG_STRUCT *config)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    // Set before the file is read: a missing or broken file keeps the lock-out.
    config->lockout_failures = 5;
    config->lockout_seconds = 30;
    config->lockout_max_seconds = 600;
    config->desktop_interface = 1;
    g_autoptr(GKeyFile) key_file = load_driver_conf();
    if (key_file == nullptr) {
        return -1;
    }
    g_autoptr(GError) error = nullptr;

    int log_flag = g_key_file_get_integer(key_file, kBasicGroup, "PrintfLogFlag", &error);
    if (error != nullptr) {
        log_gerror(error);
        g_clear_error(&error);
    } else if (log_flag != 0) {
        set_printf_log_grade(log_flag);
        TVP_LOG(LOG_LOG_GRADE, "================enable printf log================\n");
        TVP_LOG(LOG_LOG_GRADE, "%s = %d.\n", "PrintfLogFlag", log_flag);
    }

    int auto_suspend = g_key_file_get_integer(key_file, kBasicGroup, "AutoSuspend", &error);
    if (error != nullptr) {
        log_gerror(error);
        g_clear_error(&error);
        auto_suspend = 0;
    }
    TVP_LOG(DBG_LOG_GRADE, "set auto_suspend: %d\n", auto_suspend);
    config->autosuspend_flag = static_cast<unsigned char>(auto_suspend & 0xFF);
    usb_set_autosuspend_flag(config->autosuspend_flag);

    int upgrade_flag = g_key_file_get_integer(key_file, kBasicGroup, "UpgradeFlag", &error);
    if (error != nullptr) {
        log_gerror(error);
        g_clear_error(&error);
        upgrade_flag = 0;
    }
    TVP_LOG(DBG_LOG_GRADE, "set upgrade_flag: %d\n", upgrade_flag);
    config->upgrade_flag = upgrade_flag;

    config->lockout_failures = optional_count(key_file, "LockoutFailures", config->lockout_failures);
    config->lockout_seconds = optional_count(key_file, "LockoutSeconds", config->lockout_seconds);
    config->lockout_max_seconds = optional_count(key_file, "LockoutMaxSeconds", config->lockout_max_seconds);
    TVP_LOG(DBG_LOG_GRADE, "set lock-out: %d failures, %d s, at most %d s\n", config->lockout_failures,
            config->lockout_seconds, config->lockout_max_seconds);
    config->desktop_interface =
        optional_count(key_file, "DesktopInterface", config->desktop_interface) != 0 ? 1 : 0;

    g_autofree gchar *mode = g_key_file_get_string(key_file, kBasicGroup, "UpgradeMode", &error);
    if (error != nullptr) {
        log_gerror(error);
        g_clear_error(&error);
    }
    if (mode == nullptr) {
        config->upgrade_mode = AUTO_UPGRADE;
        TVP_LOG(DBG_LOG_GRADE, "set upgrade mode: %s\n", "AUTO_UPGRADE");
    } else {
        for (const auto &known : kUpgradeModes) {
            if (strcmp(mode, known.text) == 0) {
                config->upgrade_mode = known.mode;
                TVP_LOG(DBG_LOG_GRADE, "set upgrade mode: %s\n", known.text);
                break;
            }
        }
    }
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return 0;
}

int tvp_param_config(tvp_dev *dev)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    GKeyFile *raw = nullptr;
    if (tvp_conf_open(&raw) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "open tvplist_conf failed!!!\n");
        return -1;
    }
    g_autoptr(GKeyFile) key_file = raw;
    driver_info *priv = tvp_priv(dev);
    g_autoptr(GError) error = nullptr;

    bool enable_missing = false;
    gboolean enabled = g_key_file_get_boolean(key_file, kDeviceGroup, "enable", &error);
    if (error != nullptr) {
        g_clear_error(&error);
        enabled = TRUE;
        enable_missing = true;
    }
    dev->enable = enabled ? 1 : 0;
    TVP_LOG(DBG_LOG_GRADE, "device enable = %d.\n", dev->enable);

    int log_flag = g_key_file_get_integer(key_file, kDeviceGroup, "PrintfLogFlag", &error);
    if (error != nullptr) {
        g_clear_error(&error);
    } else if (log_flag != 0) {
        set_printf_log_grade(log_flag);
        TVP_LOG(LOG_LOG_GRADE, "%s = %d.\n", "PrintfLogFlag", log_flag);
    }

    int mode_flag = g_key_file_get_integer(key_file, kDeviceGroup, "ModeFlag", &error);
    if (error != nullptr) {
        g_clear_error(&error);
        mode_flag = 0;
    }
    priv->mode_flag = mode_flag;
    TVP_LOG(LOG_LOG_GRADE, "%s = %d.\n", "ModeFlag", mode_flag);

    int reboot_flag = g_key_file_get_integer(key_file, kDeviceGroup, "RebootFlag", &error);
    if (error != nullptr) {
        g_clear_error(&error);
        reboot_flag = 0;
    }
    priv->reboot_flag = reboot_flag;
    TVP_LOG(LOG_LOG_GRADE, "%s = %d.\n", "RebootFlag", reboot_flag);

    if (enable_missing || mode_flag != 0 || reboot_flag != 0) {
        [[maybe_unused]] g_autofree gchar *check = g_key_file_to_data(key_file, nullptr, &error);
        if (error != nullptr) {
            log_gerror(error);
            g_clear_error(&error);
        } else {
            if (enable_missing) {
                g_key_file_set_boolean(key_file, kDeviceGroup, "enable", TRUE);
            }
            if (mode_flag != 0) {
                g_key_file_set_integer(key_file, kDeviceGroup, "ModeFlag", 0);
            }
            if (reboot_flag != 0) {
                g_key_file_set_integer(key_file, kDeviceGroup, "RebootFlag", 0);
            }
            if (!g_key_file_save_to_file(key_file, tvp_conf_file(TVP_LIST_FILE_NAME).c_str(), &error)) {
                log_gerror(error);
                g_clear_error(&error);
            }
        }
    }
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return 0;
}

int read_fw_upgrade_flag(void)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    g_autoptr(GKeyFile) key_file = load_driver_conf();
    if (key_file == nullptr) {
        return -1;
    }
    g_autoptr(GError) error = nullptr;
    int result = -1;
    int flag = g_key_file_get_integer(key_file, kBasicGroup, "UpgradeFlag", &error);
    if (error != nullptr) {
        log_gerror(error);
        TVP_LOG(DBG_LOG_GRADE, "upgrade_flag = %d\n", 0);
    } else {
        TVP_LOG(DBG_LOG_GRADE, "upgrade_flag = %d\n", flag);
        result = flag > 0 ? 0 : -1;
    }
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return result;
}

int change_fw_upgrade_flag(void)
{
    static uint8_t upgrade_times = 0;
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    // Both firmware threads may call this; the counter must drop only once.
    std::lock_guard<std::mutex> lock(upgrade_counter_mutex);
    if (upgrade_times != 0) {
        TVP_LOG(DBG_LOG_GRADE, "upgrade_flag has been changed.\n");
        return 0;
    }
    g_autoptr(GKeyFile) key_file = load_driver_conf();
    if (key_file == nullptr) {
        return -1;
    }
    g_autoptr(GError) error = nullptr;
    int result = 0;
    int flag = g_key_file_get_integer(key_file, kBasicGroup, "UpgradeFlag", &error);
    if (error != nullptr) {
        log_gerror(error);
        result = -1;
    } else {
        TVP_LOG(DBG_LOG_GRADE, "upgrade_flag = %d\n", flag);
        if (flag > 0) {
            [[maybe_unused]] g_autofree gchar *check = g_key_file_to_data(key_file, nullptr, &error);
            if (error != nullptr) {
                log_gerror(error);
                result = -1;
            } else {
                g_key_file_set_integer(key_file, kBasicGroup, "UpgradeFlag", flag - 1);
                if (!g_key_file_save_to_file(key_file, driver_conf_path().c_str(), &error)) {
                    log_gerror(error);
                    result = -1;
                } else {
                    upgrade_times++;
                    TVP_LOG(DBG_LOG_GRADE, "change upgrade_flag = %d\n", flag - 1);
                }
            }
        }
    }
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return result;
}
