// The Device object of the desktop's fingerprint interface.
//
// Every call but the property reads runs on a worker thread of its own: it
// looks up the caller's uid and user names (NSS may wait), may wait for polkit,
// and verification and enrolment hold the device through the core's operation
// layer, exactly as our own interface's workers do. So an operation started
// here makes our own interface answer busy, and the reverse: a VerifyStart or
// EnrollStart that finds the device held answers AlreadyInUse.
//
// The claim is this interface's own: one connection at a time, for one user,
// released by Release, by the claimer leaving the bus, or by the module
// leaving. Statuses go to the claiming connection only.
#include "fprint-device.h"

#include "common.h"
#include "fprint-auth.h"
#include "fprint-main-loop.h"
#include "fprint-names.h"
#include "tirvane-server-caller.h"
#include "tirvane-server-enroll.h"
#include "tirvane-server-errors.h"
#include "tirvane-server-manage.h"
#include "tirvane-server-operation.h"
#include "tirvane-server-verify.h"
#include "tirvane_common-presence.h"
#include "tirvane_common.h"
#include "upgrade.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace
{

FprintDevice *device_skeleton = nullptr;

// ---- The claim -------------------------------------------------------------------

enum class Op { None, Verify, Enroll };

struct ClaimState {
    std::string sender; // the claiming connection's unique name; empty: unclaimed
    uid_t caller_uid = 0;
    fprint::UserIds user;
    Op op = Op::None;     // started and not yet stopped by the client
    bool running = false; // the core still runs it
};

std::mutex claim_mutex;
ClaimState claim;

// A copy of the claim if `sender` holds it.
bool claim_of(const char *sender, ClaimState *out)
{
    std::lock_guard<std::mutex> lock(claim_mutex);
    if (sender == nullptr || claim.sender.empty() || claim.sender != sender) {
        return false;
    }
    *out = claim;
    return true;
}

// Ends the claim if `sender` still holds it; true when it did.
bool clear_claim_of(const std::string &sender)
{
    std::lock_guard<std::mutex> lock(claim_mutex);
    if (claim.sender.empty() || claim.sender != sender) {
        return false;
    }
    claim = ClaimState{};
    return true;
}

// ---- Properties, set on the main loop where the skeleton lives --------------------

void set_enroll_stages(int stages)
{
    fprint_on_main_loop([stages] {
        if (device_skeleton != nullptr) {
            fprint_device_set_num_enroll_stages(device_skeleton, stages);
        }
    });
}

void set_finger_needed(bool needed)
{
    fprint_on_main_loop([needed] {
        if (device_skeleton != nullptr) {
            fprint_device_set_finger_needed(device_skeleton, needed ? TRUE : FALSE);
        }
    });
}

// ---- Calls -----------------------------------------------------------------------

// One call on its worker: answered exactly once, with an internal error when
// no path answered it.
class Call
{
  public:
    Call(GDBusMethodInvocation *invocation, std::string argument)
        : invocation_(invocation), sender_(g_dbus_method_invocation_get_sender(invocation) != nullptr
                                               ? g_dbus_method_invocation_get_sender(invocation)
                                               : ""),
          argument_(std::move(argument))
    {
    }
    ~Call()
    {
        if (invocation_ != nullptr) {
            fprint_return_error(invocation_, FPRINT_ERROR_INTERNAL, "the call was not answered");
        }
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    GDBusMethodInvocation *invocation() const
    {
        return invocation_;
    }
    // Also once the call has been answered.
    const char *sender() const
    {
        return sender_.c_str();
    }
    const std::string &argument() const
    {
        return argument_;
    }
    void reply()
    {
        g_dbus_method_invocation_return_value(take(), nullptr);
    }
    void reply(GVariant *value)
    {
        g_dbus_method_invocation_return_value(take(), value);
    }
    void fail(FprintError code, const char *message)
    {
        fprint_return_error(take(), code, "%s", message);
    }
    // The call has been answered elsewhere (a refusal of the authorisation).
    void answered()
    {
        invocation_ = nullptr;
    }
    // Who made the call, captured on first use, which must come before the
    // call is answered; asks the bus daemon, so workers only.
    const TvpCaller &caller()
    {
        if (!caller_captured_) {
            caller_.capture(invocation_);
            caller_captured_ = true;
        }
        return caller_.get();
    }
    // The caller's uid; false (answered) when the bus daemon cannot say.
    bool caller_uid(uid_t *uid)
    {
        if (tvp_caller_uid(invocation_, uid)) {
            return true;
        }
        fail(FPRINT_ERROR_PERMISSION_DENIED, "the caller's identity could not be established");
        return false;
    }
    bool authorise(uid_t uid, FprintRight right)
    {
        if (fprint_authorise(invocation_, uid, right)) {
            return true;
        }
        answered();
        return false;
    }

  private:
    GDBusMethodInvocation *take()
    {
        GDBusMethodInvocation *invocation = invocation_;
        invocation_ = nullptr;
        return invocation;
    }

    GDBusMethodInvocation *invocation_;
    std::string sender_;
    std::string argument_;
    TvpOwnedCaller caller_;
    bool caller_captured_ = false;
};

using CallBody = void (*)(Call &call);

struct Job {
    CallBody body;
    Call call;
};

void *run_job(void *data)
{
    std::unique_ptr<Job> job(static_cast<Job *>(data));
    job->body(job->call);
    return nullptr;
}

gboolean start_job(GDBusMethodInvocation *invocation, CallBody body, const char *argument = "")
{
    TVP_LOG(DBG_LOG_GRADE, "%s from %s.\n", g_dbus_method_invocation_get_method_name(invocation),
            g_dbus_method_invocation_get_sender(invocation));
    auto *job = new (std::nothrow) Job{body, Call(invocation, argument)};
    if (job == nullptr) {
        fprint_return_error(invocation, FPRINT_ERROR_INTERNAL, "out of memory");
    } else if (!tvp_start_thread(run_job, job)) {
        delete job; // answers the call
    }
    return TRUE;
}

// ---- Users -----------------------------------------------------------------------

fprint::UserLookup nss_lookup()
{
    fprint::UserLookup lookup;
    lookup.name_of = tvp_user_name_of;
    lookup.uid_of = [](const std::string &name, uid_t *uid) { return tvp_user_uid_of(name.c_str(), uid); };
    return lookup;
}

// The user a username argument names, or false (answered).
bool resolve(Call &call, const std::string &username, uid_t caller_uid, fprint::UserIds *user)
{
    if (username.size() >= TVP_TEXT_FIELD_SIZE ||
        !fprint::resolve_user(username, caller_uid, nss_lookup(), user)) {
        call.fail(FPRINT_ERROR_INTERNAL, "no such user");
        return false;
    }
    return true;
}

std::vector<std::string> fingers_of(const fprint::UserIds &user)
{
    std::vector<std::string> by_store = tvp_finger_names_of(dev_tirvane, user.store_id().c_str());
    std::vector<std::string> by_other;
    if (!user.other_id().empty()) {
        by_other = tvp_finger_names_of(dev_tirvane, user.other_id().c_str());
    }
    return fprint::merge_finger_lists(by_store, by_other);
}

FprintRight right_for_fingers(const fprint::UserIds &user, uid_t caller_uid)
{
    return fprint::is_callers_own(user, caller_uid) ? FprintRight::Enroll : FprintRight::Manage;
}

// ---- Statuses to the claimer --------------------------------------------------------

void emit_to(const TvpCaller &to, const char *signal, GVariant *parameters)
{
    g_autoptr(GVariant) sunk = g_variant_ref_sink(parameters);
    if (to.connection == nullptr || to.sender == nullptr) {
        return;
    }
    g_autoptr(GError) error = nullptr;
    if (!g_dbus_connection_emit_signal(to.connection, to.sender, kFprintDevicePath, kFprintDeviceInterface,
                                       signal, sunk, &error)) {
        TVP_LOG(ERR_LOG_GRADE, "Error[%d]: %s\n", error->code, error->message);
    }
}

// Says a status once the operation is done and nothing after it. When the
// interface ends the operation where the core would go on, the core is asked
// to stop, but only while this operation holds the device.
class StatusToClaimer
{
  public:
    StatusToClaimer(const TvpCaller &to, const char *signal) : to_(to), signal_(signal) {}

    void say(const fprint::Status &status)
    {
        if (done_ || status.result.empty()) {
            return;
        }
        TVP_LOG(DBG_LOG_GRADE, "%s %s%s\n", signal_, status.result.c_str(), status.done ? " (done)" : "");
        emit_to(to_, signal_, g_variant_new("(sb)", status.result.c_str(), status.done ? TRUE : FALSE));
        if (status.done) {
            done_ = true;
            if (status.stop_core && on_hold_) {
                tvp_request_stop(dev_tirvane, nullptr);
            }
        }
    }
    void set_on_hold(bool on)
    {
        on_hold_ = on;
    }
    bool done() const
    {
        return done_;
    }

  private:
    const TvpCaller &to_;
    const char *signal_;
    bool done_ = false;
    bool on_hold_ = false;
};

class VerifyToClaimer : public VerifySink
{
  public:
    explicit VerifyToClaimer(const TvpCaller &to) : status_(to, "VerifyStatus") {}

    void send(int code, const char *format, int value, char *id) override
    {
        (void)id;
        (void)format; // the value is 0 with the empty form
        status_.say(fprint::verify_status(code, value));
    }
    // No touch yet is no news: the client keeps waiting.
    void touch_missed() override {}
    // A no-match is done: the client decides whether to try again.
    bool no_match_ends() const override
    {
        return true;
    }
    StatusToClaimer &status()
    {
        return status_;
    }

  private:
    StatusToClaimer status_;
};

class EnrollToClaimer : public EnrollSink
{
  public:
    explicit EnrollToClaimer(const TvpCaller &to) : status_(to, "EnrollStatus") {}

    void send(int code, const char *format, int value) override
    {
        (void)format; // the value is 0 with the empty form
        status_.say(fprint::enroll_status(code, value));
    }
    StatusToClaimer &status()
    {
        return status_;
    }

  private:
    StatusToClaimer status_;
};

// ---- Operations --------------------------------------------------------------------

// Marks the claim's operation as started (and running) if `sender` still
// holds the claim and runs nothing; false otherwise.
bool mark_started(const char *sender, Op op)
{
    std::lock_guard<std::mutex> lock(claim_mutex);
    if (claim.sender != sender || claim.op != Op::None) {
        return false;
    }
    claim.op = op;
    claim.running = true;
    return true;
}

void mark_finished(const char *sender)
{
    std::lock_guard<std::mutex> lock(claim_mutex);
    if (claim.sender == sender) {
        claim.running = false;
    }
}

// The checks every operation call starts with; false (answered) when one fails.
bool claimed_and_idle(Call &call, ClaimState *held)
{
    if (!claim_of(call.sender(), held)) {
        call.fail(FPRINT_ERROR_CLAIM_DEVICE, "the device was not claimed");
        return false;
    }
    if (held->op != Op::None) {
        call.fail(FPRINT_ERROR_ALREADY_IN_USE, "an operation is already in progress");
        return false;
    }
    return true;
}

// While an operation of the claimer waits for touches: finger-needed is
// set, and a status that ends the operation where the core would go on may
// ask the core to stop.
class TouchWait
{
  public:
    explicit TouchWait(StatusToClaimer &status) : status_(status)
    {
        set_finger_needed(true);
        status_.set_on_hold(true);
    }
    ~TouchWait()
    {
        status_.set_on_hold(false);
        set_finger_needed(false);
    }
    TouchWait(const TouchWait &) = delete;
    TouchWait &operator=(const TouchWait &) = delete;

  private:
    StatusToClaimer &status_;
};

// Takes the device for the claimer's operation (AlreadyInUse when another
// operation of either interface holds it), answers the call, and runs
// `body` with the device held.
template <typename Body> void run_operation(Call &call, int device_status, Op op, Body body)
{
    DeviceHold hold(dev_tirvane, device_status, HoldWait::HandOver, &call.caller());
    if (!hold.held()) {
        call.fail(FPRINT_ERROR_ALREADY_IN_USE, "the device is busy");
        return;
    }
    if (!mark_started(call.sender(), op)) {
        call.fail(FPRINT_ERROR_ALREADY_IN_USE, "an operation is already in progress");
        return;
    }
    call.reply();
    body(hold);
    mark_finished(call.sender());
}

void verify_start(Call &call)
{
    ClaimState held;
    if (!claimed_and_idle(call, &held)) {
        return;
    }
    const std::string &finger = call.argument();
    if (finger != "any" && !fprint::is_standard_finger(finger)) {
        call.fail(FPRINT_ERROR_INVALID_FINGERNAME, "invalid finger name");
        return;
    }
    if (!call.authorise(held.caller_uid, FprintRight::Verify)) {
        return;
    }
    const std::vector<std::string> fingers = fingers_of(held.user);
    const bool enrolled = finger == "any"
                              ? !fingers.empty()
                              : std::find(fingers.begin(), fingers.end(), finger) != fingers.end();
    if (!enrolled) {
        call.fail(FPRINT_ERROR_NO_ENROLLED_PRINTS, "no fingers enrolled");
        return;
    }
    const TvpCaller &caller = call.caller();
    struct timeval arrived {
    };
    gettimeofday(&arrived, nullptr);
    const std::string store_id = held.user.store_id();
    const std::string other_id = held.user.other_id();
    const VerifyRequest request{store_id.c_str(), other_id.empty() ? nullptr : other_id.c_str(),
                                finger == "any" ? nullptr : finger.c_str(), arrived, &caller};
    VerifyToClaimer sink(caller);
    run_operation(call, DEVS_VERIFY_DOING, Op::Verify, [&](DeviceHold &hold) {
        emit_to(caller, "VerifyFingerSelected", g_variant_new("(s)", finger.c_str()));
        if (tvp_verify_refused_locked_out(request, sink)) {
            return;
        }
        snprintf(tvp_priv(dev_tirvane)->user_id, sizeof(tvp_priv(dev_tirvane)->user_id), "%s",
                 store_id.c_str());
        TouchWait waiting(sink.status());
        tvp_verify_on_hold(dev_tirvane, hold, sink, request);
    });
}

void enroll_start(Call &call)
{
    ClaimState held;
    if (!claimed_and_idle(call, &held)) {
        return;
    }
    const std::string &finger = call.argument();
    if (!fprint::is_standard_finger(finger)) {
        call.fail(FPRINT_ERROR_INVALID_FINGERNAME, "invalid finger name");
        return;
    }
    if (!call.authorise(held.caller_uid, right_for_fingers(held.user, held.caller_uid))) {
        return;
    }
    const std::vector<std::string> fingers = fingers_of(held.user);
    if (std::find(fingers.begin(), fingers.end(), finger) != fingers.end()) {
        call.fail(FPRINT_ERROR_FINGER_ALREADY_ENROLLED, "the finger is already enrolled");
        return;
    }
    if (!fprint_device_module_present() || get_upgrade_state() == 1) {
        call.fail(FPRINT_ERROR_INTERNAL, "the reader is not available");
        return;
    }
    const std::string store_id = held.user.store_id();
    EnrollToClaimer sink(call.caller());
    run_operation(call, DEVS_ENROLL_DOING, Op::Enroll, [&](DeviceHold &hold) {
        TouchWait waiting(sink.status());
        tvp_enroll_on_hold(dev_tirvane, hold, sink, store_id.c_str(), finger.c_str(),
                           tvp_priv(dev_tirvane)->timeoutMS);
    });
}

// VerifyStop and EnrollStop: the claimer ends its operation, whether the core
// still runs it or it is already done.
void stop_operation(Call &call, Op op, bool until_idle)
{
    ClaimState held;
    if (!claim_of(call.sender(), &held)) {
        call.fail(FPRINT_ERROR_CLAIM_DEVICE, "the device was not claimed");
        return;
    }
    if (held.op != op) {
        call.fail(FPRINT_ERROR_NO_ACTION_IN_PROGRESS, "no such operation in progress");
        return;
    }
    if (held.running && !tvp_stop_and_wait(dev_tirvane, until_idle, call.caller())) {
        call.fail(FPRINT_ERROR_INTERNAL, "the operation could not be stopped");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(claim_mutex);
        if (claim.sender == call.sender() && claim.op == op) {
            claim.op = Op::None;
        }
    }
    call.reply();
}

void verify_stop(Call &call)
{
    stop_operation(call, Op::Verify, true);
}

void enroll_stop(Call &call)
{
    stop_operation(call, Op::Enroll, false);
}

// ---- Claim and release ---------------------------------------------------------------

bool name_has_owner(GDBusConnection *connection, const char *name)
{
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    gboolean has = FALSE;
    if (reply != nullptr) {
        g_variant_get(reply, "(b)", &has);
    }
    return has != FALSE;
}

void claim_device(Call &call)
{
    uid_t uid = 0;
    if (!call.caller_uid(&uid)) {
        return;
    }
    fprint::UserIds user;
    if (!resolve(call, call.argument(), uid, &user)) {
        return;
    }
    const bool own = fprint::is_callers_own(user, uid);
    if (!call.authorise(uid, own ? FprintRight::Verify : FprintRight::Manage)) {
        return;
    }
    if (!fprint_device_module_present()) {
        call.fail(FPRINT_ERROR_INTERNAL, "the reader is not available");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(claim_mutex);
        if (!claim.sender.empty()) {
            call.fail(FPRINT_ERROR_ALREADY_IN_USE, "the device is already claimed");
            return;
        }
        claim = ClaimState{call.sender(), uid, user, Op::None, false};
    }
    // A claimer that left while this ran is not heard of by the watch: the
    // claim must not outlive it.
    if (!name_has_owner(g_dbus_method_invocation_get_connection(call.invocation()), call.sender())) {
        clear_claim_of(call.sender());
        call.fail(FPRINT_ERROR_INTERNAL, "the caller left the bus");
        return;
    }
    TVP_LOG(LOG_LOG_GRADE, "device claimed by %s for %s.\n", call.sender(), user.store_id().c_str());
    set_enroll_stages(kEnrollCaptures);
    call.reply();
}

// Release: a running operation of the claim is stopped first, as the claimer.
void release_device(Call &call)
{
    ClaimState held;
    if (!claim_of(call.sender(), &held)) {
        call.fail(FPRINT_ERROR_CLAIM_DEVICE, "the device was not claimed");
        return;
    }
    if (held.running) {
        tvp_stop_and_wait(dev_tirvane, true, call.caller());
    }
    clear_claim_of(held.sender);
    set_enroll_stages(-1);
    TVP_LOG(LOG_LOG_GRADE, "device released by %s.\n", held.sender.c_str());
    call.reply();
}

// ---- Listing and deletion ---------------------------------------------------------------

void list_fingers(Call &call)
{
    uid_t uid = 0;
    if (!call.caller_uid(&uid)) {
        return;
    }
    fprint::UserIds user;
    if (!resolve(call, call.argument(), uid, &user) || !call.authorise(uid, FprintRight::Verify)) {
        return;
    }
    const std::vector<std::string> fingers = fingers_of(user);
    if (fingers.empty()) {
        call.fail(FPRINT_ERROR_NO_ENROLLED_PRINTS, "no fingers enrolled");
        return;
    }
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
    for (const std::string &finger : fingers) {
        g_variant_builder_add(&builder, "s", finger.c_str());
    }
    call.reply(g_variant_new("(as)", &builder));
}

// The result of deleting under both of the user's ids.
DeleteOutcome combine(DeleteOutcome a, DeleteOutcome b)
{
    for (DeleteOutcome worst : {DeleteOutcome::Failed, DeleteOutcome::Busy, DeleteOutcome::Deleted}) {
        if (a == worst || b == worst) {
            return worst;
        }
    }
    return DeleteOutcome::NotFound;
}

void answer_deletion(Call &call, DeleteOutcome outcome)
{
    switch (outcome) {
    case DeleteOutcome::Deleted:
        call.reply();
        break;
    case DeleteOutcome::NotFound:
        call.fail(FPRINT_ERROR_NO_ENROLLED_PRINTS, "no such fingers enrolled");
        break;
    case DeleteOutcome::Busy:
        call.fail(FPRINT_ERROR_PRINTS_NOT_DELETED, "the device is busy or absent");
        break;
    case DeleteOutcome::Failed:
        call.fail(FPRINT_ERROR_PRINTS_NOT_DELETED, "some fingers could not be deleted");
        break;
    }
}

DeleteOutcome delete_all_of(const fprint::UserIds &user)
{
    DeleteOutcome outcome = tvp_delete_fingers_of(dev_tirvane, user.store_id().c_str());
    if (!user.other_id().empty() && outcome != DeleteOutcome::Busy) {
        outcome = combine(outcome, tvp_delete_fingers_of(dev_tirvane, user.other_id().c_str()));
    }
    return outcome;
}

void delete_fingers_of_user(Call &call)
{
    uid_t uid = 0;
    if (!call.caller_uid(&uid)) {
        return;
    }
    fprint::UserIds user;
    if (!resolve(call, call.argument(), uid, &user) || !call.authorise(uid, right_for_fingers(user, uid))) {
        return;
    }
    answer_deletion(call, delete_all_of(user));
}

void delete_fingers_of_claim(Call &call)
{
    ClaimState held;
    if (!claim_of(call.sender(), &held)) {
        call.fail(FPRINT_ERROR_CLAIM_DEVICE, "the device was not claimed");
        return;
    }
    if (!call.authorise(held.caller_uid, right_for_fingers(held.user, held.caller_uid))) {
        return;
    }
    answer_deletion(call, delete_all_of(held.user));
}

void delete_finger_of_claim(Call &call)
{
    ClaimState held;
    if (!claim_of(call.sender(), &held)) {
        call.fail(FPRINT_ERROR_CLAIM_DEVICE, "the device was not claimed");
        return;
    }
    const std::string &finger = call.argument();
    if (!fprint::is_standard_finger(finger)) {
        call.fail(FPRINT_ERROR_INVALID_FINGERNAME, "invalid finger name");
        return;
    }
    if (!call.authorise(held.caller_uid, right_for_fingers(held.user, held.caller_uid))) {
        return;
    }
    DeleteOutcome outcome = tvp_delete_finger_of(dev_tirvane, held.user.store_id().c_str(), finger.c_str());
    if (outcome == DeleteOutcome::NotFound && !held.user.other_id().empty()) {
        outcome = tvp_delete_finger_of(dev_tirvane, held.user.other_id().c_str(), finger.c_str());
    }
    answer_deletion(call, outcome);
}

// ---- Handlers (main loop) ------------------------------------------------------------------

// Every method's handler: its body runs on a worker, with the method's string
// argument when it has one. Connected swapped, so that the body comes first
// whatever the method's signal carries after the invocation.
gboolean on_method(gpointer body, GDBusMethodInvocation *invocation)
{
    GVariant *params = g_dbus_method_invocation_get_parameters(invocation);
    const char *argument = "";
    if (params != nullptr && g_variant_n_children(params) > 0) {
        g_variant_get_child(params, 0, "&s", &argument);
    }
    return start_job(invocation, reinterpret_cast<CallBody>(body), argument);
}

struct Handler {
    const char *signal;
    CallBody body;
};

const Handler kHandlers[] = {
    {"handle-claim", claim_device},
    {"handle-release", release_device},
    {"handle-verify-start", verify_start},
    {"handle-verify-stop", verify_stop},
    {"handle-enroll-start", enroll_start},
    {"handle-enroll-stop", enroll_stop},
    {"handle-list-enrolled-fingers", list_fingers},
    {"handle-delete-enrolled-fingers", delete_fingers_of_user},
    {"handle-delete-enrolled-fingers2", delete_fingers_of_claim},
    {"handle-delete-enrolled-finger", delete_finger_of_claim},
};

// A claim whose claimer is gone, or whose module is gone: any operation of
// its own has been stopped by the core (the session watch, the module's
// departure), so only the claim is left to clear.
void drop_claim_if(const std::function<bool(const ClaimState &)> &which)
{
    ClaimState dropped;
    {
        std::lock_guard<std::mutex> lock(claim_mutex);
        if (claim.sender.empty() || !which(claim)) {
            return;
        }
        dropped = claim;
        claim = ClaimState{};
    }
    if (device_skeleton != nullptr) {
        fprint_device_set_num_enroll_stages(device_skeleton, -1);
    }
    TVP_LOG(LOG_LOG_GRADE, "claim of %s dropped.\n", dropped.sender.c_str());
}

} // namespace

FprintDevice *fprint_device_skeleton_create(void)
{
    device_skeleton = fprint_device_skeleton_new();
    for (const Handler &handler : kHandlers) {
        g_signal_connect_swapped(device_skeleton, handler.signal, G_CALLBACK(on_method),
                                 reinterpret_cast<gpointer>(handler.body));
    }
    fprint_device_set_name(device_skeleton, dev_tirvane->device_name);
    fprint_device_set_num_enroll_stages(device_skeleton, -1);
    fprint_device_set_scan_type(device_skeleton, "press");
    fprint_device_set_finger_present(device_skeleton, FALSE);
    fprint_device_set_finger_needed(device_skeleton, FALSE);
    return device_skeleton;
}

void fprint_device_module_left(void)
{
    drop_claim_if([](const ClaimState &) { return true; });
}

void fprint_device_name_vanished(const char *name)
{
    drop_claim_if([name](const ClaimState &held) { return held.sender == name; });
}

bool fprint_device_module_present(void)
{
    return dev_tirvane != nullptr && dev_tirvane->enable != 0 && tvp_module_present();
}
