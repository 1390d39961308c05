// The hot-plug monitor's pause after failing passes of the event loop.
#include "tirvane_common.h"

#include <gtest/gtest.h>
#include <libusb.h>
#include <vector>

namespace
{

struct Pass {
    int result;
    unsigned pause_ms;
    TVP_HOTPLUG_LOG log;
};

struct BackoffCase {
    const char *name;
    std::vector<Pass> passes;
};

constexpr int kIo = LIBUSB_ERROR_IO;
constexpr int kIntr = LIBUSB_ERROR_INTERRUPTED;
constexpr int kOk = LIBUSB_SUCCESS;

const BackoffCase kCases[] = {
    {"HealthyLoopNeverPauses", {{kOk, 0, TVP_HOTPLUG_LOG::NONE}, {kOk, 0, TVP_HOTPLUG_LOG::NONE}}},
    {"PauseDoublesUpToFiveSecondsAndTheErrorIsLoggedOnce",
     {{kIo, 100, TVP_HOTPLUG_LOG::ERROR},
      {kIo, 200, TVP_HOTPLUG_LOG::NONE},
      {kIo, 400, TVP_HOTPLUG_LOG::NONE},
      {kIo, 800, TVP_HOTPLUG_LOG::NONE},
      {kIo, 1600, TVP_HOTPLUG_LOG::NONE},
      {kIo, 3200, TVP_HOTPLUG_LOG::NONE},
      {kIo, 5000, TVP_HOTPLUG_LOG::NONE},
      {kIo, 5000, TVP_HOTPLUG_LOG::NONE}}},
    {"SuccessEndsThePauseAndTheNextFailureStartsOver",
     {{kIo, 100, TVP_HOTPLUG_LOG::ERROR},
      {kIo, 200, TVP_HOTPLUG_LOG::NONE},
      {kOk, 0, TVP_HOTPLUG_LOG::RECOVERED},
      {kOk, 0, TVP_HOTPLUG_LOG::NONE},
      {kIo, 100, TVP_HOTPLUG_LOG::ERROR}}},
    {"AnotherErrorIsLoggedWithoutResettingThePause",
     {{kIo, 100, TVP_HOTPLUG_LOG::ERROR},
      {kIntr, 200, TVP_HOTPLUG_LOG::ERROR},
      {kIntr, 400, TVP_HOTPLUG_LOG::NONE}}},
    // A positive result is a success too (the library returns 0, but nothing
    // below 0 is an error).
    {"PositiveResultCountsAsSuccess",
     {{kIo, 100, TVP_HOTPLUG_LOG::ERROR}, {1, 0, TVP_HOTPLUG_LOG::RECOVERED}}},
};

class HotplugBackoff : public ::testing::TestWithParam<BackoffCase>
{
};

} // namespace

TEST_P(HotplugBackoff, PausesAndLogsAsExpected)
{
    tvp_hotplug_backoff b;
    unsigned failures = 0;
    int n = 0;
    for (const Pass &p : GetParam().passes) {
        EXPECT_EQ(tvp_hotplug_backoff_note(&b, p.result), p.log) << "pass " << n;
        EXPECT_EQ(b.pause_ms, p.pause_ms) << "pass " << n;
        failures = p.result < 0 ? failures + 1 : 0;
        EXPECT_EQ(b.failures, failures) << "pass " << n;
        ++n;
    }
}

INSTANTIATE_TEST_SUITE_P(Monitor, HotplugBackoff, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(HotplugBackoffBound, PersistentErrorStaysAtTheCapAndLogsOnlyOnce)
{
    tvp_hotplug_backoff b;
    int logged = 0;
    for (int i = 0; i < 10000; ++i) {
        logged += tvp_hotplug_backoff_note(&b, LIBUSB_ERROR_NO_MEM) == TVP_HOTPLUG_LOG::ERROR ? 1 : 0;
        ASSERT_LE(b.pause_ms, TVP_HOTPLUG_PAUSE_MAX_MS);
        ASSERT_GE(b.pause_ms, TVP_HOTPLUG_PAUSE_FIRST_MS);
    }
    EXPECT_EQ(logged, 1);
    EXPECT_EQ(b.pause_ms, TVP_HOTPLUG_PAUSE_MAX_MS);
}
