// System sleep through logind.
//
// While the machine is awake the service holds a "delay" inhibitor for sleep, so
// logind announces a sleep (PrepareForSleep(true)) and waits for the service to
// let go of the module before it suspends. The service then stops a running
// enrolment or verification as an unplug would (the client hears (4, "{}")),
// waits for the device to be idle and the module closed, and releases the
// inhibitor. A module left open across a suspend, or an operation still waiting
// on it, is what leaves a reader dead after the resume.
//
// After the resume (PrepareForSleep(false)) the module is probed again (it
// usually comes back re-enumerated), autosuspend is restored when configured,
// and a new inhibitor is taken. An inhibitor that logind refuses (a sleep is
// already under way) is asked for again after the next resume. Without logind
// on the bus the service runs as it would without sleep (logged once).
//
// When logind comes onto the bus, at start-up or after a restart of its own, the
// service asks it whether a sleep is under way (PreparingForSleep) and takes its
// sleeping state from the answer: a logind restarted between the announcement
// and the resume sends no resume, and the service would otherwise stay asleep.
//
// All of this runs on the main loop; the probe after the resume runs on a thread
// of its own since it opens the module. Worker threads wait for the wake and take
// block inhibitors through the calls below the watch.
#include "tirvane-server-sleep.h"

#include "app_fp256_360.h"
#include "common.h"
#include "tirvane-server-operation.h"
#include "tirvane_common.h"
#include "usb_device.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gio/gunixfdlist.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace
{

constexpr const char *kLogindName = "org.freedesktop.login1";
constexpr const char *kLogindPath = "/org/freedesktop/login1";
constexpr const char *kLogindManager = "org.freedesktop.login1.Manager";

// logind waits for delay inhibitors at most InhibitDelayMaxSec, 5 s by default:
// the inhibitor goes a little before, whether or not the device is idle by then.
constexpr int kLetGoLimitMs = 4000;
constexpr int kLetGoPollMs = 20;
// The Inhibit call is answered at once by a working logind.
constexpr int kInhibitCallTimeoutMs = 5000;

// How long a worker waits at start-up for logind's word on a sleep under way:
// the bus answers in milliseconds; a bus that never comes must not stop the
// start-up checks for good.
constexpr auto kSettleLimit = std::chrono::seconds(5);

std::atomic<bool> sleeping{false};

// Whether the sleeping state is known (logind answered, or is not on the bus),
// and the wake, for the workers that wait on them.
std::mutex state_mutex;
std::condition_variable state_changed;
bool settled = false;

// What the workers read of the watch, which belongs to the main loop.
std::atomic<GDBusConnection *> bus{nullptr};
std::atomic<bool> logind_on_bus{false};
std::atomic<bool> write_without_logind_logged{false};

// Sets the sleeping state, which is known from then on; returns the former one.
bool set_sleeping(bool value)
{
    bool was = false;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        was = sleeping.exchange(value);
        settled = true;
    }
    state_changed.notify_all();
    return was;
}

void settle()
{
    set_sleeping(sleeping.load());
}

struct SleepWatch {
    GDBusConnection *connection = nullptr;
    int inhibitor_fd = -1;
    bool inhibit_pending = false; // an Inhibit call awaits its answer
    bool logind_absent_logged = false;
    std::string logind_owner; // unique name of logind's owner, empty while it is away
    guint let_go_timer = 0;
    guint absent_timer = 0; // a sleep under way while logind is away
    // Read on the service's clock: the polls may run late under load.
    struct timeval sleep_announced {
    };
};
SleepWatch watch;

void release_inhibitor()
{
    if (watch.inhibitor_fd >= 0) {
        close(watch.inhibitor_fd);
        watch.inhibitor_fd = -1;
    }
}

bool logind_not_on_bus(const GError *error)
{
    return g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
}

void on_inhibit_reply(GObject *source, GAsyncResult *result, gpointer user_data)
{
    (void)user_data;
    watch.inhibit_pending = false;
    g_autoptr(GUnixFDList) fds = nullptr;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply =
        g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(source), &fds, result, &error);
    int fd = -1;
    if (reply != nullptr) {
        gint32 index = -1;
        g_variant_get(reply, "(h)", &index);
        fd = fds != nullptr ? g_unix_fd_list_get(fds, index, &error) : -1;
    }
    if (fd < 0) {
        // Typically refused because a sleep is already under way: the next
        // resume asks again.
        if (error == nullptr || !logind_not_on_bus(error)) {
            if (error != nullptr) {
                g_dbus_error_strip_remote_error(error);
            }
            TVP_LOG(ERR_LOG_GRADE, "could not take a sleep inhibitor: %s\n",
                    error != nullptr ? error->message : "no file descriptor in the answer");
        }
        return;
    }
    if (sleeping.load()) {
        // The sleep was announced while the call was under way: there is nothing
        // left to delay; the next resume takes a new one.
        close(fd);
        return;
    }
    release_inhibitor();
    watch.inhibitor_fd = fd;
    TVP_LOG(DBG_LOG_GRADE, "sleep inhibitor taken.\n");
}

void take_inhibitor()
{
    if (watch.inhibitor_fd >= 0 || watch.inhibit_pending) {
        return;
    }
    watch.inhibit_pending = true;
    g_dbus_connection_call_with_unix_fd_list(
        watch.connection, kLogindName, kLogindPath, kLogindManager, "Inhibit",
        g_variant_new("(ssss)", "sleep", "tirvane-serverd", "Lets go of the fingerprint module before sleep",
                      "delay"),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, kInhibitCallTimeoutMs, nullptr, nullptr,
        on_inhibit_reply, nullptr);
}

bool device_let_go()
{
    return tvp_get_dev_status(dev_tirvane) == DEVS_COMM_IDLE && usb_get_dev_handle() == nullptr;
}

gboolean check_let_go(gpointer user_data)
{
    (void)user_data;
    const int waited_ms = fp_get_increment_of_time_ms(&watch.sleep_announced);
    const bool idle = device_let_go();
    if (!idle && waited_ms < kLetGoLimitMs) {
        return G_SOURCE_CONTINUE;
    }
    if (idle) {
        TVP_LOG(LOG_LOG_GRADE, "module let go for sleep after %d ms.\n", waited_ms);
    } else {
        TVP_LOG(ERR_LOG_GRADE, "the device did not become idle within %d ms, sleep is no longer delayed.\n",
                kLetGoLimitMs);
    }
    watch.let_go_timer = 0;
    release_inhibitor();
    return G_SOURCE_REMOVE;
}

void prepare_for_sleep()
{
    if (set_sleeping(true)) {
        return;
    }
    TVP_LOG(LOG_LOG_GRADE, "the system is going to sleep.\n");
    tvp_dev *dev = dev_tirvane;
    if (dev != nullptr) {
        const int status = tvp_get_dev_status(dev);
        if (status == DEVS_ENROLL_DOING || status == DEVS_VERIFY_DOING) {
            // As an unplug: the operation's next exchange finds no module, it
            // reports the departure and ends; no one may open the module again
            // before the resume.
            usb_dev_set_null();
        }
    }
    if (dev == nullptr || device_let_go()) {
        TVP_LOG(LOG_LOG_GRADE, "module let go for sleep after %d ms.\n", 0);
        release_inhibitor();
        return;
    }
    fp_get_time_now(&watch.sleep_announced);
    if (watch.let_go_timer == 0) {
        watch.let_go_timer = g_timeout_add(kLetGoPollMs, check_let_go, nullptr);
    }
}

void *find_module_after_resume(void *arg)
{
    (void)arg;
    tvp_dev *dev = dev_tirvane;
    driver_info *priv = tvp_priv(dev);
    if (tvp_discover(dev, "resume probe") > 0) {
        priv->dev_state |= 0x01;
        priv->set_dev_state(priv->dev_state.load());
        if (!tvp_fprint_list_is_current()) {
            tvp_load_fprint_list(dev);
        }
        usb_dev_get_port_path();
        usb_dev_enable_autosuspend();
        TVP_LOG(LOG_LOG_GRADE, "module found after the resume.\n");
    } else {
        priv->dev_state &= static_cast<unsigned char>(~0x01);
        TVP_LOG(LOG_LOG_GRADE, "no module after the resume; it is taken when it arrives.\n");
    }
    return nullptr;
}

void resumed()
{
    const bool was_sleeping = set_sleeping(false);
    if (watch.let_go_timer != 0) {
        g_source_remove(watch.let_go_timer);
        watch.let_go_timer = 0;
    }
    if (was_sleeping) {
        TVP_LOG(LOG_LOG_GRADE, "the system has resumed.\n");
        if (dev_tirvane != nullptr && dev_tirvane->enable != 0) {
            tvp_start_thread(find_module_after_resume, nullptr);
        }
    }
    take_inhibitor();
}

void on_prepare_for_sleep(GDBusConnection *connection, const gchar *sender, const gchar *path,
                          const gchar *interface, const gchar *signal, GVariant *parameters,
                          gpointer user_data)
{
    (void)connection;
    (void)path;
    (void)interface;
    (void)signal;
    (void)user_data;
    // Checked here as well: GDBus matches the sender of a signal addressed to us
    // only since its 2.80.1 (and backports), and any local peer may send one.
    if (sender == nullptr || watch.logind_owner != sender) {
        TVP_LOG(LOG_LOG_GRADE, "PrepareForSleep from %s, not from logind, ignored.\n",
                sender != nullptr ? sender : "?");
        return;
    }
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) {
        return;
    }
    gboolean start = FALSE;
    g_variant_get(parameters, "(b)", &start);
    if (start) {
        prepare_for_sleep();
    } else {
        resumed();
    }
}

// logind's answer to whether a sleep is under way; `user_data` is the owner asked.
void on_preparing_for_sleep(GObject *source, GAsyncResult *result, gpointer user_data)
{
    g_autofree gchar *asked = static_cast<gchar *>(user_data);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (watch.logind_owner != asked) {
        return; // that logind has gone since; its successor is asked in turn
    }
    gboolean preparing = FALSE;
    if (reply != nullptr) {
        g_autoptr(GVariant) value = nullptr;
        g_variant_get(reply, "(v)", &value);
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
            preparing = g_variant_get_boolean(value);
        }
    } else {
        // Taken as awake: a service that believes the system asleep refuses
        // every operation until a resume that may never be announced.
        g_dbus_error_strip_remote_error(error);
        TVP_LOG(ERR_LOG_GRADE, "could not read whether logind prepares for sleep: %s\n", error->message);
    }
    const bool was_sleeping = sleeping.load();
    if (preparing != FALSE) {
        if (was_sleeping) {
            TVP_LOG(LOG_LOG_GRADE, "logind (%s) says the system is still going to sleep.\n", asked);
        }
        prepare_for_sleep();
        settle();
        return;
    }
    if (was_sleeping) {
        TVP_LOG(LOG_LOG_GRADE, "logind (%s) is not preparing for sleep: the resume was missed.\n", asked);
    }
    resumed();
    settle();
}

// A sleep announced by a logind that then left the bus and did not come back
// within this bound is taken as over: no one is left to announce the resume,
// and a service that believes the system asleep refuses every operation. A
// logind restarted by systemd is back well within it; the timer runs on the
// monotonic clock, which stands still while the machine sleeps.
constexpr guint kLogindAbsentDuringSleepS = 10;

gboolean on_logind_absent_too_long(gpointer)
{
    watch.absent_timer = 0;
    if (watch.logind_owner.empty() && sleeping.load()) {
        TVP_LOG(LOG_LOG_GRADE,
                "logind has been away for %u s during a sleep: the system is taken as awake.\n",
                kLogindAbsentDuringSleepS);
        resumed();
        settle();
    }
    return G_SOURCE_REMOVE;
}

void on_logind_appeared(GDBusConnection *connection, const gchar *name, const gchar *owner,
                        gpointer user_data)
{
    (void)name;
    (void)user_data;
    if (watch.absent_timer != 0) {
        g_source_remove(watch.absent_timer);
        watch.absent_timer = 0;
    }
    watch.logind_owner = owner != nullptr ? owner : "";
    watch.logind_absent_logged = false;
    logind_on_bus.store(true);
    // Asked of this owner by its unique name, so that the answer is its own and
    // comes after any PrepareForSleep it sent before.
    g_dbus_connection_call(connection, watch.logind_owner.c_str(), kLogindPath,
                           "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", kLogindManager, "PreparingForSleep"), G_VARIANT_TYPE("(v)"),
                           G_DBUS_CALL_FLAGS_NONE, kInhibitCallTimeoutMs, nullptr, on_preparing_for_sleep,
                           g_strdup(watch.logind_owner.c_str()));
}

void on_logind_vanished(GDBusConnection *connection, const gchar *name, gpointer user_data)
{
    (void)connection;
    (void)name;
    (void)user_data;
    // An inhibitor of a logind that has gone delays nothing.
    watch.logind_owner.clear();
    logind_on_bus.store(false);
    release_inhibitor();
    // Without logind the state stays as it is for a while: a sleep under way
    // when logind went is ended by the next logind's answer, or by the bound.
    if (sleeping.load() && watch.absent_timer == 0) {
        watch.absent_timer =
            g_timeout_add_seconds(kLogindAbsentDuringSleepS, on_logind_absent_too_long, nullptr);
    }
    settle();
    if (!watch.logind_absent_logged) {
        watch.logind_absent_logged = true;
        TVP_LOG(LOG_LOG_GRADE, "logind is not on the bus, system sleep is not watched.\n");
    }
}

} // namespace

void tvp_sleep_watch_start(GDBusConnection *connection)
{
    if (watch.connection != nullptr) {
        return;
    }
    watch.connection = G_DBUS_CONNECTION(g_object_ref(connection));
    bus.store(watch.connection);
    // GDBus passes on the signal only when its sender owns logind's name.
    g_dbus_connection_signal_subscribe(connection, kLogindName, kLogindManager, "PrepareForSleep",
                                       kLogindPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE, on_prepare_for_sleep,
                                       nullptr, nullptr);
    // The first inhibitor is taken when logind is seen on the bus, now or later.
    g_bus_watch_name_on_connection(connection, kLogindName, G_BUS_NAME_WATCHER_FLAGS_NONE, on_logind_appeared,
                                   on_logind_vanished, nullptr, nullptr);
}

bool tvp_system_sleeping(void)
{
    return sleeping.load();
}

void tvp_sleep_wait_awake(void)
{
    std::unique_lock<std::mutex> lock(state_mutex);
    if (!settled && !state_changed.wait_for(lock, kSettleLimit, [] { return settled; })) {
        TVP_LOG(ERR_LOG_GRADE,
                "logind's sleep state is not known after %lld s; the system is taken as awake.\n",
                static_cast<long long>(kSettleLimit.count()));
        settled = true;
    }
    state_changed.wait(lock, [] { return !sleeping.load(); });
}

int tvp_sleep_block_inhibitor(const char *why)
{
    {
        std::unique_lock<std::mutex> lock(state_mutex);
        state_changed.wait_for(lock, kSettleLimit, [] { return settled; });
    }
    GDBusConnection *connection = bus.load();
    g_autoptr(GError) error = nullptr;
    if (connection != nullptr && logind_on_bus.load()) {
        g_autoptr(GUnixFDList) fds = nullptr;
        g_autoptr(GVariant) reply = g_dbus_connection_call_with_unix_fd_list_sync(
            connection, kLogindName, kLogindPath, kLogindManager, "Inhibit",
            g_variant_new("(ssss)", "sleep", "tirvane-serverd", why, "block"), G_VARIANT_TYPE("(h)"),
            G_DBUS_CALL_FLAGS_NONE, kInhibitCallTimeoutMs, nullptr, &fds, nullptr, &error);
        if (reply != nullptr) {
            gint32 index = -1;
            g_variant_get(reply, "(h)", &index);
            const int fd = fds != nullptr ? g_unix_fd_list_get(fds, index, &error) : -1;
            if (fd >= 0) {
                TVP_LOG(DBG_LOG_GRADE, "sleep is blocked: %s.\n", why);
                return fd;
            }
        }
        if (error == nullptr || !logind_not_on_bus(error)) {
            if (error != nullptr) {
                g_dbus_error_strip_remote_error(error);
            }
            TVP_LOG(ERR_LOG_GRADE, "could not block sleep (%s), going ahead: %s\n", why,
                    error != nullptr ? error->message : "no file descriptor in the answer");
            return -1;
        }
    }
    if (!write_without_logind_logged.exchange(true)) {
        TVP_LOG(LOG_LOG_GRADE, "logind is not on the bus: the firmware is written without blocking sleep.\n");
    }
    return -1;
}
