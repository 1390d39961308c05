// Both ends of a peer-to-peer D-Bus connection in this process, for tests of
// what a service object answers: a call over it has no sender and no bus
// daemon, and runs through the default main context.
#pragma once

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <utility>

namespace tvunit
{

inline void on_peer_connection(GObject *source, GAsyncResult *result, gpointer data)
{
    (void)source;
    g_autoptr(GError) error = nullptr;
    *static_cast<GDBusConnection **>(data) = g_dbus_connection_new_finish(result, &error);
    if (error != nullptr) {
        ADD_FAILURE() << error->message;
    }
}

class PeerPair
{
  public:
    PeerPair()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            ADD_FAILURE() << "socketpair: " << strerror(errno);
            return;
        }
        g_autoptr(GSocket) server_socket = g_socket_new_from_fd(fds[0], nullptr);
        g_autoptr(GSocket) client_socket = g_socket_new_from_fd(fds[1], nullptr);
        g_autoptr(GSocketConnection) server_stream =
            g_socket_connection_factory_create_connection(server_socket);
        g_autoptr(GSocketConnection) client_stream =
            g_socket_connection_factory_create_connection(client_socket);
        g_autofree gchar *guid = g_dbus_generate_guid();
        g_dbus_connection_new(G_IO_STREAM(server_stream), guid, G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_SERVER,
                              nullptr, nullptr, on_peer_connection, &server_);
        g_dbus_connection_new(G_IO_STREAM(client_stream), nullptr,
                              G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT, nullptr, nullptr,
                              on_peer_connection, &client_);
        const gint64 deadline = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
        while ((server_ == nullptr || client_ == nullptr) && g_get_monotonic_time() < deadline) {
            g_main_context_iteration(nullptr, TRUE);
        }
    }
    ~PeerPair()
    {
        g_clear_object(&client_);
        g_clear_object(&server_);
    }
    PeerPair(const PeerPair &) = delete;
    PeerPair &operator=(const PeerPair &) = delete;

    GDBusConnection *server() const
    {
        return server_;
    }

    // Calls `method` and runs the main loop until it is answered. The error
    // name (empty on success) and the error message, remote name stripped.
    std::pair<std::string, std::string> call(const char *path, const char *interface, const char *method,
                                             GVariant *args)
    {
        struct Reply {
            bool done = false;
            std::string name, message;
        } reply;
        g_dbus_connection_call(
            client_, nullptr, path, interface, method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr,
            [](GObject *source, GAsyncResult *result, gpointer data) {
                auto *out = static_cast<Reply *>(data);
                g_autoptr(GError) error = nullptr;
                g_autoptr(GVariant) value =
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
                if (value == nullptr) {
                    g_autofree gchar *name = g_dbus_error_get_remote_error(error);
                    out->name = name != nullptr ? name : "(not remote)";
                    g_dbus_error_strip_remote_error(error);
                    out->message = error->message;
                }
                out->done = true;
            },
            &reply);
        while (!reply.done) {
            g_main_context_iteration(nullptr, TRUE);
        }
        return {reply.name, reply.message};
    }

  private:
    GDBusConnection *server_ = nullptr;
    GDBusConnection *client_ = nullptr;
};

} // namespace tvunit
