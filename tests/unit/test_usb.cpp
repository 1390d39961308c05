// The USB transport against the emulated module behind the libusb stand-in.
#include "common.h"
#include "emu_client.h"
#include "tirvane_common.h"
#include "unit_support.h"
#include "usb_device.h"

#include <chrono>
#include <cstdlib>
#include <future>
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

// ---- Faults of the wire: every call ends within its bound, and the next exchange works ----

namespace
{

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kTimeScale = 3;
#else
constexpr int kTimeScale = 1;
#endif

// Worst cases of one call with a 12-byte frame, recovery included (see the
// transport): three envelope steps of 1,000 ms and a drain of 400 ms.
constexpr int kSendBoundMs = 3400;
constexpr int kReadBoundMs = 3400;
constexpr int kSlackMs = 1000;

enum class Call { send, read };

const std::vector<uint8_t> kHandshake = {0xEF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF,
                                         0x01, 0x00, 0x03, 0x35, 0x00, 0x39};
const std::vector<uint8_t> kHandshakeAnswer = {0xEF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF,
                                               0x07, 0x00, 0x03, 0x00, 0x00, 0x0A};

struct WireFault {
    const char *name;
    const char *arm;    // emulator command that sets the fault
    bool answer_fault;  // it hits the next answer, so it is set before the command is sent
    const char *disarm; // command that ends it; nullptr: it fires once or ends with the host's clear
    Call call;
    int result;                        // of the call under the fault
    int32_t read_count;                // bytes the read reports when it succeeds
    int settle_ms;                     // wait after the call until a late answer is readable
    std::vector<std::string> recovery; // trace before the next exchange's first wrapper
    std::vector<uint8_t> left_over;    // bytes of the earlier answer the next read still gets first
};

void PrintTo(const WireFault &f, std::ostream *os)
{
    *os << f.name;
}

std::string hex_line(const char *head, const std::vector<uint8_t> &bytes)
{
    std::string line = head;
    char b[4];
    for (uint8_t v : bytes) {
        snprintf(b, sizeof(b), " %02x", v);
        line += b;
    }
    return line;
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<uint8_t> kCutAnswer(kHandshakeAnswer.begin(), kHandshakeAnswer.begin() + 5);

const WireFault kWireFaults[] = {
    {"out_data_stalls_send",
     "stall-out data",
     false,
     "stall-out off",
     Call::send,
     -1,
     0,
     0,
     {"CLEAR 01", "CLEAR 81"},
     {}},
    {"out_data_stalls_read", "stall-out data", false, "stall-out off", Call::read, 0, 12, 0, {}, {}},
    {"out_all_stalls_send", "stall-out all", false, "stall-out off", Call::send, -1, 0, 0, {}, {}},
    {"out_all_stalls_read",
     "stall-out all",
     false,
     "stall-out off",
     Call::read,
     -1,
     0,
     0,
     {},
     kHandshakeAnswer},
    {"out_halted_send", "halt 01", false, nullptr, Call::send, -1, 0, 0, {"CLEAR 01"}, {}},
    {"out_halted_read", "halt 01", false, nullptr, Call::read, -1, 0, 0, {"CLEAR 01"}, kHandshakeAnswer},
    // The status is lost with the halt: the IN endpoint is cleared, drained (the module's envelope
    // starts over, so it has nothing and stalls the read), and both are cleared.
    {"in_halted_send",
     "halt 81",
     false,
     nullptr,
     Call::send,
     -1,
     0,
     0,
     {"CLEAR 81", "IN 81 !PIPE", "CLEAR 01", "CLEAR 81"},
     kHandshakeAnswer},
    {"in_halted_read", "halt 81", false, nullptr, Call::read, -1, 0, 0, {"CLEAR 81"}, kHandshakeAnswer},
    {"late_answer_send", "late-next 1500", true, nullptr, Call::send, 0, 0, 1600, {}, kHandshakeAnswer},
    // A data phase that found nothing is no abandoned transaction: the late answer is not
    // drained but read in the next data phase.
    {"late_answer_read", "late-next 1500", true, nullptr, Call::read, -1, 0, 600, {}, kHandshakeAnswer},
    {"cut_answer_send", "cut-next 5", true, nullptr, Call::send, 0, 0, 0, {}, kCutAnswer},
    {"cut_answer_read", "cut-next 5", true, nullptr, Call::read, 0, 5, 0, {}, {}},
};

class WireFaults : public Transport, public ::testing::WithParamInterface<WireFault>
{
  protected:
    void SetUp() override
    {
        Transport::SetUp();
        emu.reset();
        emu.command("plug");
        emu.clear_trace();
    }
    void TearDown() override
    {
        emu.command("stall-out off");
        emu.command("halt off");
        Transport::TearDown();
    }
};

} // namespace

TEST_P(WireFaults, CallEndsWithinItsBoundAndTheNextExchangeWorks)
{
    const WireFault &f = GetParam();
    ASSERT_EQ(usb_dev_open(dev), 0);
    int32_t written = 0;
    if (f.answer_fault) {
        ASSERT_TRUE(emu.ok(f.arm));
    }
    if (f.call == Call::read) {
        ASSERT_EQ(usb_send_data(kHandshake.data(), static_cast<int32_t>(kHandshake.size()), &written), 0);
    }
    if (!f.answer_fault) {
        ASSERT_TRUE(emu.ok(f.arm));
    }

    uint8_t buf[230] = {0};
    int32_t count = -7;
    const auto start = std::chrono::steady_clock::now();
    // On a worker thread, so that a call that does not end cannot hang the suite:
    // switching the fault off below releases it.
    auto call = std::async(std::launch::async, [&] {
        return f.call == Call::send
                   ? usb_send_data(kHandshake.data(), static_cast<int32_t>(kHandshake.size()), &count)
                   : usb_read_data(buf, sizeof(buf), &count);
    });
    const int bound_ms = (f.call == Call::send ? kSendBoundMs : kReadBoundMs) + kSlackMs;
    const bool ended =
        call.wait_for(std::chrono::milliseconds(bound_ms * kTimeScale)) == std::future_status::ready;
    if (f.disarm != nullptr) {
        emu.command(f.disarm);
    }
    emu.command("halt off");
    const int result = call.get();
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_TRUE(ended) << "still running after " << bound_ms * kTimeScale << " ms";
    EXPECT_EQ(result, f.result) << elapsed.count() << " ms";
    if (f.result != 0) {
        EXPECT_EQ(count, -7) << "a failed call leaves the count";
    } else if (f.call == Call::send) {
        EXPECT_EQ(count, 12);
    } else {
        EXPECT_EQ(count, f.read_count);
    }
    usleep(static_cast<useconds_t>(f.settle_ms) * 1000);

    emu.clear_trace();
    ASSERT_EQ(usb_send_data(kHandshake.data(), static_cast<int32_t>(kHandshake.size()), &written), 0);
    int32_t got = 0;
    ASSERT_EQ(usb_read_data(buf, sizeof(buf), &got), 0);
    const std::vector<uint8_t> answers = cat(f.left_over, kHandshakeAnswer);
    EXPECT_EQ(got, static_cast<int32_t>(answers.size()));
    std::vector<std::string> expected = f.recovery;
    for (const std::string &line :
         {std::string("OUT 01 55 53 42 43 00 0c 00 00"), hex_line("OUT 01", kHandshake),
          std::string("IN 81 55 53 42 53"), std::string("OUT 01 55 53 42 43 80 e6 00 00"),
          hex_line("IN 81", answers), std::string("IN 81 55 53 42 53")}) {
        expected.push_back(line);
    }
    EXPECT_EQ(trace(), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, WireFaults, ::testing::ValuesIn(kWireFaults),
                         [](const ::testing::TestParamInfo<WireFault> &info) {
                             return std::string(info.param.name);
                         });
