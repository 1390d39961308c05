// Bus round trips of the service beside a peer fingerprint service, both on one
// private bus configured like the system bus, in interleaved rounds, each
// against the bus daemon's own Peer.Ping. The peer is fprintd with libfprint's
// virtual device, polkit and logind played by python3-dbusmock. Prints figures
// and ratios; asserts nothing. Without fprintd it says why and measures ours.
//
//   peer_bench [rounds]
#include "bench_support.h"

#include <cstdlib>
#include <functional>
#include <sys/stat.h>

using namespace tvbench;

namespace
{

constexpr const char *kBenchUser = "bench";
constexpr int kListEntries = 50;
// The service's start-up threads look for a module in its bootloader for about
// 20 s; the figures are taken after they have ended.
constexpr int kStartupThreadsMs = 22000;

std::string env_or(const char *name, const char *fallback)
{
    const char *value = getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

bool exists(const std::string &path)
{
    struct stat st {
    };
    return stat(path.c_str(), &st) == 0;
}

// One bus method measured per round.
struct Method {
    Method(std::string l, std::function<bool()> c) : label(std::move(l)), call(std::move(c)) {}
    std::string label;
    std::function<bool()> call; // false when the call failed
    std::vector<double> samples_us;
    size_t failures = 0;
};

bool call_ok(GDBusConnection *connection, const char *dest, const char *path, const char *iface,
             const char *method, GVariant *args)
{
    g_autoptr(GError) err = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection, dest, path, iface, method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &err);
    return reply != nullptr;
}

// fprintd, its virtual device and the two services it asks, on the harness's bus.
class FprintdPeer
{
  public:
    explicit FprintdPeer(tvtest::ServiceHarness &h) : h_(h) {}

    // Brings the peer up; false with the reason in `why`.
    bool start(std::string *why)
    {
        const std::string fprintd = env_or("TIRVANE_BENCH_FPRINTD", "/usr/libexec/fprintd");
        const std::string policy = "/usr/share/dbus-1/system.d/net.reactivated.Fprint.conf";
        const std::string python = env_or("TIRVANE_BENCH_PYTHON", "/usr/bin/python3");
        if (!exists(fprintd)) {
            *why = fprintd + " is not installed (bench/run-peer-bench.sh installs it)";
            return false;
        }
        if (!exists(policy)) {
            *why = policy + " is missing";
            return false;
        }
        if (system((python + " -c 'import dbusmock' 2>/dev/null").c_str()) != 0) {
            *why = "python3-dbusmock is not installed for " + python;
            return false;
        }
        if (!extend_bus_policy(policy, why)) {
            return false;
        }
        const std::map<std::string, std::string> bus_env = {{"DBUS_SYSTEM_BUS_ADDRESS", h_.bus_address()}};
        // The harness starts the mocks with the interpreter checked above.
        setenv("TIRVANE_TEST_PYTHON", python.c_str(), 1);
        if (!h_.start_mock("polkitd", "org.freedesktop.PolicyKit1") ||
            !h_.start_mock("logind", "org.freedesktop.login1")) {
            *why = h_.error;
            return false;
        }
        // The peer's policy check always passes, as ours does for root.
        if (!call_ok(h_.connection(), "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                     "org.freedesktop.DBus.Mock", "AllowUnknown", g_variant_new("(b)", TRUE))) {
            *why = "the polkit mock refused AllowUnknown";
            return false;
        }
        g_mkdir_with_parents((h_.dir() + "/fprintd-state").c_str(), 0700);
        std::map<std::string, std::string> env = bus_env;
        env["FP_DRIVERS_WHITELIST"] = "virtual_device";
        env["FP_VIRTUAL_DEVICE"] = h_.dir() + "/fprintd-virtual.sock";
        env["STATE_DIRECTORY"] = h_.dir() + "/fprintd-state";
        if (!fprintd_.start({fprintd, "--no-timeout"}, env, h_.dir() + "/fprintd.out", why)) {
            return false;
        }
        h_.wait_for([&] { return !fprintd_.running() || h_.name_has_owner("net.reactivated.Fprint"); },
                    10000);
        if (!h_.name_has_owner("net.reactivated.Fprint")) {
            const std::string out = tvtest::slurp(h_.dir() + "/fprintd.out");
            *why = std::string(fprintd_.running() ? "fprintd did not take its name"
                                                  : "fprintd ended at start-up") +
                   (out.empty() ? " (no output)" : "; its output:\n" + out);
            return false;
        }
        g_autoptr(GVariant) devices = g_dbus_connection_call_sync(
            h_.connection(), "net.reactivated.Fprint", "/net/reactivated/Fprint/Manager",
            "net.reactivated.Fprint.Manager", "GetDevices", nullptr, G_VARIANT_TYPE("(ao)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        g_autoptr(GVariant) list = devices != nullptr ? g_variant_get_child_value(devices, 0) : nullptr;
        if (list == nullptr || g_variant_n_children(list) == 0) {
            *why = "fprintd found no virtual device";
            return false;
        }
        return true;
    }

    bool running() const
    {
        return fprintd_.running();
    }

    // Ends whatever part of the peer came up.
    void stop()
    {
        fprintd_.stop();
        h_.stop_mock("org.freedesktop.login1");
        h_.stop_mock("org.freedesktop.PolicyKit1");
    }

  private:
    // Adds fprintd's own policy to the harness's bus (which already grants the
    // names of polkit and logind) and has the bus read its configuration again.
    bool extend_bus_policy(const std::string &fprintd_policy, std::string *why)
    {
        const std::string conf_path = h_.dir() + "/bus.conf";
        std::string conf = tvtest::slurp(conf_path);
        const size_t end = conf.rfind("</busconfig>");
        if (end == std::string::npos) {
            *why = "cannot read the private bus configuration " + conf_path;
            return false;
        }
        conf.insert(end, "  <include>" + fprintd_policy + "</include>\n");
        tvtest::write_file(conf_path, conf);
        g_autoptr(GError) err = nullptr;
        g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
            h_.connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "ReloadConfig", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &err);
        if (reply == nullptr) {
            *why = std::string("the private bus did not reload its configuration: ") + err->message;
            return false;
        }
        return true;
    }

    tvtest::ServiceHarness &h_;
    Child fprintd_;
};

// Median of one half of a series (0 = first, 1 = second).
double half_median(const std::vector<double> &samples, int half)
{
    const auto mid = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    return figures_of(half == 0 ? std::vector<double>(samples.begin(), mid)
                                : std::vector<double>(mid, samples.end()))
        .median;
}

// One row: median and p90, both as ratios to Ping, and the median ratio of
// each half of the run, which shows how steady the machine was.
void print_row(const Method &m, const Method &ping)
{
    const Figures f = figures_of(m.samples_us);
    const Figures p = figures_of(ping.samples_us);
    printf("  %-34s %8.1f %8.1f   %5.2fx %5.2fx   %5.2fx %5.2fx", m.label.c_str(), f.median, f.p90,
           f.median / p.median, f.p90 / p.p90, half_median(m.samples_us, 0) / half_median(ping.samples_us, 0),
           half_median(m.samples_us, 1) / half_median(ping.samples_us, 1));
    if (m.failures != 0) {
        printf("   (%zu calls failed)", m.failures);
    }
    printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(50, atoi(argv[1])) : 3000;
    tvtest::ServiceHarness h;
    if (h.connection() == nullptr) {
        fprintf(stderr, "cannot start the private bus: %s\n", h.error.c_str());
        return 1;
    }

    FprintdPeer peer(h);
    std::string why;
    const bool with_peer = peer.start(&why);
    if (!with_peer) {
        printf("fprintd peer skipped: %s\n", why.c_str());
        peer.stop();
    }

    tvtest::DaemonOptions options;
    // Logging at the product default (errors only); 50 list entries for one
    // user, each naming a template the module holds.
    options.driver_conf = "[BASIC_PARAM]\nPrintfLogFlag=1\nAutoSuspend=0\nUpgradeFlag=0\n";
    options.write_list_conf = true;
    options.list_conf = bench_list_conf(kBenchUser, kListEntries);
    options.wait_ready = false; // the ready line is below the errors-only threshold
    tvtest::write_file(h.dir() + "/emu.state", bench_emu_state(kListEntries));
    const auto started = Clock::now();
    if (!h.start(options)) {
        fprintf(stderr, "cannot start the service: %s\n", h.error.c_str());
        return 1;
    }
    printf("waiting for the service's start-up threads to end (%d s)\n", kStartupThreadsMs / 1000);
    fflush(stdout);
    h.pump(kStartupThreadsMs - static_cast<int>(millis(Clock::now() - started)));

    const size_t listed = h.listfingers(kBenchUser).size();
    GDBusConnection *bus = h.connection();
    std::vector<Method> methods;
    methods.emplace_back("Peer.Ping (bus daemon, floor)", [bus] {
        return call_ok(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer",
                       "Ping", nullptr);
    });
    methods.emplace_back("ours: getDeviceName", [bus] {
        return call_ok(bus, "nuvex.kal.Tirvane", "/nuvex/kal/Tirvane", "nuvex.kal.Tirvane", "getDeviceName",
                       nullptr);
    });
    methods.emplace_back("ours: listfingers, " + std::to_string(listed) + " entries", [bus] {
        return call_ok(bus, "nuvex.kal.Tirvane", "/nuvex/kal/Tirvane", "nuvex.kal.Tirvane", "listfingers",
                       g_variant_new("(s)", kBenchUser));
    });
    if (with_peer) {
        methods.emplace_back("fprintd: Manager.GetDevices", [bus] {
            return call_ok(bus, "net.reactivated.Fprint", "/net/reactivated/Fprint/Manager",
                           "net.reactivated.Fprint.Manager", "GetDevices", nullptr);
        });
    }

    // Warm-up, then rounds in which every method is called once; the order
    // turns each round so that no method always follows the same one.
    for (int i = 0; i < 100; ++i) {
        for (auto &m : methods) {
            m.call();
        }
    }
    for (int round = 0; round < rounds; ++round) {
        for (size_t k = 0; k < methods.size(); ++k) {
            Method &m = methods[(round + k) % methods.size()];
            const auto begin = Clock::now();
            const bool ok = m.call();
            const double us = micros(Clock::now() - begin);
            if (ok) {
                m.samples_us.push_back(us);
            } else {
                ++m.failures;
            }
        }
    }
    h.pump(0); // drop whatever the calls queued on the harness's context

    const Figures ping = figures_of(methods[0].samples_us);
    printf("round trips, %d interleaved rounds on one private bus (microseconds)\n", rounds);
    printf("  %-34s %8s %8s   %-13s   %s\n", "", "", "", "ratio to Ping", "median ratio of");
    printf("  %-34s %8s %8s   %6s %6s   %6s %6s\n", "method", "median", "p90", "median", "p90", "1st",
           "2nd half");
    for (const auto &m : methods) {
        print_row(m, methods[0]);
    }
    const double name = figures_of(methods[1].samples_us).median / ping.median;
    const double list = figures_of(methods[2].samples_us).median / ping.median;
    if (with_peer) {
        const double peer_devices = figures_of(methods[3].samples_us).median / ping.median;
        printf("getDeviceName %.2fx against fprintd's GetDevices %.2fx: %s\n", name, peer_devices,
               name < peer_devices ? "ahead of the peer" : "behind the peer");
    }
    printf("listfingers (%zu entries) %.2fx: %s\n", listed, list, list <= 2.0 ? "within 2.0x" : "above 2.0x");
    if (with_peer && !peer.running()) {
        printf("note: fprintd ended during the run (see %s/fprintd.out)\n", h.dir().c_str());
    }
    return 0;
}
