// The daemon killed with SIGKILL at random moments of enrolments and deletions,
// and started again, round after round. After every kill the list file must
// load and hold exactly what the client was told: every finger whose enrolment
// success was signalled, unless its deletion was seen to act; nothing that was
// never reported. The one operation cut by the kill may have gone either way.
//
// Knobs: TIRVANE_CRASH_ROUNDS (default 20), TIRVANE_STRESS_SEED.
#include "stress_support.h"

#include <fstream>
#include <sstream>

using namespace tvtest;
using namespace tvstress;

namespace
{

const char *const kTest = "crash";
const char *const kUser = "crash-user";

// Templates as the module keeps them across power cycles (its state file),
// readable while the daemon, and with it the emulator, is dead.
std::map<int, std::string> module_state_templates(const std::string &path)
{
    std::map<int, std::string> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        int slot = -1;
        std::string finger;
        if (words >> key >> slot >> finger && key == "template") {
            out[slot] = finger;
        }
    }
    return out;
}

enum class Kill {
    BeforeTheFirstTouch, // while the enrolment still waits for the start-up checks, or just began
    AfterSomeTouches,    // 1 to 5 touches in
    WhileStoring,        // after the sixth touch: merge, store, list entry, signal
    AfterTheSuccess,     // just after the success signal
    MidDeletion,         // a deletion of an enrolled finger in flight
};

const char *name_of(Kill k)
{
    switch (k) {
    case Kill::BeforeTheFirstTouch:
        return "enrol-before-first-touch";
    case Kill::AfterSomeTouches:
        return "enrol-after-some-touches";
    case Kill::WhileStoring:
        return "enrol-while-storing";
    case Kill::AfterTheSuccess:
        return "enrol-after-success";
    case Kill::MidDeletion:
        return "mid-deletion";
    }
    return "?";
}

class CrashRounds
{
  public:
    explicit CrashRounds(unsigned seed) : dice_(seed) {}

    ServiceHarness h;
    std::set<std::string> present; // reported enrolled, not seen deleted
    std::map<std::string, long> kills;
    long rounds_done = 0;
    long stored_without_signal = 0;
    long deletions_acted = 0;
    long deletions_cut = 0;
    long deletions_cut_that_acted = 0;
    long enrolments_cut = 0;
    long successes = 0;
    double slowest_start_s = 0;

    bool start()
    {
        DaemonOptions options;
        options.wait_ready = false; // an enrolment waits for the start-up checks by itself
        add_sanitizer_log(options);
        ready_marks_ = count_of(h.log_text(), "start-up checks done");
        const auto begin = std::chrono::steady_clock::now();
        const bool ok = h.start(options);
        slowest_start_s = std::max(slowest_start_s, seconds_since(begin));
        h.clear_signals();
        return ok;
    }
    bool wait_ready()
    {
        return h.wait_for([&] { return count_of(h.log_text(), "start-up checks done") > ready_marks_; },
                          25000);
    }
    void kill()
    {
        h.stop_daemon(SIGKILL);
    }

    // ---- enrolment ----------------------------------------------------------------
    bool final_seen(int *code = nullptr)
    {
        for (const auto &s : h.signals("enrollStatusChanged")) {
            if (s.code == 0 || s.code == 1 || s.code == 4) {
                if (code != nullptr) {
                    *code = s.code;
                }
                return true;
            }
        }
        return false;
    }
    bool touch(const std::string &touched)
    {
        const size_t seen = h.signals("enrollStatusChanged").size();
        if (!h.emu().ok("touch " + touched + " ok 5000")) {
            return false;
        }
        return h.wait_for([&] { return h.signals("enrollStatusChanged").size() > seen; }, 5000);
    }
    // Enrols `finger`, killing the daemon at `kill` (nullptr: no kill, to the end).
    // Returns false when the enrolment went wrong without a kill.
    bool enrol(const std::string &finger, const Kill *kill_at, std::string &why)
    {
        const std::string touched = "touch-" + finger;
        h.clear_signals();
        g_autoptr(GError) err = h.call("enroll", g_variant_new("(ss)", kUser, finger.c_str()));
        if (err != nullptr) {
            why = std::string("enroll answered ") + err->message;
            return false;
        }
        in_flight_enrol_ = finger;
        if (kill_at != nullptr && *kill_at == Kill::BeforeTheFirstTouch) {
            h.pump(dice_.between(0, 7000));
            return true;
        }
        if (!h.wait_for([&] { return !h.signals("enrollStatusChanged").empty(); }, 25000)) {
            why = "the enrolment never began";
            return false;
        }
        if (h.signals("enrollStatusChanged").front().code != 2) {
            why = "the enrolment did not begin: " + sig_str(h.signals("enrollStatusChanged").front());
            return false;
        }
        const int touches =
            kill_at != nullptr && *kill_at == Kill::AfterSomeTouches ? dice_.between(1, 5) : 6;
        for (int i = 0; i < touches; ++i) {
            if (!touch(touched)) {
                why = "touch " + std::to_string(i + 1) +
                      " got no report: " + list_of(sig_strs(h.signals("enrollStatusChanged")));
                return false;
            }
        }
        if (kill_at != nullptr && *kill_at == Kill::AfterSomeTouches) {
            h.pump(dice_.between(0, 300));
            return true;
        }
        if (kill_at != nullptr && *kill_at == Kill::WhileStoring) {
            // The merge and store reports come 100 ms after the last capture.
            h.pump(dice_.between(0, 300));
            note_enrol_outcome(finger);
            return true;
        }
        int code = -1;
        if (!h.wait_for([&] { return final_seen(&code); }, 8000) || code != 0) {
            why = "no success: " + list_of(sig_strs(h.signals("enrollStatusChanged")));
            return false;
        }
        note_enrol_outcome(finger);
        if (kill_at != nullptr && *kill_at == Kill::AfterTheSuccess) {
            h.pump(dice_.between(0, 50));
        }
        return true;
    }
    void note_enrol_outcome(const std::string &finger)
    {
        h.pump(0);
        int code = -1;
        if (final_seen(&code) && code == 0) {
            present.insert(finger);
            ++successes;
            in_flight_enrol_.clear();
        }
    }

    // ---- deletion -----------------------------------------------------------------------
    void delete_and_kill(const std::string &finger)
    {
        AsyncCall call;
        h.call_async("deleteFingerByName", g_variant_new("(ss)", kUser, finger.c_str()), &call);
        g_dbus_connection_flush_sync(h.connection(), nullptr, nullptr);
        // A deletion is over some 20 ms after the call: most kills land within
        // that time, a fifth later (the deletion has finished and is answered).
        const int delay_ms = dice_.chance(80) ? dice_.between(0, 25) : dice_.between(25, 150);
        h.wait_for([&] { return call.done; }, delay_ms);
        const bool replied = call.done && call.error == nullptr;
        kill();
        if (replied) {
            // Done before the reply; the file says whether it acted (a busy device ignores it).
            if (!load_list(list_path()).has(kUser, finger)) {
                present.erase(finger);
                ++deletions_acted;
            }
        } else {
            ++deletions_cut;
            in_flight_delete_ = finger;
        }
    }

    // ---- after the kill ---------------------------------------------------------------------
    std::string list_path()
    {
        return h.conf_dir() + "tvplist.conf";
    }
    // The file against the ledger; resolves the operation the kill cut.
    std::vector<std::string> check_after_kill()
    {
        std::vector<std::string> problems;
        const ListFile list = load_list(list_path());
        if (!list.loaded) {
            problems.push_back("the list file does not load: " + list.error);
            return problems;
        }
        const auto templates = module_state_templates(h.dir() + "/emu.state");
        const auto names = list.names_of(kUser);
        for (const auto &e : list.entries) {
            if (e.user != kUser) {
                problems.push_back("entry of an unknown user " + e.user + "/" + e.name);
            }
        }
        for (const auto &n : present) {
            if (names.count(n) == 0 && n != in_flight_delete_) {
                problems.push_back(n + " was reported enrolled and never deleted, but is missing");
            }
        }
        for (const auto &n : names) {
            if (present.count(n) != 0) {
                continue;
            }
            if (n == in_flight_enrol_) {
                // Cut between the store and its signal: allowed only with the template in the module.
                const int slot = list.slot_of(kUser, n);
                if (templates.count(slot) == 0 || templates.at(slot) != "touch-" + n) {
                    problems.push_back(n + " is listed (slot " + std::to_string(slot) +
                                       ") though its enrolment was cut before the module stored it");
                } else {
                    ++stored_without_signal;
                    present.insert(n);
                }
                continue;
            }
            problems.push_back("phantom entry " + n + " (never reported enrolled, or seen deleted)");
        }
        if (!in_flight_delete_.empty() && names.count(in_flight_delete_) == 0) {
            present.erase(in_flight_delete_);
            ++deletions_cut_that_acted;
        }
        if (!in_flight_enrol_.empty()) {
            ++enrolments_cut;
        }
        in_flight_enrol_.clear();
        in_flight_delete_.clear();
        // Every entry names its own slot, and the module still holds it.
        const auto module_problems = list_module_problems(list, templates);
        problems.insert(problems.end(), module_problems.begin(), module_problems.end());
        return problems;
    }

    Dice &dice()
    {
        return dice_;
    }
    // After a round that found the list wrong, the next starts from an empty
    // list and an empty module, so that each round is judged on its own.
    void clean_slate()
    {
        unlink((h.dir() + "/emu.state").c_str());
        write_file(list_path(), "");
        present.clear();
    }

  private:
    Dice dice_;
    size_t ready_marks_ = 0;
    std::string in_flight_enrol_;
    std::string in_flight_delete_;
};

} // namespace

TEST(Crash, KilledDuringEnrolmentsAndDeletionsTheListHoldsWhatWasReported)
{
    const long rounds = env_long("TIRVANE_CRASH_ROUNDS", 20);
    const unsigned seed = run_seed();
    figure(kTest, "seed", seed);
    figure(kTest, "rounds", rounds);
    const auto begin = std::chrono::steady_clock::now();
    CrashRounds c(seed);
    figure(kTest, "harness_dir", c.h.dir());

    int serial = 0;
    std::map<std::string, long> failed_rounds;
    for (long r = 0; r < rounds; ++r) {
        ASSERT_TRUE(c.start()) << "round " << r << ": the daemon did not come back: " << c.h.error;
        // Keep the enrolment window (30 slots) from filling: delete more when it grows.
        // About 40 % deletions (always when the list has grown), the rest
        // enrolments cut at one of their stages (the store phase twice as often).
        Kill kill = Kill::MidDeletion;
        if (c.present.size() < 12 && c.dice().between(1, 100) > 40) {
            const Kill enrol_kills[] = {Kill::BeforeTheFirstTouch, Kill::AfterSomeTouches, Kill::WhileStoring,
                                        Kill::WhileStoring, Kill::AfterTheSuccess};
            kill = enrol_kills[c.dice().between(0, 4)];
        }
        SCOPED_TRACE("round " + std::to_string(r) + " " + name_of(kill));
        std::string why;
        if (kill == Kill::MidDeletion) {
            if (c.present.size() < 3) {
                // Something to delete, which also waits out the start-up checks.
                ASSERT_TRUE(c.enrol("f" + std::to_string(++serial), nullptr, why)) << why;
            } else {
                ASSERT_TRUE(c.wait_ready()) << "start-up checks did not finish";
            }
            auto it = c.present.begin();
            std::advance(it, c.dice().between(0, static_cast<int>(c.present.size()) - 1));
            c.delete_and_kill(*it);
        } else {
            ASSERT_TRUE(c.enrol("f" + std::to_string(++serial), &kill, why)) << why;
            c.kill();
        }
        ++c.kills[name_of(kill)];
        const auto problems = c.check_after_kill();
        EXPECT_TRUE(problems.empty())
            << "after the kill:" << join(problems) << "\n  list: " << describe(load_list(c.list_path()));
        ++c.rounds_done;
        if (!problems.empty()) {
            ++failed_rounds[name_of(kill)];
            c.clean_slate();
        }
    }

    // Once more, to the end: the service starts from what it left and works.
    ASSERT_TRUE(c.start()) << c.h.error;
    ASSERT_TRUE(c.wait_ready());
    const auto listed = c.h.listfingers(kUser);
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), c.present);
    std::string why;
    EXPECT_TRUE(c.enrol("last", nullptr, why)) << why;
    EXPECT_TRUE(load_list(c.list_path()).has(kUser, "last"));
    EXPECT_TRUE(list_module_problems(load_list(c.list_path()), module_templates(c.h.emu())).empty());

    figure(kTest, "rounds_done", c.rounds_done);
    figure(kTest, "restarts", c.rounds_done + 1);
    for (const auto &[what, n] : c.kills) {
        figure(kTest, std::string("kills.") + what, n);
    }
    for (const auto &[what, n] : failed_rounds) {
        figure(kTest, std::string("rounds_with_a_wrong_list.") + what, n);
    }
    figure(kTest, "enrolments_reported_success", c.successes);
    figure(kTest, "enrolments_cut_by_the_kill", c.enrolments_cut);
    figure(kTest, "stored_but_unsignalled_when_killed", c.stored_without_signal);
    figure(kTest, "deletions_seen_acting", c.deletions_acted);
    figure(kTest, "deletions_cut_by_the_kill", c.deletions_cut);
    figure(kTest, "deletions_cut_that_had_acted", c.deletions_cut_that_acted);
    figure(kTest, "entries_at_end", static_cast<long long>(c.present.size()));
    figure(kTest, "slowest_start_ms", static_cast<long long>(c.slowest_start_s * 1000));
    figure(kTest, "seconds", static_cast<long long>(seconds_since(begin)));
    if (getenv("TIRVANE_STRESS_DAEMON_TSAN_LOG") != nullptr) {
        c.h.stop_daemon(SIGTERM);
    }
}
