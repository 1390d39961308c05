// The D-Bus names of the service's error replies: clients match them, so each
// code must reach the wire with its name, and registering the service's domain
// must leave GIO's own names to GIO.
#include "peer_pair.h"
#include "tirvane-server-errors.h"

#include <gtest/gtest.h>

#include <string>

using tvunit::PeerPair;

namespace
{

const char kErrorsXml[] = "<node><interface name='test.Errors'><method name='Fail'>"
                          "<arg name='code' type='i' direction='in'/></method></interface></node>";

void answer_with_error(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                       GVariant *parameters, GDBusMethodInvocation *invocation, gpointer)
{
    gint32 code = 0;
    g_variant_get(parameters, "(i)", &code);
    tvp_return_error(invocation, static_cast<TvpError>(code), "code %d, %s", code, "as asked");
}

TEST(ErrorReplies, CarryTheNamesClientsMatch)
{
    PeerPair peers;
    ASSERT_NE(peers.server(), nullptr);
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(kErrorsXml, nullptr);
    const GDBusInterfaceVTable vtable = {answer_with_error, nullptr, nullptr, {}};
    const guint id = g_dbus_connection_register_object(peers.server(), "/test", node->interfaces[0], &vtable,
                                                       nullptr, nullptr, nullptr);
    ASSERT_NE(id, 0u);
    struct Case {
        TvpError code;
        const char *name;
    };
    const Case cases[] = {
        {TVP_ERROR_FAILED, "org.freedesktop.DBus.Error.Failed"},
        {TVP_ERROR_ACCESS_DENIED, "org.freedesktop.DBus.Error.AccessDenied"},
        {TVP_ERROR_INVALID_ARGS, "org.freedesktop.DBus.Error.InvalidArgs"},
        {TVP_ERROR_NO_MEMORY, "org.freedesktop.DBus.Error.NoMemory"},
        {TVP_ERROR_UNKNOWN_METHOD, "org.freedesktop.DBus.Error.UnknownMethod"},
    };
    for (const auto &c : cases) {
        const auto [name, message] = peers.call("/test", "test.Errors", "Fail", g_variant_new("(i)", c.code));
        EXPECT_EQ(name, c.name) << c.code;
        EXPECT_EQ(message, "code " + std::to_string(c.code) + ", as asked");
        EXPECT_STREQ(tvp_error_name(c.code), c.name);
    }
    g_dbus_connection_unregister_object(peers.server(), id);
}

TEST(ErrorReplies, TheDomainRegistersWithoutTakingGiosNames)
{
    // GLib warns when a name is registered twice; a warning fails the test.
    const GLogLevelFlags before = g_log_set_always_fatal(
        static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL));
    EXPECT_NE(TVP_ERROR, 0u);
    g_log_set_always_fatal(before);
    // Received errors of those names still decode to GIO's own domain: the
    // service's checks of what polkit or logind answered rely on it.
    g_autoptr(GError) received =
        g_dbus_error_new_for_dbus_error("org.freedesktop.DBus.Error.AccessDenied", "no");
    EXPECT_TRUE(g_error_matches(received, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED));
}

} // namespace
