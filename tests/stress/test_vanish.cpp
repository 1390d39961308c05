// Clients that start an enrolment or a verification and then vanish: killed
// processes and connections whose socket is shut under them, at several moments
// of the operation. Each time the service must notice, stop the operation and
// let the next client work.
//
// Knobs: TIRVANE_VANISH_ROUNDS (default 12).
#include "stress_support.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

using namespace tvtest;
using namespace tvstress;

namespace
{

const char *const kTest = "vanish";

struct Helper;
void kill_helper(Helper &helper);

// A helper process that starts the call and waits to be killed (on every way
// out of the test, too).
struct Helper {
    pid_t pid = -1;
    int out = -1;
    std::string line;
    Helper() = default;
    Helper(const Helper &) = delete;
    Helper &operator=(const Helper &) = delete;
    ~Helper()
    {
        kill_helper(*this);
    }
};

void spawn_helper(Helper &helper, const std::vector<std::string> &args)
{
    int fds[2];
    if (pipe(fds) != 0) {
        return;
    }
    std::vector<char *> argv;
    for (const auto &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    helper.pid = fork();
    if (helper.pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    helper.out = fds[0];
}

// Reads the helper's first line ("sent ..." or "replied ...").
bool read_line(Helper &helper, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (helper.line.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) {
            return false;
        }
        pollfd p{helper.out, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) {
            return false;
        }
        char buf[256];
        const ssize_t n = read(helper.out, buf, sizeof(buf));
        if (n <= 0) {
            return false;
        }
        helper.line.append(buf, static_cast<size_t>(n));
    }
    return true;
}

void kill_helper(Helper &helper)
{
    if (helper.pid > 0) {
        kill(helper.pid, SIGKILL);
        waitpid(helper.pid, nullptr, 0);
        helper.pid = -1;
    }
    if (helper.out >= 0) {
        close(helper.out);
        helper.out = -1;
    }
}

enum class Op { Enroll, Verify };
enum class Way { KilledProcess, SocketShutDown };
enum class Moment { RightAfterSending, AfterTheReply, MidOperation };

const char *name_of(Op op)
{
    return op == Op::Enroll ? "enroll" : "verify";
}
const char *name_of(Way way)
{
    return way == Way::KilledProcess ? "killed-process" : "socket-shut-down";
}
const char *name_of(Moment m)
{
    switch (m) {
    case Moment::RightAfterSending:
        return "right-after-sending";
    case Moment::AfterTheReply:
        return "after-the-reply";
    case Moment::MidOperation:
        return "mid-operation";
    }
    return "?";
}

size_t signals_of(ServiceHarness &h, const std::string &name, const std::string &user)
{
    size_t n = 0;
    for (const auto &s : h.signals(name)) {
        n += s.id == user;
    }
    return n;
}

std::vector<Signal> signals_for(ServiceHarness &h, const std::string &name, const std::string &user)
{
    std::vector<Signal> out;
    for (const auto &s : h.signals(name)) {
        if (s.id == user) {
            out.push_back(s);
        }
    }
    return out;
}

// An enrolment of `user` played to its end, counting only that user's signals:
// the vanished client's operation may still report while it winds down.
bool enrol_as(ServiceHarness &h, const std::string &user, const std::string &finger,
              const std::string &touched)
{
    g_autoptr(GError) err = h.call("enroll", g_variant_new("(ss)", user.c_str(), finger.c_str()));
    if (err != nullptr) {
        return false;
    }
    auto count = [&] { return signals_for(h, "enrollStatusChanged", user).size(); };
    if (!h.wait_for([&] { return count() >= 1; }, 20000) ||
        signals_for(h, "enrollStatusChanged", user).front().code != 2) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        const size_t seen = count();
        if (!h.emu().ok("touch " + touched)) {
            return false;
        }
        h.wait_for([&] { return count() > seen; }, 5000);
    }
    h.wait_for(
        [&] {
            for (const auto &s : signals_for(h, "enrollStatusChanged", user)) {
                if (s.code == 0 || s.code == 1 || s.code == 4) {
                    return true;
                }
            }
            return false;
        },
        15000);
    const auto all = signals_for(h, "enrollStatusChanged", user);
    return !all.empty() && all.back().code == 0;
}

// Nothing runs any more: whatever a failed round left is stopped.
void settle(ServiceHarness &h)
{
    g_autoptr(GError) e1 = h.call("stopEnroll", nullptr);
    g_autoptr(GError) e2 = h.call("verifyStop", nullptr);
    h.wait_for([&] { return h.emu().command("pending") == "OK none"; }, 10000);
    h.clear_signals();
}

} // namespace

TEST(Vanish, ClientsThatVanishMidOperationLeaveTheDeviceFreeForTheNext)
{
    const long rounds = env_long("TIRVANE_VANISH_ROUNDS", 12);
    figure(kTest, "rounds", rounds);
    ServiceHarness h;
    DaemonOptions options;
    add_sanitizer_log(options);
    ASSERT_TRUE(h.start(options)) << h.error;
    figure(kTest, "daemon_pid", h.daemon_pid());
    ASSERT_TRUE(enrol_finger(h, "owner", "thumb", "owner-thumb"));
    const ProcCounts before = proc_counts(h.daemon_pid());

    long vanished = 0;
    long follow_ups = 0;
    double slowest_free_s = 0;
    int owner_fingers = 1;
    for (long r = 0; r < rounds; ++r) {
        const Op op = r % 2 == 0 ? Op::Enroll : Op::Verify;
        const Way way = (r / 2) % 2 == 0 ? Way::KilledProcess : Way::SocketShutDown;
        const auto moment = static_cast<Moment>((r / 4) % 3);
        const std::string user = "ghost-" + std::to_string(r);
        const std::string label = std::string(name_of(op)) + "/" + name_of(way) + "/" + name_of(moment);
        SCOPED_TRACE("round " + std::to_string(r) + " " + label);
        settle(h);
        const size_t noticed_before = count_of(h.log_text(), "left the bus, stopping its operation");
        const size_t unknown_before = count_of(h.log_text(), "could not be identified");

        // ---- a client starts the operation -----------------------------------------
        Helper helper;
        std::unique_ptr<ThreadBus> bus;
        const bool no_wait = moment == Moment::RightAfterSending;
        const std::string arg = op == Op::Enroll ? "ghost-finger" : "1";
        if (way == Way::KilledProcess) {
            std::vector<std::string> args = {TIRVANE_VANISHING_CLIENT, h.bus_address(), name_of(op), user,
                                             arg};
            if (no_wait) {
                args.push_back("--no-wait");
            }
            spawn_helper(helper, args);
            ASSERT_GT(helper.pid, 0);
            ASSERT_TRUE(read_line(helper, 15000)) << "helper said: " << helper.line;
            ASSERT_TRUE(helper.line.rfind(no_wait ? "sent " : "replied ", 0) == 0) << helper.line;
        } else {
            bus = std::make_unique<ThreadBus>(h.bus_address(), user);
            ASSERT_TRUE(bus->ok()) << bus->error;
            GVariant *args = op == Op::Enroll ? g_variant_new("(ss)", user.c_str(), arg.c_str())
                                              : g_variant_new("(si)", user.c_str(), 1);
            if (no_wait) {
                bus->send_no_reply(name_of(op), args);
            } else {
                g_autoptr(GError) err = bus->call(name_of(op), args);
                ASSERT_EQ(err, nullptr) << err->message;
            }
        }
        if (moment == Moment::MidOperation) {
            if (op == Op::Enroll) {
                // Started and two touches in.
                ASSERT_TRUE(
                    h.wait_for([&] { return signals_of(h, "enrollStatusChanged", user) >= 1; }, 10000));
                for (int i = 0; i < 2; ++i) {
                    const size_t seen = signals_of(h, "enrollStatusChanged", user);
                    ASSERT_TRUE(h.emu().ok("touch ghost-touch"));
                    ASSERT_TRUE(
                        h.wait_for([&] { return signals_of(h, "enrollStatusChanged", user) > seen; }, 5000));
                }
            } else {
                // Waiting for a finger, after a touch that did not match.
                ASSERT_TRUE(h.wait_for([&] { return h.emu().command("pending") == "OK identify"; }, 10000));
                ASSERT_TRUE(h.emu().ok("touch stranger"));
                ASSERT_TRUE(
                    h.wait_for([&] { return signals_of(h, "verifyStatusChanged", user) >= 1; }, 5000));
                ASSERT_TRUE(h.wait_for([&] { return h.emu().command("pending") == "OK identify"; }, 5000));
            }
        } else if (moment == Moment::AfterTheReply) {
            h.pump(100);
        }

        // ---- and vanishes --------------------------------------------------------------
        const auto gone = std::chrono::steady_clock::now();
        if (way == Way::KilledProcess) {
            kill_helper(helper);
        } else {
            bus->vanish();
            bus.reset();
        }
        ++vanished;

        // The service notices and lets go of the device (a verification first
        // collects a late result, then cancels the module's search). An
        // operation whose caller was gone before the service could ask the bus
        // who it was is refused instead and never starts.
        bool refused_unknown = false;
        const char *status_signal = op == Op::Enroll ? "enrollStatusChanged" : "verifyStatusChanged";
        const bool noticed = h.wait_for(
            [&] {
                const std::string log = h.log_text();
                refused_unknown = moment == Moment::RightAfterSending &&
                                  count_of(log, "could not be identified") > unknown_before &&
                                  signals_of(h, status_signal, user) == 0;
                return refused_unknown ||
                       count_of(log, "left the bus, stopping its operation") > noticed_before;
            },
            15000);
        EXPECT_TRUE(noticed) << "the service did not notice that its caller left";
        if (refused_unknown) {
            figure(kTest, "round " + std::to_string(r) + " refused_as_unidentified", 1);
        }
        const double noticed_s = seconds_since(gone);
        EXPECT_TRUE(h.wait_for([&] { return h.emu().command("pending") == "OK none"; }, 15000))
            << h.emu().command("pending");
        const double module_idle_s = seconds_since(gone);

        // ---- the next client works ---------------------------------------------------------
        h.clear_signals();
        bool worked = false;
        if (r % 4 < 2) {
            const std::string finger = "finger-" + std::to_string(++owner_fingers);
            worked = enrol_as(h, "owner", finger, "owner-" + finger);
            EXPECT_TRUE(worked) << "enrolment after the vanished client: "
                                << list_of(sig_strs(h.signals("enrollStatusChanged")));
            const auto ghost = signals_for(h, "enrollStatusChanged", user);
            if (!ghost.empty()) {
                figure(kTest,
                       "round " + std::to_string(r) +
                           " signals of the vanished enrolment after it was noticed",
                       list_of(sig_strs(ghost)));
            }
            if (!worked) {
                --owner_fingers;
            }
        } else {
            g_autoptr(GError) err = h.call("verify", g_variant_new("(si)", "owner", 1));
            EXPECT_EQ(err, nullptr);
            auto owner_matched = [&] {
                for (const auto &s : signals_for(h, "verifyStatusChanged", "owner")) {
                    if (s.code == 0) {
                        return true;
                    }
                }
                return false;
            };
            // A vanished verification that is still winding down may take a touch.
            int touches = 0;
            for (; touches < 3 && !owner_matched(); ++touches) {
                h.emu().ok("touch owner-thumb 5000");
                h.wait_for(owner_matched, 3000);
            }
            worked = owner_matched();
            if (touches > 1) {
                figure(kTest, "round " + std::to_string(r) + " touches needed by the next verification",
                       touches);
            }
            EXPECT_TRUE(worked) << "verification after the vanished client: "
                                << list_of(sig_strs(h.signals("verifyStatusChanged")));
        }
        const double free_s = seconds_since(gone);
        slowest_free_s = std::max(slowest_free_s, free_s);
        follow_ups += worked;
        figure(kTest, "round " + std::to_string(r) + " " + label,
               std::string(worked ? "next operation worked" : "NEXT OPERATION FAILED") + " after " +
                   std::to_string(static_cast<long>(free_s * 1000)) + " ms (noticed after " +
                   std::to_string(static_cast<long>(noticed_s * 1000)) + " ms, module idle after " +
                   std::to_string(static_cast<long>(module_idle_s * 1000)) + " ms)");

        // The vanished client's enrolment left nothing behind.
        const ListFile list = load_list(h.conf_dir() + "tvplist.conf");
        ASSERT_TRUE(list.loaded) << list.error;
        EXPECT_TRUE(list.names_of(user).empty()) << describe(list);
        EXPECT_EQ(list.names_of("owner").size(), static_cast<size_t>(owner_fingers)) << describe(list);
        const auto problems = list_module_problems(list, module_templates(h.emu()));
        EXPECT_TRUE(problems.empty()) << join(problems);
        if (HasFatalFailure()) {
            return;
        }
    }
    figure(kTest, "clients_vanished", vanished);
    figure(kTest, "next_operations_worked", follow_ups);
    figure(kTest, "slowest_vanish_to_next_success_ms", static_cast<long long>(slowest_free_s * 1000));
    ProcCounts after = proc_counts(h.daemon_pid());
    h.wait_for(
        [&] {
            after = proc_counts(h.daemon_pid());
            return after.threads <= before.threads && after.fds <= before.fds;
        },
        20000);
    figure(kTest, "counts_before", before.text());
    figure(kTest, "counts_after", after.text());
    EXPECT_LE(after.fds, before.fds) << join(fd_targets(h.daemon_pid()));
    EXPECT_LE(after.threads, before.threads);
    EXPECT_TRUE(h.daemon_alive());
    if (getenv("TIRVANE_STRESS_DAEMON_TSAN_LOG") != nullptr) {
        h.stop_daemon(SIGTERM);
    }
}
