// The lock-out after failed touches: the service, never a client, counts the
// touches that did not match a user's fingers, and after a run of them stops
// matching touches for that user for a while. The count is kept per user id
// across calls, clients and stop-and-restart cycles; a match resets it.
#pragma once

#include <cstdint>

struct TvpLockoutPolicy {
    int failures;    // consecutive failed touches that lock a user out; 0: never
    int seconds;     // the first lock-out; 0: never
    int max_seconds; // each further run of failures doubles the lock-out up to this
};

inline constexpr TvpLockoutPolicy kDefaultLockoutPolicy = {5, 30, 600};

// Replaces the policy (the driver configuration at start-up); counts stay.
void tvp_lockout_set_policy(const TvpLockoutPolicy &policy);
TvpLockoutPolicy tvp_lockout_policy(void);

// Whether `user_id` is locked out now; the seconds left, rounded up, go to
// `remaining_s` when given.
bool tvp_lockout_active(const char *user_id, int *remaining_s = nullptr);
// Counts a touch that matched none of the user's fingers; true when it starts a
// lock-out.
bool tvp_lockout_note_failure(const char *user_id);
// A touch matched: the user's count and lock-out history are forgotten.
void tvp_lockout_note_match(const char *user_id);
// Forgets every count (tests of the unit).
void tvp_lockout_reset_all(void);

// The clock the unit reads, in milliseconds on an arbitrary monotonic base; a
// unit test replaces it. Null restores the real clock.
void tvp_lockout_set_clock(int64_t (*now_ms)(void));
