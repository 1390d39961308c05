// Device information commands and the receive schedules of exchanges.
#include "fake_module.h"

#include <cstring>

namespace
{

using DriverInfo = DriverTest;

const Bytes kOk = H("EF 01 FF FF FF FF 07 00 03 00 00 0A");

Bytes index_page_answer(const std::vector<std::pair<int, uint8_t>> &bytes)
{
    Bytes payload(33, 0x00);
    for (auto [index, value] : bytes) {
        payload[1 + static_cast<size_t>(index)] = value;
    }
    return resp(payload);
}

TEST_F(DriverInfo, FreeSlotTable)
{
    struct Case {
        const char *name;
        std::vector<std::pair<int, uint8_t>> page;
        uint16_t expected;
    } cases[] = {
        {"empty table", {}, 90},
        {"slots 90 to 93 taken", {{11, 0x3C}}, 94},
        {"slots 88 and 89 are outside the window", {{11, 0xFC}}, 96},
        {"only bit 7 of byte 14 free", {{11, 0xFF}, {12, 0xFF}, {13, 0xFF}, {14, 0x7F}}, 119},
        {"window full, lower slots free", {{11, 0xFC}, {12, 0xFF}, {13, 0xFF}, {14, 0xFF}}, 0xFFFF},
        {"slots above the window do not count",
         {{11, 0xFC}, {12, 0xFF}, {13, 0xFF}, {14, 0xFF}, {15, 0x00}},
         0xFFFF},
        {"a gap in the middle", {{11, 0xFC}, {12, 0xFF}, {13, 0xEF}, {14, 0xFF}}, 108},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        fake::reply(index_page_answer(c.page));
        EXPECT_EQ(fp_get_empty_enroll_id(), c.expected);
        EXPECT_EQ(fake::module().sent.at(0), H("EF 01 FF FF FF FF 01 00 04 1F 00 00 24"));
    }
}

TEST_F(DriverInfo, FreeSlotWithoutAnIndexTableIsNone)
{
    EXPECT_EQ(fp_get_empty_enroll_id(), 0xFFFF);
    EXPECT_EQ(fake::reads(), 10);
    EXPECT_TRUE(log_.has("fp_send_cmd failed!!!\r\n"));

    fake::reset();
    fake::reply(resp(Bytes(33, 0x01)));
    fp_device_param.index_table_info[0][11] = 0;
    EXPECT_EQ(fp_get_empty_enroll_id(), 0xFFFF); // confirm code 1
}

struct ScheduleCase {
    const char *name;
    std::function<int()> op;
    std::vector<Bytes> replies; // served in order, then silence
    int result;
    std::vector<int> reads; // requested length of every read
    std::vector<unsigned> sleeps;
    const char *log;
};

TEST_F(DriverInfo, ScheduleTable)
{
    const Bytes other_data = packet(PROT_TYPE_DATA, H("00"));
    const ScheduleCase cases[] = {
        {"silent handshake: three reads of 230",
         [] { return fp_handshake(); },
         {},
         -1,
         {230, 230, 230},
         {20, 20, 20, 20},
         nullptr},
        {"handshake answered", [] { return fp_handshake(); }, {kOk}, 0, {230}, {20}, nullptr},
        {"handshake answered on the third read",
         [] { return fp_handshake(); },
         {H(""), H(""), kOk},
         0,
         {230, 230, 230},
         {20, 20, 20},
         nullptr},
        {"bad checksum, then the answer",
         [] { return fp_handshake(); },
         {H("EF 01 FF FF FF FF 07 00 03 00 00 0B"), kOk},
         0,
         {230, 230},
         {20, 20},
         nullptr},
        {"a data packet first ends the exchange at once",
         [] { return fp_handshake(); },
         {other_data, kOk},
         -1,
         {230},
         {20},
         "current_cmd_code = 0x35, current_resp_cmd = 0x00, ERROR!!!\r\n"},
        {"brightness is never paired",
         [] { return fp_get_bright(); },
         {kOk},
         -1,
         {64},
         {20},
         "current_cmd_code = 0xb1, current_resp_cmd = 0x00, ERROR!!!\r\n"},
        {"handshake with confirm 1",
         [] { return fp_handshake(); },
         {resp(H("01"))},
         -1,
         {230},
         {20},
         "not received PROT_RESP_OK!!!\r\n"},
        {"system parameters, silent",
         [] { return fp_read_sys_param(); },
         {},
         -1,
         {64, 64, 64},
         {20, 20, 20, 20},
         nullptr},
        {"index table, silent: ten reads",
         [] { return fp_read_index_table(0); },
         {},
         -1,
         std::vector<int>(10, 64),
         std::vector<unsigned>(11, 20),
         "fp_send_cmd failed!!!\r\n"},
        {"information page, silent: five reads",
         [] { return fp_read_flash_info_page(); },
         {},
         -1,
         std::vector<int>(5, 64),
         std::vector<unsigned>(6, 20),
         nullptr},
        {"fingerprint capture waits 100 ms",
         [] { return fp_force_get_fprint_img(); },
         {},
         -1,
         std::vector<int>(5, 64),
         {100, 20, 20, 20, 20, 20},
         nullptr},
        {"reboot: one read after 70 ms",
         [] { return fp_reboot(); },
         {},
         -1,
         {64},
         {70},
         "fp_send_cmd failed!!!\n"},
        {"reboot answered", [] { return fp_reboot(); }, {kOk}, 0, {64}, {70}, nullptr},
        {"reboot refused",
         [] { return fp_reboot(); },
         {resp(H("14"))},
         -1,
         {64},
         {70},
         "not received PROT_RESP_OK!!!\r\n"},
        {"firmware version, silent: ten reads",
         [] { return fp_get_firmware_version(); },
         {},
         -1,
         std::vector<int>(10, 64),
         std::vector<unsigned>(12, 20),
         "fp_send_cmd failed!!!\r\n"},
    };
    for (const ScheduleCase &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        fp_module_init();
        for (const Bytes &r : c.replies) {
            if (r.empty()) {
                fake::silence();
            } else {
                fake::reply(r);
            }
        }
        LogCapture log;
        EXPECT_EQ(c.op(), c.result);
        EXPECT_EQ(fake::module().read_requests, c.reads);
        EXPECT_EQ(fake::module().sleeps, c.sleeps);
        EXPECT_EQ(fake::module().sent.size(), 1u);
        if (c.log != nullptr) {
            EXPECT_TRUE(log.has(c.log)) << log.text();
        }
    }
}

TEST_F(DriverInfo, NoAttemptsMeansNoRead)
{
    RECV_DATA_STRUCT sched{};
    fp_recv_param_init(&sched, 64, 20, 0, 20);
    fake::reply(kOk);
    EXPECT_EQ(fp_send_cmd(PROT_CMD_HANDSHAKE, nullptr, 0, sched), -1);
    EXPECT_EQ(fake::reads(), 0);
    EXPECT_EQ(fake::module().sent.size(), 1u);
    EXPECT_EQ(fake::module().sleeps, (std::vector<unsigned>{20}));
}

TEST_F(DriverInfo, SendFailureEndsTheExchange)
{
    fake::module().send_result = -1;
    fake::reply(kOk);
    EXPECT_EQ(fp_handshake(), -1);
    EXPECT_EQ(fake::reads(), 0);
    EXPECT_TRUE(fake::module().sleeps.empty());
    EXPECT_TRUE(log_.has("usb_send_data failed!!!\r\n"));
}

TEST_F(DriverInfo, StaleAnswerCannotSatisfyALaterExchange)
{
    fp_resp_init(PROT_CMD_HANDSHAKE);
    fp_parse_prot(kOk.data(), static_cast<int>(kOk.size()));
    ASSERT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_HANDSHAKE);
    EXPECT_EQ(fp_read_sys_param(), -1);
    EXPECT_EQ(prot_packet_usb.current_resp_cmd, 0);
    EXPECT_EQ(fp_resp_type_get(), 0xFF);
}

TEST_F(DriverInfo, SystemParametersAreStored)
{
    fake::reply(resp(H("00 00 02 00 64 00 03 FF FF FF FF")));
    EXPECT_EQ(fp_read_sys_param(), 0);
    EXPECT_EQ(fp_device_param.sys_param.fp_database_size, 100);
}

TEST_F(DriverInfo, TemplateCountIsPresetBeforeAsking)
{
    fp_device_param.valid_template_num = 3;
    EXPECT_EQ(fp_get_valid_template_num(), -1);
    EXPECT_EQ(fp_device_param.valid_template_num, 0xFFFF);
    fake::reply(resp(H("00 00 05")));
    EXPECT_EQ(fp_get_valid_template_num(), 0);
    EXPECT_EQ(fp_device_param.valid_template_num, 5);
}

TEST_F(DriverInfo, SerialNumberIsLogged)
{
    Bytes answer = {0x00};
    for (int i = 0; i < 16; ++i) {
        answer.push_back(static_cast<uint8_t>(0xA0 + i));
    }
    fake::reply(resp(answer));
    EXPECT_EQ(fp_get_chip_serial_num(), 0);
    EXPECT_EQ(fp_device_param.chip_serial_num_len, 16);
    EXPECT_TRUE(log_.has("chip_serial_num: "));
    EXPECT_TRUE(log_.has("a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af \n"));

    // An answer of unexpected length counts as failed.
    fake::reply(resp(Bytes(25, 0x00)));
    EXPECT_EQ(fp_get_chip_serial_num(), -1);
}

TEST_F(DriverInfo, InformationPageFollowsTheAnswer)
{
    fake::reply(kOk);
    fake::reply(packet(PROT_TYPE_END, Bytes(128, 0x3C)));
    EXPECT_EQ(fp_read_flash_info_page(), 0);
    EXPECT_EQ(fake::module().read_requests, (std::vector<int>{64, 148}));
    EXPECT_EQ(fp_device_param.flash_info_page[127], 0x3C);

    fake::reset();
    fake::reply(kOk);
    EXPECT_EQ(fp_read_flash_info_page(), -1);
    EXPECT_TRUE(log_.has("fp_read_and_parse_prot failed!!!\r\n"));
}

Bytes image_packet()
{
    Bytes pkt = H("EF 01 FF FF FF FF 08 FF FF");
    for (int i = 0; i < FP_IMG_SIZE; ++i) {
        pkt.push_back(static_cast<uint8_t>(i / 256 + i));
    }
    pkt.push_back(0x55);
    pkt.push_back(0xAA);
    return pkt;
}

TEST_F(DriverInfo, ImageReads)
{
    const Bytes image = image_packet();
    struct Case {
        const char *name;
        std::function<int()> op;
        std::vector<Bytes> replies;
        std::vector<int> reads;
        size_t frames;
    } cases[] = {
        {"upload", [] { return fp_upload_fprint_img(); }, {kOk, image}, {64, 92180}, 1},
        {"upload, image starting in the answer's read",
         [] { return fp_upload_fprint_img(); },
         {concat({kOk, Bytes(image.begin(), image.begin() + 52)}), Bytes(image.begin() + 52, image.end())},
         {64, 92180},
         1},
        {"forced capture", [] { return fp_force_get_fprint_img(); }, {kOk, image}, {64, 92180}, 1},
        {"capture, then upload", [] { return fp_get_fprint_img(); }, {kOk, kOk, image}, {64, 64, 92180}, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        memset(fp_device_param.img_data, 0, sizeof(fp_device_param.img_data));
        for (const Bytes &r : c.replies) {
            fake::reply(r);
        }
        EXPECT_EQ(c.op(), 0);
        EXPECT_EQ(fake::module().read_requests, c.reads);
        EXPECT_EQ(fake::module().sent.size(), c.frames);
        EXPECT_EQ(memcmp(fp_device_param.img_data, image.data() + 9, FP_IMG_SIZE), 0);
    }
    EXPECT_EQ(fake::module().sent.at(0), H("EF 01 FF FF FF FF 01 00 03 01 00 05"));
    EXPECT_EQ(fake::module().sent.at(1), H("EF 01 FF FF FF FF 01 00 03 0A 00 0E"));
}

TEST_F(DriverInfo, ImageMissingLeavesTheLastImage)
{
    fp_device_param.img_data[0] = 0x77;
    fake::reply(kOk);
    EXPECT_EQ(fp_upload_fprint_img(), -1);
    EXPECT_EQ(fp_device_param.img_data[0], 0x77);
    EXPECT_TRUE(log_.has("fp_read_and_parse_prot failed!!!\r\n"));
    EXPECT_EQ(prot_packet_usb.current_cmd_code, PORT_CMD_ACQUIRE_IMAGEDATA);
}

Bytes version_answer()
{
    const std::string text = "acm32_btl_nuvex_pc_12";
    Bytes b(26, 0x00); // confirm code 0, then the text padded with zeros
    for (size_t i = 0; i < text.size() && i < 25; ++i) {
        b[1 + i] = static_cast<uint8_t>(text[i]);
    }
    return resp(b);
}

TEST_F(DriverInfo, FirmwareVersion)
{
    fake::reply(version_answer());
    EXPECT_EQ(fp_get_firmware_version(), 0);
    EXPECT_EQ(fp_return_firmware_version_num(), 12u);
    EXPECT_EQ(fake::reads(), 1);
    // One pause after sending, one before checking whether more is to come.
    EXPECT_EQ(fake::module().sleeps, (std::vector<unsigned>{20, 20}));
    EXPECT_EQ(get_onekey_powerup_flag(), 0);
}

TEST_F(DriverInfo, FirmwareVersionAfterAOnekeyResult)
{
    fake::reply(resp(H("00 05 00 5A 00 33")));
    fake::reply(version_answer());
    EXPECT_EQ(fp_get_firmware_version(), 0);
    EXPECT_EQ(fake::reads(), 2);
    EXPECT_EQ(fp_return_firmware_version_num(), 12u);
    EXPECT_EQ(get_onekey_powerup_flag(), 1);
    EXPECT_EQ(get_onekey_powerup_search_num(), 1);
    EXPECT_EQ(get_onekey_powerup_search_id()[0], 0x005A);
    EXPECT_EQ(fp_device_param.onekey_powerup.continue_read_fw_version_flag, 0);
}

TEST_F(DriverInfo, FirmwareVersionNeverFollowing)
{
    // The one-key answer arrives, the version never does: five follow-up
    // attempts at most, and the flag ends cleared.
    fake::reply(resp(H("00 05 00 5A 00 33")));
    for (int i = 0; i < 8; ++i) {
        fake::reply(resp(H("00 00 00")));
    }
    EXPECT_EQ(fp_get_firmware_version(), 0);
    EXPECT_EQ(fake::reads(), 6);
    EXPECT_EQ(fp_device_param.onekey_powerup.continue_read_fw_version_flag, 0);

    fake::reset();
    fake::reply(resp(H("00 05 00 5A 00 33")));
    EXPECT_EQ(fp_get_firmware_version(), 0);
    EXPECT_EQ(fake::reads(), 2); // stops at the first empty read
    EXPECT_EQ(fp_device_param.onekey_powerup.continue_read_fw_version_flag, 0);
}

TEST_F(DriverInfo, DeviceCountFollowsTheTransport)
{
    fake::module().open = false;
    EXPECT_EQ(fp_get_device_num(), 0);
    fake::module().open = true;
    EXPECT_EQ(fp_get_device_num(), 1);
}

TEST_F(DriverInfo, DrainStopsAtTheFirstEmptyRead)
{
    fake::reply(kOk);
    fake::reply(kOk);
    EXPECT_EQ(fp_read_invalid_pkg(5), -1);
    EXPECT_EQ(fake::reads(), 3);
    EXPECT_EQ(prot_packet_usb.current_resp_cmd, 0); // drained bytes are not parsed

    fake::reset();
    for (int i = 0; i < 6; ++i) {
        fake::reply(kOk);
    }
    EXPECT_EQ(fp_read_invalid_pkg(5), 0);
    EXPECT_EQ(fake::reads(), 5);
    EXPECT_EQ(fake::module().read_requests.at(0), 64);
}

} // namespace
