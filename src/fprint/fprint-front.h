// The desktop's standard fingerprint interface (net.reactivated.Fprint),
// served in the same process as our own over the same core: the operation
// layer, the device hold, the finger list and the authorisation rules.
#pragma once

#include <gio/gio.h>

// Follows the module's presence from now on; called by main before the loop
// runs, after the configuration is read.
void tvp_fprint_front_init(void);
// Asks for the interface's bus name on `connection` and serves its Manager and,
// while the module is present, its Device. When another process owns the name
// (fprintd, say) this is logged once and only our own interface is served.
void tvp_fprint_front_start(GDBusConnection *connection);
