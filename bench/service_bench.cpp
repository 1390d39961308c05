// Figures of the running service, measured on a private bus with the emulated
// module. Prints figures and ratios; asserts nothing.
//
//   service_bench [rounds]
#include "bus_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace tvtest;
using Clock = std::chrono::steady_clock;

namespace
{

double median_us(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

template <typename F> double median_call_us(int rounds, F &&call)
{
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
        const auto begin = Clock::now();
        call();
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
    }
    return median_us(samples);
}

long rss_kib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// User plus system CPU time of a process, in clock ticks.
long cpu_ticks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) {
        fields >> skip;
    }
    long utime = 0;
    long stime = 0;
    fields >> utime >> stime;
    return utime + stime;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(10, atoi(argv[1])) : 500;
    ServiceHarness h;
    DaemonOptions options;
    // Logging at the product default (errors only), 50 list entries for one user.
    options.driver_conf = "[BASIC_PARAM]\nPrintfLogFlag=1\n";
    options.write_list_conf = true;
    for (int i = 1; i <= 50; ++i) {
        options.list_conf += "[UserFprint-" + std::to_string(i) +
                             "]\nenable=true\nuser_id=bench\nfprint_name=finger-" + std::to_string(i) +
                             "\nfprint_id=" + std::to_string(i < 31 ? 89 + i : 200 + i) + "\n";
    }
    if (!h.start(options)) {
        fprintf(stderr, "cannot start the service: %s\n", h.error.c_str());
        return 1;
    }
    h.pump(6000); // the start-up checks hold the module for a few seconds

    const double ping = median_call_us(rounds, [&] {
        g_autoptr(GVariant) r = g_dbus_connection_call_sync(
            h.connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer",
            "Ping", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    });
    const double name = median_call_us(rounds, [&] {
        g_autofree gchar *n = nullptr;
        tirvane_call_get_device_name_sync(h.proxy(), &n, nullptr, nullptr);
    });
    size_t listed = 0;
    const double list = median_call_us(rounds, [&] { listed = h.listfingers("bench").size(); });

    printf("round trips (median of %d)\n", rounds);
    printf("  Peer.Ping to the bus daemon : %8.1f us (floor)\n", ping);
    printf("  getDeviceName               : %8.1f us  ratio %.2fx\n", name, name / ping);
    printf("  listfingers, %zu entries     : %8.1f us  ratio %.2fx\n", listed, list, list / ping);

    // Touch to match: enrol one finger, then verify it repeatedly.
    h.emu().command("store 90 bench-touch");
    std::vector<double> touch_to_match;
    for (int i = 0; i < 15; ++i) {
        h.clear_signals();
        tirvane_call_verify_sync(h.proxy(), "bench", 1, nullptr, nullptr);
        h.wait_for([&] { return h.emu().command("pending").find("identify") != std::string::npos; }, 5000);
        // Past the 80 ms floor of a match that follows the call at once.
        h.pump(150);
        const auto touched = Clock::now();
        h.emu().command("touch bench-touch");
        if (!h.wait_signals("verifyStatusChanged", 1, 5000)) {
            continue;
        }
        touch_to_match.push_back(
            std::chrono::duration<double, std::milli>(h.signals("verifyStatusChanged")[0].when - touched)
                .count());
        h.pump(100);
    }
    printf("touch to match signal (median of %zu): %.1f ms\n", touch_to_match.size(),
           median_us(touch_to_match));

    // Idle: after the start-up threads have ended (their attempts last about 20 s).
    h.pump(22000);
    const long ticks_before = cpu_ticks(h.daemon_pid());
    sleep(10);
    const long ticks_after = cpu_ticks(h.daemon_pid());
    printf("idle daemon: resident %ld KiB, CPU over 10 s %ld ticks (%ld Hz)\n", rss_kib(h.daemon_pid()),
           ticks_after - ticks_before, sysconf(_SC_CLK_TCK));
    return 0;
}
