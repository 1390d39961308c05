// Shared pieces of the stress, fault-injection and crash-safety tests: knobs
// read from the environment, figures printed for the record, the list file as
// the test reads it, resource counts of the daemon, and a bus client that lives
// on its own thread with its own main context.
#pragma once

#include "flow_helpers.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <gio/gio.h>
#include <map>
#include <random>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tvstress
{

using tvtest::ServiceHarness;

// ---- knobs and figures ---------------------------------------------------------

inline long env_long(const char *name, long fallback)
{
    const char *text = getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char *end = nullptr;
    const long value = strtol(text, &end, 10);
    return (end != nullptr && *end == '\0' && value >= 0) ? value : fallback;
}

// The seed of a run: TIRVANE_STRESS_SEED when given, else taken from the clock.
// Printed by every test so that a failing run can be repeated.
inline unsigned run_seed()
{
    const long given = env_long("TIRVANE_STRESS_SEED", -1);
    if (given >= 0) {
        return static_cast<unsigned>(given);
    }
    return static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() & 0x7fffffff);
}

// One line per figure, easy to grep out of a ctest log: "[figure] test key = value".
inline void figure(const std::string &test, const std::string &key, const std::string &value)
{
    printf("[figure] %s %s = %s\n", test.c_str(), key.c_str(), value.c_str());
    fflush(stdout);
}

inline void figure(const std::string &test, const std::string &key, long long value)
{
    figure(test, key, std::to_string(value));
}

inline double seconds_since(std::chrono::steady_clock::time_point begin)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

using tvtest::bound_ms;
using tvtest::kTimeScale;

inline long long ms_since(std::chrono::steady_clock::time_point begin)
{
    return static_cast<long long>(seconds_since(begin) * 1000);
}

// The value of `key=` in an answer of the emulator's `stats`; -1 when missing.
inline long stat_of(const std::string &stats, const std::string &key)
{
    const size_t at = stats.find(" " + key + "=");
    return at == std::string::npos ? -1 : strtol(stats.c_str() + at + key.size() + 2, nullptr, 10);
}

// Random numbers for one thread; every thread derives its own from the run seed.
class Dice
{
  public:
    explicit Dice(unsigned seed) : engine_(seed) {}
    int between(int lo, int hi) // inclusive
    {
        return std::uniform_int_distribution<int>(lo, hi)(engine_);
    }
    bool chance(int percent)
    {
        return between(1, 100) <= percent;
    }
    // Index chosen with the given weights.
    size_t weighted(const std::vector<int> &weights)
    {
        return std::discrete_distribution<size_t>(weights.begin(), weights.end())(engine_);
    }

  private:
    std::mt19937 engine_;
};

// Sleeps in small steps so that a stop request ends the wait early.
inline void nap(int ms, const std::atomic<bool> *stop = nullptr)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (stop != nullptr && stop->load()) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 20)));
    }
}

// ---- resources of the daemon ---------------------------------------------------

struct ProcCounts {
    int threads = -1;
    int fds = -1;
    std::string text() const
    {
        return "threads=" + std::to_string(threads) + " fds=" + std::to_string(fds);
    }
};

inline int count_dir_entries(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(dir);
    return n;
}

// Descriptors of the process, leaving out those that belong to a sanitizer
// runtime in a sanitizer run: its report file (opened at the first report) and
// its symbolizer pipes, which it places at high numbers.
inline int count_fds(pid_t pid)
{
    const char *report_prefix = getenv("TIRVANE_STRESS_DAEMON_TSAN_LOG");
    const bool sanitizer_run = report_prefix != nullptr && *report_prefix != '\0';
    const std::string base = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(base.c_str());
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        if (sanitizer_run) {
            char target[512] = {0};
            const std::string link = base + "/" + e->d_name;
            const ssize_t len = readlink(link.c_str(), target, sizeof(target) - 1);
            if (atoi(e->d_name) >= 200 ||
                (len > 0 && std::string(target, static_cast<size_t>(len)).rfind(report_prefix, 0) == 0)) {
                continue;
            }
        }
        ++n;
    }
    closedir(dir);
    return n;
}

inline ProcCounts proc_counts(pid_t pid)
{
    return {count_dir_entries("/proc/" + std::to_string(pid) + "/task"), count_fds(pid)};
}

// What the fds of a process point at, for the report when a count grew.
inline std::vector<std::string> fd_targets(pid_t pid)
{
    std::vector<std::string> out;
    const std::string base = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(base.c_str());
    if (dir == nullptr) {
        return out;
    }
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        char target[512] = {0};
        const std::string link = base + "/" + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        out.push_back(std::string(e->d_name) + " -> " +
                      (n > 0 ? std::string(target, static_cast<size_t>(n)) : "?"));
    }
    closedir(dir);
    return out;
}

// ---- the list file as the test reads it ----------------------------------------

struct ListEntry {
    std::string group;
    std::string user;
    std::string name;
    int slot = -1;
};

struct ListFile {
    bool loaded = false;
    std::string error;
    std::vector<ListEntry> entries; // enabled entries only

    std::set<std::string> names_of(const std::string &user) const
    {
        std::set<std::string> out;
        for (const auto &e : entries) {
            if (e.user == user) {
                out.insert(e.name);
            }
        }
        return out;
    }
    bool has(const std::string &user, const std::string &name) const
    {
        for (const auto &e : entries) {
            if (e.user == user && e.name == name) {
                return true;
            }
        }
        return false;
    }
    int slot_of(const std::string &user, const std::string &name) const
    {
        for (const auto &e : entries) {
            if (e.user == user && e.name == name) {
                return e.slot;
            }
        }
        return -1;
    }
};

// Loads tvplist.conf with GKeyFile, the way any reader of the file would. A
// missing file is an empty list (the service creates it at start).
inline ListFile load_list(const std::string &path)
{
    ListFile out;
    g_autoptr(GKeyFile) file = g_key_file_new();
    g_autoptr(GError) error = nullptr;
    if (!g_key_file_load_from_file(file, path.c_str(), G_KEY_FILE_NONE, &error)) {
        if (g_error_matches(error, G_FILE_ERROR, G_FILE_ERROR_NOENT)) {
            out.loaded = true;
            return out;
        }
        out.error = error->message;
        return out;
    }
    out.loaded = true;
    gsize n = 0;
    g_auto(GStrv) groups = g_key_file_get_groups(file, &n);
    for (gsize i = 0; i < n; ++i) {
        const std::string group = groups[i];
        if (group.rfind("UserFprint-", 0) != 0) {
            continue;
        }
        g_autoptr(GError) e1 = nullptr;
        const gboolean enabled = g_key_file_get_boolean(file, groups[i], "enable", &e1);
        if (e1 != nullptr || !enabled) {
            continue;
        }
        g_autofree gchar *user = g_key_file_get_string(file, groups[i], "user_id", nullptr);
        g_autofree gchar *name = g_key_file_get_string(file, groups[i], "fprint_name", nullptr);
        g_autoptr(GError) e2 = nullptr;
        const gint slot = g_key_file_get_integer(file, groups[i], "fprint_id", &e2);
        ListEntry entry;
        entry.group = group;
        entry.user = user != nullptr ? user : "";
        entry.name = name != nullptr ? name : "";
        entry.slot = e2 == nullptr ? slot : -1;
        out.entries.push_back(entry);
    }
    return out;
}

inline std::string describe(const std::set<std::string> &names)
{
    std::string out = "{";
    for (const auto &n : names) {
        out += (out.size() > 1 ? "," : "") + n;
    }
    return out + "}";
}

inline std::string describe(const ListFile &list)
{
    std::string out;
    for (const auto &e : list.entries) {
        out += "[" + e.group + " " + e.user + "/" + e.name + " slot " + std::to_string(e.slot) + "] ";
    }
    return out.empty() ? "(empty)" : out;
}

// The list against the module: every entry names a slot of the enrolment window
// that holds a template, and no two entries share a slot.
inline std::vector<std::string> list_module_problems(const ListFile &list,
                                                     const std::map<int, std::string> &templates)
{
    std::vector<std::string> problems;
    std::map<int, std::string> owner;
    for (const auto &e : list.entries) {
        const std::string who = e.user + "/" + e.name;
        if (e.slot < 0 || e.slot > 255) {
            problems.push_back(who + " has no valid slot");
            continue;
        }
        if (owner.count(e.slot) != 0) {
            problems.push_back(who + " shares slot " + std::to_string(e.slot) + " with " + owner[e.slot]);
        }
        owner[e.slot] = who;
        if (templates.count(e.slot) == 0) {
            problems.push_back(who + " refers to slot " + std::to_string(e.slot) +
                               ", which holds no template in the module");
        }
    }
    return problems;
}

inline std::string join(const std::vector<std::string> &lines, const char *sep = "\n  ")
{
    std::string out;
    for (const auto &l : lines) {
        out += sep + l;
    }
    return out;
}

using tvtest::count_of;

// ---- a bus client of its own ----------------------------------------------------

// One connection to the private bus, dispatched on a main context that belongs
// to the thread that created the object (which must also be the one that uses
// and destroys it). Records the service's status signals whose first argument
// is `user` (all of them for an empty user).
class ThreadBus
{
  public:
    ThreadBus(const std::string &address, const std::string &user) : user_(user)
    {
        context_ = g_main_context_new();
        g_main_context_push_thread_default(context_);
        g_autoptr(GError) err = nullptr;
        connection_ = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &err);
        if (connection_ == nullptr) {
            error = err != nullptr ? err->message : "no connection";
            return;
        }
        g_dbus_connection_set_exit_on_close(connection_, FALSE);
        subscription_ = g_dbus_connection_signal_subscribe(
            connection_, nullptr, "nuvex.kal.Tirvane", nullptr, "/nuvex/kal/Tirvane",
            user_.empty() ? nullptr : user_.c_str(), G_DBUS_SIGNAL_FLAGS_NONE, on_signal, this, nullptr);
    }
    ~ThreadBus()
    {
        close();
        pump();
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }
    ThreadBus(const ThreadBus &) = delete;
    ThreadBus &operator=(const ThreadBus &) = delete;

    bool ok() const
    {
        return connection_ != nullptr;
    }
    GDBusConnection *connection() const
    {
        return connection_;
    }
    const char *unique_name() const
    {
        return connection_ != nullptr ? g_dbus_connection_get_unique_name(connection_) : "";
    }

    // A synchronous call to the service; returns the error (null on success).
    GError *call(const char *method, GVariant *args, GVariant **reply = nullptr, int timeout_ms = 25000)
    {
        return tvtest::call_service(connection_, method, args, reply, timeout_ms);
    }

    // Sends a call and does not wait for (or want) its reply.
    void send_no_reply(const char *method, GVariant *args)
    {
        g_autoptr(GDBusMessage) msg = g_dbus_message_new_method_call(
            "nuvex.kal.Tirvane", "/nuvex/kal/Tirvane", "nuvex.kal.Tirvane", method);
        g_dbus_message_set_body(msg, args);
        g_dbus_message_set_flags(msg, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
        g_dbus_connection_send_message(connection_, msg, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
    }

    void pump()
    {
        while (g_main_context_iteration(context_, FALSE)) {
        }
    }

    bool wait_for(const std::function<bool()> &pred, int timeout_ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            pump();
            if (pred()) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    const std::vector<tvtest::Signal> &signals() const
    {
        return signals_;
    }
    void clear_signals()
    {
        pump();
        signals_.clear();
    }
    // The first signal of `name` (at or after index `from`) whose code is in `codes`; -1 if none.
    int find(const std::string &name, std::initializer_list<int> codes, size_t from = 0) const
    {
        for (size_t i = from; i < signals_.size(); ++i) {
            if (signals_[i].name != name) {
                continue;
            }
            for (int c : codes) {
                if (signals_[i].code == c) {
                    return static_cast<int>(i);
                }
            }
        }
        return -1;
    }

    // Leaves the bus the way a crashing client does: the socket is shut down
    // under the connection, without a goodbye.
    void vanish()
    {
        if (connection_ == nullptr) {
            return;
        }
        GIOStream *stream = g_dbus_connection_get_stream(connection_);
        if (G_IS_SOCKET_CONNECTION(stream)) {
            GSocket *socket = g_socket_connection_get_socket(G_SOCKET_CONNECTION(stream));
            shutdown(g_socket_get_fd(socket), SHUT_RDWR);
        }
        close();
    }

    void close()
    {
        if (connection_ == nullptr) {
            return;
        }
        if (subscription_ != 0) {
            g_dbus_connection_signal_unsubscribe(connection_, subscription_);
            subscription_ = 0;
        }
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_clear_object(&connection_);
    }

    std::string error;

  private:
    static void on_signal(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                          const gchar *signal_name, GVariant *parameters, gpointer user_data)
    {
        auto *self = static_cast<ThreadBus *>(user_data);
        tvtest::Signal s;
        if (!tvtest::read_status_signal(signal_name, parameters, &s)) {
            return;
        }
        s.seq = self->signals_.size() + 1;
        self->signals_.push_back(std::move(s));
    }

    std::string user_;
    GMainContext *context_ = nullptr;
    GDBusConnection *connection_ = nullptr;
    guint subscription_ = 0;
    std::vector<tvtest::Signal> signals_;
};

inline std::vector<std::string> strv_of(GVariant *reply)
{
    std::vector<std::string> out;
    if (reply == nullptr) {
        return out;
    }
    g_autofree const gchar **names = nullptr;
    g_variant_get(reply, "(^a&s)", &names);
    for (const gchar **n = names; n != nullptr && *n != nullptr; ++n) {
        out.emplace_back(*n);
    }
    return out;
}

// Options that let a daemon's ThreadSanitizer report land in a file of its own
// (set TIRVANE_STRESS_DAEMON_TSAN_LOG=/path/prefix; each daemon writes prefix.<pid>).
inline void add_sanitizer_log(tvtest::DaemonOptions &options)
{
    const char *prefix = getenv("TIRVANE_STRESS_DAEMON_TSAN_LOG");
    if (prefix == nullptr || *prefix == '\0') {
        return;
    }
    const char *base = getenv("TSAN_OPTIONS");
    options.env["TSAN_OPTIONS"] = std::string(base != nullptr ? base : "") + " log_path=" + prefix;
    // The sanitizer runtime has to be the first library of the process; the
    // stand-in follows it (TIRVANE_STRESS_PRELOAD_FIRST names the runtime).
    const char *runtime = getenv("TIRVANE_STRESS_PRELOAD_FIRST");
    if (runtime != nullptr && *runtime != '\0') {
        options.env["LD_PRELOAD"] = std::string(runtime) + ":" + tvtest::standin_library();
    }
}

} // namespace tvstress
