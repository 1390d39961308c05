// The caller's identity: its record, its uid and the user names behind uids.
#include "tirvane-server-caller.h"

#include "common.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pwd.h>
#include <unistd.h>
#include <unordered_map>

namespace
{

constexpr size_t kUidCacheLimit = 1024;

// Unique bus names are never reused, so a sender's uid can be cached.
std::mutex uid_cache_mutex;
std::unordered_map<std::string, uid_t> uid_cache;

void cache_uid(const char *sender, uid_t uid)
{
    std::lock_guard<std::mutex> lock(uid_cache_mutex);
    if (uid_cache.size() >= kUidCacheLimit) {
        uid_cache.clear();
    }
    uid_cache.emplace(sender, uid);
}

GVariant *uid_request(const char *sender)
{
    return g_variant_new("(s)", sender);
}

struct UidAsk {
    char *sender;
    TvpUidDone done;
    gpointer data;
};

void on_uid_reply(GObject *source, GAsyncResult *result, gpointer data)
{
    auto *ask = static_cast<UidAsk *>(data);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    guint32 value = 0;
    if (reply == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "Error[%d]: %s\n", error->code, error->message);
    } else {
        g_variant_get(reply, "(u)", &value);
        cache_uid(ask->sender, value);
    }
    ask->done(reply != nullptr, value, ask->data);
    g_free(ask->sender);
    g_free(ask);
}

// ---- The user database ---------------------------------------------------------

// Room for one passwd entry: the system's hint, grown when an entry (long
// gecos fields, many groups in LDAP) does not fit.
constexpr size_t kPasswdBufferLimit = 1 << 20;

size_t passwd_buffer_hint()
{
    const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    return hint > 0 ? static_cast<size_t>(hint) : 4096;
}

// Runs `lookup` (a getpw*_r call) with a buffer large enough; `on_found` gets
// the entry. False when there is no entry or the database failed.
template <typename Lookup, typename Found> bool with_passwd(Lookup lookup, Found on_found)
{
    for (size_t size = passwd_buffer_hint(); size <= kPasswdBufferLimit; size *= 2) {
        g_autofree char *buf = static_cast<char *>(g_malloc(size));
        struct passwd pwd {
        };
        struct passwd *result = nullptr;
        const int err = lookup(&pwd, buf, size, &result);
        if (err == ERANGE) {
            continue;
        }
        if (err != 0 || result == nullptr) {
            return false;
        }
        on_found(*result);
        return true;
    }
    return false;
}

bool all_digits(const char *text)
{
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
    }
    return true;
}

// Whether the passwd name of `uid` is `name`; no entry is no match. Allocates
// with GLib only, so it throws nothing on the pool's threads.
bool uid_has_name(uid_t uid, const char *name)
{
    bool same = false;
    with_passwd([uid](passwd *pwd, char *buf, size_t size,
                      passwd **result) { return getpwuid_r(uid, pwd, buf, size, result); },
                [&](const passwd &entry) { same = strcmp(entry.pw_name, name) == 0; });
    return same;
}

struct OwnershipAsk {
    char *user_id;
    uid_t uid;
    TvpOwnershipDone done;
    gpointer data;
};

// Guards every ask between the main loop and GIO's pool: what the main loop
// wrote is handed over through this lock of ours, which the thread checker
// sees, whatever GTask does inside GLib.
std::mutex ownership_mutex;

void free_ownership_ask(gpointer data)
{
    std::lock_guard<std::mutex> lock(ownership_mutex);
    auto *ask = static_cast<OwnershipAsk *>(data);
    g_free(ask->user_id);
    g_free(ask);
}

void decide_ownership(GTask *task, gpointer source, gpointer task_data, GCancellable *cancellable)
{
    (void)source;
    (void)cancellable;
    g_autofree char *user_id = nullptr;
    uid_t uid = 0;
    {
        std::lock_guard<std::mutex> lock(ownership_mutex);
        const auto *ask = static_cast<const OwnershipAsk *>(task_data);
        user_id = g_strdup(ask->user_id);
        uid = ask->uid;
    }
    g_task_return_boolean(task, tvp_user_id_is_callers(user_id, uid));
}

void on_ownership_decided(GObject *source, GAsyncResult *result, gpointer data)
{
    (void)source;
    (void)data;
    GTask *task = G_TASK(result);
    TvpOwnershipDone done = nullptr;
    gpointer done_data = nullptr;
    {
        std::lock_guard<std::mutex> lock(ownership_mutex);
        const auto *ask = static_cast<const OwnershipAsk *>(g_task_get_task_data(task));
        done = ask->done;
        done_data = ask->data;
    }
    const bool own = g_task_propagate_boolean(task, nullptr) != FALSE;
    done(own, done_data);
}

} // namespace

// ---- The caller of a call ------------------------------------------------------

void tvp_caller_capture(GDBusMethodInvocation *invocation, TvpCaller *caller)
{
    GDBusConnection *connection = g_dbus_method_invocation_get_connection(invocation);
    const char *sender = g_dbus_method_invocation_get_sender(invocation);
    caller->connection = connection != nullptr ? G_DBUS_CONNECTION(g_object_ref(connection)) : nullptr;
    caller->sender = g_strdup(sender);
    caller->uid = 0;
    caller->uid_known = tvp_caller_uid(invocation, &caller->uid);
}

void tvp_caller_clear(TvpCaller *caller)
{
    g_clear_object(&caller->connection);
    g_clear_pointer(&caller->sender, g_free);
    caller->uid = 0;
    caller->uid_known = false;
}

bool tvp_caller_in_local_session(const TvpCaller &caller)
{
    constexpr int kLookupMs = 2000;
    if (caller.connection == nullptr || caller.sender == nullptr) {
        return false;
    }
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) pid_reply = g_dbus_connection_call_sync(
        caller.connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetConnectionUnixProcessID", g_variant_new("(s)", caller.sender), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, kLookupMs, nullptr, &error);
    if (pid_reply == nullptr) {
        return false;
    }
    guint32 pid = 0;
    g_variant_get(pid_reply, "(u)", &pid);
    g_autoptr(GVariant) session_reply = g_dbus_connection_call_sync(
        caller.connection, "org.freedesktop.login1", "/org/freedesktop/login1",
        "org.freedesktop.login1.Manager", "GetSessionByPID", g_variant_new("(u)", pid), G_VARIANT_TYPE("(o)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, kLookupMs, nullptr, &error);
    if (session_reply == nullptr) {
        return g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
               g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
    }
    const char *path = nullptr;
    g_variant_get(session_reply, "(&o)", &path);
    g_autoptr(GVariant) remote_reply = g_dbus_connection_call_sync(
        caller.connection, "org.freedesktop.login1", path, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.freedesktop.login1.Session", "Remote"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, kLookupMs, nullptr, &error);
    if (remote_reply == nullptr) {
        return false;
    }
    g_autoptr(GVariant) value = nullptr;
    g_variant_get(remote_reply, "(v)", &value);
    return g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && !g_variant_get_boolean(value);
}

// ---- The caller's uid ----------------------------------------------------------

bool tvp_sender_cached_uid(const char *sender, uid_t *uid)
{
    std::lock_guard<std::mutex> lock(uid_cache_mutex);
    auto it = uid_cache.find(sender);
    if (it == uid_cache.end()) {
        return false;
    }
    *uid = it->second;
    return true;
}

bool tvp_caller_uid(GDBusMethodInvocation *invocation, uid_t *uid)
{
    const char *sender = g_dbus_method_invocation_get_sender(invocation);
    if (sender == nullptr) {
        // A peer-to-peer connection has no bus daemon to ask; trust our own uid.
        *uid = getuid();
        return true;
    }
    if (tvp_sender_cached_uid(sender, uid)) {
        return true;
    }
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        g_dbus_method_invocation_get_connection(invocation), "org.freedesktop.DBus", "/org/freedesktop/DBus",
        "org.freedesktop.DBus", "GetConnectionUnixUser", uid_request(sender), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    if (reply == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "Error[%d]: %s\n", error->code, error->message);
        return false;
    }
    guint32 value = 0;
    g_variant_get(reply, "(u)", &value);
    *uid = value;
    cache_uid(sender, value);
    return true;
}

void tvp_caller_uid_async(GDBusMethodInvocation *invocation, TvpUidDone done, gpointer data)
{
    const char *sender = g_dbus_method_invocation_get_sender(invocation);
    auto *ask = g_new0(UidAsk, 1);
    ask->sender = g_strdup(sender);
    ask->done = done;
    ask->data = data;
    g_dbus_connection_call(g_dbus_method_invocation_get_connection(invocation), "org.freedesktop.DBus",
                           "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixUser",
                           uid_request(sender), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                           on_uid_reply, ask);
}

// ---- User names ----------------------------------------------------------------

std::string tvp_user_name_of(uid_t uid)
{
    std::string name;
    with_passwd([uid](passwd *pwd, char *buf, size_t size,
                      passwd **result) { return getpwuid_r(uid, pwd, buf, size, result); },
                [&](const passwd &entry) { name = entry.pw_name; });
    return name;
}

bool tvp_user_uid_of(const char *name, uid_t *uid)
{
    if (name == nullptr || *name == '\0') {
        return false;
    }
    if (all_digits(name)) {
        errno = 0;
        const unsigned long long value = strtoull(name, nullptr, 10);
        // (uid_t)-1 is no uid: it means "unchanged" to the set*id calls.
        if (errno != 0 || value >= static_cast<unsigned long long>(static_cast<uid_t>(-1))) {
            return false;
        }
        *uid = static_cast<uid_t>(value);
        return true;
    }
    return with_passwd([name](passwd *pwd, char *buf, size_t size,
                              passwd **result) { return getpwnam_r(name, pwd, buf, size, result); },
                       [&](const passwd &entry) { *uid = entry.pw_uid; });
}

bool tvp_user_id_is_callers_at_once(const char *user_id, uid_t uid, bool *own)
{
    if (!all_digits(user_id)) {
        return false;
    }
    char decimal[sizeof(uid_t) * 3 + 1];
    g_snprintf(decimal, sizeof(decimal), "%lu", static_cast<unsigned long>(uid));
    *own = strcmp(decimal, user_id) == 0;
    return true;
}

bool tvp_user_id_is_callers(const char *user_id, uid_t uid)
{
    bool own = false;
    if (tvp_user_id_is_callers_at_once(user_id, uid, &own)) {
        return own;
    }
    return uid_has_name(uid, user_id);
}

void tvp_user_id_is_callers_async(const char *user_id, uid_t uid, TvpOwnershipDone done, gpointer data)
{
    OwnershipAsk *ask = nullptr;
    {
        std::lock_guard<std::mutex> lock(ownership_mutex);
        ask = g_new0(OwnershipAsk, 1);
        ask->user_id = g_strdup(user_id);
        ask->uid = uid;
        ask->done = done;
        ask->data = data;
    }
    g_autoptr(GTask) task = g_task_new(nullptr, nullptr, on_ownership_decided, nullptr);
    g_task_set_task_data(task, ask, free_ownership_ask);
    g_task_run_in_thread(task, decide_ownership);
}
