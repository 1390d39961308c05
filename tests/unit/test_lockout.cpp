// The lock-out after failed touches, on a clock the test moves.
#include "common.h"
#include "tirvane-server-lockout.h"
#include "unit_support.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

int64_t fake_now = 0;

int64_t fake_clock(void)
{
    return fake_now;
}

class LockoutTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        set_printf_log_grade(2);
        fake_now = 1000000;
        tvp_lockout_set_clock(fake_clock);
        tvp_lockout_reset_all();
        tvp_lockout_set_policy(kDefaultLockoutPolicy);
    }
    void TearDown() override
    {
        tvp_lockout_reset_all();
        tvp_lockout_set_clock(nullptr);
        set_printf_log_grade(0);
    }
    // Fails `n` touches; the index (1-based) of the one that locked, 0 when none did.
    static int fail(const char *user, int n)
    {
        int locked_at = 0;
        for (int i = 1; i <= n; ++i) {
            if (tvp_lockout_note_failure(user) && locked_at == 0) {
                locked_at = i;
            }
        }
        return locked_at;
    }
    static void advance_s(double s)
    {
        fake_now += static_cast<int64_t>(s * 1000);
    }
    std::string log() const
    {
        return tvunit::read_file(conf.file("log_tvp.txt"));
    }
    tvunit::TempConfDir conf;
};

} // namespace

TEST_F(LockoutTest, FifthConsecutiveFailureLocksForThirtySeconds)
{
    EXPECT_EQ(fail("alice", 4), 0);
    EXPECT_FALSE(tvp_lockout_active("alice"));
    EXPECT_TRUE(tvp_lockout_note_failure("alice"));
    int left = 0;
    ASSERT_TRUE(tvp_lockout_active("alice", &left));
    EXPECT_EQ(left, 30);
    advance_s(29.9);
    EXPECT_TRUE(tvp_lockout_active("alice", &left));
    EXPECT_EQ(left, 1);
    advance_s(0.1);
    EXPECT_FALSE(tvp_lockout_active("alice"));
    EXPECT_NE(log().find("user alice is locked out for 30 s after 5 failed touches.\n"), std::string::npos);
    EXPECT_NE(log().find("the lock-out of user alice has ended.\n"), std::string::npos);
}

TEST_F(LockoutTest, FurtherRunsDoubleUpToTheCap)
{
    tvp_lockout_set_policy({5, 30, 100});
    const std::vector<int> expected = {30, 60, 100, 100};
    for (size_t run = 0; run < expected.size(); ++run) {
        ASSERT_EQ(fail("alice", 5), 5) << "run " << run + 1;
        int left = 0;
        ASSERT_TRUE(tvp_lockout_active("alice", &left));
        EXPECT_EQ(left, expected[run]) << "run " << run + 1;
        advance_s(expected[run]);
        EXPECT_FALSE(tvp_lockout_active("alice"));
    }
}

TEST_F(LockoutTest, MatchForgetsCountAndGrowth)
{
    EXPECT_EQ(fail("alice", 4), 0);
    tvp_lockout_note_match("alice");
    EXPECT_EQ(fail("alice", 4), 0) << "the count starts again after a match";
    EXPECT_EQ(fail("alice", 1), 1);
    advance_s(30);
    tvp_lockout_note_match("alice");
    EXPECT_EQ(fail("alice", 5), 5);
    int left = 0;
    ASSERT_TRUE(tvp_lockout_active("alice", &left));
    EXPECT_EQ(left, 30) << "a match also forgets earlier lock-outs";
}

TEST_F(LockoutTest, UsersAreCountedApart)
{
    EXPECT_EQ(fail("alice", 4), 0);
    EXPECT_EQ(fail("bob", 4), 0);
    EXPECT_EQ(fail("alice", 1), 1);
    EXPECT_FALSE(tvp_lockout_active("bob"));
    EXPECT_FALSE(tvp_lockout_active("1001")) << "no record, no lock-out";
}

TEST_F(LockoutTest, FailuresDuringALockOutDoNotCount)
{
    EXPECT_EQ(fail("alice", 5), 5);
    EXPECT_EQ(fail("alice", 10), 0);
    advance_s(30);
    EXPECT_EQ(fail("alice", 4), 0) << "the next run starts from zero";
    int left = 0;
    EXPECT_EQ(fail("alice", 1), 1);
    ASSERT_TRUE(tvp_lockout_active("alice", &left));
    EXPECT_EQ(left, 60);
}

TEST_F(LockoutTest, ZeroTurnsItOff)
{
    const TvpLockoutPolicy off[] = {{0, 30, 600}, {5, 0, 600}};
    for (const auto &policy : off) {
        tvp_lockout_set_policy(policy);
        EXPECT_EQ(fail("alice", 50), 0) << policy.failures << "/" << policy.seconds;
        EXPECT_FALSE(tvp_lockout_active("alice"));
    }
}

TEST_F(LockoutTest, ManyInventedIdsDoNotGrowWithoutBound)
{
    // Each id fails once; the table drops the oldest that are not locked, and
    // an id that is locked out stays so.
    EXPECT_EQ(fail("alice", 5), 5);
    for (int i = 0; i < 2000; ++i) {
        fail(("id" + std::to_string(i)).c_str(), 1);
        advance_s(0.001);
    }
    EXPECT_TRUE(tvp_lockout_active("alice"));
}
