// The device record's status model and message texts.
#include "tirvane_common.h"
#include "unit_support.h"

#include <gtest/gtest.h>

namespace
{

struct RecordDeleter {
    void operator()(tvp_dev *dev) const
    {
        tvp_dev_free(dev);
    }
};

std::unique_ptr<tvp_dev, RecordDeleter> new_record()
{
    std::unique_ptr<tvp_dev, RecordDeleter> dev(tvp_dev_new());
    dev->dev_priv = new driver_info{};
    dev->ops_free = tvp_ops_free;
    return dev;
}

} // namespace

TEST(StatusModel, RelativeSettersKeepTheDeviceOperationType)
{
    struct Case {
        int dev_status;
        enum { Result, Notify, All } which;
        int value;
        int expect;
    };
    const Case cases[] = {
        {201, Case::Result, 304, 204}, {201, Case::Result, 4, 204}, {0, Case::Notify, 903, 3},
        {902, Case::All, 1, 901},      {301, Case::Notify, 0, 300}, {1001, Case::Result, 1, 1001},
    };
    for (const auto &c : cases) {
        auto dev = new_record();
        tvp_set_dev_status(dev.get(), c.dev_status);
        switch (c.which) {
        case Case::Result:
            tvp_set_ops_result(dev.get(), c.value);
            EXPECT_EQ(tvp_get_ops_result(dev.get()), c.expect);
            break;
        case Case::Notify:
            tvp_set_notify_mid(dev.get(), c.value);
            EXPECT_EQ(tvp_get_notify_mid(dev.get()), c.expect);
            break;
        case Case::All:
            tvp_set_all_status(dev.get(), c.value, c.value, c.value);
            EXPECT_EQ(tvp_get_dev_status(dev.get()), c.expect);
            EXPECT_EQ(tvp_get_ops_result(dev.get()), c.expect);
            EXPECT_EQ(tvp_get_notify_mid(dev.get()), c.expect);
            break;
        }
    }
}

TEST(StatusModel, StopByUserIsSubCodeTwoOfAnyType)
{
    auto dev = new_record();
    for (int v : {2, 102, 902, 1002}) {
        tvp_set_dev_status(dev.get(), v);
        EXPECT_TRUE(tvp_is_stop_by_user(dev.get())) << v;
    }
    for (int v : {0, 1, 201, 203}) {
        tvp_set_dev_status(dev.get(), v);
        EXPECT_FALSE(tvp_is_stop_by_user(dev.get())) << v;
    }
}

TEST(StatusModel, MessageTexts)
{
    struct Case {
        int value;
        const char *dev_text;
        const char *result_text;
        const char *notify_text;
    };
    const Case cases[] = {
        {0, "Device idle", "Operation successful", "Device idle"},
        {5, "Device is in an unknown status...", "Out of memory", "Device is disable"},
        {6, "Device is in an unknown status...", "Operation is in an unknown status......", "Out of memory"},
        {7, "Device is in an unknown status...", "Operation is in an unknown status......",
         "The device or driver does not support this operation"},
        {103, "Device is in an unknown status...", "Operation is in an unknown status......",
         "Device internal error"},
        {204, "Device is in an unknown status...", "Enroll operation timeout", "Enroll operation timeout"},
        {302, "Terminating Verify operation", "An error was encountered during verifying",
         "An error was encountered during verifying"},
        {803, "Device is in an unknown status...", "Operation is in an unknown status......",
         "Device internal error"},
        {903, "Device is in an unknown status...", "Operation is in an unknown status......",
         "Feature renaming is not complete, please try again"},
        {1002, "Terminating close operation", "An error was encountered during closing",
         "An error was encountered during closing"},
        {-4, "Device is in an unknown status...", "Operation is in an unknown status......",
         "Device internal error"},
    };
    for (const auto &c : cases) {
        auto dev = new_record();
        tvp_set_all_abs_status(dev.get(), c.value, c.value, c.value);
        EXPECT_STREQ(tvp_get_dev_status_mesg(dev.get()), c.dev_text) << c.value;
        EXPECT_STREQ(tvp_get_ops_result_mesg(dev.get()), c.result_text) << c.value;
        EXPECT_STREQ(tvp_get_notify_mid_mesg(dev.get()), c.notify_text) << c.value;
    }
}

TEST(StatusModel, ClaimMovesOnlyFromIdle)
{
    auto dev = new_record();
    EXPECT_TRUE(tvp_try_claim_dev_status(dev.get(), DEVS_VERIFY_DOING));
    EXPECT_FALSE(tvp_try_claim_dev_status(dev.get(), DEVS_ENROLL_DOING));
    EXPECT_EQ(tvp_get_dev_status(dev.get()), DEVS_VERIFY_DOING);
}

TEST(StatusModel, TimeoutDefaultsTo30Seconds)
{
    EXPECT_EQ(tvp_get_ops_timeout_ms(), 30000);
}

TEST(DeviceInit, FixedFactsAndConfigurationDefaults)
{
    tvunit::TempConfDir conf;
    ASSERT_EQ(tvp_conf_init(), 0);
    ASSERT_EQ(tvp_dev_init(), 0);
    tvp_dev *dev = dev_tirvane;
    EXPECT_STREQ(dev->device_name, "tvp2388");
    EXPECT_STREQ(dev->full_name, "KAL TVP2388");
    EXPECT_EQ(dev->drv_api_version.major, 1);
    EXPECT_EQ(dev->drv_api_version.function, 6);
    EXPECT_EQ(dev->dev_num.load(), 1);
    EXPECT_EQ(dev->sample_times, 6);
    EXPECT_EQ(dev->max_sample, 50);
    EXPECT_EQ(tvp_priv(dev)->timeoutMS, 30000);
    EXPECT_EQ(dev->usb_info.id_table, tvp1234_id_table);
    EXPECT_STREQ(tvp_get_dev_status_mesg(dev), "Device idle");
    EXPECT_STREQ(tvp_get_ops_result_mesg(dev), "Operation successful");
    EXPECT_EQ(dev->enable, 1);
    // No driver configuration file: no upgrade policy, autosuspend off.
    EXPECT_EQ(tvp_priv(dev)->config.upgrade_mode, 0);
    // The list file gained the DeviceParam group with enable=true.
    EXPECT_NE(tvunit::read_file(conf.file("tvplist.conf")).find("enable=true"), std::string::npos);
    tvp_dev_free(dev);
    dev_tirvane = nullptr;
}
