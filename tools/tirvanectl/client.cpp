// Shared pieces of tirvanectl: output, bus errors, payloads and the operation loop.
#include "tirvanectl.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <glib-unix.h>

namespace tirvanectl
{

namespace
{

constexpr const char *kBusName = TVP_BUS_NAME;
constexpr const char *kObjectPath = TVP_BUS_OBJECT_PATH;

// The live progress line on a terminal (empty when none is drawn).
std::string progress_line;

void erase_progress()
{
    if (!progress_line.empty()) {
        fputs("\r\033[K", stdout);
        fflush(stdout);
    }
}

void redraw_progress()
{
    if (!progress_line.empty()) {
        fputs(progress_line.c_str(), stdout);
        fflush(stdout);
    }
}

// A message made fit for one line: the remote error name stripped, line breaks
// turned into spaces, surrounding space removed.
std::string one_line(const GError *error)
{
    g_autoptr(GError) copy = g_error_copy(error);
    g_dbus_error_strip_remote_error(copy);
    std::string text = copy->message != nullptr ? copy->message : "";
    for (char &c : text) {
        if (c == '\n' || c == '\r' || c == '\t') {
            c = ' ';
        }
    }
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return "unknown error";
    }
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

bool is_dbus_error(const GError *error, GDBusError code)
{
    return g_error_matches(error, G_DBUS_ERROR, code);
}

} // namespace

void set_progress_line(const std::string &text)
{
    erase_progress();
    progress_line = text;
    redraw_progress();
}

void close_progress_line()
{
    if (!progress_line.empty()) {
        fputs("\n", stdout);
        fflush(stdout);
        progress_line.clear();
    }
}

void print_error(const char *format, ...)
{
    erase_progress();
    va_list args;
    va_start(args, format);
    g_autofree gchar *text = g_strdup_vprintf(format, args);
    va_end(args);
    fprintf(stderr, "tirvanectl: %s\n", text);
    fflush(stderr);
    redraw_progress();
}

void print_line(const char *format, ...)
{
    erase_progress();
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fputs("\n", stdout);
    fflush(stdout);
    redraw_progress();
}

int report_bus_error(const GError *error)
{
    g_autofree gchar *remote = g_dbus_error_get_remote_error(error);
    const std::string message = one_line(error);

    if (is_dbus_error(error, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
        is_dbus_error(error, G_DBUS_ERROR_NAME_HAS_NO_OWNER)) {
        print_error("the fingerprint service (%s) is not running", kBusName);
        return kExitUnavailable;
    }
    if (remote != nullptr && (g_str_has_prefix(remote, "org.freedesktop.DBus.Error.Spawn.") ||
                              g_str_has_prefix(remote, "org.freedesktop.systemd1."))) {
        print_error("the fingerprint service could not be started: %s", message.c_str());
        return kExitUnavailable;
    }
    if (is_dbus_error(error, G_DBUS_ERROR_NO_REPLY) || is_dbus_error(error, G_DBUS_ERROR_TIMEOUT) ||
        is_dbus_error(error, G_DBUS_ERROR_TIMED_OUT) ||
        g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
        print_error("the fingerprint service did not answer");
        return kExitUnavailable;
    }
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CLOSED) ||
        is_dbus_error(error, G_DBUS_ERROR_DISCONNECTED)) {
        print_error("lost the connection to the system bus");
        return kExitUnavailable;
    }
    if (is_dbus_error(error, G_DBUS_ERROR_ACCESS_DENIED) || is_dbus_error(error, G_DBUS_ERROR_AUTH_FAILED)) {
        print_error("access denied: %s", message.c_str());
        return kExitRefused;
    }
    if (is_dbus_error(error, G_DBUS_ERROR_INVALID_ARGS)) {
        print_error("invalid arguments: %s", message.c_str());
        return kExitRefused;
    }
    if (is_dbus_error(error, G_DBUS_ERROR_UNKNOWN_METHOD) ||
        is_dbus_error(error, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
        is_dbus_error(error, G_DBUS_ERROR_UNKNOWN_INTERFACE)) {
        print_error("the service does not offer this call: %s", message.c_str());
        return kExitRefused;
    }
    print_error("the service reported an error: %s", message.c_str());
    return kExitRefused;
}

Tirvane *connect_service(int *status)
{
    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (bus == nullptr) {
        print_error("cannot connect to the system bus: %s", one_line(error).c_str());
        *status = kExitUnavailable;
        return nullptr;
    }
    // A closed bus ends a running operation through Operation, not by SIGTERM.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    // The proxy subscribes to the service's signals here, before any call.
    Tirvane *proxy = tirvane_proxy_new_sync(bus, G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES, kBusName,
                                            kObjectPath, nullptr, &error);
    if (proxy == nullptr) {
        *status = report_bus_error(error);
        return nullptr;
    }
    return proxy;
}

bool payload_int(const char *msg, const char *key, int *value)
{
    if (msg == nullptr || key == nullptr) {
        return false;
    }
    const std::string quoted = std::string("\"") + key + "\"";
    const char *at = strstr(msg, quoted.c_str());
    if (at == nullptr) {
        return false;
    }
    const char *p = at + quoted.size();
    while (g_ascii_isspace(*p)) {
        ++p;
    }
    if (*p != ':') {
        return false;
    }
    ++p;
    while (g_ascii_isspace(*p)) {
        ++p;
    }
    char *end = nullptr;
    errno = 0;
    const long parsed = strtol(p, &end, 10);
    if (end == p || errno != 0 || parsed < INT_MIN || parsed > INT_MAX) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

bool list_fingers(Tirvane *proxy, const std::string &user, std::vector<std::string> *fingers, int *status)
{
    g_autoptr(GError) error = nullptr;
    g_auto(GStrv) names = nullptr;
    if (!tirvane_call_listfingers_sync(proxy, user.c_str(), &names, nullptr, &error)) {
        *status = report_bus_error(error);
        return false;
    }
    fingers->clear();
    for (gchar **name = names; name != nullptr && *name != nullptr; ++name) {
        fingers->emplace_back(*name);
    }
    return true;
}

bool device_count(Tirvane *proxy, int *count, int *status)
{
    g_autoptr(GError) error = nullptr;
    gint value = 0;
    if (!tirvane_call_get_device_count_sync(proxy, &value, nullptr, &error)) {
        *status = report_bus_error(error);
        return false;
    }
    *count = value;
    return true;
}

bool contains(const std::vector<std::string> &list, const std::string &item)
{
    for (const auto &entry : list) {
        if (entry == item) {
            return true;
        }
    }
    return false;
}

// ---- Operation -----------------------------------------------------------------

Operation::Operation(Tirvane *proxy, StopCall stop_call, const Options &options)
    : proxy_(proxy), stop_call_(stop_call), timeout_s_(options.timeout_s),
      loop_(g_main_loop_new(nullptr, FALSE)), cancellable_(g_cancellable_new())
{
    sigint_source_ = g_unix_signal_add(SIGINT, on_interrupt, this);
    sigterm_source_ = g_unix_signal_add(SIGTERM, on_interrupt, this);
    if (timeout_s_ > 0) {
        timeout_source_ = g_timeout_add(static_cast<guint>(timeout_s_) * 1000u, on_timeout, this);
    }
    owner_handler_ = g_signal_connect(proxy_, "notify::g-name-owner", G_CALLBACK(on_owner_changed), this);
    closed_handler_ = g_signal_connect(g_dbus_proxy_get_connection(G_DBUS_PROXY(proxy_)), "closed",
                                       G_CALLBACK(on_closed), this);
}

Operation::~Operation()
{
    g_cancellable_cancel(cancellable_);
    g_signal_handler_disconnect(g_dbus_proxy_get_connection(G_DBUS_PROXY(proxy_)), closed_handler_);
    g_signal_handler_disconnect(proxy_, owner_handler_);
    for (guint source : {sigint_source_, sigterm_source_, timeout_source_}) {
        if (source != 0) {
            g_source_remove(source);
        }
    }
    g_object_unref(cancellable_);
    g_main_loop_unref(loop_);
}

int Operation::run()
{
    if (!finished_) {
        g_main_loop_run(loop_);
    }
    close_progress_line();
    return status_;
}

void Operation::finish(int status)
{
    if (finished_) {
        return;
    }
    finished_ = true;
    status_ = status;
    g_main_loop_quit(loop_);
}

void Operation::stop(int status)
{
    if (finished_ || stopping_) {
        return;
    }
    stopping_ = true;
    status_ = status;
    stop_call_(proxy_, cancellable_, on_stopped, this);
}

gboolean Operation::on_interrupt(gpointer data)
{
    auto *self = static_cast<Operation *>(data);
    if (self->finished_) {
        return G_SOURCE_CONTINUE;
    }
    if (self->stopping_) {
        print_error("interrupted again; leaving without waiting for the service");
        self->finish(kExitInterrupted);
    } else {
        print_error("interrupted; stopping the operation");
        self->stop(kExitInterrupted);
    }
    return G_SOURCE_CONTINUE;
}

gboolean Operation::on_timeout(gpointer data)
{
    auto *self = static_cast<Operation *>(data);
    self->timeout_source_ = 0;
    if (!self->finished_ && !self->stopping_) {
        print_error("timed out after %d s; stopping the operation", self->timeout_s_);
        self->stop(kExitTimeout);
    }
    return G_SOURCE_REMOVE;
}

void Operation::on_stopped(GObject *source, GAsyncResult *result, gpointer data)
{
    g_autoptr(GError) error = nullptr;
    // Every stop method answers with an empty reply, so the proxy's own finish
    // serves them all.
    g_autoptr(GVariant) reply = g_dbus_proxy_call_finish(G_DBUS_PROXY(source), result, &error);
    if (reply == nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        return; // the Operation is gone
    }
    auto *self = static_cast<Operation *>(data);
    if (reply == nullptr) {
        report_bus_error(error);
    }
    self->finish(self->status_);
}

void Operation::on_owner_changed(GObject *object, GParamSpec *pspec, gpointer data)
{
    (void)pspec;
    auto *self = static_cast<Operation *>(data);
    g_autofree gchar *owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(object));
    if (owner == nullptr && !self->finished_) {
        print_error("the fingerprint service left the bus");
        self->finish(kExitUnavailable);
    }
}

void Operation::on_closed(GDBusConnection *connection, gboolean remote_peer_vanished, GError *error,
                          gpointer data)
{
    (void)connection;
    (void)remote_peer_vanished;
    (void)error;
    auto *self = static_cast<Operation *>(data);
    if (!self->finished_) {
        print_error("lost the connection to the system bus");
        self->finish(kExitUnavailable);
    }
}

} // namespace tirvanectl
