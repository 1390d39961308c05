// One gate in front of every method handler: argument sizes and the caller's
// right to act on a user's fingers.
//
// The caller's identity is its connection's Unix user id, asked of the bus
// daemon, never taken from the arguments. Root may call every method and is
// never made to wait for polkit. The device queries (openDevice, releaseDevice,
// getDeviceCount, getDeviceName) are open to every caller and ask no one. For
// every other method a caller other than root needs polkit's yes for the
// method's action (data/nuvex.kal.tirvane.policy):
//   nuvex.kal.tirvane.verify  verify, verifyStop, listfingers (of any user:
//                             login screens run as system users);
//   nuvex.kal.tirvane.enroll  enroll, stopEnroll, renamefingerName,
//                             deleteFingerByName, deleteAllFeatureByUserId for
//                             the caller's own user id, given as its user name
//                             or as its decimal uid;
//   nuvex.kal.tirvane.manage  those for another user's id, and the root-only
//                             methods (resetDevice, setStorageType, the export
//                             and import methods and their stops).
// polkit is asked asynchronously (tirvane-server-polkit.cpp) and answers within
// a bound or the call is refused. When polkit is not on the bus at all, today's
// uid rules decide instead: verification and listing stay open, enrolment,
// renaming and deletion only for the caller's own user id, and the root-only
// methods for root. Either way a caller other than root may stop only an
// operation it started itself. Every method of the interface has a rule; a
// method without one is refused. A refusal is AccessDenied naming the method,
// and the polkit action when polkit refused.
//
// Why a handler that runs first on each handler signal, on the main loop, and
// not the skeleton's "g-authorize-method": that signal must decide at once, so a
// caller whose uid is not yet known would have to be looked up synchronously, and
// a connected "g-authorize-method" makes the skeleton send every call through a
// thread of GIO's pool and back, for every method, before any handler runs. As
// the first handler of the emission the gate answers open methods at no cost,
// can hold a call (report it handled) while the uid is looked up, the user
// database is asked whether a user name is the caller's (on a thread of GIO's
// pool: NSS may be a network directory, and the main loop serves every caller)
// or polkit is asked, and then emits the handler signal again; what the user
// database and polkit said ride on the invocation to that emission.
#include "tirvane-server-auth.h"
#include "common.h"
#include "tirvane-server-bus.h"
#include "tirvane-server-caller.h"
#include "tirvane-server-errors.h"
#include "tirvane-server-polkit.h"
#include "tirvane_common.h"

#include <cstring>
#include <new>
#include <vector>

namespace
{

constexpr size_t kMaxFieldLength = TVP_TEXT_FIELD_SIZE - 1;

// Who may call a method by uid alone: the rule for root, and for every caller
// when polkit is not on the bus.
enum class Access {
    Open,         // every caller
    OwnUser,      // root, or a caller whose own user id is the first argument
    OwnOperation, // root, or the caller that started the running operation (decided by the stop hand-over)
    RootOnly,     // root
};

// One rule per method of the interface: the uid rule that holds without polkit,
// the polkit action for the caller's own user (null: polkit is never asked),
// the action when the first argument names another user (null: any user is
// the same), and the names of its string arguments that land in the list's
// 100-byte fields.
struct MethodRule {
    const char *method;
    Access access;
    const char *action;
    const char *other_user_action;
    const char *text_args[3];
};

const MethodRule kRules[] = {
    {"openDevice", Access::Open, nullptr, nullptr, {}},
    {"releaseDevice", Access::Open, nullptr, nullptr, {}},
    {"enroll", Access::OwnUser, kActionEnroll, kActionManage, {"userId", "fingerName", nullptr}},
    {"stopEnroll", Access::OwnOperation, kActionEnroll, nullptr, {}},
    {"verify", Access::Open, kActionVerify, nullptr, {"userId", nullptr, nullptr}},
    {"verifyStop", Access::OwnOperation, kActionVerify, nullptr, {}},
    {"deleteFingerByName", Access::OwnUser, kActionEnroll, kActionManage, {"userId", "fingerName", nullptr}},
    {"deleteAllFeatureByUserId", Access::OwnUser, kActionEnroll, kActionManage, {"userId", nullptr, nullptr}},
    {"listfingers", Access::Open, kActionVerify, nullptr, {"userId", nullptr, nullptr}},
    {"renamefingerName", Access::OwnUser, kActionEnroll, kActionManage, {"userId", "fingerName", "newName"}},
    {"exportAllDataFromDevice", Access::RootOnly, kActionManage, nullptr, {}},
    {"exportDataStop", Access::RootOnly, kActionManage, nullptr, {}},
    {"getDeviceCount", Access::Open, nullptr, nullptr, {}},
    {"getDeviceName", Access::Open, nullptr, nullptr, {}},
    {"importAllDataToDevice", Access::RootOnly, kActionManage, nullptr, {}},
    {"importDataStop", Access::RootOnly, kActionManage, nullptr, {}},
    {"resetDevice", Access::RootOnly, kActionManage, nullptr, {}},
    {"setStorageType", Access::RootOnly, kActionManage, nullptr, {}},
};

const MethodRule *rule_of(const char *method)
{
    for (const auto &rule : kRules) {
        if (strcmp(rule.method, method) == 0) {
            return &rule;
        }
    }
    return nullptr;
}

// Refuses strings that do not fit the list's 100-byte fields instead of cutting them.
bool check_text_sizes(GDBusMethodInvocation *invocation, const MethodRule &rule)
{
    if (rule.text_args[0] == nullptr) {
        return true;
    }
    GVariant *params = g_dbus_method_invocation_get_parameters(invocation);
    for (size_t i = 0; i < G_N_ELEMENTS(rule.text_args) && rule.text_args[i] != nullptr; ++i) {
        g_autoptr(GVariant) child = g_variant_get_child_value(params, i);
        gsize length = 0;
        g_variant_get_string(child, &length);
        if (length > kMaxFieldLength) {
            tvp_return_error(invocation, TVP_ERROR_INVALID_ARGS,
                             "%s is %zu bytes long; at most %zu bytes are accepted", rule.text_args[i],
                             static_cast<size_t>(length), kMaxFieldLength);
            return false;
        }
    }
    return true;
}

bool deny(GDBusMethodInvocation *invocation, const char *fmt, const char *method)
{
    tvp_deny_call(invocation, fmt, method);
    return false;
}

bool refuse_unidentified(GDBusMethodInvocation *invocation, const char *method)
{
    // Typically a caller that left the bus right after sending.
    TVP_LOG(LOG_LOG_GRADE, "caller %s could not be identified, %s refused.\n",
            g_dbus_method_invocation_get_sender(invocation), method);
    return deny(invocation, "%s: the caller's identity could not be established", method);
}

// Whether the first argument names the caller's own user id, kept on the
// invocation once known; Unknown before it was decided.
enum class Ownership : guintptr { Unknown = 0, Own, Other };

GQuark ownership_quark()
{
    static const GQuark quark = g_quark_from_static_string("tvp-user-id-ownership");
    return quark;
}

Ownership ownership_of(GDBusMethodInvocation *invocation)
{
    return static_cast<Ownership>(
        GPOINTER_TO_SIZE(g_object_get_qdata(G_OBJECT(invocation), ownership_quark())));
}

void set_ownership(GDBusMethodInvocation *invocation, bool own)
{
    const Ownership ownership = own ? Ownership::Own : Ownership::Other;
    g_object_set_qdata(G_OBJECT(invocation), ownership_quark(),
                       GSIZE_TO_POINTER(static_cast<gsize>(ownership)));
}

// Whether the rule depends on whose user id the first argument is.
bool needs_ownership(const MethodRule &rule)
{
    return rule.access == Access::OwnUser || rule.other_user_action != nullptr;
}

const char *first_string(GDBusMethodInvocation *invocation)
{
    const char *first = nullptr;
    // Points into the parameters, which live as long as the invocation.
    g_variant_get_child(g_dbus_method_invocation_get_parameters(invocation), 0, "&s", &first);
    return first;
}

// The rule of `access` for a caller whose uid is known (and, for OwnUser,
// whose ownership of the first argument is known); when it refuses, the call
// has been answered with the error already.
bool access_allowed(GDBusMethodInvocation *invocation, const char *method, Access access, uid_t uid)
{
    if (uid == 0) {
        return true;
    }
    switch (access) {
    case Access::RootOnly:
        return deny(invocation, "%s may only be called by root", method);
    case Access::OwnUser:
        if (ownership_of(invocation) != Ownership::Own) {
            return deny(invocation, "%s: callers other than root may only act on their own user id", method);
        }
        return true;
    case Access::OwnOperation:
        // Whose operation runs is known only under the stop hand-over's lock,
        // where the stop worker asks with the caller's uid (now in the cache).
        return true;
    case Access::Open:
        break;
    }
    return true;
}

// A call held while the bus daemon is asked who sent it, the user database
// whose user id it names, or polkit whether it may; `action` is the polkit
// action asked about.
struct PendingCall {
    GObject *skeleton;
    GDBusMethodInvocation *invocation;
    const char *handler_signal;
    const char *action;
};

// Holds the call: references on its skeleton and invocation until release().
PendingCall *hold_call(GObject *skeleton, GDBusMethodInvocation *invocation, const char *handler_signal,
                       const char *action)
{
    auto *pending = new (std::nothrow) PendingCall{skeleton, invocation, handler_signal, action};
    if (pending != nullptr) {
        g_object_ref(skeleton);
        g_object_ref(invocation);
    }
    return pending;
}

void release(PendingCall *pending)
{
    g_object_unref(pending->invocation);
    g_object_unref(pending->skeleton);
    delete pending;
}

// What polkit said of a held call, kept on its invocation for the emission
// that follows; none before polkit was asked.
enum class Ruling : guintptr { None = 0, Authorised, UidRules };

GQuark ruling_quark()
{
    static const GQuark quark = g_quark_from_static_string("tvp-polkit-ruling");
    return quark;
}

Ruling ruling_of(GDBusMethodInvocation *invocation)
{
    return static_cast<Ruling>(GPOINTER_TO_SIZE(g_object_get_qdata(G_OBJECT(invocation), ruling_quark())));
}

void set_ruling(GDBusMethodInvocation *invocation, Ruling ruling)
{
    g_object_set_qdata(G_OBJECT(invocation), ruling_quark(), GSIZE_TO_POINTER(static_cast<gsize>(ruling)));
}

// Emits the handler signal again for a held call: the gate now finds the uid
// in the cache (and polkit's ruling on the invocation) and lets the call
// through to its handler, or refuses it.
void redispatch(const PendingCall &pending)
{
    GVariant *params = g_dbus_method_invocation_get_parameters(pending.invocation);
    const gsize n_args = g_variant_n_children(params);
    std::vector<GValue> values(2 + n_args);
    for (GValue &value : values) {
        value = G_VALUE_INIT;
    }
    g_value_init(&values[0], G_TYPE_FROM_INSTANCE(pending.skeleton));
    g_value_set_object(&values[0], pending.skeleton);
    g_value_init(&values[1], G_TYPE_DBUS_METHOD_INVOCATION);
    g_value_set_object(&values[1], pending.invocation);
    for (gsize i = 0; i < n_args; ++i) {
        g_autoptr(GVariant) child = g_variant_get_child_value(params, i);
        g_dbus_gvariant_to_gvalue(child, &values[2 + i]);
    }
    GValue handled = G_VALUE_INIT;
    g_value_init(&handled, G_TYPE_BOOLEAN);
    const guint signal_id = g_signal_lookup(pending.handler_signal, G_TYPE_FROM_INSTANCE(pending.skeleton));
    if (signal_id != 0) {
        g_signal_emitv(values.data(), signal_id, 0, &handled);
    }
    if (signal_id == 0 || !g_value_get_boolean(&handled)) {
        tvp_return_error(pending.invocation, TVP_ERROR_UNKNOWN_METHOD, "%s was not handled",
                         g_dbus_method_invocation_get_method_name(pending.invocation));
    }
    g_value_unset(&handled);
    for (GValue &value : values) {
        if (G_IS_VALUE(&value)) {
            g_value_unset(&value);
        }
    }
}

void on_uid_known(bool known, uid_t uid, gpointer data)
{
    (void)uid; // in the cache now, where the gate finds it
    auto *pending = static_cast<PendingCall *>(data);
    if (known) {
        redispatch(*pending);
    } else {
        refuse_unidentified(pending->invocation,
                            g_dbus_method_invocation_get_method_name(pending->invocation));
    }
    release(pending);
}

// Asks the bus daemon for the caller's uid without waiting; the call is held
// until the answer comes.
void look_up_uid_then_dispatch(GObject *skeleton, GDBusMethodInvocation *invocation,
                               const char *handler_signal)
{
    PendingCall *pending = hold_call(skeleton, invocation, handler_signal, nullptr);
    if (pending == nullptr) {
        refuse_unidentified(invocation, g_dbus_method_invocation_get_method_name(invocation));
        return;
    }
    tvp_caller_uid_async(invocation, on_uid_known, pending);
}

void on_ownership_known(bool own, gpointer data)
{
    auto *pending = static_cast<PendingCall *>(data);
    set_ownership(pending->invocation, own);
    redispatch(*pending);
    release(pending);
}

// Asks the user database, on a thread of GIO's pool, whether the first
// argument names the caller; the call is held until the answer comes. The
// database may be a network directory: the main loop never waits for it.
// False when the call could not be held.
bool look_up_ownership_then_dispatch(GObject *skeleton, GDBusMethodInvocation *invocation,
                                     const char *handler_signal, uid_t uid)
{
    PendingCall *pending = hold_call(skeleton, invocation, handler_signal, nullptr);
    if (pending == nullptr) {
        return false;
    }
    tvp_user_id_is_callers_async(first_string(invocation), uid, on_ownership_known, pending);
    return true;
}

// polkit's refusal of `action`; `reason` (may be empty) says why when polkit
// did not say no itself.
void deny_action(GDBusMethodInvocation *invocation, const char *action, const char *reason)
{
    tvp_return_error(invocation, TVP_ERROR_ACCESS_DENIED, "%s: not authorised for %s%s",
                     g_dbus_method_invocation_get_method_name(invocation), action, reason);
}

void on_polkit_verdict(PolkitVerdict verdict, gpointer data)
{
    auto *pending = static_cast<PendingCall *>(data);
    switch (verdict) {
    case PolkitVerdict::Authorised:
        set_ruling(pending->invocation, Ruling::Authorised);
        redispatch(*pending);
        break;
    case PolkitVerdict::Absent:
        set_ruling(pending->invocation, Ruling::UidRules);
        redispatch(*pending);
        break;
    case PolkitVerdict::NotAuthorised:
        deny_action(pending->invocation, pending->action, "");
        break;
    case PolkitVerdict::NoAnswer:
        deny_action(pending->invocation, pending->action, " (polkit did not answer in time)");
        break;
    case PolkitVerdict::Failed:
        deny_action(pending->invocation, pending->action, " (polkit could not be asked)");
        break;
    }
    release(pending);
}

// Asks polkit about `action` without waiting; the call is held until polkit
// decides or the bound passes.
void ask_polkit_then_dispatch(GObject *skeleton, GDBusMethodInvocation *invocation,
                              const char *handler_signal, const char *action)
{
    PendingCall *pending = hold_call(skeleton, invocation, handler_signal, action);
    if (pending == nullptr) {
        deny_action(invocation, action, " (out of memory)");
        return;
    }
    tvp_polkit_check(g_dbus_method_invocation_get_connection(invocation),
                     g_dbus_method_invocation_get_sender(invocation), action, on_polkit_verdict, pending);
}

// The polkit action the call needs: the rule's own, or the one for acting on
// another user when the first argument names someone other than the caller.
const char *action_for(GDBusMethodInvocation *invocation, const MethodRule &rule)
{
    if (rule.other_user_action == nullptr) {
        return rule.action;
    }
    return ownership_of(invocation) == Ownership::Own ? rule.action : rule.other_user_action;
}

enum class Gate { Allowed, Answered };

// Whether the call may go on to its handler now. Answered: refused (with its
// error sent), or held for the asynchronous uid lookup, user lookup or polkit
// check.
Gate gate_call(GObject *skeleton, GDBusMethodInvocation *invocation, const char *handler_signal)
{
    const char *method = g_dbus_method_invocation_get_method_name(invocation);
    const MethodRule *rule = rule_of(method);
    if (rule == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "%s has no access rule, refused.\n", method);
        deny(invocation, "%s is not open to any caller", method);
        return Gate::Answered;
    }
    if (!check_text_sizes(invocation, *rule)) {
        return Gate::Answered;
    }
    if (rule->action == nullptr) {
        return Gate::Allowed;
    }
    const char *sender = g_dbus_method_invocation_get_sender(invocation);
    uid_t uid = 0;
    if (sender == nullptr) {
        uid = getuid();
    } else if (!tvp_sender_cached_uid(sender, &uid)) {
        look_up_uid_then_dispatch(skeleton, invocation, handler_signal);
        return Gate::Answered;
    }
    if (uid == 0) {
        return Gate::Allowed;
    }
    // A peer-to-peer connection has no bus name to show polkit.
    const Ruling ruling = sender == nullptr ? Ruling::UidRules : ruling_of(invocation);
    if (ruling == Ruling::Authorised) {
        // The stop methods still meet the uid check of the stop hand-over.
        return Gate::Allowed;
    }
    // Both the uid rules and the choice of polkit action need to know whose
    // user id the call names; a user name takes the user database to tell.
    if (needs_ownership(*rule) && ownership_of(invocation) == Ownership::Unknown) {
        bool own = false;
        if (!tvp_user_id_is_callers_at_once(first_string(invocation), uid, &own)) {
            if (look_up_ownership_then_dispatch(skeleton, invocation, handler_signal, uid)) {
                return Gate::Answered;
            }
            // Without room to hold the call the id counts as another user's,
            // as it does when the lookup fails.
        }
        set_ownership(invocation, own);
    }
    if (ruling == Ruling::UidRules) {
        return access_allowed(invocation, method, rule->access, uid) ? Gate::Allowed : Gate::Answered;
    }
    ask_polkit_then_dispatch(skeleton, invocation, handler_signal, action_for(invocation, *rule));
    return Gate::Answered;
}

} // namespace

// Runs first on every handler signal: a refused call ends the emission as
// handled (true), an allowed one lets the method's own handler run (false).
static void gate_marshal(GClosure *closure, GValue *return_value, guint n_param_values,
                         const GValue *param_values, gpointer invocation_hint, gpointer marshal_data)
{
    (void)invocation_hint;
    (void)marshal_data;
    gboolean handled = FALSE;
    if (n_param_values >= 2) {
        auto *skeleton = G_OBJECT(g_value_get_object(&param_values[0]));
        auto *invocation = G_DBUS_METHOD_INVOCATION(g_value_get_object(&param_values[1]));
        const auto *handler_signal = static_cast<const char *>(closure->data);
        handled = gate_call(skeleton, invocation, handler_signal) == Gate::Allowed ? FALSE : TRUE;
    }
    if (return_value != nullptr) {
        g_value_set_boolean(return_value, handled);
    }
}

void tvp_connect_method_gate(gpointer skeleton, const char *handler_signal)
{
    // The signal name (a static string) lets a held call be dispatched again.
    GClosure *gate = g_closure_new_simple(sizeof(GClosure), const_cast<char *>(handler_signal));
    g_closure_set_marshal(gate, gate_marshal);
    g_signal_connect_closure(skeleton, handler_signal, gate, FALSE);
}

bool tvp_method_has_rule(const char *method)
{
    return rule_of(method) != nullptr;
}

bool tvp_method_open_to_all(const char *method)
{
    const MethodRule *rule = rule_of(method);
    return rule != nullptr && rule->access == Access::Open && rule->action == nullptr;
}

bool tvp_call_passes_gate_at_once(const char *method, const char *sender)
{
    if (!tvp_method_has_rule(method)) {
        return false;
    }
    if (tvp_method_open_to_all(method)) {
        return true;
    }
    uid_t uid = 0;
    return sender != nullptr && tvp_sender_cached_uid(sender, &uid) && uid == 0;
}

const char *tvp_method_polkit_action(const char *method, bool other_user)
{
    const MethodRule *rule = rule_of(method);
    if (rule == nullptr) {
        return nullptr;
    }
    return other_user && rule->other_user_action != nullptr ? rule->other_user_action : rule->action;
}

void tvp_deny_call(GDBusMethodInvocation *invocation, const char *fmt, const char *method)
{
    tvp_return_error(invocation, TVP_ERROR_ACCESS_DENIED, fmt, method);
}
