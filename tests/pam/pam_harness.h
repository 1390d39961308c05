// What the PAM tests share: pam_authenticate on a thread of its own under
// pam_wrapper, as a login program runs it, a fixture around the private-bus
// harness, and a monitor of the calls that reach the service.
#pragma once

#include "bus_fixture.h"
#include "flow_helpers.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <security/pam_appl.h>
#include <string>
#include <systemd/sd-login.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tvpam
{

using tvtest::ServiceHarness;

inline const char *const kPlace = "Place your finger on the fingerprint reader";
inline const char *const kNoMatch = "No match, try again";
inline const char *const kRetry = "Lift your finger and place it on the reader again";
inline const char *const kLockedOut = "Too many failed fingerprint attempts; use your password";
inline const char *const kAliceList =
    "[UserFprint-1]\nenable=true\nuser_id=alice\nfprint_name=thumb\nfprint_id=90\n";

struct Prompt {
    int style;
    std::string text;
    bool operator==(const Prompt &o) const
    {
        return style == o.style && text == o.text;
    }
};

inline std::ostream &operator<<(std::ostream &out, const Prompt &p)
{
    return out << (p.style == PAM_TEXT_INFO   ? "info "
                   : p.style == PAM_ERROR_MSG ? "error "
                                              : "ask ")
               << '"' << p.text << '"';
}

inline const std::vector<Prompt> kPlacePrompt = {{PAM_TEXT_INFO, kPlace}};

// One pam_authenticate on its own thread, as a login program would run it;
// the conversation records every message.
class PamRun
{
  public:
    struct Items {
        const char *rhost;
    };

    PamRun(std::string service, std::string user, Items items = {nullptr})
        : service_(std::move(service)), user_(std::move(user)), items_(items)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~PamRun()
    {
        thread_.join();
    }
    PamRun(const PamRun &) = delete;
    PamRun &operator=(const PamRun &) = delete;

    bool done() const
    {
        return done_.load();
    }
    // Valid once done().
    int result() const
    {
        return result_;
    }
    std::chrono::steady_clock::duration elapsed() const
    {
        return elapsed_;
    }
    // The thread that runs pam_authenticate, once it runs.
    pid_t tid() const
    {
        return tid_.load();
    }
    std::vector<Prompt> prompts() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return prompts_;
    }
    bool has_prompt(const std::string &text) const
    {
        for (const auto &p : prompts()) {
            if (p.text == text) {
                return true;
            }
        }
        return false;
    }

  private:
    static int converse(int n, const struct pam_message **msg, struct pam_response **resp, void *data)
    {
        auto *self = static_cast<PamRun *>(data);
        auto *answers = static_cast<pam_response *>(calloc(static_cast<size_t>(n), sizeof(pam_response)));
        if (answers == nullptr) {
            return PAM_BUF_ERR;
        }
        std::lock_guard<std::mutex> lock(self->mutex_);
        for (int i = 0; i < n; ++i) {
            self->prompts_.push_back({msg[i]->msg_style, msg[i]->msg != nullptr ? msg[i]->msg : ""});
            if (msg[i]->msg_style == PAM_PROMPT_ECHO_OFF || msg[i]->msg_style == PAM_PROMPT_ECHO_ON) {
                answers[i].resp = strdup("");
            }
        }
        *resp = answers;
        return PAM_SUCCESS;
    }

    void run()
    {
        tid_.store(static_cast<pid_t>(gettid()));
        const struct pam_conv conv = {converse, this};
        pam_handle_t *pamh = nullptr;
        const auto begin = std::chrono::steady_clock::now();
        int r = pam_start(service_.c_str(), user_.c_str(), &conv, &pamh);
        if (r == PAM_SUCCESS && items_.rhost != nullptr) {
            r = pam_set_item(pamh, PAM_RHOST, items_.rhost);
        }
        if (r == PAM_SUCCESS) {
            r = pam_authenticate(pamh, 0);
        }
        elapsed_ = std::chrono::steady_clock::now() - begin;
        if (pamh != nullptr) {
            pam_end(pamh, r);
        }
        result_ = r;
        done_.store(true);
    }

    std::string service_;
    std::string user_;
    Items items_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Prompt> prompts_;
    std::atomic<bool> done_{false};
    std::atomic<pid_t> tid_{0};
    int result_ = -1;
    std::chrono::steady_clock::duration elapsed_{};
};

// A monitor of the bus that records every method call to the fingerprint
// service and to logind, whoever sends it: what the module put on the wire.
class BusWatch
{
  public:
    struct Call {
        std::string sender;
        std::string interface;
        std::string member;
        std::string first_arg; // a string or unsigned first argument as text, else empty
        std::chrono::steady_clock::time_point when;
    };

    explicit BusWatch(const std::string &address)
    {
        connection_ = tvtest::connect_to_bus(address, &error);
        if (connection_ == nullptr) {
            return;
        }
        filter_ = g_dbus_connection_add_filter(connection_, on_message, this, nullptr);
        g_autoptr(GError) err = nullptr;
        const char *rules[] = {"type='method_call',interface='nuvex.kal.Tirvane'",
                               "type='method_call',destination='org.freedesktop.login1'", nullptr};
        g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
            connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Monitoring",
            "BecomeMonitor", g_variant_new("(^asu)", rules, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
            nullptr, &err);
        if (reply == nullptr) {
            error = std::string("BecomeMonitor: ") + err->message;
        }
    }
    ~BusWatch()
    {
        if (connection_ != nullptr) {
            g_dbus_connection_remove_filter(connection_, filter_);
            g_dbus_connection_close_sync(connection_, nullptr, nullptr);
            g_clear_object(&connection_);
        }
    }
    BusWatch(const BusWatch &) = delete;
    BusWatch &operator=(const BusWatch &) = delete;

    std::vector<Call> calls() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    // Calls from senders other than those listed, in the order they were made.
    std::vector<Call> calls_except(const std::vector<std::string> &senders) const
    {
        std::vector<Call> out;
        for (auto &c : calls()) {
            bool excluded = false;
            for (const auto &s : senders) {
                excluded = excluded || c.sender == s;
            }
            if (!excluded) {
                out.push_back(std::move(c));
            }
        }
        return out;
    }

    std::string error;

  private:
    // On GDBus's worker thread. The answer to BecomeMonitor goes on to its
    // caller; every monitored message stops here (a monitor must not answer).
    static GDBusMessage *on_message(GDBusConnection *, GDBusMessage *message, gboolean incoming,
                                    gpointer data)
    {
        auto *self = static_cast<BusWatch *>(data);
        const GDBusMessageType type = g_dbus_message_get_message_type(message);
        if (!incoming || type == G_DBUS_MESSAGE_TYPE_METHOD_RETURN || type == G_DBUS_MESSAGE_TYPE_ERROR) {
            return message;
        }
        if (type == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
            Call call;
            const char *sender = g_dbus_message_get_sender(message);
            const char *interface = g_dbus_message_get_interface(message);
            const char *member = g_dbus_message_get_member(message);
            call.sender = sender != nullptr ? sender : "";
            call.interface = interface != nullptr ? interface : "";
            call.when = std::chrono::steady_clock::now();
            call.member = member != nullptr ? member : "";
            GVariant *body = g_dbus_message_get_body(message);
            if (body != nullptr && g_variant_n_children(body) > 0) {
                g_autoptr(GVariant) first = g_variant_get_child_value(body, 0);
                if (g_variant_is_of_type(first, G_VARIANT_TYPE_STRING)) {
                    call.first_arg = g_variant_get_string(first, nullptr);
                } else if (g_variant_is_of_type(first, G_VARIANT_TYPE_UINT32)) {
                    call.first_arg = std::to_string(g_variant_get_uint32(first));
                }
            }
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->calls_.push_back(std::move(call));
        }
        g_object_unref(message);
        return nullptr;
    }

    GDBusConnection *connection_ = nullptr;
    guint filter_ = 0;
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

inline std::string members_of(const std::vector<BusWatch::Call> &calls)
{
    std::string out;
    for (const auto &c : calls) {
        out += c.member + "(" + c.first_arg + ") from " + c.sender + "; ";
    }
    return out;
}

// Public: the plays of the attack table drive it from outside.
class PamTest : public ::testing::Test
{
  public:
    void SetUp() override
    {
        ASSERT_TRUE(h.error.empty()) << h.error;
        char *session = nullptr;
        const bool remote = sd_pid_get_session(0, &session) >= 0 && sd_session_is_remote(session) > 0;
        free(session);
        // The module rightly refuses a caller in a remote logind session.
        ASSERT_FALSE(remote) << "run these tests from a local session or outside logind";
        // The module must find this bus, and must not take the test for an SSH login.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", h.bus_address().c_str(), 1);
        unsetenv("SSH_CONNECTION");
    }

    // The daemon with alice's thumb enrolled in slot 90.
    void start_with_alice(tvtest::DaemonOptions options = {})
    {
        options.list_conf = kAliceList;
        options.write_list_conf = true;
        ASSERT_TRUE(h.start(options)) << h.error;
        ASSERT_TRUE(h.emu().ok("store 90 alice-thumb"));
    }

    bool wait_done(PamRun &run, int timeout_ms)
    {
        return h.wait_for([&] { return run.done(); }, timeout_ms);
    }
    bool wait_prompt(PamRun &run, const std::string &text, int timeout_ms = 10000)
    {
        return h.wait_for([&] { return run.has_prompt(text); }, timeout_ms);
    }
    // Waits until the module's verification holds the reader, waiting for a touch.
    bool wait_identify_pending()
    {
        return h.wait_for([&] { return tvtest::identify_pending(h); }, 10000);
    }
    size_t log_count(const std::string &what) const
    {
        return tvtest::count_of(h.log_text(), what);
    }
    size_t verify_calls() const
    {
        return log_count("gdbus_handle_verify] start");
    }
    size_t verify_stops() const
    {
        return log_count("gdbus_handle_verify_stop] start");
    }
    size_t listfingers_calls() const
    {
        return log_count("gdbus_handle_listfingers] start");
    }
    // After the module returned, the reader comes free for the next verification.
    // The service takes its time to call the module's search off (its stop
    // answer alone may take 3 s), so this bound is generous.
    void expect_reader_idle()
    {
        EXPECT_TRUE(
            h.wait_for([&] { return h.emu().command("pending").find("none") != std::string::npos; }, 12000))
            << "the module still waits for a touch";
    }

    ServiceHarness h;
};

// pam_wrapper has to be in the process from its start: the test program runs
// itself again with it preloaded, with `preload_more` (a colon-separated list
// of libraries, e.g. nss_wrapper) after it. Returns only on failure (77: skip).
inline int reexec_under_pam_wrapper(char **argv, const std::string &preload_more = "")
{
    const std::string wrapper = TIRVANE_PAM_WRAPPER_LIBRARY;
    if (wrapper.empty() || access(wrapper.c_str(), R_OK) != 0) {
        fprintf(stderr, "SKIP: pam_wrapper (libpam-wrapper) is not installed\n");
        return 77;
    }
    setenv("PAM_WRAPPER", "1", 1);
    setenv("PAM_WRAPPER_SERVICE_DIR", TIRVANE_PAM_SERVICE_DIR, 1);
    setenv("LD_PRELOAD", (preload_more.empty() ? wrapper : wrapper + ":" + preload_more).c_str(), 1);
    execv("/proc/self/exe", argv);
    perror("execv");
    return 1;
}

} // namespace tvpam
