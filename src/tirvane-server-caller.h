// Who is calling: the record of a call's sender, its Unix user id as the bus
// daemon reports it, and the user names that user ids stand for.
//
// Two kinds of lookups live here and they must not be confused. The bus daemon
// is asked asynchronously on the main loop (tvp_caller_uid_async) or
// synchronously on worker threads (tvp_caller_uid); both fill one cache of
// sender → uid. The user database (NSS: files, but also LDAP or SSSD, which can
// take seconds) is only ever asked from threads other than the main loop: the
// functions that ask it say so, and the main loop gets the answer through
// tvp_user_id_is_callers_async.
#pragma once

#include <gio/gio.h>
#include <string>
#include <sys/types.h>

// ---- The caller of a call ------------------------------------------------------

// Who started an operation, captured before its call is answered.
struct TvpCaller {
    GDBusConnection *connection; // owned reference, may be null
    char *sender;                // owned copy, may be null
    uid_t uid;
    bool uid_known;
};
// Fills `caller` (which must hold nothing) from the call. Asks the bus daemon
// when the sender's uid is not cached: worker threads only.
void tvp_caller_capture(GDBusMethodInvocation *invocation, TvpCaller *caller);
// Drops what `caller` owns; it can be captured again afterwards.
void tvp_caller_clear(TvpCaller *caller);
// g_auto(TvpCaller) caller = {}; clears it at the end of the scope.
G_DEFINE_AUTO_CLEANUP_CLEAR_FUNC(TvpCaller, tvp_caller_clear)

// A TvpCaller that clears itself, for members of C++ objects.
class TvpOwnedCaller
{
  public:
    TvpOwnedCaller() = default;
    ~TvpOwnedCaller()
    {
        tvp_caller_clear(&caller_);
    }
    TvpOwnedCaller(const TvpOwnedCaller &) = delete;
    TvpOwnedCaller &operator=(const TvpOwnedCaller &) = delete;

    // Replaces whatever was captured before; worker threads only.
    void capture(GDBusMethodInvocation *invocation)
    {
        tvp_caller_clear(&caller_);
        tvp_caller_capture(invocation, &caller_);
    }
    const TvpCaller &get() const
    {
        return caller_;
    }

  private:
    TvpCaller caller_{};
};

// Whether the caller runs in a logind session that is not remote; true when
// logind is not on the bus (nothing tells otherwise), false when the caller is
// in no session or cannot be looked up. Waits for the bus: worker threads only.
bool tvp_caller_in_local_session(const TvpCaller &caller);

// ---- The caller's uid ----------------------------------------------------------

// The uid of a call's sender, asked of the bus daemon (cached per sender). Waits
// for the bus daemon: call it from worker threads only; the main loop uses
// tvp_caller_uid_async, which fills the same cache. A peer-to-peer call (no
// sender) is taken as our own uid.
bool tvp_caller_uid(GDBusMethodInvocation *invocation, uid_t *uid);
// The cached uid of the unique bus name `sender`; false when it has not been
// looked up (or has left the cache). Never waits; callable from any thread.
bool tvp_sender_cached_uid(const char *sender, uid_t *uid);
// `done` gets whether the uid is known, and the uid.
using TvpUidDone = void (*)(bool known, uid_t uid, gpointer data);
// Asks the bus daemon for the uid of the call's sender without waiting, and
// caches it; `done` runs later in the calling thread's default main context.
// For a call that has a sender; one without is taken as our own uid by both
// lookups and needs none.
void tvp_caller_uid_async(GDBusMethodInvocation *invocation, TvpUidDone done, gpointer data);

// ---- User names ----------------------------------------------------------------

// The user name of `uid`, or "" when it has none. Waits for NSS: not on the main loop.
std::string tvp_user_name_of(uid_t uid);
// The uid of user `name` (a name, or all decimal digits taken as a uid); false when unknown. Waits for NSS:
// not on the main loop.
bool tvp_user_uid_of(const char *name, uid_t *uid);

// A user id (the first argument of the finger methods) is the caller's own when
// it is the caller's decimal uid or the name of the caller's uid. An all-digit
// id always means a uid: a user named "1001" does not own the entries of uid
// 1001, which a login for that uid would accept.
//
// Decides without the user database when it can: true, with `*own` set, when
// `user_id` is all digits; false when only the name of `uid` can tell.
bool tvp_user_id_is_callers_at_once(const char *user_id, uid_t uid, bool *own);
// The whole rule. Waits for NSS: not on the main loop.
bool tvp_user_id_is_callers(const char *user_id, uid_t uid);
using TvpOwnershipDone = void (*)(bool own, gpointer data);
// The whole rule, decided on a thread of GIO's pool; `done` runs later in the
// calling thread's default main context.
void tvp_user_id_is_callers_async(const char *user_id, uid_t uid, TvpOwnershipDone done, gpointer data);
