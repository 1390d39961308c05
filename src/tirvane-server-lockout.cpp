// The lock-out after failed touches.
#include "tirvane-server-lockout.h"

#include "common.h"

#include <algorithm>
#include <chrono>
#include <gio/gio.h>
#include <map>
#include <mutex>
#include <string>

namespace
{

struct Record {
    int failures = 0;         // consecutive failed touches since the last lock-out or match
    int lockouts = 0;         // lock-outs in a row without a match
    int64_t locked_until = 0; // clock value; 0: not locked
    int64_t last_touch = 0;   // clock value of the last failure, for trimming
    bool end_logged = true;
};

// Ids that only ever failed are kept too; past this many, the oldest record
// that is not locked out is dropped, so callers inventing ids cannot grow the
// table without bound.
constexpr size_t kMaxRecords = 256;

std::mutex lockout_mutex;
std::map<std::string, Record> records;
TvpLockoutPolicy policy = kDefaultLockoutPolicy;

int64_t real_now_ms(void)
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t (*clock_now_ms)(void) = real_now_ms;

bool enabled(const TvpLockoutPolicy &p)
{
    return p.failures > 0 && p.seconds > 0;
}

// The length of the n-th lock-out in a row (1-based), in seconds.
int lockout_seconds(const TvpLockoutPolicy &p, int n)
{
    const int cap = std::max(p.max_seconds, p.seconds);
    int64_t length = p.seconds;
    for (int i = 1; i < n && length < cap; ++i) {
        length *= 2;
    }
    return static_cast<int>(std::min<int64_t>(length, cap));
}

void trim_locked(int64_t now)
{
    while (records.size() > kMaxRecords) {
        auto oldest = records.end();
        for (auto it = records.begin(); it != records.end(); ++it) {
            if (it->second.locked_until > now) {
                continue;
            }
            if (oldest == records.end() || it->second.last_touch < oldest->second.last_touch) {
                oldest = it;
            }
        }
        if (oldest == records.end()) {
            return;
        }
        records.erase(oldest);
    }
}

// Logs the end of a lock-out once, whichever comes first: the timer or the next
// look at the user's record.
void log_end_locked(const std::string &user_id, Record &r, int64_t now)
{
    if (!r.end_logged && r.locked_until != 0 && r.locked_until <= now) {
        r.end_logged = true;
        TVP_LOG(LOG_LOG_GRADE, "the lock-out of user %s has ended.\n", user_id.c_str());
    }
}

struct EndTimer {
    std::string user_id;
};

gboolean on_lockout_end(gpointer data)
{
    auto *timer = static_cast<EndTimer *>(data);
    std::lock_guard<std::mutex> lock(lockout_mutex);
    auto it = records.find(timer->user_id);
    if (it != records.end()) {
        log_end_locked(it->first, it->second, clock_now_ms());
    }
    return G_SOURCE_REMOVE;
}

void free_end_timer(gpointer data)
{
    delete static_cast<EndTimer *>(data);
}

// The timer runs on the main loop; a timer that fires early (another clock in a
// test) finds the lock-out still running and logs nothing.
void schedule_end_log(const std::string &user_id, int seconds)
{
    GSource *source = g_timeout_source_new_seconds(static_cast<guint>(seconds));
    g_source_set_callback(source, on_lockout_end, new EndTimer{user_id}, free_end_timer);
    g_source_attach(source, nullptr);
    g_source_unref(source);
}

} // namespace

void tvp_lockout_set_policy(const TvpLockoutPolicy &p)
{
    std::lock_guard<std::mutex> lock(lockout_mutex);
    policy = p;
}

TvpLockoutPolicy tvp_lockout_policy(void)
{
    std::lock_guard<std::mutex> lock(lockout_mutex);
    return policy;
}

bool tvp_lockout_active(const char *user_id, int *remaining_s)
{
    std::lock_guard<std::mutex> lock(lockout_mutex);
    auto it = records.find(user_id);
    if (it == records.end() || !enabled(policy)) {
        return false;
    }
    const int64_t now = clock_now_ms();
    log_end_locked(it->first, it->second, now);
    if (it->second.locked_until <= now) {
        return false;
    }
    if (remaining_s != nullptr) {
        *remaining_s = static_cast<int>((it->second.locked_until - now + 999) / 1000);
    }
    return true;
}

bool tvp_lockout_note_failure(const char *user_id)
{
    std::lock_guard<std::mutex> lock(lockout_mutex);
    if (!enabled(policy)) {
        return false;
    }
    const int64_t now = clock_now_ms();
    Record &r = records[user_id];
    log_end_locked(user_id, r, now);
    r.last_touch = now;
    if (r.locked_until > now) {
        return false; // a touch collected before the lock-out began
    }
    if (++r.failures < policy.failures) {
        trim_locked(now);
        return false;
    }
    r.failures = 0;
    ++r.lockouts;
    const int seconds = lockout_seconds(policy, r.lockouts);
    r.locked_until = now + static_cast<int64_t>(seconds) * 1000;
    r.end_logged = false;
    TVP_LOG(LOG_LOG_GRADE, "user %s is locked out for %d s after %d failed touches.\n", user_id, seconds,
            policy.failures);
    schedule_end_log(user_id, seconds);
    trim_locked(now);
    return true;
}

void tvp_lockout_note_match(const char *user_id)
{
    std::lock_guard<std::mutex> lock(lockout_mutex);
    records.erase(user_id);
}

void tvp_lockout_reset_all(void)
{
    std::lock_guard<std::mutex> lock(lockout_mutex);
    records.clear();
}

void tvp_lockout_set_clock(int64_t (*now_ms)(void))
{
    std::lock_guard<std::mutex> lock(lockout_mutex);
    clock_now_ms = now_ms != nullptr ? now_ms : real_now_ms;
}
