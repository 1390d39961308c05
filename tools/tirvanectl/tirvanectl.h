// tirvanectl: the command-line client of the fingerprint service.
//
// Shared pieces of the verbs: exit statuses, the reporting of bus errors, the
// reading of signal payloads and the main loop that follows an enrolment or a
// verification until it ends.
#pragma once

#include "tirvane-bus-contract.h"
#include "tirvane-generated.h"

#include <gio/gio.h>
#include <string>
#include <vector>

namespace tirvanectl
{

// Exit statuses (documented in tirvanectl(1)).
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailed = 1,      // the operation ran and did not succeed
    kExitUsage = 2,       // bad command line
    kExitRefused = 3,     // the service refused the call
    kExitUnavailable = 4, // no system bus, or the service is not running
    kExitTimeout = 5,     // --timeout expired
    kExitInterrupted = 130,
};

struct Options {
    int timeout_s = 0; // overall limit of enroll and verify; 0: none
    bool once = false; // verify: stop after the first touch that does not match
};

using Args = std::vector<std::string>;

// The verbs. Each returns the process exit status.
int run_enroll(Tirvane *proxy, const Args &args, const Options &options);
int run_verify(Tirvane *proxy, const Args &args, const Options &options);
int run_list(Tirvane *proxy, const Args &args, const Options &options);
int run_rename(Tirvane *proxy, const Args &args, const Options &options);
int run_delete(Tirvane *proxy, const Args &args, const Options &options);
int run_delete_all(Tirvane *proxy, const Args &args, const Options &options);
int run_info(Tirvane *proxy, const Args &args, const Options &options);

// Prints "tirvanectl: MESSAGE" on stderr.
void print_error(const char *format, ...) G_GNUC_PRINTF(1, 2);
// Prints one line on stdout and flushes it, so that pipes see it at once.
void print_line(const char *format, ...) G_GNUC_PRINTF(1, 2);
// The live progress line of a terminal: drawn in place, kept below the lines
// printed meanwhile, ended with a line break by close_progress_line().
void set_progress_line(const std::string &text);
void close_progress_line();

// Turns an error of a bus call into one line on stderr and an exit status.
int report_bus_error(const GError *error);

// Connects to the system bus and makes the proxy of the service; prints the
// reason and sets `status` on failure.
Tirvane *connect_service(int *status);

// Reads the integer of `"key":N` in a signal payload such as {"progress":48}.
// Lenient: spaces and a trailing newline are allowed. False when absent.
bool payload_int(const char *msg, const char *key, int *value);

// The fingers of a user, as the service lists them. False (after reporting,
// with `status` set) when the call fails.
bool list_fingers(Tirvane *proxy, const std::string &user, std::vector<std::string> *fingers, int *status);
// The number of fingerprint devices the service drives. False (after
// reporting, with `status` set) when the call fails.
bool device_count(Tirvane *proxy, int *count, int *status);
bool contains(const std::vector<std::string> &list, const std::string &item);

// Follows a running enrolment or verification: SIGINT/SIGTERM and the
// --timeout limit ask the service to stop it, and the departure of the service
// from the bus ends the wait.
class Operation
{
  public:
    using StopCall = void (*)(Tirvane *, GCancellable *, GAsyncReadyCallback, gpointer);

    // `stop_call` is the binding's asynchronous call of the stop method.
    Operation(Tirvane *proxy, StopCall stop_call, const Options &options);
    ~Operation();
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;

    // Runs the main loop until the operation ends; returns the exit status.
    int run();
    // Ends the wait with `status`.
    void finish(int status);
    // Asks the service to stop the operation, then ends with `status`.
    void stop(int status);
    // Whether a stop asked by this client is under way.
    bool stopping() const
    {
        return stopping_;
    }
    bool finished() const
    {
        return finished_;
    }
    // A result the service reports while the stop is under way; it replaces
    // the status the stop would end with.
    void settle(int status)
    {
        status_ = status;
    }

  private:
    static gboolean on_interrupt(gpointer self);
    static gboolean on_timeout(gpointer self);
    static void on_stopped(GObject *source, GAsyncResult *result, gpointer self);
    static void on_owner_changed(GObject *object, GParamSpec *pspec, gpointer self);
    static void on_closed(GDBusConnection *connection, gboolean remote_peer_vanished, GError *error,
                          gpointer self);

    Tirvane *proxy_;
    StopCall stop_call_;
    int timeout_s_;
    GMainLoop *loop_;
    GCancellable *cancellable_;
    guint sigint_source_ = 0;
    guint sigterm_source_ = 0;
    guint timeout_source_ = 0;
    gulong owner_handler_ = 0;
    gulong closed_handler_ = 0;
    int status_ = kExitOk;
    bool stopping_ = false;
    bool finished_ = false;
};

} // namespace tirvanectl
