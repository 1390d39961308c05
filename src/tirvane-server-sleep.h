// System sleep: the service lets go of the module before the machine sleeps and
// finds it again after the resume, under a delay inhibitor of logind's. This unit
// is the service's one user of logind's sleep interface.
#pragma once

#include <gio/gio.h>

// Watches logind's PrepareForSleep on `connection` and takes the first delay
// inhibitor. Without logind on the bus the service runs without either (logged
// once); a logind that comes later is used from its first resume on.
void tvp_sleep_watch_start(GDBusConnection *connection);

// From the announcement of a sleep until the resume: no operation may take the
// device or open the module, and a running enrolment or verification ends as if
// the module had been unplugged.
bool tvp_system_sleeping(void);

// Blocks the calling thread (never the main loop's) while the system sleeps. At
// start-up it first waits, a few seconds at most, for logind to say whether a
// sleep is under way, so that a service started during one leaves the module
// alone until the resume.
void tvp_sleep_wait_awake(void);

// A "block" inhibitor for sleep, held while the firmware image is written: a
// module that sleeps half written may come back with no firmware. Returns the
// inhibitor's file descriptor, closed by the caller when the write is over, or
// -1 (logged) when logind is not on the bus or refuses: the write goes ahead.
// Called on a worker thread.
int tvp_sleep_block_inhibitor(const char *why);
