// The Device object of the desktop's fingerprint interface: one claim at a
// time, the verification and enrolment of the claimed user, the listing and
// deletion of their fingers.
#pragma once

#include "fprint-generated.h"

#include <gio/gio.h>

inline constexpr const char *kFprintDevicePath = "/net/reactivated/Fprint/Device/0";
inline constexpr const char *kFprintDeviceInterface = "net.reactivated.Fprint.Device";

// The device skeleton with its handlers and properties; main loop only.
FprintDevice *fprint_device_skeleton_create(void);
// Whether the device is there to serve: enabled and its module present.
bool fprint_device_module_present(void);
// The module left: the claim goes with it (its running operation has been
// told by the core). Main loop only.
void fprint_device_module_left(void);
// A bus name left the bus: a claim it held is released. Main loop only.
void fprint_device_name_vanished(const char *name);
