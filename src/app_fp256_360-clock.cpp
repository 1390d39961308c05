// Time seams of the driver: pauses and the one monotonic clock behind every age
// and time limit, with the elapsed-time helpers built on it.
#include "app_fp256_360.h"

#include "common.h"

#include <atomic>
#include <climits>
#include <ctime>

namespace
{

void real_sleep_ms(unsigned int ms)
{
    struct timespec ts {
    };
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

// CLOCK_MONOTONIC in the driver's timeval: the time of day may be stepped by an
// administrator or a time daemon, and a result recorded before a step back
// would otherwise stay "fresh" for as long as the step.
void real_clock(struct timeval *now)
{
    struct timespec ts {
    };
    clock_gettime(CLOCK_MONOTONIC, &ts);
    now->tv_sec = ts.tv_sec;
    now->tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
}

// Installed once before use (tests install theirs before driving the driver);
// atomic so that a late change is still a clean hand-over between threads.
std::atomic<FP_SLEEP_HOOK> g_sleep_hook{real_sleep_ms};
std::atomic<FP_CLOCK_HOOK> g_clock_hook{real_clock};

// Milliseconds from `from` to `to`, negative when `to` lies before `from`.
long long diff_ms(const struct timeval &from, const struct timeval &to)
{
    long long sec = static_cast<long long>(to.tv_sec) - from.tv_sec;
    long long usec = static_cast<long long>(to.tv_usec) - from.tv_usec;
    if (usec < 0) {
        sec -= 1;
        usec += 1000000;
    }
    return sec * 1000 + usec / 1000;
}

} // namespace

void fp_set_time_hooks(FP_SLEEP_HOOK sleep_hook, FP_CLOCK_HOOK clock_hook)
{
    g_sleep_hook.store(sleep_hook != nullptr ? sleep_hook : real_sleep_ms);
    g_clock_hook.store(clock_hook != nullptr ? clock_hook : real_clock);
}

void fp_delay_ms(unsigned int ms)
{
    g_sleep_hook.load()(ms);
}

void fp_get_time_now(struct timeval *now)
{
    if (now != nullptr) {
        g_clock_hook.load()(now);
    }
}

int fp_get_increment_of_time_ms(const struct timeval *start)
{
    if (start == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return 0;
    }
    struct timeval now {
    };
    fp_get_time_now(&now);
    const long long ms = diff_ms(*start, now);
    // A time stamp "in the future" was taken before the clock went back: its
    // true age is unknown, so it counts as the oldest possible.
    if (ms < 0 || ms > INT_MAX) {
        return INT_MAX;
    }
    return static_cast<int>(ms);
}

void fp_wait_clock_start(FP_WAIT_CLOCK *clock)
{
    if (clock == nullptr) {
        return;
    }
    fp_get_time_now(&clock->last);
    clock->elapsed_ms = 0;
}

int fp_wait_clock_elapsed_ms(FP_WAIT_CLOCK *clock)
{
    if (clock == nullptr) {
        return 0;
    }
    struct timeval now {
    };
    fp_get_time_now(&now);
    const long long step = diff_ms(clock->last, now);
    // Sub-millisecond remainders are kept in `last`, not lost at every reading.
    if (step > 0) {
        clock->elapsed_ms += step;
        clock->last.tv_sec += static_cast<time_t>(step / 1000);
        clock->last.tv_usec += static_cast<suseconds_t>((step % 1000) * 1000);
        if (clock->last.tv_usec >= 1000000) {
            clock->last.tv_sec += 1;
            clock->last.tv_usec -= 1000000;
        }
    } else if (step < 0) {
        clock->last = now; // the clock went back: counted from here on
    }
    return clock->elapsed_ms > INT_MAX ? INT_MAX : static_cast<int>(clock->elapsed_ms);
}
