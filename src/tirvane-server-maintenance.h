// The background maintenance threads: the start-up checks, the one-key
// power-up result and the firmware upgrade.
#pragma once

#include "tirvane_common.h"

void *tvp_upgrade_pt_notdelay(void *arg);
void *tirvane_upgrade_pt(void *arg);
int tvp_onekey_powerup_identify(tvp_dev *dev);
int tvp_check_firmware_version(tvp_dev *dev);
int tvp_upgrade_pt(tvp_dev *dev, int dev_exit_flag);
int tvp_ops_cancel(tvp_dev *dev);
// Makes sure upgrade attempts run (a new bounded round, or a restarted count).
void tvp_request_upgrade_attempts(void);
// The module arrived (or answered) in application mode: an upgrade state left
// set by a restart it ignored or a round that could not reach it is cleared.
void tvp_module_back_in_application(void);
