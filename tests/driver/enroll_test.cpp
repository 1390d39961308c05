// Automatic enrolment against the fake transport.
#include "fake_module.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace
{

using DriverEnroll = DriverTest;

Bytes stage(uint8_t confirm, uint8_t stage_byte, uint8_t capture = 0xFF)
{
    Bytes payload = {confirm, stage_byte};
    if (capture != 0xFF) {
        payload.push_back(capture);
    }
    return resp(payload);
}

TEST_F(DriverEnroll, SixGoodCaptures)
{
    fake::reply(stage(0, 0));
    for (uint8_t n = 1; n <= 6; ++n) {
        fake::reply(stage(0, 1, n));
        fake::silence(); // the user lifts the finger
        fake::reply(concat({stage(0, 2, n), stage(0, 3, n)}));
    }
    fake::reply(stage(0, 4));
    fake::reply(concat({stage(0, 5), stage(0, 6)}));

    ASSERT_EQ(fp_auto_enroll_start(90, 6, 0), 0);
    EXPECT_EQ(fp_device_param.auto_enroll_param.enroll_id, 90);
    EXPECT_EQ(fp_device_param.auto_enroll_param.auto_enroll_times, 6);
    for (uint8_t n = 1; n <= 6; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(fp_auto_enroll(10000), 0);
        EXPECT_EQ(fp_get_enroll_finish_flag(), 0);
        EXPECT_EQ(fp_get_current_enroll_time(), n);
        EXPECT_EQ(fp_get_enroll_create_feature_result(n), 0);
        EXPECT_EQ(fp_get_enroll_result(n), 0);
    }
    ASSERT_EQ(fp_auto_enroll(10000), 0);
    EXPECT_EQ(fp_get_enroll_finish_flag(), 1);
    EXPECT_EQ(fp_get_store_template_result(), 0);
    EXPECT_EQ(fp_device_param.auto_enroll_param.merge_template_result, 0);
    EXPECT_EQ(fp_device_param.auto_enroll_param.enroll_conflict_result, 0);
    EXPECT_EQ(fp_get_ctrlFlag(), FP_CONTROL_FLAG_IDLE);
    EXPECT_TRUE(log_.has("received enroll_finish_flag.\n"));
    // Every wait turn reads 128 bytes.
    EXPECT_EQ(fake::module().read_requests.back(), 128);
}

TEST_F(DriverEnroll, RetryCodesReachTheGetters)
{
    fake::reply(stage(0, 0));
    fake::reply(concat({stage(0, 1, 1), stage(0x07, 2, 1), stage(0x07, 3, 1)}));
    fake::reply(concat({stage(0, 1, 1), stage(0, 2, 1), stage(0x30, 3, 1)}));
    ASSERT_EQ(fp_auto_enroll_start(91, 6, 0), 0);
    ASSERT_EQ(fp_auto_enroll(10000), 0);
    EXPECT_EQ(fp_get_current_enroll_time(), 1);
    EXPECT_EQ(fp_get_enroll_create_feature_result(1), PROT_RESP_FEATURE_TOO_LOW);
    ASSERT_EQ(fp_auto_enroll(10000), 0);
    EXPECT_EQ(fp_get_enroll_create_feature_result(1), 0);
    EXPECT_EQ(fp_get_enroll_result(1), PROT_RESP_POSITION_REPEATED);
}

struct StartCase {
    const char *name;
    std::vector<Bytes> replies;
    int flag;
    const char *log;
};

TEST_F(DriverEnroll, StartTable)
{
    const StartCase cases[] = {
        {"library full", {stage(31, 0)}, FP_CONTROL_FLAG_ENROLLID_OUT_RANGE, "enroll id out of range!!!\n"},
        {"slot out of range",
         {stage(11, 0)},
         FP_CONTROL_FLAG_ENROLLID_OUT_RANGE,
         "enroll id out of range!!!\n"},
        {"other refusal", {stage(1, 0)}, FP_CONTROL_FLAG_IDLE, "not received PROT_RESP_OK!!!\n"},
        {"first answer is a capture report",
         {stage(0, 1, 1)},
         FP_CONTROL_FLAG_IDLE,
         "not received PROT_RESP_OK!!!\n"},
        {"silent module", {}, FP_CONTROL_FLAG_IDLE, "fp_send_cmd failed!!!\n"},
    };
    for (const StartCase &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        fp_set_ctrlFlag(FP_CONTROL_FLAG_IDLE);
        for (const Bytes &r : c.replies) {
            fake::reply(r);
        }
        LogCapture log;
        EXPECT_EQ(fp_auto_enroll_start(90, 6, 0), -1);
        EXPECT_EQ(fp_get_ctrlFlag(), c.flag);
        EXPECT_TRUE(log.has(c.log)) << log.text();
    }
}

TEST_F(DriverEnroll, CaptureAndFeatureReportsAloneDoNotEndTheWait)
{
    fake::reply(stage(0, 0));
    fake::reply(stage(0, 1, 1));
    fake::reply(stage(0, 2, 1));
    ASSERT_EQ(fp_auto_enroll_start(90, 6, 0), 0);
    fake::module().sleeps.clear();
    const int64_t begin = fake::elapsed_ms();
    EXPECT_EQ(fp_auto_enroll(10000), -1);
    EXPECT_EQ(fp_get_ctrlFlag(), FP_CONTROL_FLAG_TIMEOUT);
    EXPECT_EQ(fp_get_current_enroll_time(), 1);
    EXPECT_TRUE(log_.has("enroll timeout!!!\n"));
    const int64_t waited = fake::elapsed_ms() - begin;
    EXPECT_GT(waited, 10000);
    EXPECT_LE(waited, 11100);
    for (unsigned ms : fake::module().sleeps) {
        EXPECT_EQ(ms, 30u);
    }
}

TEST_F(DriverEnroll, SilentModuleTimesOutAfterTenToElevenSeconds)
{
    const int64_t begin = fake::elapsed_ms();
    EXPECT_EQ(fp_auto_enroll(10000), -1);
    EXPECT_EQ(fp_get_ctrlFlag(), FP_CONTROL_FLAG_TIMEOUT);
    const int64_t waited = fake::elapsed_ms() - begin;
    EXPECT_GT(waited, 10000);
    EXPECT_LE(waited, 11100);
}

TEST_F(DriverEnroll, LastCaptureAndStorageInOneRead)
{
    fp_auto_enroll_param_init(&fp_device_param.auto_enroll_param, 90, 6);
    fp_resp_init(PROT_CMD_AUTOENROLL);
    fake::reply(concat({stage(0, 3, 6), stage(0, 4), stage(0, 5), stage(0, 6)}));
    EXPECT_EQ(fp_auto_enroll(10000), 0);
    EXPECT_EQ(fp_get_enroll_finish_flag(), 1);
    // The capture signal stays for a next call.
    EXPECT_EQ(fp_device_param.auto_enroll_param.current_enroll_flag, 1);
    EXPECT_EQ(fp_auto_enroll(10000), 0);
}

TEST_F(DriverEnroll, StopThroughTheControlFlag)
{
    fp_auto_enroll_param_init(&fp_device_param.auto_enroll_param, 90, 6);
    fake::module().on_read = [](int index) {
        if (index == 3) {
            fp_set_ctrlFlag(FP_CONTROL_FLAG_STOPPED);
        }
    };
    EXPECT_EQ(fp_auto_enroll(10000), -1);
    EXPECT_EQ(fake::reads(), 4);
    EXPECT_EQ(fp_get_ctrlFlag(), FP_CONTROL_FLAG_STOPPED);
}

TEST_F(DriverEnroll, StopFromAnotherThread)
{
    fp_auto_enroll_param_init(&fp_device_param.auto_enroll_param, 90, 6);
    std::atomic<bool> waiting{false};
    fake::module().on_read = [&waiting](int) {
        waiting.store(true);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    };
    int result = 0;
    std::thread worker([&result] { result = fp_auto_enroll(1 << 30); });
    while (!waiting.load()) {
        std::this_thread::yield();
    }
    fp_set_ctrlFlag(FP_CONTROL_FLAG_STOPPED);
    worker.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(fp_get_ctrlFlag(), FP_CONTROL_FLAG_STOPPED);
}

TEST_F(DriverEnroll, ModuleGone)
{
    fp_auto_enroll_param_init(&fp_device_param.auto_enroll_param, 90, 6);
    fake::module().on_read = [](int index) {
        if (index == 2) {
            fake::module().open = false;
        }
    };
    EXPECT_EQ(fp_auto_enroll(10000), -1);
    EXPECT_EQ(fake::reads(), 3);
    EXPECT_EQ(fp_get_ctrlFlag(), FP_CONTROL_FLAG_DEV_NOT_EXIST);
}

TEST_F(DriverEnroll, FinishWinsOverAMissingModule)
{
    fp_auto_enroll_param_init(&fp_device_param.auto_enroll_param, 90, 6);
    fp_resp_init(PROT_CMD_AUTOENROLL);
    fake::module().open = false;
    fake::reply(stage(0, 6));
    EXPECT_EQ(fp_auto_enroll(10000), 0);
    EXPECT_EQ(fp_get_ctrlFlag(), FP_CONTROL_FLAG_IDLE);
}

TEST_F(DriverEnroll, GettersRefuseCaptureNumbersAboveEight)
{
    fp_device_param.auto_enroll_param.enroll_result[8] = 0x00;
    fp_device_param.auto_enroll_param.create_feature_result[8] = 0x00;
    EXPECT_EQ(fp_get_enroll_result(8), 0x00);
    EXPECT_EQ(fp_get_enroll_create_feature_result(8), 0x00);
    EXPECT_EQ(fp_get_enroll_result(9), 0xFF);
    EXPECT_EQ(fp_get_enroll_create_feature_result(200), 0xFF);
    EXPECT_TRUE(log_.has("enroll_time = 9, error!!!\r\n"));
    EXPECT_TRUE(log_.has("enroll_time = 200, error!!!\r\n"));
}

TEST_F(DriverEnroll, ParamInitLeavesTheNinthEntry)
{
    FP_AUTOENROLL_PARAM_STRUCT e;
    memset(&e, 0x5A, sizeof(e));
    EXPECT_EQ(fp_auto_enroll_param_init(&e, 0x1234, 6), 0);
    EXPECT_EQ(e.enroll_id, 0x1234);
    EXPECT_EQ(e.auto_enroll_times, 6);
    EXPECT_EQ(e.current_enroll_time, 0);
    EXPECT_EQ(e.current_enroll_flag, 0);
    EXPECT_EQ(e.validity_check_result, 0xFF);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(e.capture_result[i], 0xFF);
        EXPECT_EQ(e.create_feature_result[i], 0xFF);
        EXPECT_EQ(e.enroll_result[i], 0xFF);
    }
    EXPECT_EQ(e.capture_result[8], 0x5A);
    EXPECT_EQ(e.create_feature_result[8], 0x5A);
    EXPECT_EQ(e.enroll_result[8], 0x5A);
    EXPECT_EQ(e.merge_template_result, 0xFF);
    EXPECT_EQ(e.enroll_conflict_result, 0xFF);
    EXPECT_EQ(e.store_template_result, 0xFF);
    EXPECT_EQ(e.enroll_finish_flag, 0);
    EXPECT_EQ(fp_auto_enroll_param_init(nullptr, 1, 1), -1);
}

TEST_F(DriverEnroll, ElapsedTimeBorrowsASecond)
{
    struct timeval now {
    };
    fp_get_time_now(&now);
    struct timeval start = now;
    start.tv_usec = 900000; // later microsecond part than now's 250,000
    start.tv_sec -= 2;
    EXPECT_EQ(fp_get_increment_of_time_ms(&start), 1350);
    EXPECT_EQ(fp_get_increment_of_time_ms(nullptr), 0);
}

} // namespace
