// The bootloader link and the command exchanges, against the scripted libusb.
#include "upgrade_fixture.h"

#include "common.h"

#include <set>
#include <string>

namespace upgrade_test
{
namespace
{

using fake_usb::Reply;

// ---- Opening and closing ---------------------------------------------------------

class BootLink : public UpgradeTest
{
};

TEST_F(BootLink, OpensTheBootloaderAmongOtherDevicesAndClosesIt)
{
    fake_usb::state().devices = {{0x2109, 0x0817}, {0x1234, 0xABCF}, {0x1234, 0xABCE}};
    ASSERT_EQ(boot_open_dev(), 0);
    EXPECT_NE(upgrade_param.usb_handle, nullptr);
    EXPECT_EQ(upgrade_param.udev.vid, 0x1234u);
    EXPECT_EQ(upgrade_param.udev.pid, 0xABCEu);
    EXPECT_EQ(upgrade_param.udev.bInterfaceNumber, 0);
    ASSERT_NE(upgrade_param.udev.devs, nullptr);
    EXPECT_EQ(upgrade_param.udev.dev, upgrade_param.udev.devs[2]);
    EXPECT_EQ(fake_usb::state().calls,
              (std::vector<std::string>{"get_device_list", "open(1234:abce)", "claim(0)"}));

    EXPECT_EQ(boot_close_dev(), 0);
    EXPECT_EQ(upgrade_param.udev.dev, nullptr);
    expect_link_released();
}

struct OpenFailureCase {
    const char *name;
    std::vector<fake_usb::Device> devices;
    int list_result;
    bool open_fails;
    std::deque<int> claim_results;
    int detach_result;
    std::string log_text;
    int log_grade;
    std::vector<std::string> calls;
};

class BootOpenFailure : public UpgradeTest, public ::testing::WithParamInterface<OpenFailureCase>
{
};

TEST_P(BootOpenFailure, LeavesTheLinkClosedAndFreesEverything)
{
    const OpenFailureCase &c = GetParam();
    fake_usb::State &s = fake_usb::state();
    s.devices = c.devices;
    s.list_result = c.list_result;
    s.open_fails = c.open_fails;
    s.claim_results = c.claim_results;
    s.detach_result = c.detach_result;

    EXPECT_EQ(boot_open_dev(), -1);
    EXPECT_EQ(count_log(c.log_grade, c.log_text), 1);
    std::vector<std::string> calls;
    for (const std::string &call : s.calls) {
        if (call != "free_device_list") {
            calls.push_back(call);
        }
    }
    EXPECT_EQ(calls, c.calls);
    expect_link_released();
}

INSTANTIATE_TEST_SUITE_P(
    Paths, BootOpenFailure,
    ::testing::Values(OpenFailureCase{"no_devices",
                                      {},
                                      0,
                                      false,
                                      {},
                                      0,
                                      "get_device_descriptor failed.\n",
                                      DBG_LOG_GRADE,
                                      {"get_device_list"}},
                      OpenFailureCase{"device_list_error",
                                      {},
                                      LIBUSB_ERROR_NO_MEM,
                                      false,
                                      {},
                                      0,
                                      "get_device_descriptor failed.\n",
                                      DBG_LOG_GRADE,
                                      {"get_device_list"}},
                      OpenFailureCase{"application_only",
                                      {{0x2109, 0x7638}},
                                      0,
                                      false,
                                      {},
                                      0,
                                      "get_device_descriptor failed.\n",
                                      DBG_LOG_GRADE,
                                      {"get_device_list"}},
                      OpenFailureCase{"unreadable_descriptor",
                                      {{0x1234, 0xABCE, true}},
                                      0,
                                      false,
                                      {},
                                      0,
                                      "get_device_descriptor failed.\n",
                                      DBG_LOG_GRADE,
                                      {"get_device_list"}},
                      OpenFailureCase{"open_fails",
                                      {{0x1234, 0xABCE}},
                                      0,
                                      true,
                                      {},
                                      0,
                                      "vid=0x1234, pid=0xabce usb device open failed!!!\n",
                                      ERR_LOG_GRADE,
                                      {"get_device_list", "open(1234:abce)"}},
                      OpenFailureCase{
                          "detach_fails",
                          {{0x1234, 0xABCE}},
                          0,
                          false,
                          {LIBUSB_ERROR_BUSY},
                          LIBUSB_ERROR_NOT_FOUND,
                          "libusb_detach_kernel_driver failed.\n",
                          ERR_LOG_GRADE,
                          {"get_device_list", "open(1234:abce)", "claim(0)", "detach(0)", "close"}},
                      OpenFailureCase{"second_claim_fails",
                                      {{0x1234, 0xABCE}},
                                      0,
                                      false,
                                      {LIBUSB_ERROR_BUSY, LIBUSB_ERROR_BUSY},
                                      0,
                                      "libusb_claim_interface failed.\n",
                                      ERR_LOG_GRADE,
                                      {"get_device_list", "open(1234:abce)", "claim(0)", "detach(0)",
                                       "claim(0)", "close"}}),
    [](const ::testing::TestParamInfo<OpenFailureCase> &info) { return std::string(info.param.name); });

TEST_F(BootLink, ClaimsAfterDetachingTheKernelDriver)
{
    attach_bootloader();
    fake_usb::state().claim_results = {LIBUSB_ERROR_BUSY, 0};
    ASSERT_EQ(boot_open_dev(), 0);
    EXPECT_EQ(fake_usb::state().calls, (std::vector<std::string>{"get_device_list", "open(1234:abce)",
                                                                 "claim(0)", "detach(0)", "claim(0)"}));
    EXPECT_EQ(boot_close_dev(), 0);
    expect_link_released();
}

TEST_F(BootLink, ClosingAClosedLinkIsRefusedWithoutTouchingLibusb)
{
    EXPECT_EQ(boot_close_dev(), -1);
    EXPECT_EQ(count_log(ERR_LOG_GRADE, "vid=0x1234, pid=0xabce usb device not open!!!\r\n"), 1);
    EXPECT_TRUE(fake_usb::state().calls.empty());
}

TEST_F(BootLink, ReopeningReplacesTheOpenLink)
{
    attach_bootloader();
    ASSERT_EQ(boot_open_dev(), 0);
    ASSERT_EQ(boot_open_dev(), 0);
    EXPECT_EQ(fake_usb::state().handles_opened, 2);
    EXPECT_EQ(fake_usb::state().handles_closed, 1);
    EXPECT_EQ(fake_usb::state().lists_freed, 1);
    EXPECT_EQ(boot_close_dev(), 0);
    expect_link_released();
}

// ---- Raw transfers -----------------------------------------------------------------

TEST_F(BootLink, TransfersUseTheBootloaderEndpoints)
{
    attach_bootloader();
    fake_usb::state().pending.push_back({0, {0x01, 0x02, 0x03}});
    ASSERT_EQ(boot_open_dev(), 0);
    const uint8_t out[4] = {0xAA, 0xD3, 0x00, 0x00};
    uint8_t in[64] = {};
    EXPECT_EQ(boot_write_usb(out, 4), 4);
    EXPECT_EQ(boot_read_usb(in, sizeof(in)), 3);
    EXPECT_EQ(boot_close_dev(), 0);

    const fake_usb::State &s = fake_usb::state();
    ASSERT_EQ(s.writes.size(), 1u);
    EXPECT_EQ(s.writes[0].endpoint, 0x04);
    EXPECT_EQ(s.writes[0].timeout, 1000u) << "a write that is never taken must end";
    EXPECT_EQ(s.writes[0].bytes, (Bytes{0xAA, 0xD3, 0x00, 0x00}));
    ASSERT_EQ(s.reads.size(), 1u);
    EXPECT_EQ(s.reads[0].endpoint, 0x84);
    EXPECT_EQ(s.reads[0].timeout, 1000u);
    EXPECT_EQ(s.reads[0].length, 64);
    EXPECT_EQ(Bytes(in, in + 3), (Bytes{0x01, 0x02, 0x03}));
}

struct TransferRefusal {
    const char *name;
    bool write;
    bool open;
    bool null_data;
    int len;
    std::string log_text;
};

class BootTransferRefused : public UpgradeTest, public ::testing::WithParamInterface<TransferRefusal>
{
};

TEST_P(BootTransferRefused, MakesNoTransfer)
{
    const TransferRefusal &c = GetParam();
    attach_bootloader();
    if (c.open) {
        ASSERT_EQ(boot_open_dev(), 0);
    }
    uint8_t buf[8] = {0xAA};
    uint8_t *data = c.null_data ? nullptr : buf;
    EXPECT_EQ(c.write ? boot_write_usb(data, c.len) : boot_read_usb(data, c.len), -1);
    EXPECT_EQ(count_log(ERR_LOG_GRADE, c.log_text), 1);
    EXPECT_TRUE(fake_usb::state().writes.empty());
    EXPECT_TRUE(fake_usb::state().reads.empty());
    if (c.open) {
        boot_close_dev();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Params, BootTransferRefused,
    ::testing::Values(TransferRefusal{"write_null", true, true, true, 4, "the param is error!!!\n"},
                      TransferRefusal{"write_zero", true, true, false, 0, "the param is error!!!\n"},
                      TransferRefusal{"write_closed", true, false, false, 4,
                                      "usb vid=0x1234 pid=0xabce not open, error!!!\n"},
                      TransferRefusal{"read_null", false, true, true, 8, "the param is error!!!\n"},
                      TransferRefusal{"read_zero", false, true, false, 0, "the param is error!!!\n"},
                      TransferRefusal{"read_closed", false, false, false, 8,
                                      "usb vid=0x1234 pid=0xabce not open, error!!!\n"}),
    [](const ::testing::TestParamInfo<TransferRefusal> &info) { return std::string(info.param.name); });

TEST_F(BootLink, TransferErrorsAreReportedWithTheirCode)
{
    attach_bootloader();
    ASSERT_EQ(boot_open_dev(), 0);
    uint8_t buf[8] = {0xAA};
    EXPECT_EQ(boot_read_usb(buf, sizeof(buf)), -1); // nothing pending: time-out
    EXPECT_EQ(count_log(ERR_LOG_GRADE, "libusb_bulk_transfer read failed ret = -7!!!\n"), 1);
    fake_usb::state().write_result = LIBUSB_ERROR_PIPE;
    EXPECT_EQ(boot_write_usb(buf, sizeof(buf)), -1);
    EXPECT_EQ(count_log(ERR_LOG_GRADE, "libusb_bulk_transfer write failed ret = -9!!!\r\n"), 1);
    boot_close_dev();
}

// A write the bootloader does not take ends after its time-out, and an endpoint
// that halts is cleared at once: the next command goes through unchanged.
struct LinkFault {
    const char *name;
    bool write;               // the fault hits the request (else the reply)
    int write_result;         // scripted result of the write
    std::set<uint8_t> halted; // endpoints halted until cleared
    std::string log_text;
    std::vector<std::string> clears; // clear-halt calls expected
};

class BootLinkRecovers : public UpgradeTest, public ::testing::WithParamInterface<LinkFault>
{
};

TEST_P(BootLinkRecovers, FailsTheTransferAndLeavesTheLinkReady)
{
    const LinkFault &c = GetParam();
    attach_bootloader();
    ASSERT_EQ(boot_open_dev(), 0);
    fake_usb::State &s = fake_usb::state();
    s.write_result = c.write_result;
    s.halted = c.halted;
    const uint8_t request[6] = {0xAA, 0xD3, 0x00, 0x00, 0x2C, 0x55};
    uint8_t in[64] = {};
    if (c.write) {
        EXPECT_EQ(boot_write_usb(request, sizeof(request)), -1);
    } else {
        EXPECT_EQ(boot_write_usb(request, sizeof(request)), 6);
        EXPECT_EQ(boot_read_usb(in, sizeof(in)), -1);
    }
    EXPECT_EQ(count_log(ERR_LOG_GRADE, c.log_text), 1);
    ASSERT_FALSE(s.writes.empty());
    EXPECT_EQ(s.writes[0].timeout, 1000u);
    std::vector<std::string> clears;
    for (const std::string &call : s.calls) {
        if (call.rfind("clear_halt", 0) == 0) {
            clears.push_back(call);
        }
    }
    EXPECT_EQ(clears, c.clears);

    // The fault is gone (a halt only through the clear above): the next command works.
    s.write_result = 0;
    s.writes.clear();
    s.reads.clear();
    s.pending.clear();
    s.bootloader = [](const Bytes &) { return std::vector<Reply>{{0, reply::kEraseOk}}; };
    EXPECT_EQ(eraseEFlash(), 0);
    ASSERT_EQ(s.writes.size(), 1u);
    EXPECT_EQ(s.writes[0].bytes, (Bytes{0xAA, 0xD3, 0x00, 0x00, 0x2C, 0x55}));
    ASSERT_EQ(s.reads.size(), 1u);
    EXPECT_EQ(s.reads[0].bytes, reply::kEraseOk);
    boot_close_dev();
}

INSTANTIATE_TEST_SUITE_P(Faults, BootLinkRecovers,
                         ::testing::Values(LinkFault{"write_not_taken",
                                                     true,
                                                     LIBUSB_ERROR_TIMEOUT,
                                                     {},
                                                     "libusb_bulk_transfer write failed ret = -7!!!\r\n",
                                                     {}},
                                           LinkFault{"out_endpoint_halted",
                                                     true,
                                                     0,
                                                     {UP_BOOT_EP_OUT},
                                                     "libusb_bulk_transfer write failed ret = -9!!!\r\n",
                                                     {"clear_halt(04)"}},
                                           LinkFault{"in_endpoint_halted",
                                                     false,
                                                     0,
                                                     {UP_BOOT_EP_IN},
                                                     "libusb_bulk_transfer read failed ret = -9!!!\n",
                                                     {"clear_halt(84)"}}),
                         [](const ::testing::TestParamInfo<LinkFault> &info) {
                             return std::string(info.param.name);
                         });

// ---- Interface lookup ------------------------------------------------------------

TEST_F(BootLink, InterfaceLookupByClass)
{
    const struct {
        uint8_t wanted_class;
        bool config_fails;
        int result;
        uint8_t number;
    } cases[] = {{0xFF, false, 0, 2}, {0x03, false, 0, 1}, {0x08, false, -2, 0}, {0xFF, true, -1, 0}};
    for (const auto &c : cases) {
        fake_usb::reset();
        attach_bootloader();
        fake_usb::state().interfaces = {{0, 0x0A}, {1, 0x03}, {2, 0xFF}};
        fake_usb::state().config_fails = c.config_fails;
        struct libusb_device_descriptor desc = {};
        ASSERT_EQ(get_device_descriptor(&desc, &upgrade_param.udev), 0);
        upgrade_param.udev.bInterfaceClass = c.wanted_class;
        EXPECT_EQ(get_device_endpoint(&desc, &upgrade_param.udev), c.result);
        EXPECT_EQ(upgrade_param.udev.bInterfaceNumber, c.number);
        EXPECT_EQ(fake_usb::state().configs_freed, fake_usb::state().configs_taken);
        // A second search gives the first list back.
        ASSERT_EQ(get_device_descriptor(&desc, &upgrade_param.udev), 0);
        EXPECT_EQ(fake_usb::state().lists_freed, 1);
        libusb_free_device_list(std::exchange(upgrade_param.udev.devs, nullptr), 1);
        upgrade_param.udev.dev = nullptr;
    }
}

// ---- Commands ----------------------------------------------------------------------

Bytes padded(Bytes frame)
{
    frame.resize(250, 0x00);
    return frame;
}

struct CommandCase {
    const char *name;
    int (*command)();
    Bytes request; // exactly as written
    std::vector<Reply> replies;
    int result;
    std::string log_text; // empty: no error logged
};

class Command : public UpgradeTest, public ::testing::WithParamInterface<CommandCase>
{
};

TEST_P(Command, SendsItsRequestAndJudgesTheReply)
{
    const CommandCase &c = GetParam();
    attach_bootloader();
    ASSERT_EQ(boot_open_dev(), 0);
    for (const Reply &r : c.replies) {
        fake_usb::state().pending.push_back(r);
    }
    EXPECT_EQ(c.command(), c.result);
    EXPECT_EQ(upgrade_param.prot_packet_usb.prot_state, UP_PACKET_IDLE);
    boot_close_dev();

    const fake_usb::State &s = fake_usb::state();
    ASSERT_EQ(s.writes.size(), 1u);
    EXPECT_EQ(s.writes[0].bytes, c.request);
    ASSERT_EQ(s.reads.size(), 1u);
    EXPECT_EQ(s.reads[0].length, 64);
    int errors = 0;
    for (const LogLine &line : logs()) {
        errors += line.grade == ERR_LOG_GRADE ? 1 : 0;
    }
    if (c.log_text.empty()) {
        EXPECT_EQ(errors, 0);
    } else {
        EXPECT_EQ(count_log(ERR_LOG_GRADE, c.log_text), 1);
    }
}

const Bytes kEraseRequest = {0xAA, 0xD3, 0x00, 0x00, 0x2C, 0x55};
const Bytes kSecurityRequest = {0xAA, 0xCC, 0x00, 0x00, 0x33, 0x55};
const Bytes kRunRequest = {0xAA, 0xE3, 0x00, 0x00, 0x1C, 0x55};

INSTANTIATE_TEST_SUITE_P(
    Exchanges, Command,
    ::testing::Values(
        CommandCase{"erase_ok", eraseEFlash, kEraseRequest, {{0, reply::kEraseOk}}, 0, ""},
        CommandCase{"erase_status_01", eraseEFlash, kEraseRequest, {{0, reply::kEraseFail}}, -1, ""},
        CommandCase{"erase_no_data", eraseEFlash, kEraseRequest, {{0, reply::kEraseNoData}}, -1, ""},
        CommandCase{"erase_bad_bcc",
                    eraseEFlash,
                    kEraseRequest,
                    {{0, reply::kEraseBadBcc}},
                    -1,
                    "Recv data from device error!!!\n"},
        CommandCase{"erase_no_reply", eraseEFlash, kEraseRequest, {}, -1, "read response failed!!!\n"},
        CommandCase{
            "erase_empty_read", eraseEFlash, kEraseRequest, {{0, {}}}, -1, "read response failed!!!\n"},
        CommandCase{"erase_split_reply",
                    eraseEFlash,
                    kEraseRequest,
                    {{0, {0xAA, 0xD3, 0x01}}, {0, {0x00, 0x00, 0x2D, 0x55}}},
                    -1,
                    ""},
        CommandCase{"erase_padded_reply",
                    eraseEFlash,
                    kEraseRequest,
                    {{0, {0x00, 0x00, 0xAA, 0xD3, 0x01, 0x00, 0x00, 0x2D, 0x55, 0x00}}},
                    0,
                    ""},
        CommandCase{"security_ok", securityCode, kSecurityRequest, {{0, reply::kSecurityOk}}, 0, ""},
        CommandCase{
            "security_status_01", securityCode, kSecurityRequest, {{0, reply::kSecurityFail}}, -1, ""},
        CommandCase{"run_ok", runAPP, kRunRequest, {{0, reply::kRunOk}}, 0, ""},
        CommandCase{"run_status_01", runAPP, kRunRequest, {{0, reply::kRunFail}}, -1, ""},
        CommandCase{"run_reply_type_not_examined", runAPP, kRunRequest, {{0, reply::kEraseOk}}, 0, ""},
        CommandCase{"read_serial",
                    readSN,
                    padded({0xAA, 0xA0, 0x00, 0x00, 0x5F, 0x55}),
                    {{0, reply::kSerial}},
                    0,
                    ""},
        CommandCase{
            "read_crc",
            [] { return readCRC(0, 1000); },
            padded({0xAA, 0xA6, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00, 0xBA, 0x55}),
            {{0, reply::kCrc1000}},
            0,
            ""},
        CommandCase{
            "read_crc_no_reply",
            [] { return readCRC(0, 1000); },
            padded({0xAA, 0xA6, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00, 0xBA, 0x55}),
            {{LIBUSB_ERROR_TIMEOUT, {}}},
            -1,
            "read response failed!!!\n"},
        CommandCase{"download_crc",
                    [] { return downloadCRCValue(1000, 0x6A2E, 0); },
                    padded({0xAA, 0xD9, 0x0A, 0x00, 0xE8, 0x03, 0x00, 0x00, 0x2E, 0x6A, 0x00, 0x00, 0x00,
                            0x00, 0x83, 0x55}),
                    {{0, reply::kDownloadCrcOk}},
                    0,
                    ""},
        CommandCase{"download_crc_status_01",
                    [] { return downloadCRCValue(1000, 0x6A2E, 0); },
                    padded({0xAA, 0xD9, 0x0A, 0x00, 0xE8, 0x03, 0x00, 0x00, 0x2E, 0x6A, 0x00, 0x00, 0x00,
                            0x00, 0x83, 0x55}),
                    {{0, reply::kDownloadCrcFail}},
                    -1,
                    ""}),
    [](const ::testing::TestParamInfo<CommandCase> &info) { return std::string(info.param.name); });

class Commands : public UpgradeTest
{
  protected:
    void SetUp() override
    {
        UpgradeTest::SetUp();
        attach_bootloader();
        ASSERT_EQ(boot_open_dev(), 0);
    }
    void TearDown() override
    {
        boot_close_dev();
        UpgradeTest::TearDown();
    }
};

TEST_F(Commands, ReadCrcStoresTheReportedChecksum)
{
    upgrade_param.crc_value_dev = 0x1111;
    fake_usb::state().pending.push_back({0, reply::kCrc1000});
    ASSERT_EQ(readCRC(0, 1000), 0);
    EXPECT_EQ(upgrade_param.crc_value_dev, 0x6A2E);
    // A failed read leaves no stale checksum behind.
    EXPECT_EQ(readCRC(0, 1000), -1);
    EXPECT_EQ(upgrade_param.crc_value_dev, 0);
}

TEST_F(Commands, ReadSerialCopiesTheReplyData)
{
    std::memset(upgrade_param.dev_sn, 'x', sizeof(upgrade_param.dev_sn));
    fake_usb::state().pending.push_back({0, reply::kSerial});
    ASSERT_EQ(readSN(), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(upgrade_param.dev_sn), 16),
              std::string("SN123456\0\0\0\0\0\0\0\0", 16));
}

TEST_F(Commands, DownloadFramesTheBlockWithItsAddress)
{
    const Bytes image = pattern_image(1000);
    fake_usb::state().bootloader = [](const Bytes &) { return std::vector<Reply>{{0, reply::kDownloadOk}}; };
    ASSERT_EQ(downloadCodeToEFlash(240, image.data() + 240, 240), 0);
    ASSERT_EQ(downloadCodeToEFlash(960, image.data() + 960, 40), 0);

    const auto &w = fake_usb::state().writes;
    ASSERT_EQ(w.size(), 2u);
    ASSERT_EQ(w[0].bytes.size(), 250u);
    EXPECT_EQ(Bytes(w[0].bytes.begin(), w[0].bytes.begin() + 8),
              (Bytes{0xAA, 0xD7, 0xF4, 0x00, 0xF0, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(w[0].bytes.begin() + 8, w[0].bytes.begin() + 248),
              Bytes(image.begin() + 240, image.begin() + 480));
    EXPECT_EQ(w[0].bytes[249], 0x55);

    ASSERT_EQ(w[1].bytes.size(), 250u);
    EXPECT_EQ(Bytes(w[1].bytes.begin(), w[1].bytes.begin() + 8),
              (Bytes{0xAA, 0xD7, 0x2C, 0x00, 0xC0, 0x03, 0x00, 0x00}));
    EXPECT_EQ(Bytes(w[1].bytes.begin() + 8, w[1].bytes.begin() + 48),
              Bytes(image.begin() + 960, image.end()));
    EXPECT_EQ(w[1].bytes[48], 0xA7);
    EXPECT_EQ(w[1].bytes[49], 0x55);
    EXPECT_EQ(Bytes(w[1].bytes.begin() + 50, w[1].bytes.end()), Bytes(200, 0x00));
}

TEST_F(Commands, DownloadOfMoreThanOneBlockIsRefused)
{
    uint8_t data[241] = {};
    EXPECT_EQ(downloadCodeToEFlash(0, data, 241), -1);
    EXPECT_EQ(downloadCodeToEFlash(0, nullptr, 16), -1);
    EXPECT_TRUE(fake_usb::state().writes.empty());
}

TEST_F(Commands, ReadEflashReadsLenPlusTenAndSucceedsRegardless)
{
    EXPECT_EQ(readEFlash(0x100, 16), 0);
    const fake_usb::State &s = fake_usb::state();
    ASSERT_EQ(s.writes.size(), 1u);
    EXPECT_EQ(s.writes[0].bytes, (Bytes{0xAA, 0xD0, 0x05, 0x00, 0x00, 0x01, 0x00, 0x00, 0x10, 0x3B, 0x55}));
    ASSERT_EQ(s.reads.size(), 1u);
    EXPECT_EQ(s.reads[0].length, 26);
}

TEST_F(Commands, CheckCrcAndSelfTestSendNothing)
{
    EXPECT_EQ(checkCRC(), 0);
    EXPECT_EQ(selfTest(), 0);
    EXPECT_TRUE(fake_usb::state().writes.empty());
    EXPECT_TRUE(fake_usb::state().reads.empty());
}

} // namespace
} // namespace upgrade_test
