// The fingerprint list store and its key file.
#include "common.h"
#include "tirvane_common.h"
#include "unit_support.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

    // The entries in use in the table, in index order.
    std::vector<fprint_info> table() const
    {
        fprint_info list[TVP_FPRINT_LIST_SIZE];
        tvp_copy_fprint_list(dev, list);
        std::vector<fprint_info> in_use;
        for (const auto &e : list) {
            if (e.enable == 1) {
                in_use.push_back(e);
            }
        }
        return in_use;
    }
    static std::vector<std::string> names(const std::vector<fprint_info> &entries)
    {
        std::vector<std::string> out;
        for (const auto &e : entries) {
            out.emplace_back(e.fprint_name);
        }
        return out;
    }

    tvunit::TempConfDir conf;
    tvp_dev *dev = nullptr;
};

bool same_entries(const std::vector<fprint_info> &a, const std::vector<fprint_info> &b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].fprint_id != b[i].fprint_id || strcmp(a[i].user_id, b[i].user_id) != 0 ||
            strcmp(a[i].fprint_name, b[i].fprint_name) != 0) {
            return false;
        }
    }
    return true;
}

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

// An enrolment's clean-up frees the slot's entry and its add reuses the index
// while renames, adds and deletions run on other threads. A rename that found
// its entry before the clean-up must never store it back over the new one.
TEST_F(ListStore, ConcurrentRenameAndEnrolWithCleanUpNeverWriteAStaleEntry)
{
    ASSERT_EQ(tvp_conf_init(), 0);
    constexpr int kSlots = 20;
    for (int i = 0; i < kSlots; ++i) {
        fprint_info e = entry("old", ("n" + std::to_string(i)).c_str(), static_cast<uint16_t>(i));
        ASSERT_EQ(tvp_add_fprint_info(dev, &e), 0);
    }
    std::atomic<int> dropping{-1};     // the clean-up of slots 0 to this one has begun
    std::atomic<int> dropped_upto{-1}; // slots 0 to this one no longer belong to "old"
    std::atomic<bool> done{false};
    std::atomic<int> stale_seen{0};
    std::atomic<int> renames{0};

    std::thread enroller([&] {
        for (int i = 0; i < kSlots; ++i) {
            std::vector<fprint_info> dropped;
            dropping.store(i);
            EXPECT_EQ(tvp_drop_fprint_info_byfprintid(dev, static_cast<uint16_t>(i), &dropped), 1) << i;
            dropped_upto.store(i);
            fprint_info e = entry("new", ("e" + std::to_string(i)).c_str(), static_cast<uint16_t>(i));
            EXPECT_EQ(tvp_add_fprint_info(dev, &e), 0) << i;
        }
        done.store(true);
    });
    std::thread renamer([&] {
        std::vector<std::string> current(kSlots);
        for (int i = 0; i < kSlots; ++i) {
            current[i] = "n" + std::to_string(i);
        }
        for (int round = 0; !done.load(); ++round) {
            for (int i = 0; i < kSlots; ++i) {
                const int upto = dropped_upto.load();
                const std::string next = "n" + std::to_string(i) + "-" + std::to_string(round);
                const int r = tvp_rename_fprint_info(dev, "old", current[i].c_str(), next.c_str());
                if (r == 0) {
                    current[i] = next;
                    renames.fetch_add(1);
                    if (i <= upto) {
                        stale_seen.fetch_add(1); // renamed an entry already dropped
                    }
                } else {
                    EXPECT_EQ(r, -2);
                    EXPECT_LE(i, dropping.load()) << "entry of slot " << i << " gone before its clean-up";
                }
            }
        }
    });
    std::thread churn([&] {
        for (int i = 0; !done.load(); ++i) {
            fprint_info e = entry("churn", "c", 200);
            EXPECT_EQ(tvp_add_fprint_info(dev, &e), 0);
            EXPECT_EQ(tvp_del_fprint_info(dev, "churn", "c"), 0);
        }
    });
    while (!done.load()) {
        const int upto = dropped_upto.load();
        for (const auto &e : table()) {
            if (strcmp(e.user_id, "old") == 0 && e.fprint_id <= upto) {
                stale_seen.fetch_add(1);
            }
        }
    }
    enroller.join();
    renamer.join();
    churn.join();
    EXPECT_EQ(stale_seen.load(), 0);
    EXPECT_GT(renames.load(), 0) << "the renamer never ran alongside";
    auto on_disk = reload();
    EXPECT_TRUE(same_entries(on_disk, table())) << "table and file differ";
    ASSERT_EQ(on_disk.size(), static_cast<size_t>(kSlots));
    // The churn's entry may have held a lower index when an add came: by slot.
    std::sort(on_disk.begin(), on_disk.end(),
              [](const fprint_info &a, const fprint_info &b) { return a.fprint_id < b.fprint_id; });
    for (int i = 0; i < kSlots; ++i) {
        EXPECT_STREQ(on_disk[i].user_id, "new") << i;
        EXPECT_EQ(on_disk[i].fprint_name, "e" + std::to_string(i));
        EXPECT_EQ(on_disk[i].fprint_id, i);
    }
}

// Two entries of one user carry the same name (a rename does not refuse a name
// in use); the clean-up of a slot frees the entry naming that slot, not the
// first entry of that name.
TEST_F(ListStore, CleanUpBySlotHitsTheEntryNamingIt)
{
    tvunit::write_file(conf.file("tvplist.conf"),
                       "[UserFprint-2]\nenable=true\nuser_id=u\nfprint_name=thumb\nfprint_id=96\n"
                       "[UserFprint-4]\nenable=true\nuser_id=u\nfprint_name=thumb\nfprint_id=95\n");
    ASSERT_EQ(tvp_get_fprint_list(dev), 0);
    std::vector<fprint_info> dropped;
    EXPECT_EQ(tvp_drop_fprint_info_byfprintid(dev, 95, &dropped), 1);
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].fprint_id, 95);
    const auto on_disk = reload();
    ASSERT_EQ(on_disk.size(), 1u);
    EXPECT_EQ(on_disk[0].fprint_id, 96);
    EXPECT_TRUE(same_entries(on_disk, table()));
    EXPECT_NE(file_text().find("[UserFprint-4]\nenable=false\nuser_id=u\nfprint_name=thumb\nfprint_id=95"),
              std::string::npos)
        << file_text();
    EXPECT_EQ(tvp_drop_fprint_info_byfprintid(dev, 95, nullptr), 0) << "nothing left naming the slot";
}

// A deletion the module refuses puts the entry back where it was, even when a
// lower index is free and the user meanwhile has another finger of that name.
TEST_F(ListStore, RefusedDeletionPutsTheEntryBackAtItsIndex)
{
    ASSERT_EQ(tvp_conf_init(), 0);
    fprint_info f[4];
    for (int i = 0; i < 4; ++i) {
        f[i] = entry("u", ("f" + std::to_string(i + 1)).c_str(), static_cast<uint16_t>(90 + i));
        ASSERT_EQ(tvp_add_fprint_info(dev, &f[i]), 0);
    }
    ASSERT_EQ(tvp_del_fprint_info_at(dev, 1, &f[0]), 0);
    ASSERT_EQ(tvp_del_fprint_info_at(dev, 3, &f[2]), 0);
    ASSERT_EQ(tvp_rename_fprint_info(dev, "u", "f2", "f3"), 0);
    EXPECT_EQ(tvp_restore_fprint_info_at(dev, 3, &f[2]), 0);
    EXPECT_EQ(names(reload()), (std::vector<std::string>{"f3", "f3", "f4"}));
    EXPECT_TRUE(same_entries(reload(), table()));
    fprint_info restored{};
    ASSERT_TRUE(tvp_copy_fprint_info_byfprintid(dev, 92, &restored));
    EXPECT_EQ(tvp_copy_fprint_info(dev, "u", "f3", &restored), 2) << "the lower index of that name";
    EXPECT_EQ(tvp_get_empty_fprint_info(dev), 1) << "the lower free index stays free";
    // An index that no longer holds the expected entry is not deleted.
    EXPECT_EQ(tvp_del_fprint_info_at(dev, 2, &f[1]), -2);
    EXPECT_EQ(reload().size(), 3u);
    // An index taken meanwhile is not overwritten: the entry goes to a free one.
    ASSERT_EQ(tvp_del_fprint_info_at(dev, 4, &f[3]), 0);
    fprint_info x1 = entry("v", "x1", 100);
    fprint_info x2 = entry("v", "x2", 101);
    ASSERT_EQ(tvp_add_fprint_info(dev, &x1), 0);
    ASSERT_EQ(tvp_add_fprint_info(dev, &x2), 0);
    EXPECT_EQ(tvp_restore_fprint_info_at(dev, 4, &f[3]), 0);
    EXPECT_EQ(names(reload()), (std::vector<std::string>{"x1", "f3", "f3", "x2", "f4"}));
}

namespace
{

// Ways the list file cannot be written. Tests run as root, for whom a read-only
// directory is no obstacle.
enum class Unwritable {
    FileIsADirectory, // the file cannot even be read
    FileSizeLimit,    // the file reads, the save of the new file fails
};

struct StoreWrite {
    const char *name;
    std::function<int(tvp_dev *)> run;
};

fprint_info make_entry(const char *user, const char *finger, uint16_t slot)
{
    fprint_info e{};
    e.enable = 1;
    snprintf(e.user_id, sizeof(e.user_id), "%s", user);
    snprintf(e.fprint_name, sizeof(e.fprint_name), "%s", finger);
    e.fprint_id = slot;
    return e;
}

const StoreWrite kStoreWrites[] = {
    {"add",
     [](tvp_dev *d) {
         fprint_info e = make_entry("u", "new", 99);
         return tvp_add_fprint_info(d, &e);
     }},
    {"set",
     [](tvp_dev *d) {
         fprint_info e = make_entry("u", "other", 98);
         return tvp_set_fprint_info(d, 1, &e);
     }},
    {"delete_by_name", [](tvp_dev *d) { return tvp_del_fprint_info(d, "u", "f1"); }},
    {"delete_at_index",
     [](tvp_dev *d) {
         fprint_info e = make_entry("u", "f1", 90);
         return tvp_del_fprint_info_at(d, 1, &e);
     }},
    {"restore_at_index",
     [](tvp_dev *d) {
         fprint_info e = make_entry("u", "f3", 92);
         return tvp_restore_fprint_info_at(d, 3, &e);
     }},
    {"rename", [](tvp_dev *d) { return tvp_rename_fprint_info(d, "u", "f1", "renamed"); }},
    {"drop_by_slot", [](tvp_dev *d) { return tvp_drop_fprint_info_byfprintid(d, 90, nullptr); }},
};

class FailedSave : public ListStore, public ::testing::WithParamInterface<std::tuple<Unwritable, StoreWrite>>
{
};

} // namespace

TEST_P(FailedSave, IsReportedAndLeavesFileAndTable)
{
    const auto &[how, write] = GetParam();
    ASSERT_EQ(tvp_conf_init(), 0);
    for (int i = 0; i < 2; ++i) {
        fprint_info e = entry("u", ("f" + std::to_string(i + 1)).c_str(), static_cast<uint16_t>(90 + i));
        ASSERT_EQ(tvp_add_fprint_info(dev, &e), 0);
    }
    const std::string text = file_text();
    const auto before = table();
    const std::string path = conf.file("tvplist.conf");
    int result = 0;
    if (how == Unwritable::FileIsADirectory) {
        ASSERT_EQ(unlink(path.c_str()), 0);
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        result = write.run(dev);
        ASSERT_EQ(rmdir(path.c_str()), 0);
        tvunit::write_file(path, text);
    } else {
        // A limit below the file's size: the new file cannot be written out.
        struct rlimit old_limit {
        };
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
        struct sigaction ignore {
        }, old_action{};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &old_action);
        struct rlimit small = old_limit;
        small.rlim_cur = 16;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        result = write.run(dev);
        setrlimit(RLIMIT_FSIZE, &old_limit);
        sigaction(SIGXFSZ, &old_action, nullptr);
        EXPECT_EQ(file_text(), text) << "the file is unchanged";
    }
    EXPECT_EQ(result, -1) << "the caller is told";
    EXPECT_TRUE(same_entries(table(), before)) << "the table is unchanged";
    EXPECT_TRUE(same_entries(reload(), table())) << "table and file agree";
}

INSTANTIATE_TEST_SUITE_P(Writes, FailedSave,
                         ::testing::Combine(::testing::Values(Unwritable::FileIsADirectory,
                                                              Unwritable::FileSizeLimit),
                                            ::testing::ValuesIn(kStoreWrites)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param) == Unwritable::FileIsADirectory
                                                    ? "Directory_"
                                                    : "SizeLimit_") +
                                    std::get<1>(info.param).name;
                         });
