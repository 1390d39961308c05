// End-to-end fixture: a private bus configured like the system bus with the
// service's own policy, the real tirvane-serverd running against it with the
// libusb stand-in preloaded, and the emulated module behind it.
#pragma once

#include "emu_client.h"
#include "tirvane-generated.h"

#include <chrono>
#include <functional>
#include <gio/gio.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tvtest
{

using tirvane::emu::EmuClient;

struct Signal {
    std::string name; // bus signal name, e.g. "enrollStatusChanged"
    std::string id;
    int code = 0;
    std::string msg;
    std::chrono::steady_clock::time_point when;
    unsigned long seq = 0; // order of arrival among signals and async replies
    bool own = true;       // received by the harness's own connection (not seen on the monitor)
};

// A method call made without blocking the test's main context, so its reply is
// ordered with the signals around it.
struct AsyncCall {
    bool done = false;
    GError *error = nullptr;
    GVariant *reply = nullptr;
    unsigned long seq = 0;
    std::chrono::steady_clock::time_point when;
    ~AsyncCall()
    {
        g_clear_error(&error);
        g_clear_pointer(&reply, g_variant_unref);
    }
};

struct DaemonOptions {
    // Extra environment for the daemon (emulator settings and the like).
    std::map<std::string, std::string> env;
    // Contents of fp_driver.conf; empty string = no file. The lock-out after failed
    // touches is off unless a test sets its keys: most tests touch with strangers' fingers.
    std::string driver_conf =
        "[BASIC_PARAM]\nPrintfLogFlag=3\nAutoSuspend=0\nUpgradeFlag=0\nLockoutFailures=0\n";
    // Contents of tvplist.conf; unset = no file.
    std::string list_conf;
    bool write_list_conf = false;
    // Wait for the start-up discovery of the module to finish.
    bool wait_ready = true;
};

// One private bus, one configuration directory, one emulated module.
class ServiceHarness
{
  public:
    ServiceHarness();
    ~ServiceHarness();
    ServiceHarness(const ServiceHarness &) = delete;
    ServiceHarness &operator=(const ServiceHarness &) = delete;

    // Starts the daemon; returns false (with a reason in `error`) on failure.
    bool start(const DaemonOptions &options = {});
    // Starts the daemon and returns its exit status once it ends by itself
    // (for start-up failures); -1 when it had to be killed after `timeout_ms`.
    int run_until_exit(const DaemonOptions &options, int timeout_ms);
    void stop_daemon(int sig = SIGTERM);
    // How the daemon stopped by stop_daemon ended: its wait status, or -1 when
    // it did not end within 3 s of the signal and had to be killed.
    int last_daemon_status() const
    {
        return last_daemon_status_;
    }
    bool daemon_alive() const;
    pid_t daemon_pid() const
    {
        return daemon_pid_;
    }

    GDBusConnection *connection() const
    {
        return connection_;
    }
    Tirvane *proxy() const
    {
        return proxy_;
    }
    EmuClient &emu()
    {
        return *emu_;
    }

    const std::string &dir() const
    {
        return dir_;
    }
    std::string conf_dir() const
    {
        return dir_ + "/conf/";
    }
    std::string sysfs_root() const
    {
        return dir_ + "/sys";
    }
    std::string bus_address() const
    {
        return "unix:path=" + dir_ + "/bus";
    }
    std::string emu_socket() const
    {
        return dir_ + "/emu.sock";
    }
    std::string read_file(const std::string &name) const; // relative to conf dir
    std::string log_text() const
    {
        return read_file("log_tvp.txt");
    }
    std::string daemon_output() const;

    // Runs the test thread's main context until `pred` holds or the time passes.
    bool wait_for(const std::function<bool()> &pred, int timeout_ms);
    // Runs the main context for `ms` milliseconds.
    void pump(int ms);

    // Every status signal the service sent, to this client, to all, or to
    // another client, in the order this client saw them.
    std::vector<Signal> signals(const std::string &name = "") const;
    // Only those this client's own connection received.
    std::vector<Signal> own_signals(const std::string &name = "") const;
    void clear_signals();
    // Waits for the n-th signal (1-based count) of a name.
    bool wait_signals(const std::string &name, size_t count, int timeout_ms);

    // Synchronous call helpers; return the error (null on success).
    GError *call(const char *method, GVariant *args, GVariant **reply = nullptr, int timeout_ms = 10000);
    std::vector<std::string> listfingers(const std::string &user);
    // Starts a call whose reply lands in `result` (which must outlive the wait).
    void call_async(const char *method, GVariant *args, AsyncCall *result, int timeout_ms = 20000);
    unsigned long next_seq()
    {
        return ++seq_;
    }

    // A python3-dbusmock template ("polkitd", "logind") on the private bus; true
    // once it owns `bus_name`. `parameters` is the template's JSON dictionary
    // (e.g. {"PreparingForSleep": true}). Mocks end with the harness or with stop_mock.
    bool start_mock(const std::string &template_name, const std::string &bus_name,
                    const std::string &parameters = "");
    void stop_mock(const std::string &bus_name);
    // A synchronous call to any peer on the bus (a mock's control interface, say).
    GError *call_mock(const std::string &bus_name, const char *path, const char *interface,
                      const char *method, GVariant *args, GVariant **reply = nullptr, int timeout_ms = 10000);
    bool name_has_owner(const std::string &bus_name);

    std::string error;

  private:
    bool start_bus();
    bool connect_client();
    bool start_monitor();
    static GDBusMessage *on_monitored(GDBusConnection *, GDBusMessage *, gboolean, gpointer);
    void record_signal(Signal s);
    void take_monitored_locked() const; // with signals_mutex_ held
    static void on_signal(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                          GVariant *, gpointer);

    std::string dir_;
    pid_t bus_pid_ = -1;
    pid_t daemon_pid_ = -1;
    int last_daemon_status_ = -1;
    GMainContext *context_ = nullptr;
    GDBusConnection *connection_ = nullptr;
    // A monitor of the bus: the service sends an operation's status signals to
    // the connection that started it only, and the tests see those meant for
    // other clients (tirvanectl, PAM, unprivileged clients) through it.
    GDBusConnection *monitor_ = nullptr;
    guint monitor_filter_ = 0;
    // Messages the monitor saw, queued by its filter on GDBus's thread without
    // touching this object, taken in by the readers of the signals.
    GAsyncQueue *monitored_ = nullptr;
    std::string own_name_; // the unique name of connection_
    Tirvane *proxy_ = nullptr;
    guint subscription_ = 0;
    std::unique_ptr<EmuClient> emu_;
    std::map<std::string, pid_t> mocks_; // by bus name
    mutable std::mutex signals_mutex_;
    // Both also written by the const readers, which first take in what the
    // monitor queued.
    mutable std::vector<Signal> signals_;
    mutable unsigned long seq_ = 0;
};

// Paths of the built artefacts, set by the build system.
std::string daemon_binary();
std::string standin_library();
std::string policy_file();
std::string fprint_policy_file();
std::string introspection_file();

// A status signal of the service (arguments (sis)) as a record stamped now;
// false for any other signature. The arrival order is left to the caller.
bool read_status_signal(const gchar *signal_name, GVariant *parameters, Signal *out);

// A new client connection to the message bus at `address` that does not end
// the process when it closes; null, with the reason in `why` when given, when
// the bus cannot be reached.
GDBusConnection *connect_to_bus(const std::string &address, std::string *why = nullptr);

// A synchronous call to the service on `connection`; returns the error (null on
// success). The reply, when wanted, goes to `reply`.
GError *call_service(GDBusConnection *connection, const char *method, GVariant *args, GVariant **reply,
                     int timeout_ms);

// Reads a whole file; empty when missing.
std::string slurp(const std::string &path);
void write_file(const std::string &path, const std::string &text);

} // namespace tvtest
