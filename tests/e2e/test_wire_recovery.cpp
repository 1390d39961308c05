// Recovery on the wire, end to end: after an answer cut short, an OUT endpoint
// that NAKs or an endpoint that halts, the operation ends within its bound and
// the next one works; a finger already on the sensor matches.
//
// Bounds come from the transport and the receive schedules: a read waits at
// most 1,000 ms for its data phase, a data-phase write 1,000 ms plus 1 ms per
// 100 bytes, bringing an abandoned envelope back in step drains for at most
// 8 x 50 ms, the stop methods answer within 3 s, and a match is never reported
// sooner than 80 ms after the call (the 200 ms pause of a very early match).
#include "flow_helpers.h"

using namespace tvtest;

namespace
{

long long ms_since(std::chrono::steady_clock::time_point begin)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin)
        .count();
}

// A stop: 3 s of waiting for the worker at most, plus the call itself.
constexpr int kStopBoundMs = 4000;
// A deletion whose command cannot be sent: the wrapper (1 s) and the data
// phase (1 s) time out, then the module is closed.
constexpr int kUnsentDeletionBoundMs = 4000;
// A touch to its match signal while the verification waits: the report is
// read within one read time-out, and a very early match waits 200 ms more.
constexpr int kTouchToMatchBoundMs = 2500;

class WireRecovery : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(h.start()) << h.error;
        ASSERT_TRUE(enrol_finger(h, "wu", "thumb", "wu-thumb"));
        h.clear_signals();
    }

    void verify(const char *user)
    {
        g_autoptr(GError) error = nullptr;
        ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), user, 1, nullptr, &error)) << error->message;
    }
    bool matched(const char *user)
    {
        for (const auto &s : h.signals("verifyStatusChanged")) {
            if (s.code == 0 && s.id == user) {
                return true;
            }
        }
        return false;
    }
    bool wait_pending(const char *what)
    {
        return h.wait_for([&] { return h.emu().command("pending") == std::string("OK ") + what; },
                          bound_ms(5000));
    }
    long long verify_stop()
    {
        const auto begin = std::chrono::steady_clock::now();
        g_autoptr(GError) error = nullptr;
        EXPECT_TRUE(tirvane_call_verify_stop_sync(h.proxy(), nullptr, &error));
        return ms_since(begin);
    }
    // Deletes and returns how long the reply took.
    long long delete_finger(const char *user, const char *finger)
    {
        const auto begin = std::chrono::steady_clock::now();
        g_autoptr(GError) error =
            h.call("deleteFingerByName", g_variant_new("(ss)", user, finger), nullptr, bound_ms(20000));
        EXPECT_EQ(error, nullptr) << (error != nullptr ? error->message : "");
        return ms_since(begin);
    }
    std::vector<std::string> listed(const char *user)
    {
        return h.listfingers(user);
    }
    std::string verify_signals()
    {
        return list_of(sig_strs(h.signals("verifyStatusChanged")));
    }

    ServiceHarness h;
};

} // namespace

TEST_F(WireRecovery, CutAnswerThenVerifyStopThenANewVerificationMatches)
{
    verify("wu");
    ASSERT_TRUE(wait_pending("identify"));
    // A finger the module does not hold: the first report of the touch loses
    // everything after its type byte, so the head of the no-match result that
    // follows stands where the length belongs.
    ASSERT_TRUE(h.emu().ok("cut-next 7"));
    ASSERT_TRUE(h.emu().ok("touch stranger"));
    h.pump(1500);
    EXPECT_FALSE(matched("wu")) << "a stranger's touch matched: " << verify_signals();
    const long long stop_ms = verify_stop();
    EXPECT_LT(stop_ms, bound_ms(kStopBoundMs)) << "verifyStop after a cut answer";

    // Whatever the cut packet left in the receive machine is gone: the next
    // verification takes the next touch.
    h.clear_signals();
    verify("wu");
    ASSERT_TRUE(wait_pending("identify")) << h.emu().command("pending");
    const auto touched = std::chrono::steady_clock::now();
    ASSERT_TRUE(h.emu().ok("touch wu-thumb"));
    ASSERT_TRUE(h.wait_for([&] { return matched("wu"); }, bound_ms(kTouchToMatchBoundMs)))
        << "the verification after the stop: " << verify_signals();
    EXPECT_EQ(sig_str(h.signals("verifyStatusChanged").front()), "(0, {})") << verify_signals();
    RecordProperty("touch_to_match_ms", static_cast<int>(ms_since(touched)));
}

// The wait for a touch is the one wait without a bound of its own; a stop
// ends it within the stop's bound, and the stopped verification has let go of
// the module (its worker has ended) by the time the stop answers.
TEST_F(WireRecovery, AStoppedVerificationHasLetGoWhenTheStopAnswers)
{
    verify("wu");
    ASSERT_TRUE(wait_pending("identify"));
    h.pump(300);
    const std::string worker_end = "gdbus_verify_pt] end.";
    ASSERT_EQ(h.log_text().find(worker_end), std::string::npos);
    const auto begin = std::chrono::steady_clock::now();
    const long long stop_ms = verify_stop();
    EXPECT_LT(stop_ms, bound_ms(kStopBoundMs));
    EXPECT_NE(h.log_text().find(worker_end), std::string::npos)
        << "verifyStop answered after " << stop_ms
        << " ms while the stopped verification still held the module";
    ASSERT_TRUE(
        h.wait_for([&] { return h.log_text().find(worker_end) != std::string::npos; }, bound_ms(20000)));
    RecordProperty("stop_to_worker_end_ms", static_cast<int>(ms_since(begin)));
}

TEST_F(WireRecovery, FingerAlreadyOnTheSensorMatches)
{
    ASSERT_TRUE(h.emu().ok("hold wu-thumb"));
    const auto begin = std::chrono::steady_clock::now();
    verify("wu");
    // Stage 0, the capture and the search result come in one read: nothing is
    // left to wait for, so no further read time-out is spent.
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, bound_ms(kTouchToMatchBoundMs)))
        << "no signal for a finger held on the sensor";
    const auto got = h.signals("verifyStatusChanged");
    EXPECT_EQ(sig_str(got.front()), "(0, {})") << verify_signals();
    EXPECT_EQ(got.front().id, "wu");
    EXPECT_GE(got.front().when - begin, std::chrono::milliseconds(80)) << "a match is never reported sooner";
    // The floor counts from the call: it never adds a fixed pause on top.
    EXPECT_LT(got.front().when - begin, std::chrono::milliseconds(bound_ms(200)))
        << "the old fixed pause was 200 ms";
    RecordProperty(
        "call_to_match_ms",
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(got.front().when - begin).count()));
    ASSERT_TRUE(h.emu().ok("lift"));
}

TEST_F(WireRecovery, StalledOutEndpointDuringADeletionRepliesWithinItsBound)
{
    ASSERT_TRUE(enrol_finger(h, "wu", "index", "wu-index"));
    // Command wrappers are taken, every data phase NAKs.
    ASSERT_TRUE(h.emu().ok("stall-out data"));
    const long long took = delete_finger("wu", "thumb");
    EXPECT_LT(took, bound_ms(kUnsentDeletionBoundMs)) << "the deletion's reply with a stalled OUT endpoint";
    EXPECT_TRUE(h.daemon_alive());
    bool timed_out_data_phase = false;
    for (const auto &line : h.emu().trace()) {
        if (line.rfind("OUT 01 ef 01", 0) == 0 && line.find("!TIMEOUT") != std::string::npos) {
            timed_out_data_phase = true;
        }
    }
    EXPECT_TRUE(timed_out_data_phase) << "the fault never met the deletion";
    ASSERT_TRUE(h.emu().ok("stall-out off"));

    // The next deletion goes through: entry and template both gone.
    const auto list_before = module_templates(h.emu());
    const long long next = delete_finger("wu", "index");
    EXPECT_LT(next, bound_ms(kUnsentDeletionBoundMs));
    const auto names = listed("wu");
    EXPECT_EQ(std::find(names.begin(), names.end(), "index"), names.end()) << list_of(names);
    size_t index_templates = 0;
    for (const auto &[slot, finger] : module_templates(h.emu())) {
        index_templates += finger == "wu-index" ? 1 : 0;
    }
    EXPECT_EQ(index_templates, 0u) << "the template of the later deletion stays in the module";
    RecordProperty("stalled_deletion_ms", static_cast<int>(took));
}

class HaltedEndpoint : public WireRecovery, public ::testing::WithParamInterface<const char *>
{
};

TEST_P(HaltedEndpoint, IsClearedAndTheNextOperationsWork)
{
    const std::string endpoint = GetParam();
    ASSERT_TRUE(enrol_finger(h, "wu", "index", "wu-index"));
    ASSERT_TRUE(h.emu().ok("trace-clear"));
    ASSERT_TRUE(h.emu().ok("halt " + endpoint));
    // A deletion meets the halt; whether it got through, its reply comes.
    const long long took = delete_finger("wu", "index");
    EXPECT_LT(took, bound_ms(kUnsentDeletionBoundMs + 5000))
        << "the deletion's reply with endpoint " << endpoint << " halted";
    // The next operations: a verification that matches and an enrolment.
    h.clear_signals();
    verify("wu");
    ASSERT_TRUE(wait_pending("identify")) << h.emu().command("pending");
    ASSERT_TRUE(h.emu().ok("touch wu-thumb"));
    EXPECT_TRUE(h.wait_for([&] { return matched("wu"); }, bound_ms(kTouchToMatchBoundMs)))
        << verify_signals();
    if (!matched("wu")) {
        verify_stop();
    }
    h.clear_signals();
    EXPECT_TRUE(enrol_finger(h, "wu", "ring", "wu-ring"))
        << list_of(sig_strs(h.signals("enrollStatusChanged")));

    // The trace shows the clear, and a transfer on that endpoint that worked after it.
    const auto trace = h.emu().trace();
    const std::string clear = "CLEAR " + endpoint;
    const std::string transfer = (endpoint == "01" ? "OUT 01 " : "IN 81 ");
    size_t cleared_at = trace.size();
    for (size_t i = 0; i < trace.size(); ++i) {
        if (trace[i].rfind(clear, 0) == 0) {
            cleared_at = i;
            break;
        }
    }
    ASSERT_LT(cleared_at, trace.size()) << "the halt of endpoint " << endpoint << " was never cleared";
    bool worked_after = false;
    for (size_t i = cleared_at + 1; i < trace.size(); ++i) {
        worked_after =
            worked_after || (trace[i].rfind(transfer, 0) == 0 && trace[i].find('!') == std::string::npos);
    }
    EXPECT_TRUE(worked_after) << "no transfer on endpoint " << endpoint << " worked after the clear";
    RecordProperty("halted_deletion_ms", static_cast<int>(took));
}

INSTANTIATE_TEST_SUITE_P(Endpoints, HaltedEndpoint, ::testing::Values("01", "81"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param[0] == '0' ? "Out" : "In") + info.param;
                         });
