// tirvanectl against the real service and the emulated module.
#include "flow_helpers.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tvtest;

namespace
{

// A tirvanectl process with its output collected in a file.
class Ctl : public ClientProcess
{
  public:
    Ctl(ServiceHarness &h, const std::vector<std::string> &args) : ClientProcess(h, with_program(args)) {}

  private:
    static std::vector<std::string> with_program(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{TIRVANE_CTL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
};

int run(ServiceHarness &h, const std::vector<std::string> &args, std::string *output = nullptr)
{
    Ctl ctl(h, args);
    const int status = ctl.wait(h);
    if (output != nullptr) {
        *output = ctl.output();
    }
    return status;
}

} // namespace

TEST(Tirvanectl, EnrolVerifyListRenameDelete)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;

    Ctl enrol(h, {"--timeout", "60", "enroll", "alice", "right-thumb"});
    ASSERT_TRUE(h.wait_signals("enrollStatusChanged", 1, 10000));
    ASSERT_TRUE(touch_and_wait(h, "a-thumb"));
    ASSERT_TRUE(touch_and_wait(h, "a-thumb quality"));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(touch_and_wait(h, "a-thumb"));
    }
    EXPECT_EQ(enrol.wait(h), 0) << enrol.output();
    const std::string enrol_out = enrol.output();
    for (const char *line : {"enrolling: 16%", "enrolling: 96%", "enrolling: 100%", "enrolled",
                             "retry: poor quality, clean the sensor / press again"}) {
        EXPECT_NE(enrol_out.find(line), std::string::npos) << line << "\n" << enrol_out;
    }

    Ctl match(h, {"--timeout", "30", "verify", "alice"});
    ASSERT_TRUE(
        h.wait_for([&] { return h.emu().command("pending").find("identify") != std::string::npos; }, 10000));
    ASSERT_TRUE(h.emu().ok("touch a-thumb"));
    EXPECT_EQ(match.wait(h), 0) << match.output();
    EXPECT_NE(match.output().find("match"), std::string::npos);
    ASSERT_TRUE(h.wait_for([&] { return !identify_pending(h); }, bound_ms(5000)));

    Ctl nomatch(h, {"--timeout", "30", "--once", "verify", "alice"});
    ASSERT_TRUE(
        h.wait_for([&] { return h.emu().command("pending").find("identify") != std::string::npos; }, 10000));
    ASSERT_TRUE(h.emu().ok("touch mallory"));
    EXPECT_EQ(nomatch.wait(h), 1) << nomatch.output();
    EXPECT_NE(nomatch.output().find("no match"), std::string::npos);

    std::string out;
    EXPECT_EQ(run(h, {"list", "alice"}, &out), 0);
    EXPECT_EQ(out, "right-thumb\n");
    EXPECT_EQ(run(h, {"rename", "alice", "right-thumb", "thumb"}, &out), 0) << out;
    EXPECT_EQ(run(h, {"list", "alice"}, &out), 0);
    EXPECT_EQ(out, "thumb\n");
    EXPECT_EQ(run(h, {"info"}, &out), 0);
    EXPECT_NE(out.find("device name: tvp2388"), std::string::npos) << out;
    EXPECT_NE(run(h, {"delete", "alice", "no-such-finger"}, &out), 0) << out;
    // The stopped verification lets go of the module before the deletion needs it.
    ASSERT_TRUE(h.wait_for([&] { return !identify_pending(h); }, bound_ms(5000)));
    EXPECT_EQ(run(h, {"delete", "alice", "thumb"}, &out), 0) << out;
    EXPECT_EQ(run(h, {"list", "alice"}, &out), 0);
    EXPECT_EQ(out, "");
}

TEST(Tirvanectl, ServiceNotRunningIsOneClearLine)
{
    ServiceHarness h; // a bus without the service
    std::string out;
    const int status = run(h, {"list", "alice"}, &out);
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("is not running"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

TEST(Tirvanectl, InvalidArgumentsAreReported)
{
    ServiceHarness h;
    ASSERT_TRUE(h.start()) << h.error;
    std::string out;
    const int status = run(h, {"enroll", std::string(120, 'u'), "thumb"}, &out);
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("invalid arguments"), std::string::npos) << out;
}
