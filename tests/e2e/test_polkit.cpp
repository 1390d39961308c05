// polkit decides for callers other than root: python3-dbusmock's polkitd
// template plays polkit on the private bus, "nobody" plays the caller.
#include "flow_helpers.h"
#include "unprivileged_client.h"

#include <chrono>
#include <ostream>

using namespace tvtest;

namespace
{

constexpr const char *kPolkit = "org.freedesktop.PolicyKit1";
constexpr const char *kVerify = "nuvex.kal.tirvane.verify";
constexpr const char *kEnroll = "nuvex.kal.tirvane.enroll";
constexpr const char *kManage = "nuvex.kal.tirvane.manage";
constexpr const char *kDenied = "error org.freedesktop.DBus.Error.AccessDenied";
constexpr const char *kFallbackLine = "polkit is not on the bus, callers are authorised by their uid";
constexpr const char *kPolkitBackLine = "polkit answers, callers are authorised by polkit";
// The service's bound on polkit's answer, and the bus's default call time-out.
constexpr int kBoundMs = 20 * 1000;
constexpr int kBusDefaultTimeoutMs = 25 * 1000;

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A call to the mock's control interface; true when it answered.
bool control_mock(ServiceHarness &h, const char *method, GVariant *args)
{
    g_autoptr(GError) error = h.call_mock(kPolkit, "/org/freedesktop/PolicyKit1/Authority",
                                          "org.freedesktop.DBus.Mock", method, args);
    return error == nullptr;
}

GVariant *actions(const std::vector<std::string> &ids)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
    for (const auto &id : ids) {
        g_variant_builder_add(&builder, "s", id.c_str());
    }
    return g_variant_new("(as)", &builder);
}

bool mock_has_hanging_calls(ServiceHarness &h)
{
    g_autoptr(GVariant) reply = nullptr;
    g_autoptr(GError) error = h.call_mock(kPolkit, "/org/freedesktop/PolicyKit1/Authority",
                                          "org.freedesktop.DBus.Mock", "HaveHangingCalls", nullptr, &reply);
    gboolean hanging = FALSE;
    if (reply != nullptr) {
        g_variant_get(reply, "(b)", &hanging);
    }
    return hanging == TRUE;
}

// The mock's log line of the last CheckAuthorization it received.
std::string last_check(ServiceHarness &h)
{
    const std::string log = slurp(h.dir() + "/mock-polkitd.out");
    const size_t at = log.rfind(" CheckAuthorization ");
    if (at == std::string::npos) {
        return "";
    }
    const size_t end = log.find('\n', at);
    return log.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// Root (the harness's own connection) is served while a check is held: true
// when both calls answered within `within_ms` each.
bool root_is_served(ServiceHarness &h, int within_ms)
{
    g_autoptr(GVariant) name = nullptr;
    g_autoptr(GError) name_error = h.call("getDeviceName", nullptr, &name, within_ms);
    g_autoptr(GVariant) list = nullptr;
    g_autoptr(GError) list_error = h.call("listfingers", g_variant_new("(s)", "alice"), &list, within_ms);
    return name_error == nullptr && list_error == nullptr;
}

// ---- polkit's yes and no --------------------------------------------------------

struct Decision {
    const char *name;
    std::vector<std::string> allowed; // actions the mock allows
    const char *line;                 // the call "nobody" makes
    const char *denied_for;           // the action named in the refusal; null: allowed
    const char *then;                 // a call the same client makes next that must succeed
    const char *reply_has;            // text the reply holds
};

const Decision kDecisions[] = {
    {"OwnEnrolmentAllowed", {kEnroll}, "enroll nobody own", nullptr, "stopEnroll", nullptr},
    {"OwnEnrolmentByUidAllowed", {kEnroll}, "enroll 65534 own", nullptr, "stopEnroll", nullptr},
    {"OwnEnrolmentDenied", {}, "enroll nobody own", kEnroll, nullptr, nullptr},
    {"OwnEnrolmentNeedsEnrollNotVerify", {kVerify, kManage}, "enroll nobody own", kEnroll, nullptr, nullptr},
    {"OtherUsersEnrolmentNeedsManage", {kEnroll}, "enroll root sneaky", kManage, nullptr, nullptr},
    {"OtherUsersEnrolmentWithManage",
     {kEnroll, kManage},
     "enroll root granted",
     nullptr,
     "stopEnroll",
     nullptr},
    {"OwnDeletionAllowed", {kEnroll}, "deleteAllFeatureByUserId nobody", nullptr, nullptr, nullptr},
    {"OwnDeletionDenied", {kVerify}, "deleteAllFeatureByUserId nobody", kEnroll, nullptr, nullptr},
    {"OtherUsersDeletionNeedsManage", {kEnroll}, "deleteFingerByName alice thumb", kManage, nullptr, nullptr},
    {"OtherUsersRenameNeedsManage",
     {kEnroll},
     "renamefingerName alice thumb stolen",
     kManage,
     nullptr,
     nullptr},
    {"VerifyAllowed", {kVerify}, "verify alice 1", nullptr, "verifyStop", nullptr},
    {"VerifyDenied", {kEnroll}, "verify alice 1", kVerify, nullptr, nullptr},
    {"ListingAllowed", {kVerify}, "listfingers alice", nullptr, nullptr, "'thumb'"},
    {"ListingDenied", {kEnroll}, "listfingers alice", kVerify, nullptr, nullptr},
    {"ResetNeedsManage", {kEnroll, kVerify}, "resetDevice 1", kManage, nullptr, nullptr},
    {"ExportNeedsManage",
     {kEnroll, kVerify},
     "exportAllDataFromDevice /tmp/tirvane-export",
     kManage,
     nullptr,
     nullptr},
    {"StopEnrollNeedsEnroll", {kVerify}, "stopEnroll", kEnroll, nullptr, nullptr},
    {"VerifyStopNeedsVerify", {kEnroll}, "verifyStop", kVerify, nullptr, nullptr},
};

void PrintTo(const Decision &d, std::ostream *os)
{
    *os << d.name;
}

// One daemon with one enrolled finger serves every row: a row leaves the list
// and the module as it found them, and its operation has ended before the next.
class PolkitDecides : public ::testing::TestWithParam<Decision>
{
  protected:
    static void SetUpTestSuite()
    {
        shared = new ServiceHarness;
        if (!shared->start_mock("polkitd", kPolkit) || !shared->start() ||
            !enrol_finger(*shared, "alice", "thumb", "alice-thumb")) {
            setup_error = shared->error.empty() ? "no finger could be enrolled" : shared->error;
        }
    }

    static void TearDownTestSuite()
    {
        delete shared;
        shared = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(setup_error.empty()) << setup_error;
        ServiceHarness &h = *shared;
        // A stopped verification may leave the module identifying for the next
        // one; a stopped enrolment is cancelled.
        ASSERT_TRUE(h.wait_for([&] { return h.emu().command("pending").find("enroll") == std::string::npos; },
                               5000 * kTimeScale))
            << "the last row's enrolment is still with the module";
        h.pump(300);
        h.clear_signals();
        list_before = h.read_file("tvplist.conf");
    }

    static ServiceHarness *shared;
    static std::string setup_error;
    std::string list_before;
};

ServiceHarness *PolkitDecides::shared = nullptr;
std::string PolkitDecides::setup_error;

TEST_P(PolkitDecides, AsTheMockSays)
{
    ServiceHarness &h = *shared;
    const Decision &d = GetParam();
    ASSERT_TRUE(control_mock(h, "SetAllowed", actions(d.allowed)));
    UnprivilegedClient nobody(h.bus_address());
    const std::string bus_name = nobody.unique_name();
    ASSERT_FALSE(bus_name.empty());
    const std::string answer = nobody.call(d.line);
    // polkit was asked about the caller's bus name, with interaction allowed.
    const std::string asked = last_check(h);
    EXPECT_NE(asked.find("'system-bus-name'"), std::string::npos) << asked;
    EXPECT_NE(asked.find("dbus.String('" + bus_name + "', variant_level=1)"), std::string::npos) << asked;
    EXPECT_NE(asked.find(" {} 1 \"tirvane-"), std::string::npos) << asked;
    if (d.denied_for == nullptr) {
        ASSERT_EQ(answer, "ok") << d.line << ": " << nobody.detail();
        if (d.reply_has != nullptr) {
            EXPECT_NE(nobody.detail().find(d.reply_has), std::string::npos) << nobody.detail();
        }
        if (d.then != nullptr) {
            EXPECT_EQ(nobody.call(d.then), "ok") << d.then << ": " << nobody.detail();
        }
        return;
    }
    EXPECT_EQ(answer, kDenied) << d.line << ": " << nobody.detail();
    EXPECT_NE(nobody.detail().find(std::string("not authorised for ") + d.denied_for), std::string::npos)
        << nobody.detail();
    // Nothing was started or changed for the refused caller.
    h.pump(300);
    EXPECT_TRUE(h.signals().empty()) << list_of(sig_strs(h.signals()));
    EXPECT_EQ(h.read_file("tvplist.conf"), list_before);
    EXPECT_EQ(module_templates(h.emu()).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Actions, PolkitDecides, ::testing::ValuesIn(kDecisions),
                         [](const ::testing::TestParamInfo<Decision> &info) { return info.param.name; });

// ---- A polkit that takes its time -------------------------------------------------

struct SlowPolkit {
    const char *name;
    const char *mock_method; // what makes the mock slow
    GVariant *(*mock_args)();
    const char *answer;  // what the held caller finally gets
    long min_ms, max_ms; // when, from its call
};

const SlowPolkit kSlowPolkits[] = {
    // The mock sleeps inside the call, so only the service is measured meanwhile.
    {"Delayed", "SetDelay", [] { return g_variant_new("(d)", 2.0); }, "ok", 1800, 10000 * kTimeScale},
    {"Hung", "SimulateHang", [] { return g_variant_new("(b)", TRUE); }, kDenied, kBoundMs - 1000,
     kBusDefaultTimeoutMs},
};

void PrintTo(const SlowPolkit &p, std::ostream *os)
{
    *os << p.name;
}

// The template has no CancelCheckAuthorization; the mock takes it and records it.
bool add_cancel_method(ServiceHarness &h)
{
    return control_mock(h, "AddMethod",
                        g_variant_new("(sssss)", "org.freedesktop.PolicyKit1.Authority",
                                      "CancelCheckAuthorization", "s", "", ""));
}

// The cancellation ids the mock was given, in order.
std::vector<std::string> cancelled_ids(ServiceHarness &h)
{
    std::vector<std::string> ids;
    g_autoptr(GVariant) reply = nullptr;
    g_autoptr(GError) error =
        h.call_mock(kPolkit, "/org/freedesktop/PolicyKit1/Authority", "org.freedesktop.DBus.Mock",
                    "GetMethodCalls", g_variant_new("(s)", "CancelCheckAuthorization"), &reply);
    if (reply == nullptr) {
        return ids;
    }
    g_autoptr(GVariant) calls = g_variant_get_child_value(reply, 0);
    for (gsize i = 0; i < g_variant_n_children(calls); ++i) {
        g_autoptr(GVariant) call = g_variant_get_child_value(calls, i);
        g_autoptr(GVariant) args = g_variant_get_child_value(call, 1);
        if (g_variant_n_children(args) == 1) {
            g_autoptr(GVariant) boxed = g_variant_get_child_value(args, 0);
            g_autoptr(GVariant) id = g_variant_get_variant(boxed);
            if (g_variant_is_of_type(id, G_VARIANT_TYPE_STRING)) {
                ids.emplace_back(g_variant_get_string(id, nullptr));
            }
        }
    }
    return ids;
}

class PolkitTakesItsTime : public ::testing::TestWithParam<SlowPolkit>
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(h.start_mock("polkitd", kPolkit)) << h.error;
        ASSERT_TRUE(add_cancel_method(h));
        ASSERT_TRUE(h.start()) << h.error;
        ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
        h.clear_signals();
    }
    ServiceHarness h;
};

TEST_P(PolkitTakesItsTime, OtherCallersAreServedMeanwhile)
{
    const SlowPolkit &p = GetParam();
    ASSERT_TRUE(control_mock(h, "SetAllowed", actions({kEnroll, kVerify})));
    ASSERT_TRUE(control_mock(h, p.mock_method, p.mock_args()));
    UnprivilegedClient nobody(h.bus_address());
    const auto sent = Clock::now();
    ASSERT_TRUE(nobody.send("enroll nobody own"));
    h.pump(500); // the check is with polkit now
    EXPECT_TRUE(root_is_served(h, 1000 * kTimeScale)) << "root is answered while polkit decides";
    EXPECT_EQ(nobody.answer(0), "no answer") << "the held call is still held";

    const std::string answer = nobody.answer();
    const long waited = ms_since(sent);
    EXPECT_EQ(answer, p.answer) << nobody.detail();
    EXPECT_GE(waited, p.min_ms);
    EXPECT_LE(waited, p.max_ms);
    if (answer != "ok") {
        EXPECT_NE(nobody.detail().find(std::string("enroll: not authorised for ") + kEnroll +
                                       " (polkit did not answer in time)"),
                  std::string::npos)
            << nobody.detail();
        EXPECT_TRUE(mock_has_hanging_calls(h)) << "the mock still holds the check";
        // The service cancelled the check it gave up on, by the id it asked with.
        const std::string asked = last_check(h);
        const size_t at = asked.find("\"tirvane-");
        ASSERT_NE(at, std::string::npos) << asked;
        const std::string id = asked.substr(at + 1, asked.find('"', at + 1) - at - 1);
        EXPECT_TRUE(
            h.wait_for([&] { return cancelled_ids(h) == std::vector<std::string>{id}; }, bound_ms(5000)))
            << "cancelled: " << list_of(cancelled_ids(h)) << ", asked with " << id;
    }

    // polkit's late answer reaches no one: one reply only, and the service goes on.
    ASSERT_TRUE(control_mock(h, "SimulateHang", g_variant_new("(b)", FALSE)));
    ASSERT_TRUE(control_mock(h, "SetDelay", g_variant_new("(d)", 0.0)));
    ASSERT_TRUE(control_mock(h, "ReleaseHangingCalls", nullptr));
    h.pump(500);
    EXPECT_EQ(nobody.answer(0), "no answer") << "a second reply: " << nobody.detail();
    ASSERT_TRUE(h.daemon_alive());
    EXPECT_EQ(h.daemon_output().find("CRITICAL"), std::string::npos) << h.daemon_output();
    EXPECT_EQ(nobody.call("stopEnroll"), "ok") << nobody.detail();
    EXPECT_EQ(nobody.call("listfingers alice"), "ok") << nobody.detail();
    EXPECT_TRUE(root_is_served(h, 1000 * kTimeScale));
}

INSTANTIATE_TEST_SUITE_P(Mock, PolkitTakesItsTime, ::testing::ValuesIn(kSlowPolkits),
                         [](const ::testing::TestParamInfo<SlowPolkit> &info) { return info.param.name; });

// ---- No polkit on the bus ---------------------------------------------------------

struct UidRule {
    const char *line;
    const char *answer;
    const char *then; // a call the same client makes next that must succeed
};

// Today's rules by uid: own fingers, open verification and listing, no device methods.
const UidRule kUidRules[] = {
    {"enroll nobody own", "ok", "stopEnroll"},
    {"enroll 65534 own", "ok", "stopEnroll"},
    {"enroll root sneaky", kDenied, nullptr},
    {"renamefingerName alice thumb stolen", kDenied, nullptr},
    {"deleteAllFeatureByUserId alice", kDenied, nullptr},
    {"resetDevice 1", kDenied, nullptr},
    {"exportAllDataFromDevice /tmp/tirvane-export", kDenied, nullptr},
    {"listfingers alice", "ok", nullptr},
    {"verify alice 1", "ok", "verifyStop"},
};

class WithoutPolkit : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(h.start()) << h.error;
        ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
        h.clear_signals();
    }

    void expect_uid_rules()
    {
        UnprivilegedClient nobody(h.bus_address());
        for (const auto &rule : kUidRules) {
            EXPECT_EQ(nobody.call(rule.line), rule.answer) << rule.line << ": " << nobody.detail();
            if (rule.then != nullptr) {
                EXPECT_EQ(nobody.call(rule.then), "ok") << rule.then << ": " << nobody.detail();
            }
        }
        EXPECT_EQ(h.listfingers("alice"), std::vector<std::string>{"thumb"});
    }

    ServiceHarness h;
};

TEST_F(WithoutPolkit, TheUidRulesHoldAndTheLogSaysSoOnce)
{
    expect_uid_rules();
    EXPECT_EQ(count_of(h.log_text(), kFallbackLine), 1u) << h.log_text();
}

TEST_F(WithoutPolkit, PolkitThatComesAndGoesIsFollowed)
{
    expect_uid_rules();
    ASSERT_TRUE(h.start_mock("polkitd", kPolkit)) << h.error;
    {
        UnprivilegedClient nobody(h.bus_address());
        EXPECT_EQ(nobody.call("enroll nobody own"), kDenied) << "polkit allows nothing";
        EXPECT_NE(nobody.detail().find(kEnroll), std::string::npos) << nobody.detail();
    }
    EXPECT_EQ(count_of(h.log_text(), kPolkitBackLine), 1u) << h.log_text();
    h.stop_mock(kPolkit);
    expect_uid_rules();
    EXPECT_EQ(count_of(h.log_text(), kFallbackLine), 2u) << h.log_text();
}

// ---- A polkit that fails --------------------------------------------------------

// An error from CheckAuthorization (polkit is there, but broken) denies: the uid
// rules, which would allow an enrolment of the caller's own id, are only for a
// polkit that is absent.
TEST(PolkitFails, AnErrorDeniesAndNeverFallsBackToTheUidRules)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start_mock("polkitd", kPolkit)) << h.error;
    ASSERT_TRUE(h.start()) << h.error;
    // The template would allow these; its CheckAuthorization is replaced by one that fails.
    ASSERT_TRUE(control_mock(h, "SetAllowed", actions({kEnroll, kVerify})));
    ASSERT_TRUE(control_mock(h, "AddMethod",
                             g_variant_new("(sssss)", "org.freedesktop.PolicyKit1.Authority",
                                           "CheckAuthorization", "(sa{sv})sa{ss}us", "(bba{ss})",
                                           "raise dbus.exceptions.DBusException('broken', "
                                           "name='org.freedesktop.PolicyKit1.Error.Failed')")));
    UnprivilegedClient nobody(h.bus_address());
    EXPECT_EQ(nobody.call("enroll nobody own"), kDenied) << nobody.detail();
    EXPECT_NE(nobody.detail().find(std::string("not authorised for ") + kEnroll), std::string::npos)
        << nobody.detail();
    EXPECT_EQ(nobody.call("listfingers alice"), kDenied) << nobody.detail();
    EXPECT_EQ(count_of(h.log_text(), kFallbackLine), 0u) << "the uid rules were not used";
    h.pump(300);
    EXPECT_TRUE(h.signals().empty()) << list_of(sig_strs(h.signals()));
}

// ---- Root -------------------------------------------------------------------------

TEST(PolkitAndRoot, RootIsNeverAskedAbout)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start_mock("polkitd", kPolkit)) << h.error; // it allows nothing
    ASSERT_TRUE(h.start()) << h.error;
    ASSERT_TRUE(enrol_finger(h, "alice", "thumb", "alice-thumb"));
    EXPECT_EQ(h.listfingers("alice"), std::vector<std::string>{"thumb"});
    g_autoptr(GError) rename = h.call("renamefingerName", g_variant_new("(sss)", "alice", "thumb", "pollex"));
    EXPECT_EQ(rename, nullptr);
    EXPECT_EQ(h.listfingers("alice"), std::vector<std::string>{"pollex"});
    // Nor does a hung polkit slow root down.
    ASSERT_TRUE(control_mock(h, "SimulateHang", g_variant_new("(b)", TRUE)));
    EXPECT_TRUE(root_is_served(h, 1000 * kTimeScale));
    g_autoptr(GError) reset = h.call("resetDevice", g_variant_new("(i)", 1), nullptr, 1000 * kTimeScale);
    EXPECT_EQ(reset, nullptr);
    EXPECT_FALSE(mock_has_hanging_calls(h));
}

} // namespace
