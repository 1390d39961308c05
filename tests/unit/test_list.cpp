// The fingerprint list store and its key file.
#include "common.h"
#include "tirvane_common.h"
#include "unit_support.h"

#include <csignal>
#include <cstring>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

class ListStore : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dev = tvp_dev_new();
        dev->dev_priv = new driver_info{};
        dev->ops_free = tvp_ops_free;
        dev->dev_num.store(1);
    }
    void TearDown() override
    {
        tvp_dev_free(dev);
    }
    std::string file_text() const
    {
        return tvunit::read_file(conf.file("tvplist.conf"));
    }
    static fprint_info entry(const char *user, const char *finger, uint16_t slot)
    {
        fprint_info e{};
        e.enable = 1;
        snprintf(e.user_id, sizeof(e.user_id), "%s", user);
        snprintf(e.fprint_name, sizeof(e.fprint_name), "%s", finger);
        e.fprint_id = slot;
        return e;
    }
    // A fresh record loaded from the file, as a restarted service would see it.
    std::vector<fprint_info> reload() const
    {
        tvp_dev *fresh = tvp_dev_new();
        fresh->dev_priv = new driver_info{};
        fresh->ops_free = tvp_ops_free;
        fresh->dev_num.store(1);
        EXPECT_EQ(tvp_get_fprint_list(fresh), 0);
        std::vector<fprint_info> in_use;
        for (const auto &e : tvp_priv(fresh)->fprint_list) {
            if (e.enable == 1) {
                in_use.push_back(e);
            }
        }
        tvp_dev_free(fresh);
        return in_use;
    }

    tvunit::TempConfDir conf;
    tvp_dev *dev = nullptr;
};

} // namespace

TEST_F(ListStore, MissingFileIsCreatedEmpty)
{
    ASSERT_EQ(tvp_conf_init(), 0);
    EXPECT_TRUE(tvunit::file_exists(conf.file("tvplist.conf")));
    EXPECT_EQ(tvp_get_fprint_list(dev), 0);
    EXPECT_EQ(tvp_get_empty_fprint_info(dev), 1);
}

TEST_F(ListStore, FileThatIsNotAKeyFileFailsStartUpCheck)
{
    tvunit::write_file(conf.file("tvplist.conf"), "garbage without groups\n");
    EXPECT_EQ(tvp_conf_init(), -1);
}

TEST_F(ListStore, DuplicatePairIsRefusedAndFileUnchanged)
{
    ASSERT_EQ(tvp_conf_init(), 0);
    fprint_info e = entry("alice", "thumb", 90);
    ASSERT_EQ(tvp_add_fprint_info(dev, &e), 0);
    const std::string before = file_text();
    fprint_info again = entry("alice", "thumb", 91);
    EXPECT_EQ(tvp_add_fprint_info(dev, &again), -1);
    EXPECT_EQ(file_text(), before);
    fprint_info other_user = entry("bob", "thumb", 91);
    EXPECT_EQ(tvp_add_fprint_info(dev, &other_user), 0);
}

TEST_F(ListStore, FullTableRefusesTheFiftyFirstEntry)
{
    ASSERT_EQ(tvp_conf_init(), 0);
    for (int i = 0; i < 50; ++i) {
        fprint_info e = entry("u", ("f" + std::to_string(i)).c_str(), static_cast<uint16_t>(i));
        ASSERT_EQ(tvp_add_fprint_info(dev, &e), 0) << i;
    }
    fprint_info extra = entry("u", "extra", 99);
    EXPECT_EQ(tvp_add_fprint_info(dev, &extra), -1);
    EXPECT_EQ(reload().size(), 50u);
}

TEST_F(ListStore, DeletedIndexIsReusedFirstAndGroupKept)
{
    ASSERT_EQ(tvp_conf_init(), 0);
    for (int i = 1; i <= 5; ++i) {
        fprint_info e = entry("u", ("f" + std::to_string(i)).c_str(), static_cast<uint16_t>(89 + i));
        ASSERT_EQ(tvp_add_fprint_info(dev, &e), 0);
    }
    EXPECT_EQ(tvp_del_fprint_info(dev, "u", "f3"), 0);
    EXPECT_NE(file_text().find("[UserFprint-3]\nenable=false"), std::string::npos) << file_text();
    fprint_info e = entry("v", "new", 100);
    ASSERT_EQ(tvp_add_fprint_info(dev, &e), 0);
    fprint_info *found = nullptr;
    EXPECT_EQ(tvp_find_fprint_info(dev, "v", "new", &found), 3);
}

TEST_F(ListStore, DisabledGroupNeverMatches)
{
    tvunit::write_file(conf.file("tvplist.conf"),
                       "[UserFprint-7]\nenable=false\nuser_id=alice\nfprint_name=thumb\nfprint_id=95\n");
    ASSERT_EQ(tvp_get_fprint_list(dev), 0);
    fprint_info *found = nullptr;
    EXPECT_EQ(tvp_find_fprint_info(dev, "alice", "thumb", &found), 0);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(tvp_find_fprint_info_byfprintid(dev, 95, &found), 0);
    EXPECT_EQ(tvp_get_empty_fprint_info(dev), 1);
}

TEST_F(ListStore, IndexOutsideOneToFiftyIsRefused)
{
    ASSERT_EQ(tvp_conf_init(), 0);
    fprint_info e = entry("u", "f", 90);
    EXPECT_EQ(tvp_set_fprint_info(dev, 0, &e), -1);
    EXPECT_EQ(tvp_set_fprint_info(dev, 51, &e), -1);
    EXPECT_EQ(tvp_set_fprint_info(dev, 1, nullptr), -1);
}

TEST_F(ListStore, OfflineDeviceLeavesTheTable)
{
    tvunit::write_file(conf.file("tvplist.conf"),
                       "[UserFprint-1]\nenable=true\nuser_id=alice\nfprint_name=thumb\nfprint_id=95\n");
    dev->dev_num.store(0);
    EXPECT_EQ(tvp_get_fprint_list(dev), -1);
    EXPECT_EQ(tvp_priv(dev)->fprint_list[0].enable, 0);
}

TEST_F(ListStore, SameSlotTwiceFindsTheLowerIndex)
{
    tvunit::write_file(conf.file("tvplist.conf"),
                       "[UserFprint-2]\nenable=true\nuser_id=a\nfprint_name=x\nfprint_id=95\n"
                       "[UserFprint-4]\nenable=true\nuser_id=b\nfprint_name=y\nfprint_id=95\n");
    ASSERT_EQ(tvp_get_fprint_list(dev), 0);
    fprint_info *found = nullptr;
    EXPECT_EQ(tvp_find_fprint_info_byfprintid(dev, 95, &found), 2);
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->user_id, "a");
}

TEST_F(ListStore, CommentsAndOtherGroupsSurviveARewrite)
{
    tvunit::write_file(conf.file("tvplist.conf"),
                       "# installed by the vendor\n[DeviceParam]\n# keep me\nenable=true\nName[de]=Finger\n");
    fprint_info e = entry("u", "f", 90);
    ASSERT_EQ(tvp_add_fprint_info(dev, &e), 0);
    const std::string text = file_text();
    EXPECT_NE(text.find("# installed by the vendor"), std::string::npos);
    EXPECT_NE(text.find("# keep me"), std::string::npos);
    EXPECT_NE(text.find("Name[de]=Finger"), std::string::npos);
}

TEST_F(ListStore, AwkwardTextsRoundTripAndLongOnesAreCut)
{
    ASSERT_EQ(tvp_conf_init(), 0);
    const char *awkward[] = {"line\nbreak",          "[bracket]",        "a=b",
                             "Zeigefinger \xc3\xbc", " lead and trail ", "#hash;semi"};
    uint16_t slot = 90;
    for (const char *name : awkward) {
        fprint_info e = entry("user", name, slot++);
        ASSERT_EQ(tvp_add_fprint_info(dev, &e), 0) << name;
    }
    std::vector<std::string> names;
    for (const auto &e : reload()) {
        names.push_back(e.fprint_name);
    }
    EXPECT_EQ(names, std::vector<std::string>(std::begin(awkward), std::end(awkward)));

    // A hand-edited file with a 150-byte user id: cut to 99 bytes, never past the field.
    const std::string long_id(150, 'q');
    tvunit::write_file(conf.file("tvplist.conf"),
                       "[UserFprint-1]\nenable=true\nuser_id=" + long_id + "\nfprint_name=f\nfprint_id=90\n");
    auto loaded = reload();
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(std::string(loaded[0].user_id), std::string(99, 'q'));
    // A cut inside a two-byte character keeps only whole characters.
    std::string wide(98, 'w');
    wide += "\xc3\xbc\xc3\xbc";
    tvunit::write_file(conf.file("tvplist.conf"),
                       "[UserFprint-1]\nenable=true\nuser_id=u\nfprint_name=" + wide + "\nfprint_id=90\n");
    loaded = reload();
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(std::string(loaded[0].fprint_name), std::string(98, 'w'));
}

TEST_F(ListStore, ConcurrentAddsAndRenamesLoseNothing)
{
    ASSERT_EQ(tvp_conf_init(), 0);
    for (int i = 0; i < 20; ++i) {
        fprint_info e = entry("renamer", ("r" + std::to_string(i)).c_str(), static_cast<uint16_t>(i));
        ASSERT_EQ(tvp_add_fprint_info(dev, &e), 0);
    }
    std::thread adder([&] {
        for (int i = 0; i < 25; ++i) {
            fprint_info e = entry("adder", ("a" + std::to_string(i)).c_str(), static_cast<uint16_t>(100 + i));
            EXPECT_EQ(tvp_add_fprint_info(dev, &e), 0);
        }
    });
    std::thread renamer([&] {
        for (int i = 0; i < 20; ++i) {
            fprint_info *found = nullptr;
            const std::string old_name = "r" + std::to_string(i);
            int index = tvp_find_fprint_info(dev, "renamer", old_name.c_str(), &found);
            ASSERT_NE(index, 0);
            fprint_info renamed = *found;
            snprintf(renamed.fprint_name, sizeof(renamed.fprint_name), "renamed-%d", i);
            EXPECT_EQ(tvp_set_fprint_info(dev, index, &renamed), 0);
        }
    });
    adder.join();
    renamer.join();
    int added = 0;
    int renamed = 0;
    for (const auto &e : reload()) {
        added += std::string(e.user_id) == "adder";
        renamed += std::string(e.fprint_name).rfind("renamed-", 0) == 0;
    }
    EXPECT_EQ(added, 25);
    EXPECT_EQ(renamed, 20);
}

TEST_F(ListStore, HandEditedValueEndingInCarriageReturnLoadsAsTheFileWillKeepIt)
{
    tvunit::write_file(
        conf.file("tvplist.conf"),
        "[UserFprint-1]\r\nenable=true\r\nuser_id=alice\r\r\nfprint_name=thumb\r\nfprint_id=90\r\n");
    auto first = reload();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_STREQ(first[0].user_id, "alice");
    // Saved back and loaded again, the entry is the same.
    ASSERT_EQ(tvp_get_fprint_list(dev), 0);
    fprint_info other = entry("bob", "index", 91);
    ASSERT_EQ(tvp_add_fprint_info(dev, &other), 0);
    auto second = reload();
    ASSERT_EQ(second.size(), 2u);
    EXPECT_STREQ(second[0].user_id, "alice");
    EXPECT_STREQ(second[0].fprint_name, "thumb");
}

TEST_F(ListStore, TableIsCurrentUntilTheFileChangesBehindIt)
{
    ASSERT_EQ(tvp_conf_init(), 0);
    ASSERT_EQ(tvp_get_fprint_list(dev), 0);
    EXPECT_TRUE(tvp_fprint_list_is_current());
    fprint_info e = entry("u", "f", 90);
    ASSERT_EQ(tvp_add_fprint_info(dev, &e), 0);
    EXPECT_TRUE(tvp_fprint_list_is_current()) << "our own save keeps the table current";
    // An administrator edits the file by hand.
    tvunit::write_file(conf.file("tvplist.conf"), file_text() + "\n# edited\n");
    EXPECT_FALSE(tvp_fprint_list_is_current());
    ASSERT_EQ(tvp_get_fprint_list(dev), 0);
    EXPECT_TRUE(tvp_fprint_list_is_current());
}

TEST_F(ListStore, KillDuringSavesLeavesALoadableFile)
{
    ASSERT_EQ(tvp_conf_init(), 0);
    for (int round = 0; round < 20; ++round) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Writer: saves as fast as it can until it is killed.
            for (int i = 0;; ++i) {
                fprint_info e =
                    entry("w", ("f" + std::to_string(i % 40)).c_str(), static_cast<uint16_t>(i % 40));
                tvp_set_fprint_info(dev, 1 + (i % 40), &e);
            }
        }
        usleep(static_cast<useconds_t>(2000 + (round * 1700) % 15000));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        g_autoptr(GKeyFile) key_file = g_key_file_new();
        g_autoptr(GError) error = nullptr;
        EXPECT_TRUE(
            g_key_file_load_from_file(key_file, conf.file("tvplist.conf").c_str(), G_KEY_FILE_NONE, &error))
            << "round " << round << ": " << (error ? error->message : "");
    }
}
