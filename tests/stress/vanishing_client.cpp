// A bus client that starts an enrolment or a verification and then waits to be
// killed, as a crashing lock screen would leave the service.
//
//   stress_vanishing_client ADDRESS enroll USER FINGER [--no-wait]
//   stress_vanishing_client ADDRESS verify USER TRIES [--no-wait]
//
// Prints "sent <unique name>" once the call is on its way (with --no-wait) or
// "replied <unique name>" once the service answered, then sleeps until killed.
// Exit 2: no connection; 3: the call failed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gio/gio.h>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: %s ADDRESS enroll|verify USER ARG [--no-wait]\n", argv[0]);
        return 1;
    }
    const std::string method = argv[2];
    const bool no_wait = argc > 5 && strcmp(argv[5], "--no-wait") == 0;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusConnection) connection = g_dbus_connection_new_for_address_sync(
        argv[1],
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (connection == nullptr) {
        fprintf(stderr, "no connection: %s\n", error->message);
        return 2;
    }
    GVariant *args = method == "enroll" ? g_variant_new("(ss)", argv[3], argv[4])
                                        : g_variant_new("(si)", argv[3], atoi(argv[4]));
    const char *name = g_dbus_connection_get_unique_name(connection);
    if (no_wait) {
        g_autoptr(GDBusMessage) msg = g_dbus_message_new_method_call(
            "nuvex.kal.Tirvane", "/nuvex/kal/Tirvane", "nuvex.kal.Tirvane", method.c_str());
        g_dbus_message_set_body(msg, args);
        g_dbus_connection_send_message(connection, msg, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_dbus_connection_flush_sync(connection, nullptr, nullptr);
        printf("sent %s\n", name);
    } else {
        g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
            connection, "nuvex.kal.Tirvane", "/nuvex/kal/Tirvane", "nuvex.kal.Tirvane", method.c_str(), args,
            nullptr, G_DBUS_CALL_FLAGS_NONE, 20000, nullptr, &error);
        if (reply == nullptr) {
            printf("error %s\n", error->message);
            fflush(stdout);
            return 3;
        }
        printf("replied %s\n", name);
    }
    fflush(stdout);
    for (;;) {
        pause();
    }
}
