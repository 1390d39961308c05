// The service on the bus: name, interface contract, dispatch and start-up.
#include "bus_fixture.h"
#include "flow_helpers.h"

#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>

using tvtest::ServiceHarness;

namespace
{

std::string introspect(ServiceHarness &h)
{
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        h.connection(), "nuvex.kal.Tirvane", "/nuvex/kal/Tirvane", "org.freedesktop.DBus.Introspectable",
        "Introspect", nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    const gchar *xml = "";
    if (reply != nullptr) {
        g_variant_get(reply, "(&s)", &xml);
    }
    return xml;
}

// "name(type:dir,...)" for every method and signal of an interface description.
std::vector<std::string> describe(GDBusInterfaceInfo *iface)
{
    std::vector<std::string> out;
    for (GDBusMethodInfo **m = iface->methods; m != nullptr && *m != nullptr; ++m) {
        std::string line = std::string("method ") + (*m)->name + "(";
        for (GDBusArgInfo **a = (*m)->in_args; a != nullptr && *a != nullptr; ++a) {
            line += std::string((*a)->name) + ":" + (*a)->signature + ":in,";
        }
        for (GDBusArgInfo **a = (*m)->out_args; a != nullptr && *a != nullptr; ++a) {
            line += std::string((*a)->name) + ":" + (*a)->signature + ":out,";
        }
        out.push_back(line + ")");
    }
    for (GDBusSignalInfo **s = iface->signals; s != nullptr && *s != nullptr; ++s) {
        std::string line = std::string("signal ") + (*s)->name + "(";
        for (GDBusArgInfo **a = (*s)->args; a != nullptr && *a != nullptr; ++a) {
            line += std::string((*a)->name) + ":" + (*a)->signature + ",";
        }
        out.push_back(line + ")");
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(Spine, OwnsTheNameAndShowsExactlyTheContract)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;

    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(introspect(h).c_str(), &error);
    ASSERT_NE(node, nullptr) << error->message;
    GDBusInterfaceInfo *iface = g_dbus_node_info_lookup_interface(node, "nuvex.kal.Tirvane");
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->properties == nullptr || iface->properties[0] == nullptr, true) << "no properties";

    const std::vector<std::string> expected = {
        "method deleteAllFeatureByUserId(userId:s:in,)",
        "method deleteFingerByName(userId:s:in,fingerName:s:in,)",
        "method enroll(userId:s:in,fingerName:s:in,)",
        "method exportAllDataFromDevice(path:s:in,)",
        "method exportDataStop()",
        "method getDeviceCount(deviceCount:i:out,)",
        "method getDeviceName(deviceName:s:out,)",
        "method importAllDataToDevice()",
        "method importDataStop()",
        "method listfingers(userId:s:in,fingers:as:out,)",
        "method openDevice(i:i:in,)",
        "method releaseDevice(i:i:in,)",
        "method renamefingerName(userId:s:in,fingerName:s:in,newName:s:in,)",
        "method resetDevice(i:i:in,)",
        "method setStorageType(type:i:in,)",
        "method stopEnroll()",
        "method verify(userId:s:in,tryCount:i:in,)",
        "method verifyStop()",
        "signal DataExportStatus(unnamed_arg0:s,unnamed_arg1:i,unnamed_arg2:s,)",
        "signal DataImportStatus(unnamed_arg0:s,unnamed_arg1:i,unnamed_arg2:s,)",
        "signal enrollStatusChanged(id:s,code:i,msg:s,)",
        "signal restStatus(id:s,code:i,msg:s,)",
        "signal verifyStatusChanged(id:s,code:i,msg:s,)",
    };
    EXPECT_EQ(describe(iface), expected);
}

TEST(Spine, StartUpLogsDriverStartWithSourcePosition)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    const std::regex line(
        R"((^|\n)\d{8}_\d{2}:\d{2}:\d{2} \[tirvane-server-main\.cpp:\d+:main\] driver start\.\n)");
    EXPECT_TRUE(std::regex_search(h.log_text(), line)) << h.log_text().substr(0, 2000);
    EXPECT_NE(h.daemon_output().find("name_acquired_cb called, Acquired bus name: nuvex.kal.Tirvane\n"),
              std::string::npos);
}

TEST(Spine, UnreadableListFileStopsStartUpWith255BeforeTheName)
{
    ServiceHarness h;
    tvtest::DaemonOptions options;
    options.write_list_conf = true;
    options.list_conf = "this is [not a key file\n\x01\x02";
    EXPECT_EQ(h.run_until_exit(options, 10000), 255);
    // Nothing is logged: the threshold is still 0 before the configuration is read.
    EXPECT_EQ(h.daemon_output().find("name_acquired_cb"), std::string::npos);
}

TEST(Spine, MissingConfigurationDirectoryStopsStartUp)
{
    ServiceHarness h;
    tvtest::DaemonOptions options;
    options.driver_conf.clear();
    options.env["TIRVANE_CONF_DIR"] = h.dir() + "/does-not-exist/";
    EXPECT_EQ(h.run_until_exit(options, 10000), 255);
}

TEST(Spine, LosingTheNameRaceLeavesTheSecondInstanceRunning)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    // A second instance on the same bus never gets the name; it keeps running.
    tvtest::DaemonOptions options;
    options.env["TIRVANE_CONF_DIR"] = h.dir() + "/conf2/";
    options.env["TIRVANE_EMU_SOCKET"] = h.dir() + "/emu2.sock";
    mkdir((h.dir() + "/conf2").c_str(), 0755);
    tvtest::write_file(h.dir() + "/conf2/fp_driver.conf", "[BASIC_PARAM]\nPrintfLogFlag=3\n");
    EXPECT_EQ(h.run_until_exit(options, 3000), -1) << "the second instance must not exit";
    EXPECT_NE(
        tvtest::slurp(h.dir() + "/conf2/log_tvp.txt").find("GBusNameLost_Callback has been invoked******\n"),
        std::string::npos);
    EXPECT_TRUE(h.daemon_alive());
}

TEST(Spine, TerminationSignalEndsTheProcess)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    h.stop_daemon(SIGTERM);
    const int status = h.last_daemon_status();
    ASSERT_NE(status, -1) << "the daemon did not end within 3 s of SIGTERM and had to be killed";
    EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) || WIFEXITED(status)) << status;
    EXPECT_TRUE(h.wait_for([&] { return !h.name_has_owner("nuvex.kal.Tirvane"); }, 5000));
}

namespace
{

struct CallResult {
    bool done = false;
    GError *error = nullptr;
};

void on_call_done(GObject *source, GAsyncResult *res, gpointer user_data)
{
    auto *result = static_cast<CallResult *>(user_data);
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &result->error);
    result->done = true;
}

} // namespace

// A method the interface does not have is answered UnknownMethod by the
// daemon, and a call sent right beside it is answered as usual, whether it
// goes through the quick path or the skeleton.
TEST(Spine, UnknownMethodIsAnsweredWhileOthersWork)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    const char *service = "nuvex.kal.Tirvane";
    const char *path = "/nuvex/kal/Tirvane";
    CallResult unknown;
    g_dbus_connection_call(h.connection(), service, path, service, "enrol", g_variant_new("(ss)", "a", "b"),
                           nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, on_call_done, &unknown);
    CallResult name;
    g_dbus_connection_call(h.connection(), service, path, service, "getDeviceName", nullptr, nullptr,
                           G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, on_call_done, &name);
    CallResult list;
    g_dbus_connection_call(h.connection(), service, path, service, "listfingers",
                           g_variant_new("(s)", "alice"), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                           on_call_done, &list);
    ASSERT_TRUE(h.wait_for([&] { return unknown.done && name.done && list.done; }, 6000));
    ASSERT_NE(unknown.error, nullptr);
    EXPECT_TRUE(g_error_matches(unknown.error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD))
        << unknown.error->message;
    EXPECT_EQ(name.error, nullptr) << name.error->message;
    EXPECT_EQ(list.error, nullptr) << list.error->message;
    EXPECT_TRUE(h.daemon_alive());
    g_clear_error(&unknown.error);
    g_clear_error(&name.error);
    g_clear_error(&list.error);
}

// A module without a power-up finger that stays silent when the start-up asks
// for the power-up result: the start-up reads until its time-out, then goes on,
// and verification works as usual. (Other tests let the module refuse at once.)
TEST(Spine, StartUpGoesOnAfterASilentPowerUpCollection)
{
    ServiceHarness h;
    tvtest::DaemonOptions options;
    options.env["TIRVANE_EMU_NO_POWERUP"] = "wait";
    ASSERT_TRUE(h.start(options)) << h.error;
    const std::string log = h.log_text();
    EXPECT_NE(log.find("send PROT_CMD_AUTOIDENTIFY command.\n"), std::string::npos);
    EXPECT_GE(tvtest::count_of(log, "usb_read_data failed!!!"), 5u) << "five silent reads of the collection";
    EXPECT_NE(log.find("start-up checks done.\n"), std::string::npos);
    ASSERT_TRUE(tvtest::enrol_finger(h, "alice", "thumb", "alice-thumb"));
    h.clear_signals();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "alice", 1, nullptr, &error));
    ASSERT_TRUE(h.emu().touch("alice-thumb"));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, tvtest::bound_ms(5000)));
    EXPECT_EQ(tvtest::sig_str(h.signals("verifyStatusChanged")[0]), "(0, {})");
}
