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

using namespace tvbench;

namespace
{

constexpr const char *kBenchUser = "bench";
constexpr int kListEntries = 50;
// The service's start-up threads look for a module in its bootloader for about
// 20 s; the figures are taken after they have ended.
constexpr int kStartupThreadsMs = 22000;

// One bus method measured per round.
struct Method {
    Method(std::string l, std::function<bool()> c) : label(std::move(l)), call(std::move(c)) {}
    std::string label;
    std::function<bool()> call; // false when the call failed
    std::vector<double> samples_us;
    size_t failures = 0;
};

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
