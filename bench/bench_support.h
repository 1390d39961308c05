// Pieces shared by the benchmarks that run the service on the private bus:
// sample statistics, the list file of a benched user, child processes, and
// fprintd as a peer on the harness's bus.
#pragma once

#include "bus_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <gio/gio.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace tvbench
{

using Clock = std::chrono::steady_clock;

inline double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

inline double millis(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Order statistics of one series of samples.
struct Figures {
    size_t count = 0;
    double median = 0;
    double p90 = 0;
    double min = 0;
    double max = 0;
};

inline Figures figures_of(std::vector<double> samples)
{
    Figures f;
    if (samples.empty()) {
        return f;
    }
    std::sort(samples.begin(), samples.end());
    f.count = samples.size();
    f.median = samples[samples.size() / 2];
    f.p90 = samples[std::min(samples.size() - 1, samples.size() * 9 / 10)];
    f.min = samples.front();
    f.max = samples.back();
    return f;
}

// Median of one half of a series (0 = first, 1 = second).
inline double half_median(const std::vector<double> &samples, int half)
{
    const auto mid = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    return figures_of(half == 0 ? std::vector<double>(samples.begin(), mid)
                                : std::vector<double>(mid, samples.end()))
        .median;
}

// The slot that holds list entry `index` (1 to 50): the first 30 at 90..119,
// the rest far beyond them, so lookups do not walk one dense run.
inline unsigned bench_slot(int index)
{
    return index < 31 ? 89 + index : 200 + index;
}

// A list file with `entries` fingers of `user`, named finger-1, finger-2, ...
inline std::string bench_list_conf(const std::string &user, int entries)
{
    std::string conf;
    for (int i = 1; i <= entries; ++i) {
        conf += "[UserFprint-" + std::to_string(i) + "]\nenable=true\nuser_id=" + user +
                "\nfprint_name=finger-" + std::to_string(i) + "\nfprint_id=" + std::to_string(bench_slot(i)) +
                "\n";
    }
    return conf;
}

// The emulated module's state file with the templates those entries name, so
// that the list and the module agree from the start.
inline std::string bench_emu_state(int entries)
{
    std::string state;
    for (int i = 1; i <= entries; ++i) {
        state += "template " + std::to_string(bench_slot(i)) + " finger-" + std::to_string(i) + "\n";
    }
    return state;
}

// A child process that is ended (SIGTERM, then SIGKILL) when this goes away.
class Child
{
  public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child()
    {
        stop();
    }

    // Starts argv with the extra environment, output appended to `out_path`.
    bool start(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
               const std::string &out_path, std::string *why)
    {
        g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE);
        for (const auto &[key, value] : env) {
            g_subprocess_launcher_setenv(launcher, key.c_str(), value.c_str(), TRUE);
        }
        g_subprocess_launcher_set_stdout_file_path(launcher, out_path.c_str());
        g_subprocess_launcher_set_stderr_file_path(launcher, out_path.c_str());
        std::vector<const gchar *> args;
        for (const auto &a : argv) {
            args.push_back(a.c_str());
        }
        args.push_back(nullptr);
        g_autoptr(GError) err = nullptr;
        process_ = g_subprocess_launcher_spawnv(launcher, args.data(), &err);
        if (process_ == nullptr) {
            *why = argv[0] + ": " + err->message;
            return false;
        }
        return true;
    }

    bool running() const
    {
        return process_ != nullptr && g_subprocess_get_identifier(process_) != nullptr;
    }

    void stop()
    {
        if (process_ == nullptr) {
            return;
        }
        if (g_subprocess_get_identifier(process_) != nullptr) {
            g_subprocess_send_signal(process_, SIGTERM);
            for (int i = 0; i < 300 && !exited(); ++i) {
                g_usleep(10 * 1000);
            }
            if (!exited()) {
                g_subprocess_force_exit(process_);
                g_subprocess_wait(process_, nullptr, nullptr);
            }
        }
        g_clear_object(&process_);
    }

  private:
    // Reaps the child when it has ended; GSubprocess reaps on the GLib worker.
    bool exited() const
    {
        return g_subprocess_get_identifier(process_) == nullptr;
    }

    GSubprocess *process_ = nullptr;
};

inline std::string env_or(const char *name, const char *fallback)
{
    const char *value = getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

inline bool exists(const std::string &path)
{
    struct stat st {
    };
    return stat(path.c_str(), &st) == 0;
}

inline bool call_ok(GDBusConnection *connection, const char *dest, const char *path, const char *iface,
                    const char *method, GVariant *args)
{
    g_autoptr(GError) err = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection, dest, path, iface, method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &err);
    return reply != nullptr;
}

// fprintd, its virtual device and the two services it asks, on the harness's bus.
// The virtual device listens on its socket while the device is open (claimed).
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
        env["FP_VIRTUAL_DEVICE"] = device_socket();
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

    // Where libfprint's virtual device takes its commands.
    std::string device_socket() const
    {
        return h_.dir() + "/fprintd-virtual.sock";
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

} // namespace tvbench
