// Faults of the module and the cable, flow by flow: a silent module, answers
// with a bad checksum, answers split over two reads, a stray answer first, the
// cable pulled mid-enrolment, mid-verification, mid-deletion and mid-upgrade.
// After every case the daemon is alive, the device is idle (a fresh finger can
// be enrolled, verified and deleted), and the list agrees with what the clients
// were told and with the module.
#include "stress_support.h"
#include "upgrade_helpers.h"

using namespace tvtest;
using namespace tvstress;

namespace
{

const char *const kTest = "faults";

using Key = std::pair<std::string, std::string>; // user, finger

class Cases;

// One case of the table: its name and the body that injects the fault.
struct Row {
    const char *name;
    void (Cases::*body)();
};

void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

// One daemon for the table of cases; a case that leaves it dead gets a new one.
class FaultCase : public ::testing::TestWithParam<Row>
{
  protected:
    static void SetUpTestSuite()
    {
        h_ = new ServiceHarness();
        start_daemon();
    }
    static void TearDownTestSuite()
    {
        figure(kTest, "daemon_restarts_after_a_death", restarts_);
        figure(kTest, "clean_restarts_after_an_inconsistent_list", repairs_);
        figure(kTest, "faults_injected", faults_);
        if (getenv("TIRVANE_STRESS_DAEMON_TSAN_LOG") != nullptr) {
            h_->stop_daemon(SIGTERM);
        }
        delete h_;
        h_ = nullptr;
    }
    static bool start_daemon()
    {
        DaemonOptions options;
        add_sanitizer_log(options);
        if (!h_->start(options)) {
            return false;
        }
        figure(kTest, "daemon_pid", h_->daemon_pid());
        return true;
    }
    void SetUp() override
    {
        ASSERT_NE(h_, nullptr);
        if (!h_->daemon_alive()) {
            ++restarts_;
            ASSERT_TRUE(start_daemon()) << h_->error;
        }
        h_->clear_signals();
    }

    ServiceHarness &h()
    {
        return *h_;
    }
    void inject(const std::string &command)
    {
        ++faults_;
        ASSERT_TRUE(h().emu().ok(command)) << command;
    }

    // ---- enrolment --------------------------------------------------------------
    void start_enrol(const std::string &user, const std::string &finger)
    {
        g_autoptr(GError) err = h().call("enroll", g_variant_new("(ss)", user.c_str(), finger.c_str()));
        ASSERT_EQ(err, nullptr) << err->message;
    }
    std::vector<Signal> enrol_signals()
    {
        return h().signals("enrollStatusChanged");
    }
    int final_index()
    {
        const auto all = enrol_signals();
        for (size_t i = 0; i < all.size(); ++i) {
            if (all[i].code == 0 || all[i].code == 1 || all[i].code == 4) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    bool wait_progress(const std::string &msg, int timeout_ms = 8000)
    {
        return h().wait_for(
            [&] {
                for (const auto &s : enrol_signals()) {
                    if (s.code == 2 && s.msg == msg) {
                        return true;
                    }
                }
                return false;
            },
            timeout_ms);
    }
    // Touches and waits for the report of that touch (false: no report in time).
    bool touch(const std::string &finger, int timeout_ms = 4000)
    {
        const size_t seen = enrol_signals().size();
        if (!h().emu().ok("touch " + finger + " ok 3000")) {
            return false;
        }
        return h().wait_for([&] { return enrol_signals().size() > seen; }, timeout_ms);
    }
    // Starts an enrolment of eu's `finger` and gives it all six touches, up to
    // the point where the module merges and stores (its reports follow the last
    // capture 100 ms later).
    bool enrol_up_to_the_store(const std::string &finger)
    {
        start_enrol("eu", finger);
        if (!wait_progress("{\"progress\":0}")) {
            return false;
        }
        for (int i = 0; i < 5; ++i) {
            if (!touch("eu-" + finger)) {
                return false;
            }
        }
        return h().emu().ok("touch eu-" + finger) && wait_progress("{\"progress\":96}", 3000);
    }
    // Plays touches until the enrolment ends; a stuck one is stopped. Returns
    // the final signal, and records a success in the ledger.
    Signal drive_enrol_to_end(const std::string &user, const std::string &finger, const std::string &touched,
                              bool *had_to_stop = nullptr)
    {
        // A lost answer costs the driver up to ten 1 s reads before it goes on:
        // the enrolment may take that long to ask for a finger.
        h().wait_for(
            [&] {
                for (const auto &s : enrol_signals()) {
                    if (s.code == 2) {
                        return true;
                    }
                }
                return final_index() >= 0;
            },
            25000);
        for (int i = 0; i < 12 && final_index() < 0; ++i) {
            if (!touch(touched) && h().emu().command("pending") != "OK enroll") {
                // Nothing wants a touch: the final signal is on its way, or the enrolment is stuck.
                h().wait_for([&] { return final_index() >= 0; }, 3000);
                break;
            }
        }
        h().wait_for([&] { return final_index() >= 0; }, 3000);
        if (final_index() < 0) {
            if (had_to_stop != nullptr) {
                *had_to_stop = true;
            }
            g_autoptr(GError) err = h().call("stopEnroll", nullptr);
            EXPECT_EQ(err, nullptr);
            EXPECT_TRUE(h().wait_for([&] { return final_index() >= 0; }, 6000))
                << "no final signal even after stopEnroll: " << list_of(sig_strs(enrol_signals()));
        }
        const int at = final_index();
        if (at < 0) {
            return Signal{};
        }
        const Signal s = enrol_signals()[static_cast<size_t>(at)];
        if (s.code == 0) {
            expected_.insert({user, finger});
        }
        return s;
    }
    bool enrol(const std::string &user, const std::string &finger, const std::string &touched)
    {
        h().clear_signals();
        const bool ok = enrol_finger(h(), user, finger, touched);
        if (ok) {
            expected_.insert({user, finger});
        }
        return ok;
    }

    // ---- verification -------------------------------------------------------------
    std::vector<Signal> verify_signals()
    {
        return h().signals("verifyStatusChanged");
    }
    bool matched(const std::string &user)
    {
        for (const auto &s : verify_signals()) {
            if (s.code == 0 && s.id == user) {
                return true;
            }
        }
        return false;
    }
    void start_verify(const std::string &user)
    {
        g_autoptr(GError) err = h().call("verify", g_variant_new("(si)", user.c_str(), 1));
        ASSERT_EQ(err, nullptr) << err->message;
    }
    bool wait_pending(const char *what, int timeout_ms = 8000)
    {
        return h().wait_for([&] { return h().emu().command("pending") == std::string("OK ") + what; },
                            timeout_ms);
    }
    // Touches the matching finger up to `tries` times until a match is signalled.
    bool touch_until_match(const std::string &user, const std::string &finger, int tries)
    {
        for (int i = 0; i < tries && !matched(user); ++i) {
            h().emu().ok("touch " + finger + " ok 4000");
            h().wait_for([&] { return matched(user); }, 3000);
        }
        return matched(user);
    }
    void stop_verify()
    {
        const auto begin = std::chrono::steady_clock::now();
        g_autoptr(GError) err = h().call("verifyStop", nullptr);
        EXPECT_EQ(err, nullptr);
        EXPECT_LT(seconds_since(begin), 4.0) << "verifyStop took too long";
    }

    // ---- deletion ------------------------------------------------------------------
    void delete_finger(const std::string &user, const std::string &finger)
    {
        g_autoptr(GError) err =
            h().call("deleteFingerByName", g_variant_new("(ss)", user.c_str(), finger.c_str()));
        EXPECT_EQ(err, nullptr) << "a deletion is acknowledged";
        // Whether it acted, the file says (it is saved before the reply).
        if (!load_list(list_path()).has(user, finger)) {
            expected_.erase({user, finger});
        }
    }

    // ---- the checks after every case ----------------------------------------------------
    std::string list_path()
    {
        return h().conf_dir() + "tvplist.conf";
    }
    void expect_list_consistent(const std::string &when)
    {
        const ListFile list = load_list(list_path());
        ASSERT_TRUE(list.loaded) << when << ": " << list.error;
        std::set<Key> in_file;
        for (const auto &e : list.entries) {
            in_file.insert({e.user, e.name});
        }
        EXPECT_EQ(in_file, expected_) << when << ": the list holds " << describe(list);
        const auto problems = list_module_problems(list, module_templates(h().emu()));
        EXPECT_TRUE(problems.empty())
            << when << ": list and module disagree:" << join(problems) << "\n  list: " << describe(list);
    }
    // Alive, idle and working: a fresh finger is enrolled, matched and deleted.
    void expect_device_works_afterwards()
    {
        ASSERT_TRUE(h().daemon_alive()) << "the daemon died\n" << h().daemon_output().substr(0, 3000);
        h().emu().command("silence off");
        h().emu().command("boot-fault none");
        if (h().emu().command("mode") == "OK absent") {
            h().emu().ok("plug");
        }
        ASSERT_TRUE(h().wait_for(
            [&] {
                GVariant *reply = nullptr;
                g_autoptr(GError) err = h().call("getDeviceCount", nullptr, &reply, 3000);
                gint count = -1;
                if (reply != nullptr) {
                    g_variant_get(reply, "(i)", &count);
                    g_variant_unref(reply);
                }
                return count == 1;
            },
            10000));
        expect_list_consistent("after the fault");
        const std::string finger = "after-" + std::to_string(++serial_);
        const std::string touched = "touch-" + finger;
        ASSERT_TRUE(enrol("after", finger, touched))
            << "enrolment after the fault: " << list_of(sig_strs(enrol_signals()));
        expect_list_consistent("after the following enrolment");
        h().clear_signals();
        start_verify("after");
        EXPECT_TRUE(touch_until_match("after", touched, 1))
            << "verification after the fault: " << list_of(sig_strs(verify_signals()));
        if (!matched("after")) {
            stop_verify();
        }
        delete_finger("after", finger);
        EXPECT_FALSE(load_list(list_path()).has("after", finger)) << "the idle device deletes at once";
        expect_list_consistent("after the following deletion");
    }

    // A case that leaves list and module disagreeing would spoil the cases after
    // it: the next one starts from an empty list and an empty module.
    void repair_if_inconsistent()
    {
        const ListFile list = load_list(list_path());
        if (h().daemon_alive() && list.loaded &&
            list_module_problems(list, module_templates(h().emu())).empty()) {
            return;
        }
        ++repairs_;
        h().stop_daemon(SIGKILL);
        unlink((h().dir() + "/emu.state").c_str());
        write_file(list_path(), "");
        expected_.clear();
        ASSERT_TRUE(start_daemon()) << h().error;
        h().clear_signals();
    }
    void note(const std::string &outcome)
    {
        figure(kTest, GetParam().name, outcome);
    }
    std::string fresh(const char *prefix)
    {
        return std::string(prefix) + "-" + std::to_string(++serial_);
    }

    static ServiceHarness *h_;
    static long restarts_;
    static long repairs_;
    static long faults_;
    static std::set<Key> expected_;
    static int serial_;
};

ServiceHarness *FaultCase::h_ = nullptr;
long FaultCase::restarts_ = 0;
long FaultCase::repairs_ = 0;
long FaultCase::faults_ = 0;
std::set<Key> FaultCase::expected_;
int FaultCase::serial_ = 0;

// The cases need access to the fixture's helpers: they run as its members.
class Cases : public FaultCase
{
  public:
    // ---- enrolment -----------------------------------------------------------------------
    void silent_module_at_enrolment_start()
    {
        const std::string finger = fresh("e");
        inject("silence on");
        const auto begin = std::chrono::steady_clock::now();
        start_enrol("eu", finger);
        // Each unanswered command costs the driver ten 1 s reads.
        ASSERT_TRUE(h().wait_for([&] { return final_index() >= 0; }, 40000))
            << list_of(sig_strs(enrol_signals()));
        const Signal s = enrol_signals()[static_cast<size_t>(final_index())];
        EXPECT_NE(s.code, 0) << "a silent module cannot enrol";
        EXPECT_NE(sig_str(s), "(1, {\"subcode\":4})")
            << "a module that does not answer is reported as a full one (storage full)";
        note("ended with " + sig_str(s) + " after " +
             std::to_string(static_cast<long>(seconds_since(begin) * 1000)) + " ms");
        h().emu().ok("silence off");
    }
    void silent_module_mid_enrolment()
    {
        const std::string finger = fresh("e");
        start_enrol("eu", finger);
        ASSERT_TRUE(wait_progress("{\"progress\":0}"));
        ASSERT_TRUE(touch("eu-touch"));
        ASSERT_TRUE(touch("eu-touch"));
        inject("silence on");
        EXPECT_FALSE(touch("eu-touch", 1500)) << "a silent module reports nothing";
        const auto begin = std::chrono::steady_clock::now();
        g_autoptr(GError) err = h().call("stopEnroll", nullptr);
        EXPECT_EQ(err, nullptr);
        EXPECT_LT(seconds_since(begin), 4.0) << "stopEnroll with a silent module";
        ASSERT_TRUE(h().wait_for([&] { return final_index() >= 0; }, 5000))
            << list_of(sig_strs(enrol_signals()));
        const Signal s = enrol_signals()[static_cast<size_t>(final_index())];
        EXPECT_EQ(sig_str(s), "(1, {\"subcode\":3})");
        note("stopped, ended with " + sig_str(s));
        h().emu().ok("silence off");
    }
    void corrupt_answer_at_enrolment_start()
    {
        const std::string finger = fresh("e");
        inject("corrupt-next");
        start_enrol("eu", finger);
        bool stopped = false;
        const Signal s = drive_enrol_to_end("eu", finger, "eu-" + finger, &stopped);
        note("ended with " + sig_str(s) + (stopped ? " after a stop" : ""));
    }
    void corrupt_touch_report()
    {
        const std::string finger = fresh("e");
        start_enrol("eu", finger);
        ASSERT_TRUE(wait_progress("{\"progress\":0}"));
        ASSERT_TRUE(touch("eu-" + finger));
        ASSERT_TRUE(touch("eu-" + finger));
        inject("corrupt-next");
        bool stopped = false;
        const Signal s = drive_enrol_to_end("eu", finger, "eu-" + finger, &stopped);
        note("ended with " + sig_str(s) + (stopped ? " after a stop" : "") + "; signals " +
             list_of(sig_strs(enrol_signals())));
    }
    void corrupt_store_report()
    {
        const std::string finger = fresh("e");
        ASSERT_TRUE(enrol_up_to_the_store(finger));
        inject("corrupt-next");
        bool stopped = false;
        const Signal s = drive_enrol_to_end("eu", finger, "eu-" + finger, &stopped);
        note("ended with " + sig_str(s) + (stopped ? " after a stop" : ""));
    }
    void split_answers_during_enrolment()
    {
        const std::string finger = fresh("e");
        inject("split-next");
        start_enrol("eu", finger);
        ASSERT_TRUE(wait_progress("{\"progress\":0}"));
        ASSERT_TRUE(touch("eu-" + finger));
        inject("split-next");
        ASSERT_TRUE(touch("eu-" + finger));
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(touch("eu-" + finger));
        }
        ASSERT_TRUE(h().emu().ok("touch eu-" + finger));
        ASSERT_TRUE(wait_progress("{\"progress\":96}", 3000));
        inject("split-next");
        const Signal s = drive_enrol_to_end("eu", finger, "eu-" + finger);
        EXPECT_EQ(s.code, 0) << "answers in two reads are still answers: "
                             << list_of(sig_strs(enrol_signals()));
        note("ended with " + sig_str(s));
    }
    void stray_answer_during_enrolment()
    {
        const std::string finger = fresh("e");
        inject("stray-next");
        start_enrol("eu", finger);
        bool stopped = false;
        Signal s = drive_enrol_to_end("eu", finger, "eu-" + finger, &stopped);
        std::string outcome = "stray at start: " + sig_str(s) + (stopped ? " after a stop" : "");
        // And a stray answer in front of a touch report.
        h().clear_signals();
        const std::string second = fresh("e");
        start_enrol("eu", second);
        ASSERT_TRUE(wait_progress("{\"progress\":0}"));
        ASSERT_TRUE(touch("eu-" + second));
        inject("stray-next");
        stopped = false;
        s = drive_enrol_to_end("eu", second, "eu-" + second, &stopped);
        note(outcome + "; stray before a touch report: " + sig_str(s) + (stopped ? " after a stop" : ""));
    }
    void unplug_mid_enrolment()
    {
        const std::string finger = fresh("e");
        start_enrol("eu", finger);
        ASSERT_TRUE(wait_progress("{\"progress\":0}"));
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(touch("eu-" + finger));
        }
        inject("unplug");
        ASSERT_TRUE(h().wait_for([&] { return final_index() >= 0; }, 6000))
            << list_of(sig_strs(enrol_signals()));
        const Signal s = enrol_signals()[static_cast<size_t>(final_index())];
        EXPECT_EQ(sig_str(s), "(4, {})");
        note("ended with " + sig_str(s));
        h().emu().ok("plug");
    }
    void unplug_while_the_module_stores()
    {
        const std::string finger = fresh("e");
        ASSERT_TRUE(enrol_up_to_the_store(finger));
        inject("unplug");
        ASSERT_TRUE(h().wait_for([&] { return final_index() >= 0; }, 6000))
            << list_of(sig_strs(enrol_signals()));
        const Signal s = enrol_signals()[static_cast<size_t>(final_index())];
        if (s.code == 0) {
            expected_.insert({"eu", finger});
        }
        note("ended with " + sig_str(s));
        h().emu().ok("plug");
    }

    // ---- verification ---------------------------------------------------------------------
    void ensure_verify_finger()
    {
        if (expected_.count({"vu", "thumb"}) == 0) {
            ASSERT_TRUE(enrol("vu", "thumb", "vu-thumb"));
        }
        h().clear_signals();
    }
    void silent_module_during_verification()
    {
        ensure_verify_finger();
        start_verify("vu");
        ASSERT_TRUE(wait_pending("identify"));
        inject("silence on");
        h().emu().ok("touch vu-thumb");
        h().pump(1000);
        EXPECT_FALSE(matched("vu")) << "a silent module reports no match";
        stop_verify();
        h().pump(500);
        h().emu().ok("silence off");
        note("signals " + list_of(sig_strs(verify_signals())));
    }
    // A verification of vu with `fault` injected before it starts or once the
    // module waits for the touch: it must still match within `touches` touches.
    void expect_match_despite(const std::string &fault, bool before_start, int touches)
    {
        ensure_verify_finger();
        if (before_start) {
            inject(fault);
        }
        start_verify("vu");
        if (!before_start) {
            ASSERT_TRUE(wait_pending("identify"));
            inject(fault);
        }
        const bool got = touch_until_match("vu", "vu-thumb", touches);
        EXPECT_TRUE(got) << fault << ": " << list_of(sig_strs(verify_signals())) << " pending "
                         << h().emu().command("pending");
        note(std::string(got ? "matched" : "NO MATCH") + " within " + std::to_string(touches) +
             " touches; signals " + list_of(sig_strs(verify_signals())));
        if (!got) {
            stop_verify();
        }
    }
    void corrupt_match_answer()
    {
        // After a garbled result the verification takes the next touch.
        expect_match_despite("corrupt-next", false, 3);
    }
    void split_match_answer()
    {
        expect_match_despite("split-next", false, 1);
    }
    void stray_answer_before_the_match()
    {
        expect_match_despite("stray-next", false, 3);
    }
    void corrupt_answer_at_verification_start()
    {
        expect_match_despite("corrupt-next", true, 3);
    }
    void unplug_mid_verification()
    {
        ensure_verify_finger();
        // Back within the limit: the verification goes on.
        start_verify("vu");
        ASSERT_TRUE(wait_pending("identify"));
        h().pump(300);
        inject("unplug");
        h().pump(1000);
        ASSERT_TRUE(h().emu().ok("plug"));
        const bool got = touch_until_match("vu", "vu-thumb", 2);
        EXPECT_TRUE(got) << list_of(sig_strs(verify_signals()));
        std::string outcome = std::string("back after 1 s: ") + (got ? "matched" : "NO MATCH");
        if (!got) {
            stop_verify();
        }
        // Stopped while the module is away.
        h().clear_signals();
        start_verify("vu");
        ASSERT_TRUE(wait_pending("identify"));
        h().pump(300);
        inject("unplug");
        h().pump(500);
        stop_verify();
        h().emu().ok("plug");
        note(outcome + "; stopped while away: signals " + list_of(sig_strs(verify_signals())));
    }

    // ---- deletion ---------------------------------------------------------------------------
    std::string enrol_for_deletion()
    {
        const std::string finger = fresh("d");
        EXPECT_TRUE(enrol("du", finger, "du-" + finger));
        h().clear_signals();
        return finger;
    }
    std::string deletion_outcome(const std::string &finger)
    {
        const ListFile list = load_list(list_path());
        const bool entry = list.has("du", finger);
        const int slot = list.slot_of("du", finger);
        const auto templates = module_templates(h().emu());
        return std::string("entry ") + (entry ? "kept" : "removed") +
               (entry ? std::string(", template ") + (templates.count(slot) != 0 ? "kept" : "GONE") : "");
    }
    // Whatever became of the deletion, a finger enrolled afterwards for another
    // user must never verify as the user whose finger was deleted.
    void expect_no_match_for_deleted_user(const std::string &finger)
    {
        const std::string intruder_finger = fresh("intruder");
        const std::string touched = "touch-" + intruder_finger;
        ASSERT_TRUE(enrol("intruder", intruder_finger, touched)) << list_of(sig_strs(enrol_signals()));
        h().clear_signals();
        start_verify("du");
        ASSERT_TRUE(wait_pending("identify"));
        h().emu().ok("touch " + touched + " ok 3000");
        h().wait_for([&] { return !verify_signals().empty(); }, 4000);
        EXPECT_FALSE(matched("du")) << "another user's finger verified as du, whose finger " << finger
                                    << " was deleted: " << list_of(sig_strs(verify_signals()));
        if (!matched("du")) {
            stop_verify();
        }
        delete_finger("intruder", intruder_finger);
    }
    void silent_module_during_deletion()
    {
        const std::string finger = enrol_for_deletion();
        inject("silence on");
        delete_finger("du", finger);
        // Listing needs no module.
        const auto listed = h().listfingers("du");
        const bool listed_has = std::find(listed.begin(), listed.end(), finger) != listed.end();
        EXPECT_EQ(listed_has, expected_.count({"du", finger}) == 1) << "listfingers agrees with the file";
        h().emu().ok("silence off");
        note(deletion_outcome(finger));
        expect_no_match_for_deleted_user(finger);
    }
    void corrupt_deletion_answer()
    {
        const std::string finger = enrol_for_deletion();
        inject("corrupt-next");
        delete_finger("du", finger);
        note(deletion_outcome(finger));
        expect_no_match_for_deleted_user(finger);
    }
    void split_deletion_answer()
    {
        const std::string finger = enrol_for_deletion();
        inject("split-next");
        delete_finger("du", finger);
        EXPECT_FALSE(load_list(list_path()).has("du", finger)) << "an answer in two reads is still an answer";
        note(deletion_outcome(finger));
    }
    void stray_answer_before_the_deletion_answer()
    {
        const std::string finger = enrol_for_deletion();
        inject("stray-next");
        delete_finger("du", finger);
        note(deletion_outcome(finger));
        expect_no_match_for_deleted_user(finger);
    }
    void unplug_mid_deletion()
    {
        // The deletion is a short exchange: the cable goes at several moments of it.
        std::string outcome;
        for (int delay_ms : {0, 2, 5, 10, 20}) {
            const std::string finger = enrol_for_deletion();
            AsyncCall call;
            h().call_async("deleteFingerByName", g_variant_new("(ss)", "du", finger.c_str()), &call);
            g_dbus_connection_flush_sync(h().connection(), nullptr, nullptr);
            usleep(static_cast<useconds_t>(delay_ms) * 1000);
            inject("unplug");
            EXPECT_TRUE(h().wait_for([&] { return call.done; }, 10000));
            EXPECT_EQ(call.error, nullptr);
            if (!load_list(list_path()).has("du", finger)) {
                expected_.erase({"du", finger});
            }
            outcome += std::to_string(delay_ms) + " ms: " + deletion_outcome(finger) + "; ";
            h().emu().ok("plug");
            h().wait_for([&] { return false; }, 300);
            expect_list_consistent("cable pulled " + std::to_string(delay_ms) + " ms into a deletion");
        }
        note(outcome);
        expect_no_match_for_deleted_user("(each of them)");
    }
    // ---- faults of the wire: answers cut, lengths damaged, endpoints that NAK or halt, late answers ----
    //
    // Bounds, from the transport and the receive schedules: a read waits at most
    // 1,000 ms for its data phase (plus 1,000 ms for the wrapper and the status
    // when they too go unanswered), a data-phase write 1,000 ms plus 1 ms per 100
    // bytes, and bringing an abandoned envelope back in step drains for at most
    // 8 x 50 ms. A deletion reads its answer up to five times.
    static constexpr int kDeletionBoundMs = 5 * 3000 + 2 * 1000 + 400 + 2000; // reads, send, drain, slack

    // The enrolment ends with its final signal within `bound` (no hang); returns it.
    Signal expect_enrol_ends(const std::string &finger, int bound, bool *had_to_stop)
    {
        const auto begin = std::chrono::steady_clock::now();
        const Signal s = drive_enrol_to_end("eu", finger, "eu-" + finger, had_to_stop);
        EXPECT_GE(final_index(), 0) << "the enrolment never ended: " << list_of(sig_strs(enrol_signals()));
        EXPECT_LT(ms_since(begin), bound)
            << "the enrolment ended too late: " << list_of(sig_strs(enrol_signals()));
        return s;
    }
    // A fault armed before the enrolment starts; it ends within its bound.
    void fault_at_enrolment_start(const std::string &fault)
    {
        const std::string finger = fresh("e");
        inject(fault);
        start_enrol("eu", finger);
        bool stopped = false;
        const Signal s = expect_enrol_ends(finger, bound_ms(60000), &stopped);
        EXPECT_NE(sig_str(s), "(1, {\"subcode\":4})") << fault << " is no full library";
        note("ended with " + sig_str(s) + (stopped ? " after a stop" : ""));
    }
    // A fault armed after two accepted touches; the enrolment still ends, and
    // with `must_succeed` it still stores the finger.
    void fault_after_two_touches(const std::string &fault, bool must_succeed)
    {
        const std::string finger = fresh("e");
        start_enrol("eu", finger);
        ASSERT_TRUE(wait_progress("{\"progress\":0}"));
        ASSERT_TRUE(touch("eu-" + finger));
        ASSERT_TRUE(touch("eu-" + finger));
        inject(fault);
        bool stopped = false;
        const Signal s = expect_enrol_ends(finger, bound_ms(60000), &stopped);
        if (must_succeed) {
            EXPECT_EQ(s.code, 0) << fault << ": " << list_of(sig_strs(enrol_signals()));
        }
        note("ended with " + sig_str(s) + (stopped ? " after a stop" : "") + "; signals " +
             list_of(sig_strs(enrol_signals())));
    }
    void cut_answer_at_enrolment_start()
    {
        fault_at_enrolment_start("cut-next 9");
    }
    void cut_touch_report()
    {
        // Everything after the type byte is lost: the next report's head
        // stands where the length belongs.
        fault_after_two_touches("cut-next 7", false);
    }
    void damaged_length_of_a_touch_report()
    {
        fault_after_two_touches("corrupt-length-next", false);
    }
    void late_touch_report()
    {
        // Readable only after a read has timed out: a later read finds it.
        fault_after_two_touches("late-next 1500", true);
    }
    void halted_in_endpoint_mid_enrolment()
    {
        const long clears = stat_of(h().emu().command("stats"), "clears");
        fault_after_two_touches("halt 81", true);
        EXPECT_GT(stat_of(h().emu().command("stats"), "clears"), clears) << "the halt was never cleared";
    }
    void stalled_out_endpoint_at_enrolment_start()
    {
        const std::string finger = fresh("e");
        inject("stall-out data");
        const auto begin = std::chrono::steady_clock::now();
        start_enrol("eu", finger);
        // Every command's data phase times out after 1 s: the enrolment cannot
        // begin, and says so well before the library's time limit of 30 s.
        const bool ended = h().wait_for([&] { return final_index() >= 0; }, bound_ms(20000));
        const long long took = ms_since(begin);
        h().emu().ok("stall-out off");
        ASSERT_TRUE(ended) << "no final signal with a stalled OUT endpoint: "
                           << list_of(sig_strs(enrol_signals()));
        const Signal s = enrol_signals()[static_cast<size_t>(final_index())];
        EXPECT_NE(s.code, 0) << "nothing can be enrolled through a stalled endpoint";
        EXPECT_NE(sig_str(s), "(1, {\"subcode\":4})") << "a stalled endpoint is no full library";
        note("ended with " + sig_str(s) + " after " + std::to_string(took) + " ms");
    }
    void stalled_out_endpoint_mid_enrolment()
    {
        const std::string finger = fresh("e");
        start_enrol("eu", finger);
        ASSERT_TRUE(wait_progress("{\"progress\":0}"));
        ASSERT_TRUE(touch("eu-" + finger));
        inject("stall-out data");
        // The wait for touches only reads; the stop sends a cancel whose data
        // phase times out. The stop still answers within its 3 s.
        const auto begin = std::chrono::steady_clock::now();
        g_autoptr(GError) err = h().call("stopEnroll", nullptr);
        EXPECT_EQ(err, nullptr);
        EXPECT_LT(ms_since(begin), bound_ms(4000)) << "stopEnroll with a stalled OUT endpoint";
        const bool ended = h().wait_for([&] { return final_index() >= 0; }, bound_ms(6000));
        h().emu().ok("stall-out off");
        ASSERT_TRUE(ended) << list_of(sig_strs(enrol_signals()));
        const Signal s = enrol_signals()[static_cast<size_t>(final_index())];
        EXPECT_EQ(sig_str(s), "(1, {\"subcode\":3})");
        note("stopped, ended with " + sig_str(s));
    }
    void enrolment_reports_in_one_burst()
    {
        const std::string finger = fresh("e");
        inject("enroll-burst on");
        start_enrol("eu", finger);
        bool stopped = false;
        const Signal s = expect_enrol_ends(finger, bound_ms(30000), &stopped);
        h().emu().ok("enroll-burst off");
        EXPECT_EQ(s.code, 0) << "the last capture and the store in one read: "
                             << list_of(sig_strs(enrol_signals()));
        EXPECT_FALSE(stopped);
        note("ended with " + sig_str(s));
    }
    // A stage after the last capture fails: the module stores nothing, so the
    // enrolment must not be reported as a success (nor listed).
    void failed_stage(const std::string &stage, const std::string &code)
    {
        const std::string finger = fresh("e");
        inject("fail-stage " + stage + " " + code);
        ASSERT_TRUE(enrol_up_to_the_store(finger));
        bool stopped = false;
        const Signal s = expect_enrol_ends(finger, bound_ms(20000), &stopped);
        EXPECT_NE(s.code, 0) << "stage " << stage << " failed with " << code
                             << ", the module stored nothing, yet the enrolment was reported a success";
        const int slot = load_list(list_path()).slot_of("eu", finger);
        if (slot >= 0) {
            EXPECT_EQ(module_templates(h().emu()).count(slot), 1u)
                << "the list names slot " << slot << " for " << finger << ", which the module left empty";
            // The next cases start from a list that agrees with the module.
            delete_finger("eu", finger);
        }
        note("ended with " + sig_str(s) + "; listed at slot " + std::to_string(slot));
    }
    void failed_merge_stage()
    {
        failed_stage("4", "10");
    }
    void failed_duplicate_check()
    {
        failed_stage("5", "39");
    }
    void failed_store_stage()
    {
        failed_stage("6", "24");
    }
    void short_index_table_answer_at_enrolment_start()
    {
        // The first index-table read of the enrolment delivers 4 of its 32 bytes:
        // no template may be deleted, nor a slot chosen, from that page.
        ASSERT_TRUE(enrol("eu", fresh("keep"), "eu-keep"));
        h().clear_signals();
        fault_at_enrolment_start("short-index-next 4");
    }

    // ---- verification -----------------------------------------------------------------------
    void cut_answer_at_verification_start()
    {
        expect_match_despite("cut-next 9", true, 3);
    }
    void cut_match_answer_then_stop_and_verify_again()
    {
        ensure_verify_finger();
        start_verify("vu");
        ASSERT_TRUE(wait_pending("identify"));
        // The first report of a stranger's touch loses everything after its
        // type byte: the no-match result that follows starts where its length
        // belongs.
        inject("cut-next 7");
        h().emu().ok("touch vu-stranger ok 3000");
        h().pump(1500);
        EXPECT_FALSE(matched("vu")) << "a stranger's touch matched: " << list_of(sig_strs(verify_signals()));
        stop_verify();
        h().clear_signals();
        start_verify("vu");
        const bool got = touch_until_match("vu", "vu-thumb", 2);
        EXPECT_TRUE(got) << "the verification after the stop: " << list_of(sig_strs(verify_signals()));
        note(std::string(got ? "matched" : "NO MATCH") + " after the stop; signals " +
             list_of(sig_strs(verify_signals())));
        if (!got) {
            stop_verify();
        }
    }
    void damaged_length_of_the_match_answer()
    {
        expect_match_despite("corrupt-length-next", false, 3);
    }
    void late_match_answer()
    {
        expect_match_despite("late-next 1500", false, 2);
    }
    void halted_in_endpoint_during_verification()
    {
        const long clears = stat_of(h().emu().command("stats"), "clears");
        expect_match_despite("halt 81", false, 3);
        EXPECT_GT(stat_of(h().emu().command("stats"), "clears"), clears) << "the halt was never cleared";
    }
    void stalled_out_endpoint_at_verification_start()
    {
        ensure_verify_finger();
        inject("stall-out data");
        const auto begin = std::chrono::steady_clock::now();
        start_verify("vu");
        // The identification cannot be started: the verification says so and tries again.
        const bool retried = h().wait_for(
            [&] {
                for (const auto &s : verify_signals()) {
                    if (s.code == 3) {
                        return true;
                    }
                }
                return false;
            },
            bound_ms(10000));
        const long long took = ms_since(begin);
        h().emu().ok("stall-out off");
        EXPECT_TRUE(retried) << "no retry signal: " << list_of(sig_strs(verify_signals()));
        const bool got = touch_until_match("vu", "vu-thumb", 3);
        EXPECT_TRUE(got) << "once the endpoint takes data again: " << list_of(sig_strs(verify_signals()));
        note("first retry after " + std::to_string(took) + " ms; " + (got ? "matched" : "NO MATCH") +
             " afterwards");
        if (!got) {
            stop_verify();
        }
    }

    // ---- deletion ------------------------------------------------------------------------------
    // The deletion's reply comes within its bound, whatever the module does.
    long long delete_within_bound(const std::string &finger)
    {
        const auto begin = std::chrono::steady_clock::now();
        delete_finger("du", finger);
        const long long took = ms_since(begin);
        EXPECT_LT(took, bound_ms(kDeletionBoundMs)) << "the deletion's reply came too late";
        return took;
    }
    void wire_fault_during_deletion(const std::string &fault, bool must_delete)
    {
        const std::string finger = enrol_for_deletion();
        const int slot = load_list(list_path()).slot_of("du", finger);
        inject(fault);
        const long long took = delete_within_bound(finger);
        if (must_delete) {
            EXPECT_FALSE(load_list(list_path()).has("du", finger)) << fault << ": the answer still came";
            EXPECT_EQ(module_templates(h().emu()).count(slot), 0u) << fault << ": the template stays";
        }
        note(deletion_outcome(finger) + " after " + std::to_string(took) + " ms");
        if (!must_delete) {
            expect_no_match_for_deleted_user(finger);
        }
    }
    void cut_deletion_answer()
    {
        wire_fault_during_deletion("cut-next 7", false);
    }
    void damaged_length_of_the_deletion_answer()
    {
        wire_fault_during_deletion("corrupt-length-next", false);
    }
    void late_deletion_answer()
    {
        wire_fault_during_deletion("late-next 1500", true);
    }
    void stalled_out_endpoint_during_deletion()
    {
        const std::string finger = enrol_for_deletion();
        inject("stall-out data");
        const long long took = delete_within_bound(finger);
        h().emu().ok("stall-out off");
        note(deletion_outcome(finger) + " after " + std::to_string(took) + " ms");
        expect_no_match_for_deleted_user(finger);
    }
    void halted_out_endpoint_during_deletion()
    {
        const long clears = stat_of(h().emu().command("stats"), "clears");
        const std::string finger = enrol_for_deletion();
        inject("halt 01");
        const long long took = delete_within_bound(finger);
        note(deletion_outcome(finger) + " after " + std::to_string(took) + " ms");
        expect_no_match_for_deleted_user(finger);
        EXPECT_GT(stat_of(h().emu().command("stats"), "clears"), clears) << "the halt was never cleared";
    }
};

const Row kRows[] = {
    {"SilentModuleAtEnrolmentStart", &Cases::silent_module_at_enrolment_start},
    {"SilentModuleMidEnrolment", &Cases::silent_module_mid_enrolment},
    {"CorruptAnswerAtEnrolmentStart", &Cases::corrupt_answer_at_enrolment_start},
    {"CorruptTouchReport", &Cases::corrupt_touch_report},
    {"CorruptStoreReport", &Cases::corrupt_store_report},
    {"SplitAnswersDuringEnrolment", &Cases::split_answers_during_enrolment},
    {"StrayAnswerDuringEnrolment", &Cases::stray_answer_during_enrolment},
    {"UnplugMidEnrolment", &Cases::unplug_mid_enrolment},
    {"UnplugWhileTheModuleStores", &Cases::unplug_while_the_module_stores},
    {"SilentModuleDuringVerification", &Cases::silent_module_during_verification},
    {"CorruptMatchAnswer", &Cases::corrupt_match_answer},
    {"SplitMatchAnswer", &Cases::split_match_answer},
    {"StrayAnswerBeforeTheMatch", &Cases::stray_answer_before_the_match},
    {"CorruptAnswerAtVerificationStart", &Cases::corrupt_answer_at_verification_start},
    {"UnplugMidVerification", &Cases::unplug_mid_verification},
    {"SilentModuleDuringDeletion", &Cases::silent_module_during_deletion},
    {"CorruptDeletionAnswer", &Cases::corrupt_deletion_answer},
    {"SplitDeletionAnswer", &Cases::split_deletion_answer},
    {"StrayAnswerBeforeTheDeletionAnswer", &Cases::stray_answer_before_the_deletion_answer},
    {"UnplugMidDeletion", &Cases::unplug_mid_deletion},
    {"CutAnswerAtEnrolmentStart", &Cases::cut_answer_at_enrolment_start},
    {"CutTouchReport", &Cases::cut_touch_report},
    {"DamagedLengthOfATouchReport", &Cases::damaged_length_of_a_touch_report},
    {"LateTouchReport", &Cases::late_touch_report},
    {"HaltedInEndpointMidEnrolment", &Cases::halted_in_endpoint_mid_enrolment},
    {"StalledOutEndpointAtEnrolmentStart", &Cases::stalled_out_endpoint_at_enrolment_start},
    {"StalledOutEndpointMidEnrolment", &Cases::stalled_out_endpoint_mid_enrolment},
    {"EnrolmentReportsInOneBurst", &Cases::enrolment_reports_in_one_burst},
    {"FailedMergeStage", &Cases::failed_merge_stage},
    {"FailedDuplicateCheck", &Cases::failed_duplicate_check},
    {"FailedStoreStage", &Cases::failed_store_stage},
    {"ShortIndexTableAnswerAtEnrolmentStart", &Cases::short_index_table_answer_at_enrolment_start},
    {"CutAnswerAtVerificationStart", &Cases::cut_answer_at_verification_start},
    {"CutMatchAnswerThenStopAndVerifyAgain", &Cases::cut_match_answer_then_stop_and_verify_again},
    {"DamagedLengthOfTheMatchAnswer", &Cases::damaged_length_of_the_match_answer},
    {"LateMatchAnswer", &Cases::late_match_answer},
    {"HaltedInEndpointDuringVerification", &Cases::halted_in_endpoint_during_verification},
    {"StalledOutEndpointAtVerificationStart", &Cases::stalled_out_endpoint_at_verification_start},
    {"CutDeletionAnswer", &Cases::cut_deletion_answer},
    {"DamagedLengthOfTheDeletionAnswer", &Cases::damaged_length_of_the_deletion_answer},
    {"LateDeletionAnswer", &Cases::late_deletion_answer},
    {"StalledOutEndpointDuringDeletion", &Cases::stalled_out_endpoint_during_deletion},
    {"HaltedOutEndpointDuringDeletion", &Cases::halted_out_endpoint_during_deletion},
};

} // namespace

class Fault : public Cases
{
};

TEST_P(Fault, LeavesTheServiceAliveIdleAndItsListConsistent)
{
    (this->*GetParam().body)();
    if (HasFatalFailure()) {
        // Leave the module usable for the next case.
        h().emu().command("silence off");
        if (h().emu().command("mode") == "OK absent") {
            h().emu().command("plug");
        }
        g_autoptr(GError) e1 = h().call("stopEnroll", nullptr);
        g_autoptr(GError) e2 = h().call("verifyStop", nullptr);
        repair_if_inconsistent();
        return;
    }
    h().pump(200);
    expect_device_works_afterwards();
    repair_if_inconsistent();
}

// Every row runs: a row added to the table cannot be left out of the run.
INSTANTIATE_TEST_SUITE_P(Table, Fault, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &info) {
                             return std::string(info.param.name);
                         });

// ---- the firmware upgrade ---------------------------------------------------------------

class UpgradeFault : public ::testing::TestWithParam<int>
{
};

TEST_P(UpgradeFault, CablePulledMidDownloadThenBootloaderBackFinishesTheUpgrade)
{
    const int after_blocks = GetParam();
    ServiceHarness h;
    DaemonOptions options;
    add_sanitizer_log(options);
    options.driver_conf = "[BASIC_PARAM]\nPrintfLogFlag=3\nUpgradeFlag=1\nUpgradeMode=FORCE_UPGRADE\n";
    options.env["TIRVANE_EMU_FW_VERSION"] = "1500";
    write_file(h.conf_dir() + "kal_fw.conf", "ACM32FP_V1600\n");
    write_file(h.conf_dir() + "ACM32FP_V1600.bin", image_with_version(1600, 1000));
    options.wait_ready = false;
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(h.start(options)) << h.error;
    figure(kTest, "daemon_pid", h.daemon_pid());
    // Armed before the start-up checks send the module to its bootloader.
    ASSERT_TRUE(h.emu().ok("boot-fault unplug-after " + std::to_string(after_blocks)));
    // The start-up checks send the module to its bootloader (it leaves the bus
    // and comes back); the service erases the flash and downloads, and the
    // cable goes at the armed block.
    ASSERT_TRUE(h.wait_for(
        [&] {
            for (const auto &line : h.emu().trace()) {
                if (line.rfind("OUT 04 aa d3", 0) == 0) {
                    return true;
                }
            }
            return false;
        },
        40000))
        << "the bootloader was never erased";
    ASSERT_TRUE(h.wait_for([&] { return h.emu().command("mode") == "OK absent"; }, 20000))
        << "the cable was never pulled: " << h.emu().command("mode");
    const auto flash = h.emu().command("flash");
    figure(kTest, "upgrade_unplug_after_" + std::to_string(after_blocks) + ".flash_when_pulled", flash);
    EXPECT_EQ(flash.rfind("OK size=" + std::to_string(after_blocks * 240) + " ", 0), 0u) << flash;

    // A client that asks for an enrolment meanwhile is refused, and nothing is stored.
    h.clear_signals();
    g_autoptr(GError) err = h.call("enroll", g_variant_new("(ss)", "up", "thumb"));
    EXPECT_EQ(err, nullptr);
    EXPECT_TRUE(h.wait_signals("enrollStatusChanged", 1, 20000));
    const auto refused = h.signals("enrollStatusChanged");
    ASSERT_FALSE(refused.empty());
    EXPECT_NE(refused.back().code, 0);

    // The module comes back still in its bootloader: the service finishes the job.
    h.pump(1000);
    ASSERT_TRUE(h.emu().ok("plug boot"));
    ASSERT_TRUE(
        h.wait_for([&] { return h.emu().command("mode") == "OK app" && module_version(h) == 1600; }, 60000))
        << "mode " << h.emu().command("mode") << ", version " << module_version(h);
    figure(kTest, "upgrade_unplug_after_" + std::to_string(after_blocks) + ".ms_to_upgraded",
           static_cast<long long>(seconds_since(begin) * 1000));
    figure(kTest, "upgrade_unplug_after_" + std::to_string(after_blocks) + ".refused_enrolment",
           sig_str(refused.back()));
    ASSERT_TRUE(h.daemon_alive());
    ASSERT_TRUE(h.wait_for(
        [&] {
            gint count = 0;
            tirvane_call_get_device_count_sync(h.proxy(), &count, nullptr, nullptr);
            return count == 1;
        },
        10000));
    // The device is idle and works with the new firmware.
    h.clear_signals();
    EXPECT_TRUE(enrol_finger(h, "up", "thumb", "up-thumb"))
        << list_of(sig_strs(h.signals("enrollStatusChanged")));
    const ListFile list = load_list(h.conf_dir() + "tvplist.conf");
    ASSERT_TRUE(list.loaded) << list.error;
    EXPECT_EQ(list.entries.size(), 1u) << describe(list);
    EXPECT_TRUE(list_module_problems(list, module_templates(h.emu())).empty());
    EXPECT_EQ(upgrade_flag(h), 0) << "the counter is lowered once the upgrade is done";
    if (getenv("TIRVANE_STRESS_DAEMON_TSAN_LOG") != nullptr) {
        h.stop_daemon(SIGTERM);
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, UpgradeFault, ::testing::Values(0, 2),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return "AfterBlock" + std::to_string(info.param);
                         });

// ---- the start-up checks -----------------------------------------------------------------

// A fault of the wire during the start-up round (the power-up result and the
// firmware version are read): the round still ends, and afterwards the service
// counts the module and an enrolment works.
namespace
{

struct StartupRow {
    const char *name;
    const char *fault;
    const char *clear; // the command that ends a fault that stays; empty for one that fires once
    const char *seen;  // a trace line (pattern) that shows the fault met the round; empty: none to see
};

void PrintTo(const StartupRow &row, std::ostream *out)
{
    *out << row.name;
}

const StartupRow kStartupRows[] = {
    {"CutFirstAnswer", "cut-next 9", "", "IN 81 ef 01 ff ff ff ff 07 [0-9a-f]{2} [0-9a-f]{2}"},
    {"DamagedLengthOfTheFirstAnswer", "corrupt-length-next", "", "IN 81 ef 01 ff ff ff ff 07 ef .*"},
    {"LateFirstAnswer", "late-next 1500", "", ""},
    {"IdListInPlaceOfTheVersion", "version-idlist-next 3 7", "", "IN 81 ef 01 .* 00 f5 02 03 07 ff .*"},
    {"StalledOutEndpoint", "stall-out data", "stall-out off", "OUT 01 ef 01 .* !TIMEOUT"},
    // A new enumeration ends a halt: this one is armed just after the plug,
    // while the round still waits for its next look for the module (100 ms).
    {"HaltedInEndpoint", "halt 81", "", "CLEAR 81"},
};

} // namespace

class StartupFault : public ::testing::TestWithParam<StartupRow>
{
};

TEST_P(StartupFault, TheServiceCountsTheModuleAndEnrolsAfterwards)
{
    const StartupRow &row = GetParam();
    ServiceHarness h;
    DaemonOptions options;
    add_sanitizer_log(options);
    // The module comes only once the fault is armed, so the fault meets the
    // first exchanges of the round.
    options.env["TIRVANE_EMU_PRESENT"] = "0";
    options.wait_ready = false;
    ASSERT_TRUE(h.start(options)) << h.error;
    figure(kTest, "daemon_pid", h.daemon_pid());
    const bool after_plug = std::string(row.fault).rfind("halt ", 0) == 0;
    if (!after_plug) {
        ASSERT_TRUE(h.emu().ok(row.fault)) << row.fault;
    }
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(h.emu().ok("plug"));
    if (after_plug) {
        ASSERT_TRUE(h.emu().ok(row.fault)) << row.fault;
    }
    // The round reads the power-up result (a few reads) and the version (ten
    // attempts of at most 1 s each, plus the follow-up reads).
    const bool done = h.wait_for(
        [&] { return h.log_text().find("start-up checks done") != std::string::npos; }, bound_ms(30000));
    const long long took = ms_since(begin);
    if (*row.clear != '\0') {
        h.emu().ok(row.clear);
    }
    ASSERT_TRUE(done) << "the start-up round never ended with " << row.fault;
    if (*row.seen != '\0') {
        const std::regex pattern(row.seen);
        bool met = false;
        for (const auto &line : h.emu().trace()) {
            met = met || std::regex_match(line, pattern);
        }
        EXPECT_TRUE(met) << row.fault << " never met the start-up round (no trace line " << row.seen << ")";
    }
    figure(kTest, std::string("startup_") + row.name + ".ms_to_checks_done", took);
    ASSERT_TRUE(h.daemon_alive());
    EXPECT_TRUE(h.wait_for(
        [&] {
            gint count = 0;
            tirvane_call_get_device_count_sync(h.proxy(), &count, nullptr, nullptr);
            return count == 1;
        },
        bound_ms(5000)))
        << "the module is not counted after " << row.fault;
    h.clear_signals();
    EXPECT_TRUE(enrol_finger(h, "su", "thumb", "su-thumb"))
        << row.fault << ": " << list_of(sig_strs(h.signals("enrollStatusChanged")));
    const ListFile list = load_list(h.conf_dir() + "tvplist.conf");
    ASSERT_TRUE(list.loaded) << list.error;
    EXPECT_EQ(list.entries.size(), 1u) << describe(list);
    EXPECT_TRUE(list_module_problems(list, module_templates(h.emu())).empty()) << describe(list);
    if (getenv("TIRVANE_STRESS_DAEMON_TSAN_LOG") != nullptr) {
        h.stop_daemon(SIGTERM);
    }
}

INSTANTIATE_TEST_SUITE_P(Round, StartupFault, ::testing::ValuesIn(kStartupRows),
                         [](const ::testing::TestParamInfo<StartupRow> &info) {
                             return std::string(info.param.name);
                         });

// ---- faults of the bootloader during an upgrade --------------------------------------------

// The module's bootloader answers CRC requests wrongly, answers nothing, or
// splits every reply; no attempt succeeds meanwhile, the attempts go on until
// the fault clears, the module then runs the new firmware, and the service
// counts it and enrols.
namespace
{

struct BootRow {
    const char *name;
    const char *fault;   // boot-fault in force from the start
    const char *seen_at; // trace line prefix that shows an attempt met the fault
};

void PrintTo(const BootRow &row, std::ostream *out)
{
    *out << row.name;
}

const BootRow kBootRows[] = {
    {"WrongCrcReplies", "crc", "OUT 04 aa a6"},
    {"SilentBootloader", "silence", "OUT 04 aa d3"},
    // The link takes each reply from one read, so while every reply comes in
    // two reads no upgrade can finish; it must once they come whole again.
    {"SplitReplies", "split", "OUT 04 aa d3"},
};

} // namespace

class BootloaderFault : public ::testing::TestWithParam<BootRow>
{
};

TEST_P(BootloaderFault, UpgradeFinishesOnceTheFaultClears)
{
    const BootRow &row = GetParam();
    ServiceHarness h;
    DaemonOptions options;
    add_sanitizer_log(options);
    options.driver_conf = "[BASIC_PARAM]\nPrintfLogFlag=3\nUpgradeFlag=1\nUpgradeMode=FORCE_UPGRADE\n";
    options.env["TIRVANE_EMU_FW_VERSION"] = "1500";
    options.env["TIRVANE_EMU_BOOT_FAULT"] = row.fault;
    write_file(h.conf_dir() + "kal_fw.conf", "ACM32FP_V1600\n");
    write_file(h.conf_dir() + "ACM32FP_V1600.bin", image_with_version(1600, 1000));
    options.wait_ready = false;
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(h.start(options)) << h.error;
    figure(kTest, "daemon_pid", h.daemon_pid());
    const auto seen = [&] {
        for (const auto &line : h.emu().trace()) {
            if (line.rfind(row.seen_at, 0) == 0) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(h.wait_for(seen, bound_ms(40000))) << "no upgrade attempt met the fault";
    // Let a few attempts fail, then the bootloader behaves.
    h.pump(3000);
    EXPECT_NE(module_version(h), 1600) << "upgraded although the bootloader " << row.fault;
    ASSERT_TRUE(h.emu().ok("boot-fault none"));
    ASSERT_TRUE(h.wait_for([&] { return h.emu().command("mode") == "OK app" && module_version(h) == 1600; },
                           bound_ms(60000)))
        << "mode " << h.emu().command("mode") << ", version " << module_version(h);
    figure(kTest, std::string("boot_") + row.name + ".ms_to_upgraded", ms_since(begin));
    ASSERT_TRUE(h.daemon_alive());
    ASSERT_TRUE(h.wait_for(
        [&] {
            gint count = 0;
            tirvane_call_get_device_count_sync(h.proxy(), &count, nullptr, nullptr);
            return count == 1;
        },
        bound_ms(10000)));
    h.clear_signals();
    EXPECT_TRUE(enrol_finger(h, "up", "thumb", "up-thumb"))
        << list_of(sig_strs(h.signals("enrollStatusChanged")));
    const ListFile list = load_list(h.conf_dir() + "tvplist.conf");
    ASSERT_TRUE(list.loaded) << list.error;
    EXPECT_EQ(list.entries.size(), 1u) << describe(list);
    EXPECT_TRUE(list_module_problems(list, module_templates(h.emu())).empty());
    if (getenv("TIRVANE_STRESS_DAEMON_TSAN_LOG") != nullptr) {
        h.stop_daemon(SIGTERM);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, BootloaderFault, ::testing::ValuesIn(kBootRows),
                         [](const ::testing::TestParamInfo<BootRow> &info) {
                             return std::string(info.param.name);
                         });
