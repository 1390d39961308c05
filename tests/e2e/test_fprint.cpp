// The desktop's standard fingerprint interface against the real service and
// the emulated module: fprintd's own clients from Debian's package, and calls
// of our own where the clients cannot show a fault.
#include "flow_helpers.h"
#include "unprivileged_client.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tvtest;

namespace
{

constexpr const char *kFprintName = "net.reactivated.Fprint";
constexpr const char *kManagerPath = "/net/reactivated/Fprint/Manager";
constexpr const char *kDevicePath = "/net/reactivated/Fprint/Device/0";
constexpr const char *kDeviceIface = "net.reactivated.Fprint.Device";

bool have_client(const std::string &name)
{
    return access(("/usr/bin/" + name).c_str(), X_OK) == 0;
}

#define SKIP_WITHOUT_CLIENTS()                                                                               \
    do {                                                                                                     \
        if (!have_client("fprintd-enroll")) {                                                                \
            GTEST_SKIP() << "fprintd's clients are not installed (Debian package fprintd)";                  \
        }                                                                                                    \
    } while (0)

// One of fprintd's clients on the private bus, its output collected.
class Client : public ClientProcess
{
  public:
    Client(ServiceHarness &h, const std::vector<std::string> &args) : ClientProcess(h, with_path(args)) {}

  private:
    static std::vector<std::string> with_path(std::vector<std::string> args)
    {
        args[0] = "/usr/bin/" + args[0];
        return args;
    }
};

int run_client(ServiceHarness &h, const std::vector<std::string> &args, std::string *output)
{
    Client client(h, args);
    const int status = client.wait(h);
    *output = client.output();
    return status;
}

// A call to the desktop interface on `connection`; the error, null on success.
GError *fprint_call(GDBusConnection *connection, const char *path, const char *iface, const char *method,
                    GVariant *args, GVariant **reply = nullptr, int timeout_ms = 10000)
{
    GError *error = nullptr;
    GVariant *r = g_dbus_connection_call_sync(connection, kFprintName, path, iface, method, args, nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, &error);
    if (reply != nullptr) {
        *reply = r;
    } else if (r != nullptr) {
        g_variant_unref(r);
    }
    return error;
}

GError *device_call(GDBusConnection *connection, const char *method, GVariant *args = nullptr,
                    GVariant **reply = nullptr)
{
    return fprint_call(connection, kDevicePath, kDeviceIface, method, args, reply);
}

std::string remote_error(const GError *error)
{
    if (error == nullptr) {
        return "";
    }
    g_autofree gchar *name = g_dbus_error_get_remote_error(error);
    return name != nullptr ? name : error->message;
}

std::vector<std::string> devices(ServiceHarness &h)
{
    GVariant *reply = nullptr;
    g_autoptr(GError) error = fprint_call(h.connection(), kManagerPath, "net.reactivated.Fprint.Manager",
                                          "GetDevices", nullptr, &reply);
    std::vector<std::string> out;
    if (reply != nullptr) {
        g_autoptr(GVariantIter) iter = nullptr;
        g_variant_get(reply, "(ao)", &iter);
        const gchar *path = nullptr;
        while (g_variant_iter_next(iter, "&o", &path)) {
            out.emplace_back(path);
        }
        g_variant_unref(reply);
    }
    return out;
}

// The desktop interface's own name is there, with its device.
bool front_ready(ServiceHarness &h)
{
    return h.wait_for([&] { return devices(h).size() == 1; }, 10000);
}

// Status signals of the desktop interface seen by one connection.
class StatusRecorder
{
  public:
    StatusRecorder(ServiceHarness &h, GDBusConnection *connection)
        : h_(h), connection_(G_DBUS_CONNECTION(g_object_ref(connection)))
    {
        id_ = g_dbus_connection_signal_subscribe(connection, kFprintName, kDeviceIface, nullptr, kDevicePath,
                                                 nullptr, G_DBUS_SIGNAL_FLAGS_NONE, on_signal, this, nullptr);
    }
    ~StatusRecorder()
    {
        g_dbus_connection_signal_unsubscribe(connection_, id_);
        g_object_unref(connection_);
    }
    StatusRecorder(const StatusRecorder &) = delete;
    StatusRecorder &operator=(const StatusRecorder &) = delete;

    std::vector<std::string> seen() const
    {
        return seen_;
    }
    bool wait_for(const std::string &entry, int timeout_ms)
    {
        return h_.wait_for([&] { return std::find(seen_.begin(), seen_.end(), entry) != seen_.end(); },
                           timeout_ms);
    }

  private:
    static void on_signal(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *member,
                          GVariant *parameters, gpointer data)
    {
        auto *self = static_cast<StatusRecorder *>(data);
        if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sb)"))) {
            const gchar *result = nullptr;
            gboolean done = FALSE;
            g_variant_get(parameters, "(&sb)", &result, &done);
            self->seen_.push_back(std::string(member) + " " + result + (done ? " done" : ""));
        } else if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(s)"))) {
            const gchar *finger = nullptr;
            g_variant_get(parameters, "(&s)", &finger);
            self->seen_.push_back(std::string(member) + " " + finger);
        }
    }

    ServiceHarness &h_;
    GDBusConnection *connection_;
    guint id_ = 0;
    std::vector<std::string> seen_;
};

DaemonOptions with_alice_thumb()
{
    DaemonOptions options;
    options.list_conf = "[UserFprint-1]\nenable=true\nuser_id=alice\nfprint_name=right-thumb\nfprint_id=90\n";
    options.write_list_conf = true;
    return options;
}

} // namespace

// ---- fprintd's clients ----------------------------------------------------------------

TEST(FprintdClients, EnrolListVerifyDelete)
{
    SKIP_WITHOUT_CLIENTS();
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    ASSERT_TRUE(front_ready(h));

    Client enrol(h, {"fprintd-enroll", "-f", "right-index-finger", "alice"});
    // A person takes a moment per touch: each capture is reported before the next.
    for (size_t i = 1; i <= 6; ++i) {
        ASSERT_TRUE(h.emu().touch("alice-index")) << "touch " << i << "\n" << enrol.output();
        ASSERT_TRUE(h.wait_for([&] { return count_of(h.log_text(), "EnrollStatus enroll-") >= i; }, 5000));
    }
    ASSERT_EQ(enrol.wait(h), 0) << enrol.output();
    const std::string enrolled = enrol.output();
    EXPECT_EQ(count_of(enrolled, "enroll-stage-passed"), 6u) << enrolled;
    EXPECT_NE(enrolled.find("enroll-completed"), std::string::npos) << enrolled;
    // One store: our own interface lists what the desktop enrolled.
    EXPECT_EQ(h.listfingers("alice"), std::vector<std::string>{"right-index-finger"});

    std::string out;
    EXPECT_EQ(run_client(h, {"fprintd-list", "alice"}, &out), 0) << out;
    EXPECT_NE(out.find("right-index-finger"), std::string::npos) << out;

    {
        Client verify(h, {"fprintd-verify", "alice"});
        ASSERT_TRUE(h.emu().touch("alice-index")) << verify.output();
        EXPECT_EQ(verify.wait(h), 0) << verify.output();
        EXPECT_NE(verify.output().find("verify-match"), std::string::npos) << verify.output();
    }
    {
        Client verify(h, {"fprintd-verify", "alice"});
        ASSERT_TRUE(h.emu().touch("mallory-index")) << verify.output();
        EXPECT_NE(verify.wait(h), 0) << verify.output();
        EXPECT_NE(verify.output().find("verify-no-match"), std::string::npos) << verify.output();
    }

    EXPECT_EQ(run_client(h, {"fprintd-delete", "alice"}, &out), 0) << out;
    EXPECT_TRUE(h.listfingers("alice").empty());
    EXPECT_TRUE(module_templates(h.emu()).empty());
}

// ---- The claim ----------------------------------------------------------------------------

TEST(FprintClaim, SecondClaimRefusedUntilTheClaimerLeaves)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start(with_alice_thumb())) << h.error;
    ASSERT_TRUE(front_ready(h));
    GDBusConnection *first = connect_to_bus(h.bus_address());
    GDBusConnection *second = connect_to_bus(h.bus_address());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    g_autoptr(GError) claimed = device_call(first, "Claim", g_variant_new("(s)", "alice"));
    ASSERT_EQ(claimed, nullptr) << claimed->message;
    g_autoptr(GError) again = device_call(second, "Claim", g_variant_new("(s)", "alice"));
    EXPECT_EQ(remote_error(again), "net.reactivated.Fprint.Error.AlreadyInUse");
    // Only the claimer may release or start anything.
    g_autoptr(GError) foreign_release = device_call(second, "Release");
    EXPECT_EQ(remote_error(foreign_release), "net.reactivated.Fprint.Error.ClaimDevice");
    g_autoptr(GError) foreign_verify = device_call(second, "VerifyStart", g_variant_new("(s)", "any"));
    EXPECT_EQ(remote_error(foreign_verify), "net.reactivated.Fprint.Error.ClaimDevice");

    // The claimer vanishes in the middle of a verification: device and claim are free.
    g_autoptr(GError) started = device_call(first, "VerifyStart", g_variant_new("(s)", "any"));
    ASSERT_EQ(started, nullptr) << started->message;
    ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, 5000));
    g_dbus_connection_close_sync(first, nullptr, nullptr);
    g_object_unref(first);
    bool free_again = h.wait_for(
        [&] {
            g_autoptr(GError) error = device_call(second, "Claim", g_variant_new("(s)", "alice"));
            return error == nullptr;
        },
        bound_ms(5000));
    EXPECT_TRUE(free_again);
    g_autoptr(GError) verify = device_call(second, "VerifyStart", g_variant_new("(s)", "any"));
    EXPECT_EQ(verify, nullptr) << verify->message;
    g_autoptr(GError) stop = device_call(second, "VerifyStop");
    EXPECT_EQ(stop, nullptr) << stop->message;
    g_autoptr(GError) release = device_call(second, "Release");
    EXPECT_EQ(release, nullptr) << release->message;
    g_object_unref(second);
}

struct CallCase {
    const char *what;
    const char *method;
    const char *argument; // null: no arguments
    bool claim_first;
    const char *error;
};

std::ostream &operator<<(std::ostream &out, const CallCase &c)
{
    return out << c.what;
}

class FprintErrors : public ::testing::TestWithParam<CallCase>
{
};

// The documented errors, each reached the way a client reaches it.
TEST_P(FprintErrors, AnswerAsDocumented)
{
    const CallCase &c = GetParam();
    ServiceHarness h;
    ASSERT_TRUE(h.start(with_alice_thumb())) << h.error;
    ASSERT_TRUE(front_ready(h));
    if (c.claim_first) {
        g_autoptr(GError) claimed = device_call(h.connection(), "Claim", g_variant_new("(s)", "alice"));
        ASSERT_EQ(claimed, nullptr) << claimed->message;
    }
    GVariant *args = c.argument != nullptr ? g_variant_new("(s)", c.argument) : nullptr;
    g_autoptr(GError) error = device_call(h.connection(), c.method, args);
    EXPECT_EQ(remote_error(error), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FprintErrors,
    ::testing::Values(CallCase{"verify without a claim", "VerifyStart", "any", false,
                               "net.reactivated.Fprint.Error.ClaimDevice"},
                      CallCase{"enrol without a claim", "EnrollStart", "left-thumb", false,
                               "net.reactivated.Fprint.Error.ClaimDevice"},
                      CallCase{"stop with nothing running", "VerifyStop", nullptr, true,
                               "net.reactivated.Fprint.Error.NoActionInProgress"},
                      CallCase{"enrol stop with nothing running", "EnrollStop", nullptr, true,
                               "net.reactivated.Fprint.Error.NoActionInProgress"},
                      CallCase{"enrol of \"any\"", "EnrollStart", "any", true,
                               "net.reactivated.Fprint.Error.InvalidFingername"},
                      CallCase{"enrol of a made-up finger", "EnrollStart", "sixth-finger", true,
                               "net.reactivated.Fprint.Error.InvalidFingername"},
                      CallCase{"enrol of an enrolled finger", "EnrollStart", "right-thumb", true,
                               "net.reactivated.Fprint.Error.FingerAlreadyEnrolled"},
                      CallCase{"verify of a finger not enrolled", "VerifyStart", "left-thumb", true,
                               "net.reactivated.Fprint.Error.NoEnrolledPrints"},
                      CallCase{"delete of a finger not enrolled", "DeleteEnrolledFinger", "left-thumb", true,
                               "net.reactivated.Fprint.Error.NoEnrolledPrints"},
                      CallCase{"list of a user without fingers", "ListEnrolledFingers", "bob", false,
                               "net.reactivated.Fprint.Error.NoEnrolledPrints"},
                      CallCase{"release without a claim", "Release", nullptr, false,
                               "net.reactivated.Fprint.Error.ClaimDevice"}));

// ---- One device, two interfaces ---------------------------------------------------------

TEST(FprintFronts, EachInterfaceFindsTheOtherBusy)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start(with_alice_thumb())) << h.error;
    ASSERT_TRUE(h.emu().ok("store 90 alice-thumb"));
    ASSERT_TRUE(front_ready(h));
    GDBusConnection *desktop = connect_to_bus(h.bus_address());
    ASSERT_NE(desktop, nullptr);
    StatusRecorder statuses(h, desktop);

    // The desktop verifies: our own interface is told the reader is busy.
    g_autoptr(GError) claimed = device_call(desktop, "Claim", g_variant_new("(s)", "alice"));
    ASSERT_EQ(claimed, nullptr) << claimed->message;
    g_autoptr(GError) started = device_call(desktop, "VerifyStart", g_variant_new("(s)", "any"));
    ASSERT_EQ(started, nullptr) << started->message;
    ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, 5000));
    g_autoptr(GError) ours = h.call("verify", g_variant_new("(si)", "alice", 1));
    ASSERT_EQ(ours, nullptr) << ours->message;
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, bound_ms(8000)));
    EXPECT_EQ(verify_signals(h).front(), "(2, {\"subcode\":1}\n)");
    // The desktop's verification was left alone and still matches.
    ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
    EXPECT_TRUE(statuses.wait_for("VerifyStatus verify-match done", 5000)) << list_of(statuses.seen());
    EXPECT_EQ(statuses.seen().front(), "VerifyFingerSelected any");
    g_autoptr(GError) stopped = device_call(desktop, "VerifyStop");
    EXPECT_EQ(stopped, nullptr) << stopped->message;

    // Our own interface verifies: the desktop is told AlreadyInUse.
    h.clear_signals();
    g_autoptr(GError) ours_again = h.call("verify", g_variant_new("(si)", "alice", 1));
    ASSERT_EQ(ours_again, nullptr) << ours_again->message;
    ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, 5000));
    g_autoptr(GError) busy = device_call(desktop, "VerifyStart", g_variant_new("(s)", "any"));
    EXPECT_EQ(remote_error(busy), "net.reactivated.Fprint.Error.AlreadyInUse");
    g_autoptr(GError) enrol_busy = device_call(desktop, "EnrollStart", g_variant_new("(s)", "left-thumb"));
    EXPECT_EQ(remote_error(enrol_busy), "net.reactivated.Fprint.Error.AlreadyInUse");
    g_autoptr(GError) our_stop = h.call("verifyStop", nullptr);
    EXPECT_EQ(our_stop, nullptr);
    g_object_unref(desktop);
}

TEST(FprintSignals, StatusesGoToTheClaimerOnly)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start(with_alice_thumb())) << h.error;
    ASSERT_TRUE(h.emu().ok("store 90 alice-thumb"));
    ASSERT_TRUE(front_ready(h));
    GDBusConnection *claimer = connect_to_bus(h.bus_address());
    GDBusConnection *bystander = connect_to_bus(h.bus_address());
    ASSERT_NE(claimer, nullptr);
    ASSERT_NE(bystander, nullptr);
    StatusRecorder mine(h, claimer);
    StatusRecorder theirs(h, bystander);

    g_autoptr(GError) claimed = device_call(claimer, "Claim", g_variant_new("(s)", "alice"));
    ASSERT_EQ(claimed, nullptr) << claimed->message;
    g_autoptr(GError) started = device_call(claimer, "VerifyStart", g_variant_new("(s)", "right-thumb"));
    ASSERT_EQ(started, nullptr) << started->message;
    ASSERT_TRUE(h.emu().touch("mallory-thumb"));
    ASSERT_TRUE(mine.wait_for("VerifyStatus verify-no-match done", 5000)) << list_of(mine.seen());
    g_autoptr(GError) stopped = device_call(claimer, "VerifyStop");
    EXPECT_EQ(stopped, nullptr);
    g_autoptr(GError) again = device_call(claimer, "VerifyStart", g_variant_new("(s)", "right-thumb"));
    ASSERT_EQ(again, nullptr) << again->message;
    ASSERT_TRUE(h.emu().touch("alice-thumb"));
    ASSERT_TRUE(mine.wait_for("VerifyStatus verify-match done", 5000)) << list_of(mine.seen());
    h.pump(300);
    EXPECT_TRUE(theirs.seen().empty()) << list_of(theirs.seen());
    g_object_unref(bystander);
    g_object_unref(claimer);
}

// ---- The manager -------------------------------------------------------------------------

TEST(FprintManager, DeviceFollowsThePlug)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    ASSERT_TRUE(front_ready(h));
    GVariant *reply = nullptr;
    g_autoptr(GError) found = fprint_call(h.connection(), kManagerPath, "net.reactivated.Fprint.Manager",
                                          "GetDefaultDevice", nullptr, &reply);
    ASSERT_EQ(found, nullptr) << found->message;
    const gchar *path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    EXPECT_STREQ(path, kDevicePath);
    g_variant_unref(reply);

    h.emu().unplug();
    ASSERT_TRUE(h.wait_for([&] { return devices(h).empty(); }, 5000));
    g_autoptr(GError) none = fprint_call(h.connection(), kManagerPath, "net.reactivated.Fprint.Manager",
                                         "GetDefaultDevice", nullptr);
    EXPECT_EQ(remote_error(none), "net.reactivated.Fprint.Error.NoSuchDevice");
    h.emu().plug();
    EXPECT_TRUE(front_ready(h));
}

// ---- The interface description ------------------------------------------------------------

namespace
{

// What an interface offers, one line per member with its signature.
std::vector<std::string> members_of(const std::string &xml, const char *interface, std::string *why)
{
    // fprintd's files carry documentation in a namespace of their own and
    // entities for the error names; neither says anything about the members.
    // (Plain searches: std::regex recurses per character and overflows the
    // stack on a file this size under the sanitizers.)
    std::string text = xml;
    const size_t doctype = text.find("<!DOCTYPE");
    if (doctype != std::string::npos) {
        const size_t bracket = text.find('[', doctype);
        const size_t close = text.find('>', doctype);
        const size_t end =
            bracket != std::string::npos && bracket < close ? text.find("]>", bracket) + 2 : close + 1;
        text.erase(doctype, end - doctype);
    }
    for (size_t at = text.find('&'); at != std::string::npos; at = text.find('&', at)) {
        const size_t semi = text.find(';', at);
        text.replace(at, semi - at + 1, "x");
    }
    for (size_t at = text.find("<doc:doc>"); at != std::string::npos; at = text.find("<doc:doc>", at)) {
        text.erase(at, text.find("</doc:doc>", at) + strlen("</doc:doc>") - at);
    }
    for (const char *tag : {"<doc:", "</doc:"}) {
        for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at)) {
            text.erase(at, text.find('>', at) + 1 - at);
        }
    }
    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(text.c_str(), &error);
    std::vector<std::string> out;
    if (node == nullptr) {
        *why = error->message;
        return out;
    }
    GDBusInterfaceInfo *info = g_dbus_node_info_lookup_interface(node, interface);
    if (info == nullptr) {
        *why = std::string("no interface ") + interface;
        return out;
    }
    auto args = [](GDBusArgInfo **list) {
        std::string sig;
        for (; list != nullptr && *list != nullptr; ++list) {
            sig += (*list)->signature;
        }
        return "(" + sig + ")";
    };
    for (GDBusMethodInfo **m = info->methods; m != nullptr && *m != nullptr; ++m) {
        out.push_back(std::string("method ") + (*m)->name + args((*m)->in_args) + args((*m)->out_args));
    }
    for (GDBusSignalInfo **s = info->signals; s != nullptr && *s != nullptr; ++s) {
        out.push_back(std::string("signal ") + (*s)->name + args((*s)->args));
    }
    for (GDBusPropertyInfo **p = info->properties; p != nullptr && *p != nullptr; ++p) {
        out.push_back(std::string("property ") + (*p)->name + " " + (*p)->signature +
                      ((*p)->flags == G_DBUS_PROPERTY_INFO_FLAGS_READABLE ? " read" : " other"));
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(FprintInterface, OursNamesWhatTheInstalledDescriptionNames)
{
    int compared = 0;
    for (const char *iface : {"net.reactivated.Fprint.Manager", "net.reactivated.Fprint.Device"}) {
        const std::string installed = slurp(std::string("/usr/share/dbus-1/interfaces/") + iface + ".xml");
        if (installed.empty()) {
            continue;
        }
        std::string why;
        const auto theirs = members_of(installed, iface, &why);
        ASSERT_FALSE(theirs.empty()) << iface << ": " << why;
        const auto ours = members_of(slurp(std::string(TIRVANE_DATA_DIR "/") + iface + ".xml"), iface, &why);
        ASSERT_FALSE(ours.empty()) << iface << ": " << why;
        EXPECT_EQ(ours, theirs) << iface;
        ++compared;
    }
    if (compared == 0) {
        GTEST_SKIP() << "fprintd's interface files are not installed (Debian package fprintd)";
    }
}

// The running service answers introspection with what our description says.
TEST(FprintInterface, ServiceIntrospectsAsDescribed)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    ASSERT_TRUE(front_ready(h));
    for (const auto &[path, iface] : {std::pair{kManagerPath, "net.reactivated.Fprint.Manager"},
                                      std::pair{kDevicePath, "net.reactivated.Fprint.Device"}}) {
        GVariant *reply = nullptr;
        g_autoptr(GError) error = fprint_call(h.connection(), path, "org.freedesktop.DBus.Introspectable",
                                              "Introspect", nullptr, &reply);
        ASSERT_EQ(error, nullptr) << error->message;
        const gchar *xml = nullptr;
        g_variant_get(reply, "(&s)", &xml);
        std::string why;
        const auto live = members_of(xml, iface, &why);
        g_variant_unref(reply);
        EXPECT_EQ(live, members_of(slurp(std::string(TIRVANE_DATA_DIR "/") + iface + ".xml"), iface, &why))
            << iface;
    }
}

// ---- Authorisation ----------------------------------------------------------------------

namespace
{

constexpr const char *kPolkit = "org.freedesktop.PolicyKit1";

struct Step {
    const char *line;
    const char *answer;       // "ok", or the error name
    const char *names_action; // the refusal names this action; may be null
};

struct AuthCase {
    const char *what;
    bool polkit;
    std::vector<std::string> allowed; // polkit's yes, for the mock
    std::vector<Step> steps;
};

std::ostream &operator<<(std::ostream &out, const AuthCase &c)
{
    return out << c.what;
}

class FprintAuthorisation : public ::testing::TestWithParam<AuthCase>
{
};

constexpr const char *kDenied = "error net.reactivated.Fprint.Error.PermissionDenied";

} // namespace

// A caller other than root meets our own polkit actions, and the uid rules
// when polkit is not there; a refusal names the action.
TEST_P(FprintAuthorisation, SameActionsAsOurOwnInterface)
{
    const AuthCase &c = GetParam();
    ServiceHarness h;
    if (c.polkit) {
        ASSERT_TRUE(h.start_mock("polkitd", kPolkit)) << h.error;
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
        for (const auto &id : c.allowed) {
            g_variant_builder_add(&builder, "s", id.c_str());
        }
        g_autoptr(GError) set =
            h.call_mock(kPolkit, "/org/freedesktop/PolicyKit1/Authority", "org.freedesktop.DBus.Mock",
                        "SetAllowed", g_variant_new("(as)", &builder));
        ASSERT_EQ(set, nullptr) << set->message;
    }
    ASSERT_TRUE(h.start(with_alice_thumb())) << h.error;
    ASSERT_TRUE(front_ready(h));
    UnprivilegedClient nobody(h.bus_address());
    for (const Step &step : c.steps) {
        const std::string answer = nobody.call(step.line);
        EXPECT_EQ(answer, step.answer) << step.line << ": " << nobody.detail();
        if (step.names_action != nullptr) {
            EXPECT_NE(nobody.detail().find(step.names_action), std::string::npos) << nobody.detail();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FprintAuthorisation,
    ::testing::Values(AuthCase{"own claim, verify only",
                               true,
                               {"nuvex.kal.tirvane.verify"},
                               {{"fprint.Claim ''", "ok", nullptr},
                                {"fprint.EnrollStart left-thumb", kDenied, "nuvex.kal.tirvane.enroll"},
                                {"fprint.DeleteEnrolledFingers2", kDenied, "nuvex.kal.tirvane.enroll"},
                                {"fprint.Release", "ok", nullptr}}},
                      AuthCase{"claim for another user needs manage",
                               true,
                               {"nuvex.kal.tirvane.verify", "nuvex.kal.tirvane.enroll"},
                               {{"fprint.Claim alice", kDenied, "nuvex.kal.tirvane.manage"},
                                {"fprint.DeleteEnrolledFingers alice", kDenied, "nuvex.kal.tirvane.manage"}}},
                      AuthCase{"manage lets another user's fingers be used",
                               true,
                               {"nuvex.kal.tirvane.verify", "nuvex.kal.tirvane.manage"},
                               {{"fprint.Claim alice", "ok", nullptr},
                                {"fprint.VerifyStart any", "ok", nullptr},
                                {"fprint.VerifyStop", "ok", nullptr},
                                {"fprint.Release", "ok", nullptr}}},
                      AuthCase{"nothing allowed",
                               true,
                               {},
                               {{"fprint.ListEnrolledFingers alice", kDenied, "nuvex.kal.tirvane.verify"},
                                {"fprint.Claim ''", kDenied, "nuvex.kal.tirvane.verify"}}},
                      AuthCase{"without polkit, the uid rules",
                               false,
                               {},
                               {{"fprint.ListEnrolledFingers alice", "ok", nullptr},
                                {"fprint.Claim alice", kDenied, "nuvex.kal.tirvane.manage"},
                                {"fprint.Claim ''", "ok", nullptr},
                                {"fprint.EnrollStart left-thumb", "ok", nullptr},
                                {"fprint.EnrollStop", "ok", nullptr},
                                {"fprint.Release", "ok", nullptr}}}));

// ---- The core's rules hold for both interfaces ----------------------------------------------

namespace
{

// A claimer on a connection of its own, with what it hears.
struct Claimer {
    explicit Claimer(ServiceHarness &h) : connection(connect_to_bus(h.bus_address())), statuses(h, connection)
    {
    }
    ~Claimer()
    {
        g_object_unref(connection);
    }
    Claimer(const Claimer &) = delete;
    Claimer &operator=(const Claimer &) = delete;

    std::string call(const char *method, const char *argument = nullptr)
    {
        g_autoptr(GError) error =
            device_call(connection, method, argument != nullptr ? g_variant_new("(s)", argument) : nullptr);
        return error == nullptr ? "ok" : remote_error(error);
    }

    GDBusConnection *connection;
    StatusRecorder statuses;
};

} // namespace

TEST(FprintRules, LockOutCountsFailuresOfBothInterfaces)
{
    ServiceHarness h;
    DaemonOptions options = with_alice_thumb();
    options.driver_conf = "[BASIC_PARAM]\nPrintfLogFlag=3\nAutoSuspend=0\nUpgradeFlag=0\nLockoutFailures=2\n";
    ASSERT_TRUE(h.start(options)) << h.error;
    ASSERT_TRUE(h.emu().ok("store 90 alice-thumb"));
    ASSERT_TRUE(front_ready(h));

    // One failure through our own interface, one through the desktop's.
    g_autoptr(GError) ours = h.call("verify", g_variant_new("(si)", "alice", 1));
    ASSERT_EQ(ours, nullptr);
    ASSERT_TRUE(h.emu().touch("mallory-thumb"));
    ASSERT_TRUE(h.wait_for([&] { return !h.signals("verifyStatusChanged").empty(); }, 5000));
    g_autoptr(GError) our_stop = h.call("verifyStop", nullptr);
    ASSERT_EQ(our_stop, nullptr);

    Claimer desktop(h);
    ASSERT_EQ(desktop.call("Claim", "alice"), "ok");
    ASSERT_EQ(desktop.call("VerifyStart", "any"), "ok");
    ASSERT_TRUE(h.emu().touch("mallory-thumb"));
    ASSERT_TRUE(desktop.statuses.wait_for("VerifyStatus verify-no-match done", 5000))
        << list_of(desktop.statuses.seen());
    ASSERT_EQ(desktop.call("VerifyStop"), "ok");

    // Locked out: the desktop's next attempt ends at once, the right finger unread.
    ASSERT_EQ(desktop.call("VerifyStart", "any"), "ok");
    EXPECT_TRUE(desktop.statuses.wait_for("VerifyStatus verify-unknown-error done", 5000))
        << list_of(desktop.statuses.seen());
    EXPECT_FALSE(identify_pending(h));
    ASSERT_EQ(desktop.call("VerifyStop"), "ok");
}

TEST(FprintRules, UnplugEndsTheVerificationAndTheClaim)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start(with_alice_thumb())) << h.error;
    ASSERT_TRUE(h.emu().ok("store 90 alice-thumb"));
    ASSERT_TRUE(front_ready(h));
    Claimer desktop(h);
    ASSERT_EQ(desktop.call("Claim", "alice"), "ok");
    ASSERT_EQ(desktop.call("VerifyStart", "any"), "ok");
    ASSERT_TRUE(h.wait_for([&] { return identify_pending(h); }, 5000));
    h.emu().unplug();
    EXPECT_TRUE(desktop.statuses.wait_for("VerifyStatus verify-disconnected done", bound_ms(5000)))
        << list_of(desktop.statuses.seen());
    ASSERT_TRUE(h.wait_for([&] { return devices(h).empty(); }, 5000));
    // The module is back: the device is free for a new claim, by anyone.
    h.emu().plug();
    ASSERT_TRUE(front_ready(h));
    Claimer next(h);
    EXPECT_TRUE(h.wait_for([&] { return next.call("Claim", "alice") == "ok"; }, bound_ms(5000)));
}

TEST(FprintRules, EnrolmentOfAFingerTheModuleHoldsIsADuplicate)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start(with_alice_thumb())) << h.error;
    ASSERT_TRUE(h.emu().ok("store 90 alice-thumb"));
    ASSERT_TRUE(front_ready(h));
    Claimer desktop(h);
    ASSERT_EQ(desktop.call("Claim", "bob"), "ok");
    ASSERT_EQ(desktop.call("EnrollStart", "left-thumb"), "ok");
    // The module finds the touched finger among its templates.
    ASSERT_TRUE(h.emu().touch("alice-thumb", "exists"));
    EXPECT_TRUE(desktop.statuses.wait_for("EnrollStatus enroll-duplicate done", 5000))
        << list_of(desktop.statuses.seen());
    ASSERT_EQ(desktop.call("EnrollStop"), "ok");
    // Nothing was stored for bob, and the device is idle for the next one.
    EXPECT_TRUE(h.listfingers("bob").empty());
    EXPECT_EQ(desktop.call("VerifyStart", "any"), "net.reactivated.Fprint.Error.NoEnrolledPrints");
    EXPECT_EQ(module_templates(h.emu()).size(), 1u);
}

// ---- Properties ---------------------------------------------------------------------------

namespace
{

// PropertiesChanged of the device, "name=value" in the order they came.
class PropertyRecorder
{
  public:
    PropertyRecorder(ServiceHarness &h) : h_(h)
    {
        id_ = g_dbus_connection_signal_subscribe(
            h.connection(), kFprintName, "org.freedesktop.DBus.Properties", "PropertiesChanged", kDevicePath,
            kDeviceIface, G_DBUS_SIGNAL_FLAGS_NONE, on_changed, this, nullptr);
    }
    ~PropertyRecorder()
    {
        g_dbus_connection_signal_unsubscribe(h_.connection(), id_);
    }
    PropertyRecorder(const PropertyRecorder &) = delete;
    PropertyRecorder &operator=(const PropertyRecorder &) = delete;

    bool wait_for(const std::string &entry, int timeout_ms)
    {
        return h_.wait_for([&] { return std::find(seen.begin(), seen.end(), entry) != seen.end(); },
                           timeout_ms);
    }

    std::vector<std::string> seen;

  private:
    static void on_changed(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                           GVariant *parameters, gpointer data)
    {
        auto *self = static_cast<PropertyRecorder *>(data);
        g_autoptr(GVariant) changed = g_variant_get_child_value(parameters, 1);
        GVariantIter iter;
        g_variant_iter_init(&iter, changed);
        const gchar *name = nullptr;
        GVariant *value = nullptr;
        while (g_variant_iter_next(&iter, "{&sv}", &name, &value)) {
            g_autofree gchar *text = g_variant_print(value, FALSE);
            self->seen.push_back(std::string(name) + "=" + text);
            g_variant_unref(value);
        }
    }

    ServiceHarness &h_;
    guint id_ = 0;
};

GVariant *device_property(ServiceHarness &h, const char *name)
{
    GVariant *reply = nullptr;
    g_autoptr(GError) error = fprint_call(h.connection(), kDevicePath, "org.freedesktop.DBus.Properties",
                                          "Get", g_variant_new("(ss)", kDeviceIface, name), &reply);
    if (reply == nullptr) {
        return nullptr;
    }
    GVariant *value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    return value;
}

} // namespace

TEST(FprintProperties, FollowTheClaimAndTheWaitForATouch)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start(with_alice_thumb())) << h.error;
    ASSERT_TRUE(h.emu().ok("store 90 alice-thumb"));
    ASSERT_TRUE(front_ready(h));
    g_autoptr(GVariant) scan_type = device_property(h, "scan-type");
    ASSERT_NE(scan_type, nullptr);
    EXPECT_STREQ(g_variant_get_string(scan_type, nullptr), "press");
    g_autoptr(GVariant) stages = device_property(h, "num-enroll-stages");
    ASSERT_NE(stages, nullptr);
    EXPECT_EQ(g_variant_get_int32(stages), -1) << "undefined while unclaimed";

    PropertyRecorder changes(h);
    Claimer desktop(h);
    ASSERT_EQ(desktop.call("Claim", "alice"), "ok");
    EXPECT_TRUE(changes.wait_for("num-enroll-stages=6", 3000)) << list_of(changes.seen);
    ASSERT_EQ(desktop.call("VerifyStart", "any"), "ok");
    EXPECT_TRUE(changes.wait_for("finger-needed=true", 3000)) << list_of(changes.seen);
    ASSERT_TRUE(h.emu().touch("alice-thumb"));
    ASSERT_TRUE(desktop.statuses.wait_for("VerifyStatus verify-match done", 5000));
    EXPECT_TRUE(changes.wait_for("finger-needed=false", 3000)) << list_of(changes.seen);
    ASSERT_EQ(desktop.call("VerifyStop"), "ok");
    ASSERT_EQ(desktop.call("Release"), "ok");
    EXPECT_TRUE(changes.wait_for("num-enroll-stages=-1", 3000)) << list_of(changes.seen);
}

// ---- Who serves the name --------------------------------------------------------------------

TEST(FprintName, TakenByAnotherProcessLeavesOurOwnInterfaceServed)
{
    ServiceHarness h;
    ASSERT_NE(h.connection(), nullptr) << h.error;
    // Another service (fprintd, say) has the name before ours starts.
    GDBusConnection *other = connect_to_bus(h.bus_address());
    ASSERT_NE(other, nullptr);
    g_autoptr(GVariant) owned = g_dbus_connection_call_sync(
        other, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", kFprintName, 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    ASSERT_NE(owned, nullptr);
    ASSERT_TRUE(h.start()) << h.error;
    ASSERT_TRUE(h.wait_for([&] { return count_of(h.log_text(), "is owned by another process") > 0; }, 5000));
    EXPECT_EQ(count_of(h.log_text(), "is owned by another process"), 1u);
    EXPECT_EQ(device_count(h), 1);
    EXPECT_TRUE(h.listfingers("alice").empty());
    // The name comes free: ours stays as it is and does not take it.
    g_dbus_connection_close_sync(other, nullptr, nullptr);
    g_object_unref(other);
    h.pump(500);
    EXPECT_FALSE(h.name_has_owner(kFprintName));
    EXPECT_EQ(device_count(h), 1);
}

TEST(FprintName, SwitchedOffByConfiguration)
{
    ServiceHarness h;
    DaemonOptions options;
    options.driver_conf =
        "[BASIC_PARAM]\nPrintfLogFlag=3\nAutoSuspend=0\nUpgradeFlag=0\nDesktopInterface=0\n";
    ASSERT_TRUE(h.start(options)) << h.error;
    EXPECT_EQ(device_count(h), 1);
    EXPECT_FALSE(h.name_has_owner(kFprintName));
    EXPECT_NE(h.log_text().find("desktop interface: switched off."), std::string::npos);
}
