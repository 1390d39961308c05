// Whether the module is on the bus. This unit is the only writer of the stored
// presence (the device record's dev_num, which getDeviceCount answers); every
// path that learns of an arrival or a departure reports it here.
//
// Hot-plug events and probes race: a probe (after a resume, at start-up, in
// maintenance) enumerates the bus and may miss a module that is re-enumerating
// just then, while hot-plug reports the new enumeration. The rule: a probe's
// verdict is dropped when an arrival or a departure was reported after the
// probe began, because that report saw the bus later than the probe did.
#pragma once

#include <cstdint>

// Whether the module is present now (any thread).
bool tvp_module_present(void);

// The module arrived / left; `why` names the path for the log ("hotplug",
// "resume probe", "maintenance", ...).
void tvp_presence_arrived(const char *why);
void tvp_presence_left(const char *why);

// Listeners hear every change of presence, on whatever thread made it; a
// listener that touches the bus hops to the main loop itself. Register at
// start-up (main thread) before the loop runs. Listeners are called in the order
// of the changes, under the unit's lock: a listener must not report presence.
using TvpPresenceListener = void (*)(bool present, void *data);
void tvp_presence_add_listener(TvpPresenceListener listener, void *data);

// A probe in progress: taken before the bus is looked at.
struct TvpPresenceProbe {
    uint64_t reports_seen;
};
TvpPresenceProbe tvp_presence_probe_begin(void);
// Records what the probe found, unless an arrival or a departure was reported
// since it began. Returns the presence that holds afterwards.
bool tvp_presence_probe_end(TvpPresenceProbe probe, bool found, const char *why);

// A new device record starts as `present`; no listener hears it.
void tvp_presence_init(bool present);
