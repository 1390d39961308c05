// Background maintenance: firmware upgrade attempts through the bootloader, the
// start-up discovery of the module, the one-key power-up result, the firmware
// version check and autosuspend.
#include "tirvane-server-maintenance.h"
#include "app_fp256_360.h"
#include "common.h"
#include "tirvane-server-bus.h"
#include "tirvane-server-operation.h"
#include "tirvane-server-sleep.h"
#include "tirvane_common-presence.h"
#include "tirvane_common.h"
#include "upgrade.h"
#include "usb_device.h"

#include <cstring>
#include <mutex>
#include <unistd.h>

namespace
{

constexpr int kUpgradeAttempts = 200;
constexpr int kAttemptPauseMs = 100;
constexpr int kDiscoverAttempts = 200;

// Upgrade attempts run in bounded rounds of 200 tries 100 ms apart. A request
// made while a round runs restarts its count; one made after it ended starts a
// new round. So whenever the service sends the module to its bootloader, or
// finds it waiting there, something writes the image.
std::mutex attempts_mutex;
bool attempts_running = false;
int attempts_left = 0;

// No attempt is under way any more: an upgrade state still set would only keep
// enrolments and deletions refused and verifications waiting.
void end_unsuccessful_round()
{
    if (get_upgrade_state() == 1) {
        TVP_LOG(LOG_LOG_GRADE, "upgrade round ended without success.\n");
        set_upgrade_state(0);
    }
}

void run_upgrade_attempts()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(attempts_mutex);
            if (attempts_left <= 0) {
                attempts_running = false;
                end_unsuccessful_round();
                return;
            }
            --attempts_left;
        }
        // No attempt opens the bootloader while the system sleeps.
        tvp_sleep_wait_awake();
        const int result = upgrade_and_run();
        if (result == 0) {
            usleep(500 * 1000);
        }
        if (result == 0 || result == -2) {
            std::lock_guard<std::mutex> lock(attempts_mutex);
            attempts_left = 0;
            attempts_running = false;
            if (result != 0) {
                end_unsuccessful_round();
            }
            return;
        }
        usleep(kAttemptPauseMs * 1000);
    }
}

void *upgrade_attempts_thread(void *arg)
{
    (void)arg;
    run_upgrade_attempts();
    return nullptr;
}

bool upgrade_due(tvp_dev *dev)
{
    switch (tvp_priv(dev)->config.upgrade_mode) {
    case FORCE_UPGRADE:
        return true;
    case AUTO_UPGRADE:
        return strcmp(upgrade_new_firmware_version(), fp_return_firmware_version()) != 0;
    case SMART_UPGRADE:
        return upgrade_new_firmware_version_num() > fp_return_firmware_version_num();
    default:
        return false;
    }
}

// The module, opened, is told to restart into its bootloader and counts as gone
// from then on, unless hot-plug has already reported it leaving or back by the
// time the order is out: hot-plug saw the bus after the order did.
void restart_into_bootloader()
{
    const TvpPresenceProbe order = tvp_presence_probe_begin();
    fp_reboot();
    usb_dev_close();
    tvp_presence_probe_end(order, false, "maintenance");
}

} // namespace

void tvp_request_upgrade_attempts(void)
{
    if (upgrade_new_firmware_name()[0] == '\0') {
        return; // no image installed
    }
    std::lock_guard<std::mutex> lock(attempts_mutex);
    attempts_left = kUpgradeAttempts;
    if (attempts_running) {
        return;
    }
    attempts_running = true;
    if (!tvp_start_thread(upgrade_attempts_thread, nullptr)) {
        attempts_running = false;
    }
}

void tvp_module_back_in_application(void)
{
    // The module runs its application: no attempt can be writing it now.
    if (get_upgrade_state() == 1) {
        TVP_LOG(LOG_LOG_GRADE, "module back in application mode.\n");
        set_upgrade_state(0);
    }
}

void *tvp_upgrade_pt_notdelay(void *arg)
{
    (void)arg;
    if (libusb_init(nullptr) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "libusb_init failed.\n");
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(attempts_mutex);
        if (attempts_running) {
            attempts_left = kUpgradeAttempts;
            return nullptr;
        }
        attempts_running = true;
        attempts_left = kUpgradeAttempts;
    }
    run_upgrade_attempts();
    return nullptr;
}

int tvp_onekey_powerup_identify(tvp_dev *dev)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    if (usb_get_dev_handle() == nullptr && usb_dev_open(dev) != 0) {
        TVP_LOG(DBG_LOG_GRADE, "can't open device!!!\n");
        return -1;
    }
    init_onekey_powerup_search_id();
    fp_onekey_powerup_identify(3, 0xFFFF, 3, get_onekey_powerup_search_id(), 20);
    fp_cancel();
    if (get_onekey_powerup_flag() != 1) {
        set_onekey_powerup_flag(0);
    }
    usb_dev_close();
    return 0;
}

int tvp_upgrade_pt(tvp_dev *dev, int dev_exit_flag)
{
    (void)dev_exit_flag;
    TVP_LOG(LOG_LOG_GRADE, "start.\n");
    for (int i = 0; i < 10; ++i) {
        if (usb_dev_open(dev) != 0) {
            return 0;
        }
        restart_into_bootloader();
        sleep(1);
        if (tvp_module_present()) {
            return -1;
        }
    }
    return 0;
}

int tvp_check_firmware_version(tvp_dev *dev)
{
    if (usb_get_dev_handle() == nullptr && usb_dev_open(dev) != 0) {
        return -1;
    }
    if (fp_get_firmware_version() != 0 || upgrade_new_firmware_version()[0] == '\0') {
        usb_dev_close();
        return 0;
    }
    if (!upgrade_due(dev)) {
        change_fw_upgrade_flag();
        usb_dev_close();
        return 0;
    }
    if (check_file_exit() != 0) {
        usb_dev_close();
        return 0;
    }
    set_upgrade_state(1);
    restart_into_bootloader();
    // The module is on its way to the bootloader: make sure attempts run even
    // when the start-up round has already given up.
    tvp_request_upgrade_attempts();
    sleep(1);
    const int left_application = tvp_upgrade_pt(dev, 1);
    usb_dev_close();
    // A module that acknowledged the restart but never left (or came back) is
    // still the application: probe it again so it is counted, and end the state.
    if (left_application != 0 || tvp_discover(dev, "maintenance probe") >= 1) {
        TVP_LOG(LOG_LOG_GRADE, "module stayed in application mode.\n");
        tvp_module_back_in_application();
    }
    return 0;
}

int tvp_ops_cancel(tvp_dev *dev)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    if (dev->enable == 0) {
        tvp_set_dev_status(dev, DEVS_COMM_DISABLE);
        return -1;
    }
    if (usb_get_dev_handle() == nullptr) {
        usb_dev_open(dev);
    }
    fp_cancel();
    usb_dev_close();
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return 0;
}

void *tirvane_upgrade_pt(void *arg)
{
    (void)arg;
    tvp_dev *dev = dev_tirvane;
    if (dev == nullptr || dev->ops_discover == nullptr) {
        return nullptr;
    }
    driver_info *priv = tvp_priv(dev);
    bool found = false;
    for (int i = 0; i < kDiscoverAttempts; ++i) {
        // A sleeping system's module is not looked at; the count resumes on wake.
        tvp_sleep_wait_awake();
        if (tvp_discover(dev, "start-up probe") >= 1) {
            found = true;
            break;
        }
        usleep(100 * 1000);
    }
    if (!found) {
        priv->dev_state &= static_cast<unsigned char>(~0x01);
        TVP_LOG(LOG_LOG_GRADE, "not discover the device.\n");
        return nullptr;
    }
    priv->dev_state |= 0x01;
    {
        // Never beside another operation: an enrolment or verification that got
        // the device first is waited for, however long it takes.
        DeviceHold hold(dev, DEVS_COMM_DOING, HoldWait::UntilIdle);
        tvp_onekey_powerup_identify(dev);
        TVP_LOG(DBG_LOG_GRADE, "DeviceStateNormal=====================\n");
        tvp_check_firmware_version(dev);
    }
    if (usb_dev_get_port_path_valid_flag() == 0) {
        usb_dev_get_port_path();
    }
    usb_dev_enable_autosuspend();
    TVP_LOG(DBG_LOG_GRADE, "start-up checks done.\n");
    return nullptr;
}
