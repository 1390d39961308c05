// The gate's polkit client: one asynchronous CheckAuthorization per held call.
#pragma once

#include <gio/gio.h>

// The three actions of data/nuvex.kal.tirvane.policy.
inline constexpr const char *kActionVerify = "nuvex.kal.tirvane.verify";
inline constexpr const char *kActionEnroll = "nuvex.kal.tirvane.enroll";
inline constexpr const char *kActionManage = "nuvex.kal.tirvane.manage";

// How long polkit may take to decide, password prompt included. Under the 25 s
// default time-out of a D-Bus call, so that the caller receives an explicit
// denial rather than NoReply, and long enough for a person to type a password.
inline constexpr int kPolkitAnswerBoundMs = 20 * 1000;

enum class PolkitVerdict {
    Authorised,    // polkit says yes
    NotAuthorised, // polkit says no, or wants a challenge no agent could make
    NoAnswer,      // no answer within kPolkitAnswerBoundMs; the check has been cancelled
    Failed,        // any other error of the call
    Absent,        // polkit is not on the bus and cannot be started: the uid rules decide
};

using PolkitDone = void (*)(PolkitVerdict verdict, gpointer data);

// Asks polkit, without waiting, whether the bus name `sender` may perform
// `action_id`, allowing a password prompt. `done` runs exactly once, in the
// calling thread's default main context; an answer that comes after the bound
// is dropped.
void tvp_polkit_check(GDBusConnection *connection, const char *sender, const char *action_id, PolkitDone done,
                      gpointer data);
