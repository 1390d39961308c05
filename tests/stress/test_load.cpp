// Several clients at once, a hand on the sensor and a loose cable, for a bounded
// time; then the service must still be whole: alive, idle, its list exactly what
// the clients were told, and no thread or descriptor left behind.
//
// Knobs: TIRVANE_STRESS_SECONDS (default 60), TIRVANE_STRESS_CLIENTS (default 4),
// TIRVANE_STRESS_SEED, TIRVANE_STRESS_SETTLE_SECONDS (default 25: the start-up
// threads of the daemon have ended by then).
#include "stress_support.h"

#include <cstring>
#include <mutex>

using namespace tvtest;
using namespace tvstress;

namespace
{

const char *const kTest = "load";

// What one client knows about its own user's entries. Every client has its own
// user id and runs one operation at a time, so every signal carrying that id
// belongs to the operation it is running, and nobody else changes its entries.
struct Ledger {
    std::string user;
    std::set<std::string> expected; // names that must be in the list now
    std::set<std::string> reported; // every name ever reported enrolled (or renamed into)
    std::map<std::string, long> ops;
    long enrol_success = 0;
    long enrol_busy = 0;
    long enrol_stopped = 0;
    long enrol_disconnected = 0;
    long enrol_other_failure = 0;
    std::map<std::string, long> other_failures;
    long verify_matches = 0;
    long verify_busy = 0;
    long deletes_acted = 0;
    long deletes_ignored = 0;
    long renames_acted = 0;
    long lists_empty_while_away = 0;
    long call_errors = 0;
    long stops_refused = 0; // the running operation was another client's
    double longest_stop_s = 0;
    std::vector<std::string> violations;

    void violation(const std::string &what)
    {
        if (violations.size() < 50) {
            violations.push_back(user + ": " + what);
        }
    }
};

// A stop refused because the running operation was started by another client:
// every client here is root, and root stops only what its own connection started.
bool stop_refused(const GError *error)
{
    return g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED) &&
           strstr(error->message, "started by another caller") != nullptr;
}

struct Shared {
    std::string bus_address;
    std::string list_path;
    std::string emu_socket;
    std::atomic<bool> clients_stop{false};
    // While set, clients start no enrolment or verification, so that the device
    // goes idle and deletions act (bursts with lulls, as real use has).
    std::atomic<bool> lull{false};
    std::atomic<bool> hand_stop{false};
    std::atomic<bool> cable_stop{false};
    std::atomic<long> touches{0};
    std::atomic<long> touches_refused{0};
    std::atomic<long> unplugs{0};
    std::atomic<long> emu_errors{0};
};

// The entries of `user` in the file must be exactly what the ledger expects.
void check_file(Ledger &ledger, const Shared &shared, const std::string &after)
{
    const ListFile list = load_list(shared.list_path);
    if (!list.loaded) {
        ledger.violation("list file does not load after " + after + ": " + list.error);
        return;
    }
    const auto names = list.names_of(ledger.user);
    if (names != ledger.expected) {
        ledger.violation("after " + after + " the file holds " + describe(names) + ", expected " +
                         describe(ledger.expected));
        // Follow the file from here on, so one fault is reported once.
        for (const auto &n : names) {
            if (ledger.reported.count(n) == 0) {
                ledger.violation("phantom entry " + n + " (never reported enrolled)");
            }
        }
        ledger.expected = names;
    }
}

std::string pick(Dice &dice, const std::set<std::string> &names)
{
    auto it = names.begin();
    std::advance(it, dice.between(0, static_cast<int>(names.size()) - 1));
    return *it;
}

void run_client(int index, unsigned seed, Shared &shared, Ledger &ledger)
{
    Dice dice(seed);
    ThreadBus bus(shared.bus_address, ledger.user);
    if (!bus.ok()) {
        ledger.violation("cannot connect: " + bus.error);
        return;
    }
    int serial = 0;
    enum Action { Enroll, Verify, StopEnroll, VerifyStop, List, Rename, Delete };
    // Stops are rare enough that enrolments (six touches) get through now and then.
    const std::vector<int> weights = {30, 15, 2, 2, 15, 10, 20};
    const char *names[] = {"enroll",      "verify",           "stopEnroll",        "verifyStop",
                           "listfingers", "renamefingerName", "deleteFingerByName"};
    while (!shared.clients_stop.load()) {
        auto action = static_cast<Action>(dice.weighted(weights));
        if (shared.lull.load() && (action == Enroll || action == Verify)) {
            action = dice.chance(50) ? Delete : (dice.chance(50) ? Rename : List);
        }
        ++ledger.ops[names[action]];
        bus.clear_signals();
        switch (action) {
        case Enroll: {
            const std::string finger = "c" + std::to_string(index) + "-f" + std::to_string(++serial);
            g_autoptr(GError) err =
                bus.call("enroll", g_variant_new("(ss)", ledger.user.c_str(), finger.c_str()));
            if (err != nullptr) {
                ++ledger.call_errors;
                ledger.violation("enroll " + finger + " answered " + err->message);
                break;
            }
            // Enrolment time-out is 30 s, a hand-over wait 15 s: 60 s is ample.
            int final = -1;
            bus.wait_for(
                [&] {
                    final = bus.find("enrollStatusChanged", {0, 1, 4});
                    return final >= 0;
                },
                60000);
            if (final < 0) {
                ledger.violation("enrolment of " + finger + " got no final signal within 60 s");
                break;
            }
            const Signal &s = bus.signals()[static_cast<size_t>(final)];
            if (s.code == 0) {
                ++ledger.enrol_success;
                ledger.expected.insert(finger);
                ledger.reported.insert(finger);
                // Success is signalled only once the entry is stored.
                if (!load_list(shared.list_path).has(ledger.user, finger)) {
                    ledger.violation("success of " + finger + " signalled before its entry was stored");
                }
            } else if (s.code == 4) {
                ++ledger.enrol_disconnected;
            } else if (s.msg == "{\"subcode\":1}\n") {
                ++ledger.enrol_busy;
            } else if (s.msg == "{\"subcode\":3}") {
                ++ledger.enrol_stopped;
            } else {
                ++ledger.enrol_other_failure;
                ++ledger.other_failures[sig_str(s)];
            }
            check_file(ledger, shared, "enrolment of " + finger + " ended with " + sig_str(s));
            break;
        }
        case Verify: {
            g_autoptr(GError) err =
                bus.call("verify", g_variant_new("(si)", ledger.user.c_str(), dice.between(0, 5)));
            if (err != nullptr) {
                ++ledger.call_errors;
                ledger.violation(std::string("verify answered ") + err->message);
                break;
            }
            int ended = -1;
            bus.wait_for(
                [&] {
                    ended = bus.find("verifyStatusChanged", {0, 2});
                    return ended >= 0;
                },
                dice.between(300, 1500));
            if (ended >= 0) {
                (bus.signals()[static_cast<size_t>(ended)].code == 0 ? ledger.verify_matches
                                                                     : ledger.verify_busy)++;
            } else {
                // Our own verification is still running (or still waiting for the device): stop it.
                const auto begin = std::chrono::steady_clock::now();
                g_autoptr(GError) stop = bus.call("verifyStop", nullptr);
                ledger.longest_stop_s = std::max(ledger.longest_stop_s, seconds_since(begin));
                if (stop != nullptr && stop_refused(stop)) {
                    ++ledger.stops_refused; // ours was refused; the device is another client's
                } else if (stop != nullptr) {
                    ++ledger.call_errors;
                    ledger.violation(std::string("verifyStop answered ") + stop->message);
                }
            }
            break;
        }
        case StopEnroll:
        case VerifyStop: {
            const auto begin = std::chrono::steady_clock::now();
            g_autoptr(GError) err = bus.call(names[action], nullptr);
            ledger.longest_stop_s = std::max(ledger.longest_stop_s, seconds_since(begin));
            if (err != nullptr && stop_refused(err)) {
                ++ledger.stops_refused; // a stop ends only this client's own operation
            } else if (err != nullptr) {
                ++ledger.call_errors;
                ledger.violation(std::string(names[action]) + " answered " + err->message);
            }
            break;
        }
        case List: {
            GVariant *reply = nullptr;
            g_autoptr(GError) err =
                bus.call("listfingers", g_variant_new("(s)", ledger.user.c_str()), &reply);
            if (err != nullptr) {
                ++ledger.call_errors;
                ledger.violation(std::string("listfingers answered ") + err->message);
                break;
            }
            const auto listed = strv_of(reply);
            g_variant_unref(reply);
            const std::set<std::string> got(listed.begin(), listed.end());
            if (got.size() != listed.size()) {
                ledger.violation("listfingers names a finger twice");
            }
            if (got.empty() && !ledger.expected.empty()) {
                // Without a module the service lists nothing; the cable may be out.
                ++ledger.lists_empty_while_away;
            } else if (got != ledger.expected) {
                ledger.violation("listfingers gave " + describe(got) + ", expected " +
                                 describe(ledger.expected));
            }
            break;
        }
        case Rename: {
            const bool known = !ledger.expected.empty() && dice.chance(80);
            const std::string from =
                known ? pick(dice, ledger.expected) : "missing-" + std::to_string(++serial);
            const std::string to = "c" + std::to_string(index) + "-r" + std::to_string(++serial);
            g_autoptr(GError) err = bus.call(
                "renamefingerName", g_variant_new("(sss)", ledger.user.c_str(), from.c_str(), to.c_str()));
            if (err != nullptr) {
                ++ledger.call_errors;
                ledger.violation(std::string("renamefingerName answered ") + err->message);
                break;
            }
            if (known) {
                // A rename needs no module: it always acts on an existing entry.
                ledger.expected.erase(from);
                ledger.expected.insert(to);
                ledger.reported.insert(to);
                ++ledger.renames_acted;
            }
            check_file(ledger, shared, "rename " + from + " -> " + to);
            break;
        }
        case Delete: {
            const bool known = !ledger.expected.empty() && dice.chance(85);
            const std::string finger =
                known ? pick(dice, ledger.expected) : "missing-" + std::to_string(++serial);
            g_autoptr(GError) err =
                bus.call("deleteFingerByName", g_variant_new("(ss)", ledger.user.c_str(), finger.c_str()));
            if (err != nullptr) {
                ++ledger.call_errors;
                ledger.violation(std::string("deleteFingerByName answered ") + err->message);
                break;
            }
            // A deletion is done before its reply; a busy device or an absent
            // module makes the service ignore it. The file tells which.
            if (known) {
                if (load_list(shared.list_path).has(ledger.user, finger)) {
                    ++ledger.deletes_ignored;
                } else {
                    ++ledger.deletes_acted;
                    ledger.expected.erase(finger);
                }
            }
            check_file(ledger, shared, "delete " + finger);
            break;
        }
        }
        // Now and then a longer pause, so that the device is idle at times and
        // deletions act rather than being ignored as busy.
        nap(dice.chance(25) ? dice.between(1000, 3000) : dice.between(100, 600), &shared.clients_stop);
    }
}

void run_hand(unsigned seed, Shared &shared)
{
    Dice dice(seed);
    EmuClient emu(shared.emu_socket);
    const char *outcomes[] = {"ok", "quality", "area", "repeated", "exists", "enrolfail", "capturefail"};
    const std::vector<int> weights = {80, 4, 4, 3, 3, 3, 3};
    while (!shared.hand_stop.load()) {
        // A few fingers only, so that verifications sometimes match.
        const std::string finger = "hand-" + std::to_string(dice.between(0, 5));
        const char *outcome = outcomes[dice.weighted(weights)];
        try {
            const std::string reply = emu.command("touch " + finger + " " + outcome + " 1000");
            (reply.rfind("OK", 0) == 0 ? shared.touches : shared.touches_refused)++;
        } catch (const std::exception &) {
            ++shared.emu_errors;
        }
        nap(dice.between(20, 200), &shared.hand_stop);
    }
}

void run_cable(unsigned seed, Shared &shared)
{
    Dice dice(seed);
    EmuClient emu(shared.emu_socket);
    while (!shared.cable_stop.load()) {
        nap(dice.between(4000, 10000), &shared.cable_stop);
        if (shared.cable_stop.load()) {
            break;
        }
        try {
            if (emu.ok("unplug")) {
                ++shared.unplugs;
            }
            nap(dice.between(200, 1500));
            emu.ok("plug");
        } catch (const std::exception &) {
            ++shared.emu_errors;
        }
    }
    try {
        if (emu.command("mode") == "OK absent") {
            emu.ok("plug");
        }
    } catch (const std::exception &) {
        ++shared.emu_errors;
    }
}

// Waits until the counts stop changing (two equal samples 500 ms apart).
ProcCounts steady_counts(ServiceHarness &h, int timeout_ms)
{
    ProcCounts last = proc_counts(h.daemon_pid());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        h.pump(500);
        const ProcCounts now = proc_counts(h.daemon_pid());
        if (now.threads == last.threads && now.fds == last.fds) {
            return now;
        }
        last = now;
    }
    return last;
}

} // namespace

TEST(Load, ManyClientsHandAndCableLeaveTheServiceWholeAndTheListExact)
{
    const long seconds = env_long("TIRVANE_STRESS_SECONDS", 60);
    const int clients = static_cast<int>(std::clamp(env_long("TIRVANE_STRESS_CLIENTS", 4), 1L, 16L));
    const long settle = env_long("TIRVANE_STRESS_SETTLE_SECONDS", 25);
    const unsigned seed = run_seed();
    figure(kTest, "seed", seed);
    figure(kTest, "seconds", seconds);
    figure(kTest, "clients", clients);

    ServiceHarness h;
    DaemonOptions options;
    add_sanitizer_log(options);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(h.start(options)) << h.error;
    figure(kTest, "daemon_pid", h.daemon_pid());
    figure(kTest, "harness_dir", h.dir());

    // The start-up threads (discovery, the bounded round of upgrade attempts)
    // end within about 25 s; the base line is taken after them.
    h.wait_for([&] { return seconds_since(started) >= static_cast<double>(settle); },
               static_cast<int>(settle) * 1000 + 1000);
    const ProcCounts baseline = steady_counts(h, 10000);
    figure(kTest, "baseline", baseline.text());
    ASSERT_GT(baseline.threads, 0);

    Shared shared;
    shared.bus_address = h.bus_address();
    shared.list_path = h.conf_dir() + "tvplist.conf";
    shared.emu_socket = h.emu_socket();
    std::vector<Ledger> ledgers(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        ledgers[static_cast<size_t>(i)].user = "stress-u" + std::to_string(i);
        threads.emplace_back(run_client, i, seed + 101 * static_cast<unsigned>(i + 1), std::ref(shared),
                             std::ref(ledgers[static_cast<size_t>(i)]));
    }
    std::thread hand(run_hand, seed + 7, std::ref(shared));
    std::thread cable(run_cable, seed + 13, std::ref(shared));
    ProcCounts peak = baseline;
    const auto stress_begin = std::chrono::steady_clock::now();
    long lulls = 0;
    while (seconds_since(stress_begin) < static_cast<double>(seconds)) {
        h.pump(500);
        // Every 10 s a lull of 3 s.
        const bool lull = static_cast<long>(seconds_since(stress_begin)) % 10 >= 7;
        if (lull && !shared.lull.load()) {
            ++lulls;
        }
        shared.lull = lull;
        h.clear_signals(); // the main connection only watches; keep its record small
        const ProcCounts now = proc_counts(h.daemon_pid());
        peak.threads = std::max(peak.threads, now.threads);
        peak.fds = std::max(peak.fds, now.fds);
        if (!h.daemon_alive()) {
            break;
        }
    }
    shared.cable_stop = true;
    shared.clients_stop = true;
    for (auto &t : threads) {
        // Clients finish the operation they run (the hand keeps touching meanwhile).
        t.join();
    }
    shared.hand_stop = true;
    hand.join();
    cable.join();
    figure(kTest, "wind_down_ms",
           static_cast<long long>((seconds_since(stress_begin) - static_cast<double>(seconds)) * 1000));
    figure(kTest, "peak", peak.text());

    // ---- figures -----------------------------------------------------------------
    long ops = 0;
    long successes = 0;
    std::vector<std::string> violations;
    std::map<std::string, long> per_method;
    for (const auto &l : ledgers) {
        for (const auto &[method, n] : l.ops) {
            per_method[method] += n;
            ops += n;
        }
        successes += l.enrol_success;
        violations.insert(violations.end(), l.violations.begin(), l.violations.end());
        for (const auto &[what, n] : l.other_failures) {
            figure(kTest, l.user + ".other_failure " + what, n);
        }
        figure(kTest, l.user,
               "enrolled=" + std::to_string(l.enrol_success) + " busy=" + std::to_string(l.enrol_busy) +
                   " stopped=" + std::to_string(l.enrol_stopped) +
                   " disconnected=" + std::to_string(l.enrol_disconnected) + " other_fail=" +
                   std::to_string(l.enrol_other_failure) + " matches=" + std::to_string(l.verify_matches) +
                   " verify_busy=" + std::to_string(l.verify_busy) + " deletes_acted=" +
                   std::to_string(l.deletes_acted) + " deletes_ignored=" + std::to_string(l.deletes_ignored) +
                   " renames=" + std::to_string(l.renames_acted) +
                   " empty_lists=" + std::to_string(l.lists_empty_while_away) + " call_errors=" +
                   std::to_string(l.call_errors) + " stops_refused=" + std::to_string(l.stops_refused) +
                   " longest_stop_ms=" + std::to_string(static_cast<long>(l.longest_stop_s * 1000)) +
                   " entries_now=" + std::to_string(l.expected.size()));
    }
    figure(kTest, "operations", ops);
    for (const auto &[method, n] : per_method) {
        figure(kTest, "ops." + method, n);
    }
    figure(kTest, "enrolments_reported_success", successes);
    figure(kTest, "touches", shared.touches.load());
    figure(kTest, "touches_refused", shared.touches_refused.load());
    figure(kTest, "faults.unplugs", shared.unplugs.load());
    figure(kTest, "lulls", lulls);
    figure(kTest, "emulator_errors", shared.emu_errors.load());

    // ---- the service afterwards --------------------------------------------------
    auto phase = std::chrono::steady_clock::now();
    auto phase_done = [&](const char *name) {
        figure(kTest, std::string("phase_ms.") + name, static_cast<long long>(seconds_since(phase) * 1000));
        phase = std::chrono::steady_clock::now();
    };
    ASSERT_TRUE(h.daemon_alive()) << "the daemon died under load\n" << h.daemon_output().substr(0, 4000);
    EXPECT_EQ(shared.emu_errors.load(), 0) << "the emulator's control socket failed";
    EXPECT_TRUE(violations.empty()) << violations.size() << " violations:" << join(violations);
    EXPECT_GT(ops, 0);

    // Alive and answering; whatever still runs is stopped; the module is back.
    ASSERT_TRUE(h.wait_for([&] { return device_count(h) == 1; }, 10000))
        << "device count " << device_count(h);
    g_autoptr(GError) stop1 = h.call("verifyStop", nullptr);
    g_autoptr(GError) stop2 = h.call("stopEnroll", nullptr);
    EXPECT_EQ(stop1, nullptr);
    EXPECT_EQ(stop2, nullptr);
    EXPECT_TRUE(h.wait_for([&] { return h.emu().command("pending") == "OK none"; }, 15000))
        << h.emu().command("pending");
    phase_done("stop_and_idle");

    // Idle: a fresh enrolment of a new finger succeeds at once.
    h.clear_signals();
    const auto idle_begin = std::chrono::steady_clock::now();
    const bool fresh = enrol_finger(h, "stress-final", "fresh", "final-touch");
    figure(kTest, "fresh_enrolment_ms", static_cast<long long>(seconds_since(idle_begin) * 1000));
    EXPECT_TRUE(fresh) << list_of(sig_strs(h.signals("enrollStatusChanged")));

    // The list file: loads, holds exactly what was reported and not deleted since.
    const ListFile list = load_list(h.conf_dir() + "tvplist.conf");
    ASSERT_TRUE(list.loaded) << list.error;
    figure(kTest, "list_entries_at_end", static_cast<long long>(list.entries.size()));
    std::set<std::string> known_users = {"stress-final"};
    for (const auto &l : ledgers) {
        known_users.insert(l.user);
        EXPECT_EQ(list.names_of(l.user), l.expected) << l.user << ": " << describe(list);
        for (const auto &n : list.names_of(l.user)) {
            EXPECT_EQ(l.reported.count(n), 1u) << "phantom entry " << l.user << "/" << n;
        }
        // The service's own answer agrees with its file.
        const auto listed = h.listfingers(l.user);
        EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), l.expected) << l.user;
    }
    if (fresh) {
        EXPECT_TRUE(list.has("stress-final", "fresh"));
    }
    for (const auto &e : list.entries) {
        EXPECT_EQ(known_users.count(e.user), 1u) << "entry of an unknown user: " << e.user << "/" << e.name;
    }
    const auto problems = list_module_problems(list, module_templates(h.emu()));
    EXPECT_TRUE(problems.empty()) << join(problems);
    phase_done("list_checks");

    // No thread and no descriptor left behind: detached workers that already
    // finished may need a moment to go.
    ProcCounts end = proc_counts(h.daemon_pid());
    std::string trajectory = end.text();
    for (int i = 0; i < 40 && (end.threads > baseline.threads || end.fds > baseline.fds); ++i) {
        h.pump(500);
        end = proc_counts(h.daemon_pid());
        trajectory += " | " + end.text();
    }
    figure(kTest, "end_trajectory", trajectory);
    figure(kTest, "end", end.text());
    phase_done("resource_wait");
    EXPECT_LE(end.threads, baseline.threads) << "threads leaked";
    EXPECT_LE(end.fds, baseline.fds) << "descriptors leaked:" << join(fd_targets(h.daemon_pid()));
    EXPECT_TRUE(h.daemon_alive());
    if (getenv("TIRVANE_STRESS_DAEMON_TSAN_LOG") != nullptr) {
        // Let the daemon end normally so that its sanitizer summary is written.
        h.stop_daemon(SIGTERM);
    }
}
