// Automatic identification and the one-key result against the fake transport.
#include "fake_module.h"

#include <atomic>
#include <thread>

namespace
{

using DriverIdentify = DriverTest;

Bytes report(const Bytes &payload)
{
    return resp(payload);
}

struct Buffer {
    uint16_t ids[FP_SEARCH_ID_MAX];
    Buffer()
    {
        std::fill(std::begin(ids), std::end(ids), 0xFFFF);
    }
};

struct IdentifyCase {
    const char *name;
    std::vector<Bytes> replies;
    int timeout_ms;
    int result;
    std::vector<uint16_t> ids; // expected leading entries of the caller's buffer
    int flag;
    const char *log;
};

TEST_F(DriverIdentify, IdentificationTable)
{
    const IdentifyCase cases[] = {
        {"single match",
         {report(H("00 00")), report(H("00 01")), report(H("00 05 00 60 01 23"))},
         0,
         0,
         {0x0060, 0xFFFF},
         FP_CONTROL_FLAG_IDLE,
         "search_result = 0x00, search_num = 1, search_id[0] = 0x0060 !!!\r\n"},
        {"list of two",
         {report(H("00 00")), concat({report(H("00 01")), report(H("00 F5 02 5A 61"))})},
         0,
         0,
         {90, 97, 0xFFFF},
         FP_CONTROL_FLAG_IDLE,
         nullptr},
        {"no match copies nothing",
         {report(H("00 00")), report(H("00 01")), report(H("09 F5 00"))},
         0,
         0,
         {0xFFFF},
         FP_CONTROL_FLAG_IDLE,
         "not search id 65535 !!!\n"},
        {"single report with no match copies nothing",
         {report(H("00 00")), report(H("09 05 00 60 00 00"))},
         0,
         0,
         {0xFFFF},
         FP_CONTROL_FLAG_IDLE,
         "not search id 65535 !!!\n"},
        {"request refused",
         {report(H("01 00"))},
         0,
         -1,
         {0xFFFF},
         FP_CONTROL_FLAG_IDLE,
         "not received PROT_RESP_OK!!!\r\n"},
        {"silent module", {}, 0, -1, {0xFFFF}, FP_CONTROL_FLAG_IDLE, "validity_check_result = 0xff !!!\r\n"},
        {"check fails while waiting",
         {report(H("00 00")), report(H("02 00"))},
         0,
         -1,
         {0xFFFF},
         FP_CONTROL_FLAG_IDLE,
         "validity_check_result = 0x02 !!!\r\n"},
        {"time limit",
         {report(H("00 00"))},
         3000,
         -1,
         {0xFFFF},
         FP_CONTROL_FLAG_TIMEOUT,
         "identify timeout.\n"},
        {"list of 40 fills the buffer",
         {report(H("00 00")), report([] {
              Bytes b = {0x00, 0xF5, 40};
              for (int i = 0; i < 40; ++i) {
                  b.push_back(static_cast<uint8_t>(i));
              }
              return b;
          }())},
         0,
         0,
         {0, 1, 2},
         FP_CONTROL_FLAG_IDLE,
         nullptr},
    };
    for (const IdentifyCase &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        fp_module_init();
        for (const Bytes &r : c.replies) {
            fake::reply(r);
        }
        Buffer buf;
        LogCapture log;
        EXPECT_EQ(fp_auto_identify(3, 0xFFFF, 3, buf.ids, c.timeout_ms), c.result);
        for (size_t i = 0; i < c.ids.size(); ++i) {
            EXPECT_EQ(buf.ids[i], c.ids[i]) << i;
        }
        EXPECT_EQ(fp_get_ctrlFlag(), c.flag);
        EXPECT_EQ(get_onekey_powerup_flag(), 0);
        if (c.log != nullptr) {
            EXPECT_TRUE(log.has(c.log)) << log.text();
        }
    }
}

TEST_F(DriverIdentify, ListOfFortyIsCutAtThirty)
{
    Bytes b = {0x00, 0xF5, 40};
    for (int i = 0; i < 40; ++i) {
        b.push_back(static_cast<uint8_t>(i + 1));
    }
    fake::reply(report(H("00 00")));
    fake::reply(report(b));
    Buffer buf;
    EXPECT_EQ(fp_auto_identify(3, 0xFFFF, 3, buf.ids, 0), 0);
    EXPECT_EQ(buf.ids[29], 30);
    EXPECT_EQ(fp_device_param.auto_identify_param.search_num, 30);
}

TEST_F(DriverIdentify, WithoutTimeLimitItWaitsUntilTheModuleIsGone)
{
    fake::reply(report(H("00 00")));
    fake::module().on_read = [](int index) {
        if (index == 60) {
            fake::module().open = false;
        }
    };
    Buffer buf;
    EXPECT_EQ(fp_auto_identify(3, 0xFFFF, 3, buf.ids, 0), -1);
    EXPECT_EQ(fake::reads(), 61);
    EXPECT_EQ(fp_get_ctrlFlag(), FP_CONTROL_FLAG_DEV_NOT_EXIST);
}

// A stop during the wait for a touch: the read in progress ends, then the
// collection looks for a result the module is about to deliver with short reads,
// and ends at the first read that brings nothing, so the stopped verification
// lets go of the module soon.
struct StopCase {
    const char *name;
    std::vector<Bytes> after_stop; // served from the read in progress on; empty = silent read
    int collection_reads;
    std::vector<uint16_t> kept; // ids kept as the restart result; empty: none
};

TEST_F(DriverIdentify, StopCollectionTable)
{
    const Bytes kResult = report(H("00 F5 02 5A 61"));
    const StopCase cases[] = {
        {"result in the first collection read", {{}, kResult}, 1, {90, 97}},
        {"capture report, then the result", {{}, report(H("00 01")), kResult}, 2, {90, 97}},
        {"silent module: one short read", {{}, {}}, 1, {}},
        {"silent after a capture report: the result that comes later is not waited for",
         {{}, report(H("00 01")), {}, kResult},
         2,
         {}},
        {"reports that never finish: five reads at most",
         {{},
          report(H("00 01")),
          report(H("00 01")),
          report(H("00 01")),
          report(H("00 01")),
          report(H("00 01")),
          kResult},
         5,
         {}},
    };
    constexpr int kReadsBeforeStop = 3; // request, two silent waits; the stop comes during the third wait
    for (const StopCase &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        fp_set_ctrlFlag(FP_CONTROL_FLAG_IDLE);
        set_onekey_powerup_flag(0);
        set_onekey_restart_flag(0);
        std::fill_n(get_onekey_powerup_search_id(), FP_SEARCH_ID_MAX, 0x0042);
        fake::reply(report(H("00 00")));
        fake::silence(2);
        int64_t stopped_at_ms = -1;
        fake::module().on_read = [&](int index) {
            if (index == kReadsBeforeStop) {
                stopped_at_ms = fake::elapsed_ms();
                fp_set_ctrlFlag(FP_CONTROL_FLAG_STOPPED);
                for (const Bytes &b : c.after_stop) {
                    b.empty() ? fake::silence() : fake::reply(b);
                }
            }
        };
        LogCapture log;
        Buffer buf;
        EXPECT_EQ(fp_auto_identify(3, 0xFFFF, 3, buf.ids, 0), -1);
        EXPECT_EQ(buf.ids[0], 0xFFFF); // the verification itself gets nothing
        EXPECT_EQ(fp_get_ctrlFlag(), FP_CONTROL_FLAG_STOPPED);
        ASSERT_EQ(fake::reads(), kReadsBeforeStop + 1 + c.collection_reads);
        const auto &timeouts = fake::module().read_timeouts;
        for (int i = kReadsBeforeStop + 1; i < fake::reads(); ++i) {
            EXPECT_EQ(timeouts[static_cast<size_t>(i)], static_cast<uint32_t>(FP_SHORT_READ_TIMEOUT_MS))
                << "collection read " << i;
        }
        // From the stop: the read in progress, then at most five short reads and their pauses.
        EXPECT_LE(fake::elapsed_ms() - stopped_at_ms, 1000 + 20 + 5 * (FP_SHORT_READ_TIMEOUT_MS + 20));
        EXPECT_TRUE(log.has("start.\r\n"));
        EXPECT_EQ(get_onekey_powerup_flag(), c.kept.empty() ? 0 : 1);
        EXPECT_EQ(get_onekey_restart_flag(), c.kept.empty() ? 0 : 1);
        EXPECT_EQ(get_onekey_powerup_search_num(), static_cast<int>(c.kept.size()));
        for (int i = 0; i < FP_SEARCH_ID_MAX; ++i) {
            const uint16_t want =
                static_cast<size_t>(i) < c.kept.size() ? c.kept[static_cast<size_t>(i)] : 0xFFFF;
            EXPECT_EQ(get_onekey_powerup_search_id()[i], want) << "entry " << i;
        }
        if (c.kept.empty()) {
            EXPECT_TRUE(log.has("not search id !!!\r\n"));
        }
    }
}

TEST_F(DriverIdentify, PowerupResultIsStoredForTheNextVerification)
{
    init_onekey_powerup_search_id();
    fake::reply(report(H("00 00")));
    fake::reply(report(H("00 01")));
    fake::reply(report(H("00 05 00 5B 00 10")));
    EXPECT_EQ(fp_onekey_powerup_identify(3, 0xFFFF, 3, get_onekey_powerup_search_id(), 20), 0);
    EXPECT_EQ(get_onekey_powerup_flag(), 1);
    EXPECT_EQ(get_onekey_restart_flag(), 0);
    EXPECT_EQ(get_onekey_powerup_search_num(), 1);
    EXPECT_EQ(get_onekey_powerup_search_id()[0], 0x005B);
    EXPECT_EQ(get_onekey_powerup_search_id()[1], 0xFFFF);
    EXPECT_EQ(fake::module().sleeps, (std::vector<unsigned>{20, 20}));
    fake::module().clock_us += 1000;
    EXPECT_EQ(fp_get_increment_of_time_ms(get_onekey_powerup_tv_time()), 1);
}

struct PowerupCase {
    const char *name;
    std::vector<Bytes> replies;
    int result;
    uint8_t flag;
    int reads;
    const char *log;
};

TEST_F(DriverIdentify, PowerupTable)
{
    const PowerupCase cases[] = {
        {"nobody touched", {report(H("00 00"))}, 0, 0, 6, "not search id 65535 !!!\r\n"},
        {"touched, no match",
         {report(H("00 00")), report(H("09 F5 00"))},
         0,
         1,
         2,
         "not search id 65535 !!!\r\n"},
        {"request refused", {report(H("1A 00"))}, -1, 0, 1, "not received PROT_RESP_OK!!!\r\n"},
        {"capture failed",
         {report(H("00 00")), report(H("02 00"))},
         -1,
         0,
         2,
         "validity_check_result = 0x02 !!!\r\n"},
        {"silent module", {}, -1, 0, 3, "validity_check_result = 0xff !!!\r\n"},
    };
    for (const PowerupCase &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        fp_module_init();
        for (const Bytes &r : c.replies) {
            fake::reply(r);
        }
        LogCapture log;
        EXPECT_EQ(fp_onekey_powerup_identify(3, 0xFFFF, 3, get_onekey_powerup_search_id(), 20), c.result);
        EXPECT_EQ(get_onekey_powerup_flag(), c.flag);
        EXPECT_EQ(get_onekey_powerup_search_num(), 0);
        EXPECT_EQ(fake::reads(), c.reads);
        EXPECT_TRUE(log.has(c.log)) << log.text();
    }
}

TEST_F(DriverIdentify, PowerupWithTheModuleGone)
{
    fake::reply(report(H("00 00")));
    fake::module().on_read = [](int) { fake::module().open = false; };
    EXPECT_EQ(fp_onekey_powerup_identify(3, 0xFFFF, 3, get_onekey_powerup_search_id(), 20), -1);
    EXPECT_EQ(fake::reads(), 1);
}

TEST_F(DriverIdentify, RestartResultFromAHeldList)
{
    const uint16_t list[] = {0x005A, 0xFFFF, 0x0033};
    EXPECT_EQ(fp_onekey_restart_identify_2(list), 0);
    EXPECT_EQ(get_onekey_powerup_flag(), 1);
    EXPECT_EQ(get_onekey_restart_flag(), 1);
    EXPECT_EQ(get_onekey_powerup_search_num(), 1);
    EXPECT_EQ(get_onekey_powerup_search_id()[0], 0x005A);
    EXPECT_EQ(get_onekey_powerup_search_id()[1], 0xFFFF);
    EXPECT_EQ(get_onekey_powerup_search_id()[2], 0xFFFF);
    EXPECT_TRUE(log_.has("search_num = 1.\r\n"));

    fake::module().clock_us += 1500 * 1000;
    EXPECT_EQ(get_restart_tv_begin_change_ms(), 1500);

    // A full list without terminator stops at 30; the one-key array itself may be passed.
    uint16_t full[FP_SEARCH_ID_MAX];
    for (int i = 0; i < FP_SEARCH_ID_MAX; ++i) {
        full[i] = static_cast<uint16_t>(i + 1);
    }
    EXPECT_EQ(fp_onekey_restart_identify_2(full), 0);
    EXPECT_EQ(get_onekey_powerup_search_num(), 30);
    EXPECT_EQ(fp_onekey_restart_identify_2(get_onekey_powerup_search_id()), 0);
    EXPECT_EQ(get_onekey_powerup_search_num(), 30);
    EXPECT_EQ(get_onekey_powerup_search_id()[29], 30);
    EXPECT_EQ(fp_onekey_restart_identify_2(nullptr), -1);
}

TEST_F(DriverIdentify, AccessorsAndInit)
{
    EXPECT_EQ(set_onekey_powerup_flag(1), 0);
    EXPECT_EQ(get_onekey_powerup_flag(), 1);
    EXPECT_EQ(set_onekey_restart_flag(1), 0);
    EXPECT_EQ(get_onekey_restart_flag(), 1);
    set_onekey_powerup_flag(0);
    set_onekey_restart_flag(0);
    EXPECT_EQ(get_onekey_powerup_flag(), 0);
    EXPECT_EQ(get_onekey_restart_flag(), 0);
    get_onekey_powerup_search_id()[7] = 3;
    EXPECT_EQ(init_onekey_powerup_search_id(), 0);
    for (int i = 0; i < FP_SEARCH_ID_MAX; ++i) {
        EXPECT_EQ(get_onekey_powerup_search_id()[i], 0xFFFF);
    }
    EXPECT_EQ(get_onekey_powerup_tv_time(), &fp_device_param.onekey_powerup.tv_current_time);
}

TEST_F(DriverIdentify, ParamInit)
{
    FP_AUTOIDENTIFY_PARAM_STRUCT a;
    memset(&a, 0x5A, sizeof(a));
    EXPECT_EQ(fp_auto_identify_param_init(&a, 3, 0x1234, 7), 0);
    EXPECT_EQ(a.security_level, 3);
    EXPECT_EQ(a.identify_id, 0x1234);
    EXPECT_EQ(a.param, 7);
    EXPECT_EQ(a.validity_check_result, 0xFF);
    EXPECT_EQ(a.capture_result, 0xFF);
    EXPECT_EQ(a.search_result, 0xFF);
    EXPECT_EQ(a.search_num, 0);
    EXPECT_EQ(a.search_id[0], 0xFFFF);
    EXPECT_EQ(a.search_id[1], 0xFFFF);
    EXPECT_EQ(a.search_id[2], 0x5A5A);
    EXPECT_EQ(a.score, 0);
    EXPECT_EQ(a.identify_finish_flag, 0);
    EXPECT_EQ(fp_auto_identify_param_init(nullptr, 3, 1, 1), -1);
}

// A result published on one thread is seen whole by a reader on another: once
// the flag reads 1, the count and ids of that same result are visible.
TEST_F(DriverIdentify, OnekeyResultIsPublishedWhole)
{
    constexpr int kRounds = 2000;
    const int saved_grade = get_printf_log_grade();
    set_printf_log_grade(0); // set before the writer starts: the grade is read unguarded
    std::atomic<bool> done{false};
    std::thread writer([&done] {
        uint16_t list[FP_SEARCH_ID_MAX];
        for (int round = 1; round <= kRounds; ++round) {
            while (get_onekey_powerup_flag() != 0) {
                std::this_thread::yield();
            }
            const int n = round % FP_SEARCH_ID_MAX;
            for (int i = 0; i < n; ++i) {
                list[i] = static_cast<uint16_t>(n);
            }
            list[n] = 0xFFFF;
            fp_onekey_restart_identify_2(list);
        }
        done.store(true);
    });
    int seen = 0;
    int torn = 0;
    while (!done.load() || get_onekey_powerup_flag() != 0) {
        if (get_onekey_powerup_flag() != 1) {
            std::this_thread::yield();
            continue;
        }
        const int n = get_onekey_powerup_search_num();
        const uint16_t *ids = get_onekey_powerup_search_id();
        bool whole = n < FP_SEARCH_ID_MAX && ids[n] == 0xFFFF;
        for (int i = 0; i < n; ++i) {
            whole = whole && ids[i] == n;
        }
        torn += whole ? 0 : 1;
        ++seen;
        set_onekey_powerup_flag(0);
    }
    writer.join();
    set_printf_log_grade(saved_grade);
    EXPECT_EQ(seen, kRounds);
    EXPECT_EQ(torn, 0);
}

} // namespace
