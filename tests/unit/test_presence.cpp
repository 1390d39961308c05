// The presence owner's rule between hot-plug reports and probes that overlap them.
#include "tirvane_common-presence.h"
#include "tirvane_common.h"
#include "unit_support.h"

#include <gtest/gtest.h>
#include <map>
#include <ostream>
#include <vector>

namespace
{

// One step of an interleaving: a report, or the beginning or end of probe `probe`.
enum class Do { Arrive, Leave, Begin, End };

struct Step {
    Do what;
    char probe = ' ';   // Begin and End only
    bool found = false; // End only
};

Step arrive()
{
    return {Do::Arrive};
}
Step leave()
{
    return {Do::Leave};
}
Step begin(char probe)
{
    return {Do::Begin, probe};
}
Step end(char probe, bool found)
{
    return {Do::End, probe, found};
}

struct Interleaving {
    const char *name;
    bool present_at_start;
    std::vector<Step> steps;
    bool present_at_end;
    std::vector<bool> heard; // what the listener heard, in order
};

const Interleaving kInterleavings[] = {
    // The probe after a resume enumerates while the module re-enumerates: it
    // misses the module, hot-plug reports it back before the probe's verdict.
    {"ProbeThatMissedAReenumerationIsDropped",
     true,
     {begin('a'), leave(), arrive(), end('a', false)},
     true,
     {false, true}},
    {"ProbeThatMissedAnArrivalIsDropped", false, {begin('a'), arrive(), end('a', false)}, true, {true}},
    // It saw the old enumeration just before it went.
    {"ProbeThatFoundADepartedModuleIsDropped", true, {begin('a'), leave(), end('a', true)}, false, {false}},
    {"ProbeWithoutReportsDecides", true, {begin('a'), end('a', false)}, false, {false}},
    {"ReportBeforeTheProbeBeganDoesNotDropIt",
     true,
     {leave(), begin('a'), end('a', true)},
     true,
     {false, true}},
    {"OfOverlappingProbesTheOneBegunAfterTheReportDecides",
     false,
     {begin('a'), arrive(), begin('b'), end('a', false), end('b', false)},
     false,
     {true, false}},
    {"ProbesWithoutReportsBetweenThemBothCount",
     true,
     {begin('a'), begin('b'), end('b', false), end('a', true)},
     true,
     {false, true}},
    {"RepeatedReportsAreHeardOnce",
     false,
     {arrive(), arrive(), begin('a'), end('a', true), leave(), leave()},
     false,
     {true, false}},
};

void PrintTo(const Interleaving &c, std::ostream *os)
{
    *os << c.name;
}

std::vector<bool> heard;

void listen(bool present, void *data)
{
    EXPECT_EQ(data, &heard);
    heard.push_back(present);
}

class PresenceOrder : public ::testing::TestWithParam<Interleaving>
{
  protected:
    static void SetUpTestSuite()
    {
        tvp_presence_add_listener(listen, &heard);
    }
    void SetUp() override
    {
        dev = tvp_dev_new();
        dev_tirvane = dev;
        tvp_presence_init(GetParam().present_at_start);
        heard.clear();
    }
    void TearDown() override
    {
        dev_tirvane = nullptr;
        tvp_dev_free(dev);
    }
    tvp_dev *dev = nullptr;
};

TEST_P(PresenceOrder, LaterReportsWinOverEarlierProbes)
{
    const Interleaving &c = GetParam();
    std::map<char, TvpPresenceProbe> probes;
    for (const Step &s : c.steps) {
        switch (s.what) {
        case Do::Arrive:
            tvp_presence_arrived("hotplug");
            break;
        case Do::Leave:
            tvp_presence_left("hotplug");
            break;
        case Do::Begin:
            probes[s.probe] = tvp_presence_probe_begin();
            break;
        case Do::End: {
            // What the probe returns is what holds, whichever way the rule went.
            const bool returned = tvp_presence_probe_end(probes.at(s.probe), s.found, "probe");
            EXPECT_EQ(returned, tvp_module_present());
            break;
        }
        }
    }
    EXPECT_EQ(tvp_module_present(), c.present_at_end);
    EXPECT_EQ(dev->dev_num.load(), c.present_at_end ? 1 : 0) << "getDeviceCount reads the stored value";
    EXPECT_EQ(heard, c.heard);
}

INSTANTIATE_TEST_SUITE_P(Interleavings, PresenceOrder, ::testing::ValuesIn(kInterleavings),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
