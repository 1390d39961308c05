// Device-level methods and fingerprint management over the bus.
#include "flow_helpers.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace tvtest;

namespace
{

class Manage : public ::testing::Test
{
  protected:
    void start(DaemonOptions options = {})
    {
        ASSERT_TRUE(h.start(options)) << h.error;
        h.clear_signals();
    }
    GError *delete_finger(const char *user, const char *finger)
    {
        return h.call("deleteFingerByName", g_variant_new("(ss)", user, finger));
    }
    ServiceHarness h;
};

} // namespace

TEST_F(Manage, DeviceLevelMethodsAcknowledge)
{
    start();
    for (const char *method : {"openDevice", "releaseDevice", "resetDevice", "setStorageType"}) {
        g_autoptr(GError) error = h.call(method, g_variant_new("(i)", 3));
        EXPECT_EQ(error, nullptr) << method;
    }
    for (const char *method : {"exportDataStop", "importAllDataToDevice", "importDataStop"}) {
        g_autoptr(GError) error = h.call(method, nullptr);
        EXPECT_EQ(error, nullptr) << method;
    }
    g_autoptr(GError) export_error =
        h.call("exportAllDataFromDevice", g_variant_new("(s)", "/tmp/tirvane-export"));
    EXPECT_EQ(export_error, nullptr);
    EXPECT_FALSE(g_file_test("/tmp/tirvane-export", G_FILE_TEST_EXISTS));
    gint count = -1;
    g_autofree gchar *name = nullptr;
    ASSERT_TRUE(tirvane_call_get_device_count_sync(h.proxy(), &count, nullptr, nullptr));
    ASSERT_TRUE(tirvane_call_get_device_name_sync(h.proxy(), &name, nullptr, nullptr));
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(name, "tvp2388");
    h.pump(200);
    EXPECT_TRUE(h.signals().empty());
}

TEST_F(Manage, DisabledDeviceCountsZeroButKeepsItsName)
{
    DaemonOptions options;
    options.write_list_conf = true;
    options.list_conf = "[DeviceParam]\nenable=false\n";
    start(options);
    gint count = -1;
    g_autofree gchar *name = nullptr;
    ASSERT_TRUE(tirvane_call_get_device_count_sync(h.proxy(), &count, nullptr, nullptr));
    ASSERT_TRUE(tirvane_call_get_device_name_sync(h.proxy(), &name, nullptr, nullptr));
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(name, "tvp2388");
    EXPECT_NE(h.log_text().find("tirvane-serverd not enable!!!\n"), std::string::npos);
}

TEST_F(Manage, ListRenameDeleteAndDeleteAll)
{
    start();
    ASSERT_TRUE(enrol_finger(h, "ann", "thumb", "a1"));
    ASSERT_TRUE(enrol_finger(h, "ann", "index", "a2"));
    ASSERT_TRUE(enrol_finger(h, "ben", "thumb", "b1"));
    ASSERT_TRUE(enrol_finger(h, "ann", "ring", "a3"));
    EXPECT_EQ(h.listfingers("ann"), (std::vector<std::string>{"thumb", "index", "ring"}));
    EXPECT_TRUE(h.listfingers("nobody").empty());

    g_autoptr(GError) e1 = h.call("renamefingerName", g_variant_new("(sss)", "ann", "index", "pointer"));
    EXPECT_EQ(e1, nullptr);
    g_autoptr(GError) e2 = h.call("renamefingerName", g_variant_new("(sss)", "ann", "ring", ""));
    EXPECT_EQ(e2, nullptr);
    g_autoptr(GError) e3 = h.call("renamefingerName", g_variant_new("(sss)", "ann", "missing", "x"));
    EXPECT_EQ(e3, nullptr);
    EXPECT_EQ(h.listfingers("ann"), (std::vector<std::string>{"thumb", "pointer", "ring"}));

    h.emu().ok("trace-clear");
    auto before = module_templates(h.emu());
    int thumb_slot = -1;
    for (const auto &[slot, finger] : before) {
        if (finger == "a1") {
            thumb_slot = slot;
        }
    }
    ASSERT_GE(thumb_slot, 90);
    g_autoptr(GError) e4 = delete_finger("ann", "thumb");
    EXPECT_EQ(e4, nullptr);
    EXPECT_EQ(h.listfingers("ann"), (std::vector<std::string>{"pointer", "ring"}));
    EXPECT_EQ(module_templates(h.emu()).count(thumb_slot), 0u);
    char expect[64];
    snprintf(expect, sizeof(expect), "ef 01 ff ff ff ff 01 00 07 0c 00 %02x 00 01", thumb_slot);
    EXPECT_TRUE(has_frame(h.emu(), expect)) << list_of(host_frames(h.emu()));

    g_autoptr(GError) e5 = h.call("deleteAllFeatureByUserId", g_variant_new("(s)", "ann"));
    EXPECT_EQ(e5, nullptr);
    EXPECT_TRUE(h.listfingers("ann").empty());
    EXPECT_EQ(h.listfingers("ben"), std::vector<std::string>{"thumb"});
    auto after = module_templates(h.emu());
    EXPECT_EQ(after.size(), 1u);
}

TEST_F(Manage, RefusedModuleDeletionKeepsTheEntry)
{
    start();
    ASSERT_TRUE(enrol_finger(h, "cat", "thumb", "c1"));
    ASSERT_TRUE(h.emu().ok("fail-next 0c 16"));
    g_autoptr(GError) error = delete_finger("cat", "thumb");
    EXPECT_EQ(error, nullptr) << "the client sees success";
    EXPECT_EQ(h.listfingers("cat"), std::vector<std::string>{"thumb"});
    EXPECT_NE(h.log_text().find("fp_delete_template enroll_id=90 failed!!!\n"), std::string::npos);
}

TEST_F(Manage, DeletionWhoseAnswerIsLostFollowsTheModuleTable)
{
    start();
    ASSERT_TRUE(enrol_finger(h, "cat", "thumb", "c1"));
    // The module deletes, but its answer arrives garbled: the index table decides.
    ASSERT_TRUE(h.emu().ok("corrupt-next"));
    g_autoptr(GError) error = delete_finger("cat", "thumb");
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(module_templates(h.emu()).empty());
    EXPECT_TRUE(h.listfingers("cat").empty()) << "no entry may name the emptied slot";
}

TEST_F(Manage, DeletionDuringAVerificationLeavesItRunning)
{
    start();
    ASSERT_TRUE(enrol_finger(h, "dan", "thumb", "d1"));
    h.clear_signals();
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(tirvane_call_verify_sync(h.proxy(), "dan", 1, nullptr, &error));
    ASSERT_TRUE(
        h.wait_for([&] { return h.emu().command("pending").find("identify") != std::string::npos; }, 5000));
    g_autoptr(GError) del = delete_finger("dan", "thumb");
    EXPECT_EQ(del, nullptr);
    EXPECT_NE(h.log_text().find("device not idle!!!\n"), std::string::npos);
    EXPECT_EQ(h.listfingers("dan"), std::vector<std::string>{"thumb"});
    ASSERT_TRUE(h.emu().ok("touch d1"));
    ASSERT_TRUE(h.wait_signals("verifyStatusChanged", 1, 5000));
    EXPECT_EQ(sig_str(h.signals("verifyStatusChanged")[0]), "(0, {})");
}

TEST_F(Manage, NoModuleListsNothing)
{
    DaemonOptions options;
    options.env["TIRVANE_EMU_PRESENT"] = "0";
    options.write_list_conf = true;
    options.list_conf = "[UserFprint-1]\nenable=true\nuser_id=eve\nfprint_name=thumb\nfprint_id=90\n";
    start(options);
    // The start-up discovery gives up after its probes; then the device counts 0.
    ASSERT_TRUE(h.wait_for(
        [&] { return h.log_text().find("not discover the device.\n") != std::string::npos; }, 30000));
    ASSERT_TRUE(h.wait_for(
        [&] {
            gint count = -1;
            tirvane_call_get_device_count_sync(h.proxy(), &count, nullptr, nullptr);
            return count == 0;
        },
        5000));
    EXPECT_TRUE(h.listfingers("eve").empty());
    EXPECT_NE(h.log_text().find("can't open device.\n"), std::string::npos);
}

TEST_F(Manage, RefusedDeletionKeepsTheListOrder)
{
    start();
    ASSERT_TRUE(enrol_finger(h, "fay", "thumb", "f1"));
    ASSERT_TRUE(enrol_finger(h, "fay", "index", "f2"));
    ASSERT_TRUE(enrol_finger(h, "fay", "ring", "f3"));
    ASSERT_TRUE(enrol_finger(h, "fay", "little", "f4"));
    g_autoptr(GError) e1 = delete_finger("fay", "thumb");
    ASSERT_EQ(e1, nullptr);
    // The first index is free now; the refused deletion must not move "ring" there.
    ASSERT_TRUE(h.emu().ok("fail-next 0c 16"));
    g_autoptr(GError) e2 = delete_finger("fay", "ring");
    EXPECT_EQ(e2, nullptr);
    EXPECT_EQ(h.listfingers("fay"), (std::vector<std::string>{"index", "ring", "little"}));
    EXPECT_NE(h.read_file("tvplist.conf").find("[UserFprint-3]\nenable=true\nuser_id=fay\nfprint_name=ring"),
              std::string::npos)
        << h.read_file("tvplist.conf");
}

// The list file cannot be written (replaced by a directory: tests run as root,
// whom a read-only directory does not stop). The deletion leaves the module's
// template alone, the file still names it, and the call is answered with the
// success reply every management method gives; the log says why.
TEST_F(Manage, DeletionWhoseSaveFailsKeepsTheEntryAndTheTemplate)
{
    start();
    ASSERT_TRUE(enrol_finger(h, "gus", "thumb", "g1"));
    const auto templates = module_templates(h.emu());
    ASSERT_EQ(templates.size(), 1u);
    const std::string path = h.conf_dir() + "tvplist.conf";
    const std::string text = h.read_file("tvplist.conf");
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    h.emu().ok("trace-clear");
    g_autoptr(GError) error = delete_finger("gus", "thumb");
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(module_templates(h.emu()), templates) << "the template stays";
    EXPECT_FALSE(has_frame(h.emu(), "ef 01 ff ff ff ff 01 00 07 0c")) << list_of(host_frames(h.emu()));
    EXPECT_NE(h.log_text().find("tvp_del_fprint_info id=gus finger=thumb failed!!!"), std::string::npos);
    EXPECT_EQ(h.log_text().find("fp_delete_template enroll_id="), std::string::npos);
    ASSERT_EQ(rmdir(path.c_str()), 0);
    {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    }
    EXPECT_EQ(h.read_file("tvplist.conf"), text);
    EXPECT_EQ(h.listfingers("gus"), std::vector<std::string>{"thumb"});
    // Once the file can be written again the deletion goes through.
    g_autoptr(GError) again = delete_finger("gus", "thumb");
    EXPECT_EQ(again, nullptr);
    EXPECT_TRUE(h.listfingers("gus").empty());
    EXPECT_TRUE(module_templates(h.emu()).empty());
}
