// Tracking of the client behind the running enrolment or verification.
#include "tirvane-server-session.h"

#include "app_fp256_360.h"
#include "common.h"
#include "tirvane_common.h"

#include <mutex>

namespace
{

struct Session {
    unsigned generation = 0;
    bool active = false;
    guint watch_id = 0; // touched on the main thread only
    TVP_CALLER_VANISHED_CALLBACK on_vanished = nullptr;
};

std::mutex session_mutex;
Session session;

struct WatchRequest {
    unsigned generation;
    GDBusConnection *connection;
    char *sender;
};

void on_caller_vanished(GDBusConnection *connection, const gchar *name, gpointer user_data)
{
    (void)connection;
    const unsigned generation = GPOINTER_TO_UINT(user_data);
    TVP_CALLER_VANISHED_CALLBACK on_vanished = nullptr;
    {
        std::lock_guard<std::mutex> lock(session_mutex);
        if (!session.active || session.generation != generation) {
            return;
        }
        on_vanished = session.on_vanished;
    }
    TVP_LOG(LOG_LOG_GRADE, "caller %s left the bus, stopping its operation.\n", name);
    if (on_vanished != nullptr) {
        on_vanished(generation);
    }
}

gboolean start_watch(gpointer data)
{
    auto *request = static_cast<WatchRequest *>(data);
    // The request was filled under the same lock on the worker's thread; the
    // main context's own hand-over is invisible to thread checkers.
    std::lock_guard<std::mutex> lock(session_mutex);
    if (session.active && session.generation == request->generation) {
        if (session.watch_id != 0) {
            g_bus_unwatch_name(session.watch_id);
        }
        session.watch_id = g_bus_watch_name_on_connection(
            request->connection, request->sender, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr, on_caller_vanished,
            GUINT_TO_POINTER(request->generation), nullptr);
    }
    g_object_unref(request->connection);
    g_free(request->sender);
    g_free(request);
    return G_SOURCE_REMOVE;
}

gboolean stop_watch(gpointer data)
{
    const unsigned generation = GPOINTER_TO_UINT(data);
    std::lock_guard<std::mutex> lock(session_mutex);
    if (session.generation == generation && !session.active && session.watch_id != 0) {
        g_bus_unwatch_name(session.watch_id);
        session.watch_id = 0;
    }
    return G_SOURCE_REMOVE;
}

} // namespace

bool tvp_session_is_current(unsigned generation)
{
    std::lock_guard<std::mutex> lock(session_mutex);
    return session.active && session.generation == generation;
}

void tvp_session_begin(const TvpCaller *caller, TVP_CALLER_VANISHED_CALLBACK on_vanished)
{
    WatchRequest *request = nullptr;
    {
        std::lock_guard<std::mutex> lock(session_mutex);
        const unsigned generation = ++session.generation;
        session.active = true;
        session.on_vanished = on_vanished;
        if (caller->connection == nullptr || caller->sender == nullptr) {
            return;
        }
        request = g_new0(WatchRequest, 1);
        request->generation = generation;
        request->connection = G_DBUS_CONNECTION(g_object_ref(caller->connection));
        request->sender = g_strdup(caller->sender);
    }
    // Name watches deliver to the main loop, so they are set up there.
    g_main_context_invoke(nullptr, start_watch, request);
}

void tvp_session_end(void)
{
    unsigned generation = 0;
    {
        std::lock_guard<std::mutex> lock(session_mutex);
        session.active = false;
        session.on_vanished = nullptr;
        generation = ++session.generation;
    }
    g_main_context_invoke(nullptr, stop_watch, GUINT_TO_POINTER(generation));
}
