// The desktop interface's terms for the core's: whose fingers a username
// means, and what each status of the core is called there.
#include "fprint/fprint-names.h"
#include "tirvane-server.h"

#include <gtest/gtest.h>
#include <map>

namespace
{

// NSS with two users, one of them named with digits only.
fprint::UserLookup fake_nss()
{
    static const std::map<std::string, uid_t> users = {{"alice", 1000}, {"1001", 1002}};
    fprint::UserLookup lookup;
    lookup.name_of = [](uid_t uid) {
        for (const auto &[name, id] : users) {
            if (id == uid) {
                return name;
            }
        }
        return std::string();
    };
    lookup.uid_of = [](const std::string &name, uid_t *uid) {
        auto it = users.find(name);
        if (it == users.end()) {
            return false;
        }
        *uid = it->second;
        return true;
    };
    return lookup;
}

struct UserCase {
    const char *username;
    uid_t caller;
    bool resolves;
    const char *store_id;
    const char *other_id;
    bool own;
};

class ResolveUser : public ::testing::TestWithParam<UserCase>
{
};

TEST_P(ResolveUser, NamesTheFingersOfTheRightUser)
{
    const UserCase &c = GetParam();
    fprint::UserIds user;
    ASSERT_EQ(fprint::resolve_user(c.username, c.caller, fake_nss(), &user), c.resolves);
    if (!c.resolves) {
        return;
    }
    EXPECT_EQ(user.store_id(), c.store_id);
    EXPECT_EQ(user.other_id(), c.other_id);
    EXPECT_EQ(fprint::is_callers_own(user, c.caller), c.own);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveUser,
    ::testing::Values(UserCase{"", 1000, true, "alice", "1000", true},       // the caller itself
                      UserCase{"alice", 1000, true, "alice", "1000", true},  // by name
                      UserCase{"1000", 1000, true, "alice", "1000", true},   // by uid
                      UserCase{"alice", 1002, true, "alice", "1000", false}, // someone else's
                      UserCase{"", 4242, true, "4242", "", true},            // a uid without a name
                      UserCase{"ghost", 1000, true, "ghost", "", false},     // a name without a uid
                      // A user named with digits is never found under that name:
                      // "1001" means uid 1001, and uid 1002's name is not used either.
                      UserCase{"1001", 1002, true, "1001", "", false},
                      UserCase{"", 1002, true, "1002", "", true},
                      UserCase{"99999999999", 0, false, "", "", false}));

TEST(MergeFingerLists, EachFingerOnceStoreIdFirst)
{
    EXPECT_EQ(fprint::merge_finger_lists({"right-thumb", "thumb1"}, {"left-thumb", "right-thumb"}),
              (std::vector<std::string>{"right-thumb", "thumb1", "left-thumb"}));
}

TEST(StandardFingers, TenNamesAndNotAny)
{
    EXPECT_EQ(fprint::standard_fingers().size(), 10u);
    EXPECT_TRUE(fprint::is_standard_finger("right-little-finger"));
    EXPECT_FALSE(fprint::is_standard_finger("any"));
    EXPECT_FALSE(fprint::is_standard_finger("Right-thumb"));
}

struct StatusCase {
    bool enroll;
    int code;
    int value;
    const char *result;
    bool done;
    bool stop_core;
};

class Statuses : public ::testing::TestWithParam<StatusCase>
{
};

TEST_P(Statuses, SayWhatTheInterfaceDocuments)
{
    const StatusCase &c = GetParam();
    const fprint::Status s =
        c.enroll ? fprint::enroll_status(c.code, c.value) : fprint::verify_status(c.code, c.value);
    EXPECT_EQ(s.result, c.result);
    EXPECT_EQ(s.done, c.done);
    EXPECT_EQ(s.stop_core, c.stop_core);
}

INSTANTIATE_TEST_SUITE_P(
    Verify, Statuses,
    ::testing::Values(StatusCase{false, TVP_VERIFY_STATUS_MATCH, 0, "verify-match", true, false},
                      StatusCase{false, TVP_VERIFY_STATUS_NOMATCH, 3, "verify-no-match", true, false},
                      StatusCase{false, TVP_VERIFY_STAGE_RETRY, 1, "verify-swipe-too-short", false, false},
                      StatusCase{false, TVP_VERIFY_STAGE_RETRY, 2, "verify-finger-not-centered", false,
                                 false},
                      StatusCase{false, TVP_VERIFY_STAGE_RETRY, 3, "verify-remove-and-retry", false, false},
                      StatusCase{false, TVP_VERIFY_STAGE_RETRY, 4, "verify-retry-scan", false, false},
                      // The core would wait for the module to return; the client is told it is gone.
                      StatusCase{false, TVP_VERIFY_STAGE_DISCONNECTED, 0, "verify-disconnected", true, true},
                      // Locked out after failed touches, or busy.
                      StatusCase{false, TVP_VERIFY_STAGE_ERROR, 5, "verify-unknown-error", true, true},
                      StatusCase{false, TVP_VERIFY_STAGE_ERROR, 1, "verify-unknown-error", true, true}));

INSTANTIATE_TEST_SUITE_P(
    Enroll, Statuses,
    ::testing::Values(StatusCase{true, TVP_ENROLL_STAGE_PASSED, 0, "", false, false}, // the start, no capture
                      StatusCase{true, TVP_ENROLL_STAGE_PASSED, 16, "enroll-stage-passed", false, false},
                      StatusCase{true, TVP_ENROLL_STAGE_RETRY, 1, "enroll-swipe-too-short", false, false},
                      StatusCase{true, TVP_ENROLL_STAGE_RETRY, 2, "enroll-retry-scan", false, false},
                      StatusCase{true, TVP_ENROLL_STAGE_RETRY, 3, "enroll-remove-and-retry", false, false},
                      StatusCase{true, TVP_ENROLL_STAGE_RETRY, 4, "enroll-duplicate", true, true},
                      StatusCase{true, TVP_ENROLL_STAGE_RETRY, 6, "enroll-retry-scan", false, false},
                      StatusCase{true, TVP_ENROLL_STATUS_SUCCESS, 0, "enroll-completed", true, false},
                      StatusCase{true, TVP_ENROLL_STATUS_FAILED, 4, "enroll-data-full", true, false},
                      StatusCase{true, TVP_ENROLL_STATUS_FAILED, 3, "enroll-failed", true, false},
                      StatusCase{true, TVP_ENROLL_STATUS_FAILED, 1, "enroll-failed", true, false},
                      StatusCase{true, TVP_ENROLL_STAGE_DISCONNECTED, 0, "enroll-disconnected", true,
                                 false}));

} // namespace
