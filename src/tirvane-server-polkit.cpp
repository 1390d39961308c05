// The gate's polkit client. Each check is one CheckAuthorization call on the
// system bus with the caller's unique bus name as subject and interaction
// allowed, bounded by kPolkitAnswerBoundMs: GDBus ends the call with a time-out
// at the bound and drops a reply that comes later, so a late answer reaches no
// one; polkit is then told to cancel the check (a prompt still on screen goes
// away). When polkit is neither on the bus nor activatable the bus daemon says
// so at once, and the gate decides by uid; the log says when that starts and
// ends.
#include "tirvane-server-polkit.h"

#include "common.h"

#include <atomic>
#include <cinttypes>
#include <new>

namespace
{

constexpr const char *kPolkitName = "org.freedesktop.PolicyKit1";
constexpr const char *kAuthorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char *kAuthorityInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr guint32 kAllowUserInteraction = 1;

enum class PolkitState { Unknown, Present, Absent };

// Whether the last check reached polkit; only for the log's changes of state.
std::atomic<PolkitState> polkit_state{PolkitState::Unknown};
// Cancellation ids are unique per check of this process.
std::atomic<std::uint64_t> checks_started{0};

void note_state(PolkitState now)
{
    if (polkit_state.exchange(now) == now) {
        return;
    }
    if (now == PolkitState::Absent) {
        TVP_LOG(LOG_LOG_GRADE, "polkit is not on the bus, callers are authorised by their uid\n");
    } else {
        TVP_LOG(LOG_LOG_GRADE, "polkit answers, callers are authorised by polkit\n");
    }
}

// One check in flight; owns its references and its cancellation id.
struct Check {
    GDBusConnection *connection = nullptr;
    gchar *cancellation_id = nullptr;
    gchar *action_id = nullptr;
    PolkitDone done = nullptr;
    gpointer data = nullptr;

    Check() = default;
    Check(const Check &) = delete;
    Check &operator=(const Check &) = delete;
    ~Check()
    {
        g_clear_object(&connection);
        g_free(cancellation_id);
        g_free(action_id);
    }
};

// Tells polkit to give up a check we no longer wait for; no reply is wanted,
// so an error (an older polkit, one that went away) goes unnoticed.
void cancel_check(const Check &check)
{
    g_dbus_connection_call(check.connection, kPolkitName, kAuthorityPath, kAuthorityInterface,
                           "CancelCheckAuthorization", g_variant_new("(s)", check.cancellation_id), nullptr,
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
}

PolkitVerdict verdict_of(const Check &check, GVariant *reply, const GError *error)
{
    if (reply != nullptr) {
        note_state(PolkitState::Present);
        gboolean authorised = FALSE;
        gboolean challenge = FALSE;
        g_variant_get(reply, "((bb@a{ss}))", &authorised, &challenge, nullptr);
        if (!authorised && challenge) {
            TVP_LOG(DBG_LOG_GRADE, "polkit wants a challenge for %s that no agent made.\n", check.action_id);
        }
        return authorised ? PolkitVerdict::Authorised : PolkitVerdict::NotAuthorised;
    }
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)) {
        note_state(PolkitState::Absent);
        return PolkitVerdict::Absent;
    }
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
        TVP_LOG(ERR_LOG_GRADE, "polkit did not decide on %s within %d ms, check %s cancelled.\n",
                check.action_id, kPolkitAnswerBoundMs, check.cancellation_id);
        cancel_check(check);
        return PolkitVerdict::NoAnswer;
    }
    TVP_LOG(ERR_LOG_GRADE, "polkit check of %s failed: %s\n", check.action_id, error->message);
    return PolkitVerdict::Failed;
}

void on_check_reply(GObject *source, GAsyncResult *result, gpointer data)
{
    auto *check = static_cast<Check *>(data);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    const PolkitVerdict verdict = verdict_of(*check, reply, error);
    check->done(verdict, check->data);
    delete check;
}

} // namespace

void tvp_polkit_check(GDBusConnection *connection, const char *sender, const char *action_id, PolkitDone done,
                      gpointer data)
{
    auto *check = new (std::nothrow) Check;
    if (check == nullptr) {
        done(PolkitVerdict::Failed, data);
        return;
    }
    check->connection = G_DBUS_CONNECTION(g_object_ref(connection));
    check->cancellation_id = g_strdup_printf("tirvane-%" PRIu64, ++checks_started);
    check->action_id = g_strdup(action_id);
    check->done = done;
    check->data = data;
    GVariantBuilder subject;
    g_variant_builder_init(&subject, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&subject, "{sv}", "name", g_variant_new_string(sender));
    GVariantBuilder details;
    g_variant_builder_init(&details, G_VARIANT_TYPE("a{ss}"));
    g_dbus_connection_call(connection, kPolkitName, kAuthorityPath, kAuthorityInterface, "CheckAuthorization",
                           g_variant_new("((sa{sv})sa{ss}us)", "system-bus-name", &subject, action_id,
                                         &details, kAllowUserInteraction, check->cancellation_id),
                           G_VARIANT_TYPE("((bba{ss}))"), G_DBUS_CALL_FLAGS_NONE, kPolkitAnswerBoundMs,
                           nullptr, on_check_reply, check);
}
