// Process entry of tirvane-serverd.
#include "common.h"
#include "fprint/fprint-front.h"
#include "tirvane-server-bus.h"
#include "tirvane-server-lockout.h"
#include "tirvane-server-maintenance.h"
#include "tirvane-server-operation.h"
#include "tirvane-server-sleep.h"
#include "tirvane_common.h"
#include "upgrade.h"

int main(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    check_log_file_size();
    if (tvp_conf_init() != 0) {
        TVP_LOG(ERR_LOG_GRADE, "tvp_conf_init failed!!!\n");
        return -1;
    }
    if (tvp_dev_init() != 0) {
        return -1;
    }
    TVP_LOG(DBG_LOG_GRADE, "driver start.\n");
    const DRIVER_CONFIG_STRUCT &config = tvp_priv(dev_tirvane)->config;
    tvp_lockout_set_policy({config.lockout_failures, config.lockout_seconds, config.lockout_max_seconds});
    upgrade_module_init();
    read_fw_version();
    if (libusb_init(nullptr) != 0) {
        TVP_LOG(DBG_LOG_GRADE, "libusb_init failed.\n");
        return -1;
    }
    tvp_bootloader_arrival_hook = tvp_request_upgrade_attempts;
    tvp_application_arrival_hook = tvp_module_back_in_application;
    upgrade_write_hold = [] { return tvp_sleep_block_inhibitor("Writes the fingerprint module's firmware"); };
    // Before hot-plug and the start-up threads can report the module.
    tvp_fprint_front_init();
    tvp_drv_init(dev_tirvane);
    tvp_start_thread(tvp_upgrade_pt_notdelay, nullptr);
    tvp_start_thread(tirvane_upgrade_pt, nullptr);
    // The list is a file: it is loaded whether or not the module has answered yet.
    tvp_load_fprint_list(dev_tirvane);

    GMainLoop *pLoop = g_main_loop_new(nullptr, FALSE);
    tvp_server_set_main_loop(pLoop);
    guint owner_id =
        g_bus_own_name(G_BUS_TYPE_SYSTEM, TVP_BUS_NAME, G_BUS_NAME_OWNER_FLAGS_NONE, GBusAcquired_Callback,
                       GBusNameAcquired_Callback, GBusNameLost_Callback, nullptr, nullptr);
    g_main_loop_run(pLoop);

    tvp_server_set_main_loop(nullptr);
    g_main_loop_unref(pLoop);
    g_bus_unown_name(owner_id);
    libusb_exit(nullptr);
    tvp_dev_free(dev_tirvane);
    dev_tirvane = nullptr;
    return 0;
}
