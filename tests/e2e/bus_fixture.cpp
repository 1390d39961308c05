#include "bus_fixture.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tvtest
{

std::string daemon_binary()
{
    return TIRVANE_DAEMON_PATH;
}
std::string standin_library()
{
    return TIRVANE_STANDIN_PATH;
}
std::string policy_file()
{
    return TIRVANE_POLICY_PATH;
}
std::string fprint_policy_file()
{
    return TIRVANE_FPRINT_POLICY_PATH;
}
std::string introspection_file()
{
    return TIRVANE_XML_PATH;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

namespace
{

// The system bus's own rules: default deny for method calls and ownership,
// replies and signals allowed, the bus daemon reachable; plus the service policy.
std::string bus_config(const std::string &dir)
{
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>system</type>\n"
           "  <listen>unix:path=" +
           dir +
           "/bus</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <deny own=\"*\"/>\n"
           "    <deny send_type=\"method_call\"/>\n"
           "    <allow send_type=\"signal\"/>\n"
           "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
           "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
           "    <allow receive_type=\"method_call\"/>\n"
           "    <allow receive_type=\"method_return\"/>\n"
           "    <allow receive_type=\"error\"/>\n"
           "    <allow receive_type=\"signal\"/>\n"
           "    <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus\"/>\n"
           "    <allow send_destination=\"org.freedesktop.DBus\"\n"
           "           send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n"
           "    <allow send_destination=\"org.freedesktop.DBus\" "
           "send_interface=\"org.freedesktop.DBus.Peer\"/>\n"
           // What polkit's and logind's own policy files grant on a real system.
           "    <allow own=\"org.freedesktop.PolicyKit1\"/>\n"
           "    <allow send_destination=\"org.freedesktop.PolicyKit1\"/>\n"
           "    <allow own=\"org.freedesktop.login1\"/>\n"
           "    <allow send_destination=\"org.freedesktop.login1\"/>\n"
           "  </policy>\n"
           // As on a real system bus: root may monitor it.
           "  <policy user=\"root\">\n"
           "    <allow send_destination=\"org.freedesktop.DBus\"\n"
           "           send_interface=\"org.freedesktop.DBus.Monitoring\"/>\n"
           "  </policy>\n"
           "  <include>" +
           policy_file() +
           "</include>\n"
           "  <include>" +
           fprint_policy_file() +
           "</include>\n"
           "</busconfig>\n";
}

pid_t spawn(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
            const std::string &out_path)
{
    pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    // Child: own process group so a stop reaches only what we started.
    setpgid(0, 0);
    for (const auto &[key, value] : env) {
        setenv(key.c_str(), value.c_str(), 1);
    }
    int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    std::vector<char *> args;
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// Sends `sig` and reaps the process, escalating to SIGKILL after 3 s. Returns
// the wait status, or -1 when there was no process or it had to be killed.
int kill_and_reap(pid_t &pid, int sig)
{
    if (pid <= 0) {
        return -1;
    }
    kill(pid, sig);
    int status = 0;
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return status;
        }
        usleep(10 * 1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
    return -1;
}

} // namespace

ServiceHarness::ServiceHarness()
{
    char tmpl[] = "/tmp/tirvane-test-XXXXXX";
    const char *made = mkdtemp(tmpl);
    dir_ = made != nullptr ? made : "/tmp";
    // Callers that are not root must reach the bus socket inside.
    chmod(dir_.c_str(), 0755);
    mkdir((dir_ + "/conf").c_str(), 0755);
    mkdir((dir_ + "/sys").c_str(), 0755);
    context_ = g_main_context_new();
    g_main_context_push_thread_default(context_);
    emu_ = std::make_unique<EmuClient>(emu_socket());
    start_bus();
}

ServiceHarness::~ServiceHarness()
{
    // First: its filter hands signals to this harness.
    if (monitor_ != nullptr) {
        g_dbus_connection_remove_filter(monitor_, monitor_filter_);
        g_dbus_connection_close_sync(monitor_, nullptr, nullptr);
        g_clear_object(&monitor_);
    }
    if (monitored_ != nullptr) {
        while (auto *message = g_async_queue_try_pop(monitored_)) {
            g_object_unref(message);
        }
        g_async_queue_unref(monitored_);
        monitored_ = nullptr;
    }
    stop_daemon(SIGKILL);
    for (auto &[name, pid] : mocks_) {
        kill_and_reap(pid, SIGTERM);
    }
    if (subscription_ != 0 && connection_ != nullptr) {
        g_dbus_connection_signal_unsubscribe(connection_, subscription_);
    }

    g_clear_object(&proxy_);
    if (connection_ != nullptr) {
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_clear_object(&connection_);
    }
    kill_and_reap(bus_pid_, SIGTERM);
    pump(0);
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
    if (getenv("TIRVANE_TEST_KEEP") == nullptr && dir_.rfind("/tmp/tirvane-test-", 0) == 0) {
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0) {
            // Leftovers in /tmp are harmless.
        }
    }
}

bool ServiceHarness::start_bus()
{
    write_file(dir_ + "/bus.conf", bus_config(dir_));
    bus_pid_ =
        spawn({"/usr/bin/dbus-daemon", "--nofork", "--nosyslog", "--config-file=" + dir_ + "/bus.conf"}, {},
              dir_ + "/bus.out");
    const std::string socket = dir_ + "/bus";
    for (int i = 0; i < 500; ++i) {
        struct stat st {
        };
        // The socket file appears before the bus accepts connections: retry.
        if (stat(socket.c_str(), &st) == 0 && connect_client()) {
            if (!start_monitor()) {
                return false;
            }
            error.clear();
            return true;
        }
        usleep(10 * 1000);
    }
    error = "private bus did not come up";
    return false;
}

bool ServiceHarness::start_mock(const std::string &template_name, const std::string &bus_name,
                                const std::string &parameters)
{
    const char *python = getenv("TIRVANE_TEST_PYTHON");
    const std::string interpreter = python != nullptr ? python : "/usr/bin/python3";
    std::vector<std::string> argv{interpreter, "-m", "dbusmock", "--system", "--template", template_name};
    if (!parameters.empty()) {
        argv.insert(argv.end(), {"--parameters", parameters});
    }
    pid_t pid =
        spawn(argv, {{"DBUS_SYSTEM_BUS_ADDRESS", bus_address()}}, dir_ + "/mock-" + template_name + ".out");
    mocks_[bus_name] = pid;
    const bool owned = wait_for(
        [&] { return name_has_owner(bus_name) || waitpid(mocks_[bus_name], nullptr, WNOHANG) != 0; }, 15000);
    if (!owned || !name_has_owner(bus_name)) {
        error = "the " + template_name + " mock did not take " + bus_name + ": " +
                slurp(dir_ + "/mock-" + template_name + ".out");
        return false;
    }
    return true;
}

void ServiceHarness::stop_mock(const std::string &bus_name)
{
    auto it = mocks_.find(bus_name);
    if (it == mocks_.end()) {
        return;
    }
    kill_and_reap(it->second, SIGTERM);
    mocks_.erase(it);
    wait_for([&] { return !name_has_owner(bus_name); }, 5000);
}

GError *ServiceHarness::call_mock(const std::string &bus_name, const char *path, const char *interface,
                                  const char *method, GVariant *args, GVariant **reply, int timeout_ms)
{
    GError *err = nullptr;
    GVariant *result =
        g_dbus_connection_call_sync(connection_, bus_name.c_str(), path, interface, method, args, nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, &err);
    if (reply != nullptr) {
        *reply = result;
    } else if (result != nullptr) {
        g_variant_unref(result);
    }
    return err;
}

bool ServiceHarness::name_has_owner(const std::string &bus_name)
{
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", bus_name.c_str()), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr,
        nullptr);
    gboolean has = FALSE;
    if (reply != nullptr) {
        g_variant_get(reply, "(b)", &has);
    }
    return has == TRUE;
}

bool ServiceHarness::connect_client()
{
    connection_ = connect_to_bus(bus_address(), &error);
    if (connection_ == nullptr) {
        return false;
    }
    subscription_ = g_dbus_connection_signal_subscribe(connection_, nullptr, "nuvex.kal.Tirvane", nullptr,
                                                       "/nuvex/kal/Tirvane", nullptr,
                                                       G_DBUS_SIGNAL_FLAGS_NONE, on_signal, this, nullptr);
    return true;
}

void ServiceHarness::on_signal(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                               const gchar *signal_name, GVariant *parameters, gpointer user_data)
{
    auto *self = static_cast<ServiceHarness *>(user_data);
    Signal s;
    if (!read_status_signal(signal_name, parameters, &s)) {
        return;
    }
    self->record_signal(std::move(s));
}

void ServiceHarness::record_signal(Signal s)
{
    std::lock_guard<std::mutex> lock(signals_mutex_);
    s.seq = next_seq();
    signals_.push_back(std::move(s));
}

bool ServiceHarness::start_monitor()
{
    g_autoptr(GError) err = nullptr;
    monitor_ = connect_to_bus(bus_address(), &error);
    if (monitor_ == nullptr) {
        error = "monitor connection: " + error;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(signals_mutex_);
        const char *name = g_dbus_connection_get_unique_name(connection_);
        own_name_ = name != nullptr ? name : "";
    }
    monitored_ = g_async_queue_new();
    monitor_filter_ = g_dbus_connection_add_filter(monitor_, on_monitored, g_async_queue_ref(monitored_),
                                                   reinterpret_cast<GDestroyNotify>(g_async_queue_unref));
    const char *rules[] = {"type='signal',interface='nuvex.kal.Tirvane'", nullptr};
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        monitor_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Monitoring",
        "BecomeMonitor", g_variant_new("(^asu)", rules, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        &err);
    if (reply == nullptr) {
        error = std::string("BecomeMonitor: ") + err->message;
        return false;
    }
    return true;
}

// On GDBus's thread: the filter only queues the signals it sees, so that this
// thread shares nothing with the test but GLib's own queue.
GDBusMessage *ServiceHarness::on_monitored(GDBusConnection *, GDBusMessage *message, gboolean incoming,
                                           gpointer user_data)
{
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_SIGNAL) {
        return message; // the reply to BecomeMonitor, for one
    }
    g_async_queue_push(static_cast<GAsyncQueue *>(user_data), message);
    return nullptr;
}

// Signals addressed to the harness's connection, or to nobody, reach it
// directly (in order with its replies); the others are taken from the queue.
void ServiceHarness::take_monitored_locked() const
{
    if (monitored_ == nullptr) {
        return;
    }
    while (auto *message = static_cast<GDBusMessage *>(g_async_queue_try_pop(monitored_))) {
        const char *destination = g_dbus_message_get_destination(message);
        const char *member = g_dbus_message_get_member(message);
        GVariant *body = g_dbus_message_get_body(message);
        Signal s;
        if (destination != nullptr && own_name_ != destination && member != nullptr && body != nullptr &&
            read_status_signal(member, body, &s)) {
            s.own = false;
            s.seq = ++seq_;
            signals_.push_back(std::move(s));
        }
        g_object_unref(message);
    }
}

GDBusConnection *connect_to_bus(const std::string &address, std::string *why)
{
    g_autoptr(GError) err = nullptr;
    GDBusConnection *connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &err);
    if (connection == nullptr) {
        if (why != nullptr) {
            *why = err->message;
        }
        return nullptr;
    }
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    return connection;
}

bool read_status_signal(const gchar *signal_name, GVariant *parameters, Signal *out)
{
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sis)"))) {
        return false;
    }
    const gchar *id = nullptr;
    const gchar *msg = nullptr;
    gint code = 0;
    g_variant_get(parameters, "(&si&s)", &id, &code, &msg);
    out->name = signal_name;
    out->id = id;
    out->code = code;
    out->msg = msg;
    out->when = std::chrono::steady_clock::now();
    return true;
}

bool ServiceHarness::start(const DaemonOptions &options)
{
    if (connection_ == nullptr) {
        return false;
    }
    if (!options.driver_conf.empty()) {
        write_file(conf_dir() + "fp_driver.conf", options.driver_conf);
    }
    if (options.write_list_conf) {
        write_file(conf_dir() + "tvplist.conf", options.list_conf);
    }
    std::map<std::string, std::string> env = {
        {"DBUS_SYSTEM_BUS_ADDRESS", bus_address()},
        {"TIRVANE_CONF_DIR", conf_dir()},
        {"TIRVANE_SYSFS_ROOT", sysfs_root()},
        {"TIRVANE_EMU_SOCKET", emu_socket()},
        {"TIRVANE_EMU_STATE", dir_ + "/emu.state"},
        {"TIRVANE_EMU_TRACE", dir_ + "/emu.trace"},
        {"LD_PRELOAD", standin_library()},
        // Without a power-up finger the module refuses the start-up's collection at once
        // instead of letting it read for five seconds; a test of that wait asks for "wait".
        {"TIRVANE_EMU_NO_POWERUP", "refuse"},
    };
    for (const auto &[key, value] : options.env) {
        env[key] = value;
    }
    daemon_pid_ = spawn({daemon_binary()}, env, dir_ + "/daemon.out");
    const bool owned =
        wait_for([&] { return name_has_owner("nuvex.kal.Tirvane") || !daemon_alive(); }, 15000);
    if (!owned || !daemon_alive()) {
        error = "daemon did not take the name: " + daemon_output();
        return false;
    }
    g_autoptr(GError) err = nullptr;
    g_clear_object(&proxy_);
    proxy_ = tirvane_proxy_new_sync(connection_, G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES,
                                    "nuvex.kal.Tirvane", "/nuvex/kal/Tirvane", nullptr, &err);
    if (proxy_ == nullptr) {
        error = err->message;
        return false;
    }
    g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(proxy_), 20000);
    if (options.wait_ready) {
        // The start-up discovery holds the module for its first exchanges.
        wait_for(
            [&] {
                return log_text().find("start-up checks done") != std::string::npos ||
                       log_text().find("not discover the device") != std::string::npos;
            },
            25000);
    }
    return true;
}

int ServiceHarness::run_until_exit(const DaemonOptions &options, int timeout_ms)
{
    if (!options.driver_conf.empty()) {
        write_file(conf_dir() + "fp_driver.conf", options.driver_conf);
    }
    if (options.write_list_conf) {
        write_file(conf_dir() + "tvplist.conf", options.list_conf);
    }
    std::map<std::string, std::string> env = {
        {"DBUS_SYSTEM_BUS_ADDRESS", bus_address()}, {"TIRVANE_CONF_DIR", conf_dir()},
        {"TIRVANE_SYSFS_ROOT", sysfs_root()},       {"TIRVANE_EMU_SOCKET", emu_socket()},
        {"LD_PRELOAD", standin_library()},
    };
    for (const auto &[key, value] : options.env) {
        env[key] = value;
    }
    pid_t pid = spawn({daemon_binary()}, env, dir_ + "/daemon.out");
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(10 * 1000);
    }
    kill_and_reap(pid, SIGKILL);
    return -1;
}

void ServiceHarness::stop_daemon(int sig)
{
    if (daemon_pid_ > 0) {
        last_daemon_status_ = kill_and_reap(daemon_pid_, sig);
    }
}

bool ServiceHarness::daemon_alive() const
{
    if (daemon_pid_ <= 0) {
        return false;
    }
    int status = 0;
    return waitpid(daemon_pid_, &status, WNOHANG) == 0;
}

std::string ServiceHarness::read_file(const std::string &name) const
{
    return slurp(conf_dir() + name);
}

std::string ServiceHarness::daemon_output() const
{
    return slurp(dir_ + "/daemon.out");
}

bool ServiceHarness::wait_for(const std::function<bool()> &pred, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        while (g_main_context_iteration(context_, FALSE)) {
        }
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        usleep(5 * 1000);
    }
}

void ServiceHarness::pump(int ms)
{
    wait_for([] { return false; }, ms);
}

std::vector<Signal> ServiceHarness::signals(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(signals_mutex_);
    take_monitored_locked();
    std::vector<Signal> out;
    for (const auto &s : signals_) {
        if (name.empty() || s.name == name) {
            out.push_back(s);
        }
    }
    return out;
}

std::vector<Signal> ServiceHarness::own_signals(const std::string &name) const
{
    std::vector<Signal> out;
    for (auto &s : signals(name)) {
        if (s.own) {
            out.push_back(std::move(s));
        }
    }
    return out;
}

void ServiceHarness::clear_signals()
{
    while (g_main_context_iteration(context_, FALSE)) {
    }
    std::lock_guard<std::mutex> lock(signals_mutex_);
    take_monitored_locked();
    signals_.clear();
}

bool ServiceHarness::wait_signals(const std::string &name, size_t count, int timeout_ms)
{
    return wait_for([&] { return signals(name).size() >= count; }, timeout_ms);
}

GError *call_service(GDBusConnection *connection, const char *method, GVariant *args, GVariant **reply,
                     int timeout_ms)
{
    GError *err = nullptr;
    GVariant *result = g_dbus_connection_call_sync(connection, "nuvex.kal.Tirvane", "/nuvex/kal/Tirvane",
                                                   "nuvex.kal.Tirvane", method, args, nullptr,
                                                   G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, &err);
    if (reply != nullptr) {
        *reply = result;
    } else if (result != nullptr) {
        g_variant_unref(result);
    }
    return err;
}

GError *ServiceHarness::call(const char *method, GVariant *args, GVariant **reply, int timeout_ms)
{
    return call_service(connection_, method, args, reply, timeout_ms);
}

namespace
{

struct AsyncCallContext {
    ServiceHarness *harness;
    AsyncCall *result;
};

void on_async_reply(GObject *source, GAsyncResult *res, gpointer user_data)
{
    auto *ctx = static_cast<AsyncCallContext *>(user_data);
    ctx->result->reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &ctx->result->error);
    ctx->result->seq = ctx->harness->next_seq();
    ctx->result->when = std::chrono::steady_clock::now();
    ctx->result->done = true;
    delete ctx;
}

} // namespace

void ServiceHarness::call_async(const char *method, GVariant *args, AsyncCall *result, int timeout_ms)
{
    g_dbus_connection_call(connection_, "nuvex.kal.Tirvane", "/nuvex/kal/Tirvane", "nuvex.kal.Tirvane",
                           method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, on_async_reply,
                           new AsyncCallContext{this, result});
}

std::vector<std::string> ServiceHarness::listfingers(const std::string &user)
{
    std::vector<std::string> names;
    g_auto(GStrv) fingers = nullptr;
    g_autoptr(GError) err = nullptr;
    if (tirvane_call_listfingers_sync(proxy_, user.c_str(), &fingers, nullptr, &err) && fingers != nullptr) {
        for (gchar **f = fingers; *f != nullptr; ++f) {
            names.emplace_back(*f);
        }
    }
    return names;
}

} // namespace tvtest
