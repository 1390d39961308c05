// Pieces shared by the benchmarks that run the service on the private bus:
// sample statistics, the list file of a benched user, and child processes.
#pragma once

#include "bus_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <gio/gio.h>
#include <map>
#include <string>
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

} // namespace tvbench
