// The desktop's own PAM module, pam_fprintd from Debian's libpam-fprintd,
// under pam_wrapper against the real service's standard interface and the
// emulated module: it must log a user in with this reader unchanged.
#include "pam_harness.h"

using namespace tvpam;
using tvtest::DaemonOptions;

namespace
{

constexpr const char *kDesktopList =
    "[UserFprint-1]\nenable=true\nuser_id=alice\nfprint_name=right-thumb\nfprint_id=90\n";

class Fprintd : public PamTest
{
  public:
    void SetUp() override
    {
        if (access(TIRVANE_PAM_FPRINTD, R_OK) != 0) {
            GTEST_SKIP() << "pam_fprintd.so is not installed (Debian package libpam-fprintd)";
        }
        PamTest::SetUp();
        DaemonOptions options;
        options.list_conf = kDesktopList;
        options.write_list_conf = true;
        ASSERT_TRUE(h.start(options)) << h.error;
        ASSERT_TRUE(h.emu().ok("store 90 alice-thumb"));
        ASSERT_TRUE(h.wait_for([&] { return log_count("desktop interface: device") > 0; }, 10000));
    }
    size_t verify_starts() const
    {
        return log_count("VerifyStart from");
    }
};

} // namespace

TEST_F(Fprintd, MatchingFingerLogsIn)
{
    PamRun run("fprintd", "alice");
    ASSERT_TRUE(wait_identify_pending());
    ASSERT_TRUE(h.emu().ok("touch alice-thumb"));
    ASSERT_TRUE(wait_done(run, 10000));
    EXPECT_EQ(run.result(), PAM_SUCCESS) << pam_strerror(nullptr, run.result());
    // The claim ends with the module's connection, released or dropped.
    EXPECT_TRUE(
        h.wait_for([&] { return log_count("device released by") + log_count("dropped.") == 1; }, 5000));
}

TEST_F(Fprintd, StrangerGivesUpAfterMaxTries)
{
    PamRun run("fprintd", "alice"); // max-tries=2
    for (size_t attempt = 1; attempt <= 2; ++attempt) {
        ASSERT_TRUE(
            h.wait_for([&] { return verify_starts() >= attempt && tvtest::identify_pending(h); }, 10000))
            << "attempt " << attempt;
        ASSERT_TRUE(h.emu().ok("touch mallory-thumb"));
        ASSERT_TRUE(h.wait_for([&] { return log_count("verify-no-match") >= attempt; }, 5000));
    }
    ASSERT_TRUE(wait_done(run, 10000));
    EXPECT_NE(run.result(), PAM_SUCCESS);
    EXPECT_NE(run.result(), PAM_AUTHINFO_UNAVAIL) << "a refused finger is not an absent reader";
    EXPECT_EQ(verify_starts(), 2u);
}

TEST_F(Fprintd, ServiceLeavingFallsThrough)
{
    PamRun run("fprintd", "alice");
    ASSERT_TRUE(wait_identify_pending());
    h.stop_daemon();
    ASSERT_TRUE(wait_done(run, 10000));
    EXPECT_NE(run.result(), PAM_SUCCESS);
    // Well within its own time-out: the next line of the stack (a password) is asked at once.
    EXPECT_LT(run.elapsed(), std::chrono::seconds(8));
}

TEST_F(Fprintd, UserWithoutFingersIsNotAsked)
{
    PamRun run("fprintd", "bob");
    ASSERT_TRUE(wait_done(run, 10000));
    EXPECT_NE(run.result(), PAM_SUCCESS);
    EXPECT_EQ(verify_starts(), 0u);
}

int main(int argc, char **argv)
{
    if (getenv("PAM_WRAPPER") == nullptr) {
        return reexec_under_pam_wrapper(argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
