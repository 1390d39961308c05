// The USB transport against the emulated module behind the libusb stand-in.
#include "common.h"
#include "emu_client.h"
#include "tirvane_common.h"
#include "unit_support.h"
#include "usb_device.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

using tirvane::emu::EmuClient;

class Transport : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        libusb_init(nullptr);
    }
    void SetUp() override
    {
        dev = tvp_dev_new();
        dev->dev_priv = new driver_info{};
        dev->ops_free = tvp_ops_free;
        dev->usb_info.id_table = tvp1234_id_table;
        emu.command("plug"); // already plugged after a test that left it so
        emu.clear_trace();
    }
    void TearDown() override
    {
        usb_dev_module_init();
        tvp_dev_free(dev);
        unsetenv("TIRVANE_SYSFS_ROOT");
    }
    // Trace lines of the transfers, without their sequence or result decoration.
    std::vector<std::string> trace()
    {
        return emu.trace();
    }
    EmuClient emu{getenv("TIRVANE_EMU_SOCKET")};
    tvp_dev *dev = nullptr;
    tvunit::TempConfDir conf;
};

bool contains(const std::vector<std::string> &lines, const std::string &text)
{
    for (const auto &l : lines) {
        if (l.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST_F(Transport, WrapperAnnouncesDirectionAndLittleEndianLength)
{
    ASSERT_EQ(usb_dev_open(dev), 0);
    struct Case {
        int32_t length;
        const char *wrapper;
    };
    for (const Case c :
         {Case{300, "OUT 01 55 53 42 43 00 2c 01 00"}, Case{70000, "OUT 01 55 53 42 43 00 70 11 01"}}) {
        emu.clear_trace();
        std::vector<uint8_t> data(static_cast<size_t>(c.length), 0);
        int32_t written = -1;
        usb_send_data(data.data(), c.length, &written);
        EXPECT_TRUE(contains(trace(), c.wrapper)) << c.length;
    }
    emu.clear_trace();
    uint8_t buf[64];
    int32_t got = -1;
    usb_read_data(buf, 64, &got);
    EXPECT_TRUE(contains(trace(), "OUT 01 55 53 42 43 80 40 00 00"));
}

TEST_F(Transport, HandshakeRoundTripReportsTheShortReadCount)
{
    ASSERT_EQ(usb_dev_open(dev), 0);
    const uint8_t handshake[] = {0xEF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x03, 0x35, 0x00, 0x39};
    int32_t written = 0;
    ASSERT_EQ(usb_send_data(handshake, sizeof(handshake), &written), 0);
    EXPECT_EQ(written, 12);
    uint8_t buf[230] = {0};
    int32_t got = -1;
    ASSERT_EQ(usb_read_data(buf, sizeof(buf), &got), 0);
    EXPECT_EQ(got, 12) << "one answer packet of 12 bytes";
    EXPECT_EQ(buf[0], 0xEF);
    EXPECT_EQ(buf[6], 0x07);
    EXPECT_TRUE(contains(trace(), "OUT 01 ef 01 ff ff ff ff 01 00 03 35 00 39"));
    EXPECT_TRUE(contains(trace(), "IN 81 55 53 42 53"));
}

TEST_F(Transport, NothingToReadTimesOutAndLeavesTheCount)
{
    ASSERT_EQ(usb_dev_open(dev), 0);
    uint8_t buf[64];
    int32_t got = 1234;
    EXPECT_EQ(usb_read_data(buf, 64, &got), -1);
    EXPECT_EQ(got, 1234);
}

TEST_F(Transport, BadArgumentsPutNothingOnTheBus)
{
    ASSERT_EQ(usb_dev_open(dev), 0);
    uint8_t buf[4] = {0};
    int32_t count = 7;
    EXPECT_EQ(usb_send_data(nullptr, 4, &count), -1);
    EXPECT_EQ(usb_send_data(buf, 0, &count), -1);
    EXPECT_EQ(usb_send_data(buf, -3, &count), -1);
    EXPECT_EQ(usb_read_data(nullptr, 4, &count), -1);
    EXPECT_EQ(usb_read_data(buf, 0, &count), -1);
    EXPECT_EQ(usb_prepare_send(0), -1);
    EXPECT_EQ(usb_prepare_read(-1), -1);
    EXPECT_EQ(count, 7);
    EXPECT_TRUE(trace().empty());
}

TEST_F(Transport, IoctlWithBothLengthsZero)
{
    DEV_CMD cmd{nullptr, 0, 0, 1000};
    EXPECT_EQ(usb_dev_ioctl(&cmd), -1) << "no handle";
    ASSERT_EQ(usb_dev_open(dev), 0);
    EXPECT_EQ(usb_dev_ioctl(&cmd), 0);
    EXPECT_EQ(usb_dev_ioctl(nullptr), -1);
    EXPECT_TRUE(trace().empty());
}

TEST_F(Transport, StatusCheck)
{
    const uint8_t good[] = {0x55, 0x53, 0x42, 0x53};
    const uint8_t bad[] = {0x55, 0x53, 0x42, 0x43};
    EXPECT_EQ(usb_check_bulk_io_ack(good, 4), 0);
    EXPECT_EQ(usb_check_bulk_io_ack(bad, 4), -1);
    EXPECT_EQ(usb_check_bulk_io_ack(good, 3), -1);
    EXPECT_EQ(usb_check_bulk_io_ack(nullptr, 4), -1);
}

TEST_F(Transport, UnpluggedModuleFailsTransfersAndTheOpen)
{
    ASSERT_EQ(usb_dev_open(dev), 0);
    emu.unplug();
    const uint8_t frame[] = {0xEF, 0x01};
    int32_t written = 0;
    EXPECT_EQ(usb_send_data(frame, 2, &written), -1);
    usb_dev_close();
    EXPECT_EQ(usb_dev_open(dev), -1);
    EXPECT_EQ(usb_get_dev_handle(), nullptr);
}

TEST_F(Transport, DiscoverFollowsPresenceAndKeepsAnOpenHandle)
{
    EXPECT_EQ(tvp_ops_discover(dev), 1);
    EXPECT_EQ(usb_get_dev_handle(), nullptr) << "the probe leaves nothing open";
    ASSERT_EQ(usb_dev_open(dev), 0);
    libusb_device_handle *open = usb_get_dev_handle();
    EXPECT_EQ(tvp_ops_discover(dev), 1);
    EXPECT_EQ(usb_get_dev_handle(), open);
    usb_dev_close();
    emu.unplug();
    EXPECT_EQ(tvp_ops_discover(dev), 0);
    EXPECT_EQ(dev->dev_num.load(), 0);
}

TEST_F(Transport, PortPathAndAutosuspend)
{
    const std::string root = conf.path() + "/sys";
    const std::string power = root + "/bus/usb/devices/1-1.2/power";
    ASSERT_EQ(system(("mkdir -p '" + power + "'").c_str()), 0);
    setenv("TIRVANE_SYSFS_ROOT", root.c_str(), 1);

    usb_set_autosuspend_flag(1);
    EXPECT_EQ(usb_dev_enable_autosuspend(), -1) << "no valid path yet";
    ASSERT_EQ(usb_dev_get_port_path(), 0);
    EXPECT_EQ(std::string(usb_dev_param.dev_port_path), root + "/bus/usb/devices/1-1.2");
    EXPECT_EQ(usb_dev_get_port_path_valid_flag(), 1);

    usb_set_autosuspend_flag(0);
    EXPECT_EQ(usb_dev_enable_autosuspend(), 0);
    EXPECT_FALSE(tvunit::file_exists(power + "/control"));

    usb_set_autosuspend_flag(1);
    EXPECT_EQ(usb_dev_enable_autosuspend(), 0);
    EXPECT_EQ(tvunit::read_file(power + "/control"), "auto\n");
    EXPECT_EQ(tvunit::read_file(power + "/autosuspend"), "2\n");
    EXPECT_EQ(tvunit::read_file(power + "/autosuspend_delay_ms"), "2000\n");
    EXPECT_EQ(usb_dev_disable_autosuspend(), 0);
    EXPECT_EQ(tvunit::read_file(power + "/control"), "on\n");

    emu.unplug();
    EXPECT_EQ(usb_dev_get_port_path(), -1);
    EXPECT_EQ(usb_dev_get_port_path_valid_flag(), 0);
    EXPECT_STREQ(usb_dev_param.dev_port_path, "");
}
