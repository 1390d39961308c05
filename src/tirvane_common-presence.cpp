// The one owner of the module's presence.
#include "tirvane_common-presence.h"

#include "common.h"
#include "tirvane_common.h"

#include <mutex>
#include <utility>
#include <vector>

namespace
{

// Held across a change and the calls of its listeners, so that listeners hear
// the changes in the order the stored value took them.
std::mutex presence_mutex;
// Counts the arrivals and departures reported; a probe that began at another
// count is outdated.
uint64_t reports = 0;
std::vector<std::pair<TvpPresenceListener, void *>> listeners;

// With presence_mutex held.
void store_locked(bool present, const char *why)
{
    tvp_dev *dev = dev_tirvane;
    if (dev == nullptr) {
        return;
    }
    const bool was = dev->dev_num.exchange(present ? 1 : 0) > 0;
    if (was == present) {
        TVP_LOG(DBG_LOG_GRADE, "module still %s (%s).\n", present ? "present" : "absent", why);
        return;
    }
    TVP_LOG(LOG_LOG_GRADE, "module %s (%s).\n", present ? "arrived" : "left", why);
    for (const auto &[listener, data] : listeners) {
        listener(present, data);
    }
}

void report(bool present, const char *why)
{
    std::lock_guard<std::mutex> lock(presence_mutex);
    ++reports;
    store_locked(present, why);
}

} // namespace

bool tvp_module_present(void)
{
    const tvp_dev *dev = dev_tirvane;
    return dev != nullptr && dev->dev_num.load() > 0;
}

void tvp_presence_arrived(const char *why)
{
    report(true, why);
}

void tvp_presence_left(const char *why)
{
    report(false, why);
}

void tvp_presence_add_listener(TvpPresenceListener listener, void *data)
{
    std::lock_guard<std::mutex> lock(presence_mutex);
    listeners.emplace_back(listener, data);
}

TvpPresenceProbe tvp_presence_probe_begin(void)
{
    std::lock_guard<std::mutex> lock(presence_mutex);
    return TvpPresenceProbe{reports};
}

bool tvp_presence_probe_end(TvpPresenceProbe probe, bool found, const char *why)
{
    std::lock_guard<std::mutex> lock(presence_mutex);
    if (probe.reports_seen != reports) {
        const bool present = tvp_module_present();
        TVP_LOG(LOG_LOG_GRADE,
                "%s %s the module, but an arrival or departure was reported since; the module stays %s.\n",
                why, found ? "found" : "missed", present ? "present" : "absent");
        return present;
    }
    store_locked(found, why);
    return found;
}

void tvp_presence_init(bool present)
{
    std::lock_guard<std::mutex> lock(presence_mutex);
    if (dev_tirvane != nullptr) {
        dev_tirvane->dev_num.store(present ? 1 : 0);
    }
}
