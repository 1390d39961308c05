// The application firmware: command frames in, answers and data packets out.
#include "emu_test_support.h"

#include <thread>

using namespace emutest;

namespace
{

// Commands, as the host puts them on the wire.
const Bytes cmd_handshake{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x35, 0x00, 0x39};
const Bytes cmd_sys_param{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x0f, 0x00, 0x13};
const Bytes cmd_index_page0{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x04, 0x1f, 0x00, 0x00, 0x24};
const Bytes cmd_serial{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x34, 0x00, 0x38};
const Bytes cmd_version{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x04, 0xaf, 0x10, 0x00, 0xc4};
const Bytes cmd_enroll_90x6{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x08,
                            0x31, 0x00, 0x5a, 0x06, 0x00, 0x00, 0x00, 0x9a};
const Bytes cmd_enroll_300{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x08,
                           0x31, 0x01, 0x2c, 0x06, 0x00, 0x00, 0x00, 0x6d};
const Bytes cmd_identify{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x08,
                         0x32, 0x03, 0xff, 0xff, 0x00, 0x03, 0x02, 0x3f};
const Bytes cmd_identify_91{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x08,
                            0x32, 0x03, 0x00, 0x5b, 0x00, 0x03, 0x00, 0x9c};
const Bytes cmd_identify_300{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x08,
                             0x32, 0x03, 0x01, 0x2c, 0x00, 0x03, 0x00, 0x6e};
const Bytes cmd_cancel{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x30, 0x00, 0x34};
const Bytes cmd_reboot{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x0b, 0xff,
                       0x3c, 0xc3, 0x69, 0x96, 0x51, 0x52, 0x58, 0x4b, 0x04, 0x4f};
const Bytes cmd_reboot_bad_code{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x0b, 0xff,
                                0x3c, 0xc3, 0x69, 0x96, 0x51, 0x52, 0x58, 0x4c, 0x04, 0x50};
const Bytes cmd_delete_90{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00,
                          0x07, 0x0c, 0x00, 0x5a, 0x00, 0x01, 0x00, 0x6f};
const Bytes cmd_empty{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x0d, 0x00, 0x11};
const Bytes cmd_count{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x1d, 0x00, 0x21};
const Bytes cmd_info_page{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x16, 0x00, 0x1a};
const Bytes cmd_upload_image{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x0a, 0x00, 0x0e};
const Bytes cmd_set_mode_test{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x08,
                              0xaf, 0xbd, 0x54, 0x45, 0x53, 0x54, 0x02, 0xb5};
const Bytes cmd_unknown_02{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x02, 0x00, 0x06};
const Bytes cmd_pc_state{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x04, 0x50, 0x01, 0x00, 0x56};
const Bytes cmd_chip_addr{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00,
                          0x07, 0x15, 0x12, 0x34, 0x56, 0x78, 0x01, 0x31};
const Bytes cmd_handshake_bad_sum{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x35, 0x00, 0x3a};
const Bytes cmd_handshake_bad_type{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x02, 0x00, 0x03, 0x35, 0x00, 0x3a};
const Bytes cmd_handshake_bad_len{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x04, 0x35, 0x00, 0x3a};

// Answers.
const Bytes ans_ok{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x03, 0x00, 0x00, 0x0a};
const Bytes ans_recv_error{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x03, 0x01, 0x00, 0x0b};
const Bytes ans_cmd_error{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x03, 0x13, 0x00, 0x1d};
const Bytes ans_sys_param{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x0d, 0x00, 0x00,
                          0x02, 0x01, 0x00, 0x00, 0x03, 0xff, 0xff, 0xff, 0xff, 0x04, 0x16};
const Bytes ans_serial{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x13, 0x00, 0x4e, 0x55, 0x56, 0x45,
                       0x58, 0x2d, 0x45, 0x4d, 0x55, 0x2d, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x04, 0x12};
const Bytes ans_count_2{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x05, 0x00, 0x00, 0x02, 0x00, 0x0e};
const Bytes ans_version_1502{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x1c, 0x00, 0x61, 0x63, 0x6d,
                             0x33, 0x32, 0x5f, 0x62, 0x74, 0x6c, 0x5f, 0x6e, 0x75, 0x76, 0x65, 0x78, 0x5f,
                             0x70, 0x63, 0x5f, 0x30, 0x30, 0x31, 0x35, 0x30, 0x32, 0x08, 0xa8};
const Bytes ans_stage0{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x04, 0x00, 0x00, 0x00, 0x0b};
const Bytes ans_stage0_out_of_range{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07,
                                    0x00, 0x04, 0x0b, 0x00, 0x00, 0x16};
const Bytes ans_stage0_full{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x04, 0x1f, 0x00, 0x00, 0x2a};
const Bytes ans_enroll_1_1{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07,
                           0x00, 0x05, 0x00, 0x01, 0x01, 0x00, 0x0e};
const Bytes ans_enroll_2_1{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07,
                           0x00, 0x05, 0x00, 0x02, 0x01, 0x00, 0x0f};
const Bytes ans_enroll_3_1{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07,
                           0x00, 0x05, 0x00, 0x03, 0x01, 0x00, 0x10};
const Bytes ans_enroll_3_6{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07,
                           0x00, 0x05, 0x00, 0x03, 0x06, 0x00, 0x15};
const Bytes ans_enroll_4{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x04, 0x00, 0x04, 0x00, 0x0f};
const Bytes ans_enroll_5{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x04, 0x00, 0x05, 0x00, 0x10};
const Bytes ans_enroll_6{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x04, 0x00, 0x06, 0x00, 0x11};
const Bytes ans_identify_1{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x04, 0x00, 0x01, 0x00, 0x0c};
const Bytes ans_match_90{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x08,
                         0x00, 0x05, 0x00, 0x5a, 0x00, 0xc8, 0x01, 0x36};
const Bytes ans_match_list{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x08,
                           0x00, 0xf5, 0x02, 0x5a, 0x5b, 0xff, 0x02, 0xba};
const Bytes ans_no_match{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x08,
                         0x09, 0x05, 0xff, 0xff, 0x00, 0x00, 0x02, 0x1b};
const Bytes ans_identify_capture_fail_1{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07,
                                        0x00, 0x04, 0x02, 0x01, 0x00, 0x0e};
const Bytes ans_identify_capture_fail_5{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x08,
                                        0x02, 0x05, 0xff, 0xff, 0x00, 0x00, 0x02, 0x14};
const Bytes ans_stray_1337{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x04, 0x13, 0x37, 0x00, 0x55};
const Bytes ans_code_5{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x03, 0x05, 0x00, 0x0f};
const Bytes ans_ok_addr_12345678{0xef, 0x01, 0x12, 0x34, 0x56, 0x78, 0x07, 0x00, 0x03, 0x00, 0x00, 0x0a};

class Firmware : public EmuTest
{
  protected:
    Env environment() const override
    {
        return {{"TIRVANE_EMU_FW_VERSION", "1502"}, {"TIRVANE_EMU_MERGE_MS", "300"}};
    }
    // Sends a command and expects exactly these bytes back, then silence.
    void expect_answer(libusb_device_handle *h, const Bytes &cmd, const Bytes &answer)
    {
        EXPECT_EQ(hex(exchange(h, cmd, answer.size())), hex(answer));
        EXPECT_EQ(wrapped_read(h, 64, 50).rc, LIBUSB_ERROR_TIMEOUT) << "more output than expected";
    }
};

} // namespace

TEST_F(Firmware, SimpleCommandsAnswerAsExpected)
{
    struct Case {
        const char *name;
        const Bytes &cmd;
        const Bytes &answer;
    };
    const Case cases[] = {
        {"handshake", cmd_handshake, ans_ok},
        {"system parameters", cmd_sys_param, ans_sys_param},
        {"serial number", cmd_serial, ans_serial},
        {"valid template count", cmd_count, ans_count_2},
        {"firmware version", cmd_version, ans_version_1502},
        {"set mode TEST", cmd_set_mode_test, ans_ok},
        {"PC state", cmd_pc_state, ans_ok},
        {"unknown command", cmd_unknown_02, ans_cmd_error},
        {"restart with a wrong code", cmd_reboot_bad_code, ans_cmd_error},
        {"bad checksum", cmd_handshake_bad_sum, ans_recv_error},
        {"bad package type", cmd_handshake_bad_type, ans_recv_error},
        {"length field not matching", cmd_handshake_bad_len, ans_recv_error},
    };
    emu.store(5, "index");
    emu.store(200, "ring");
    auto *h = open();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        expect_answer(h, c.cmd, c.answer);
    }
    // Exactly the three malformed frames were recorded.
    auto errors = emu.errors();
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_NE(errors[0].find("checksum"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("package type"), std::string::npos) << errors[1];
    EXPECT_NE(errors[2].find("length field"), std::string::npos) << errors[2];
    EXPECT_EQ(emu.mode(), "app");
}

TEST_F(Firmware, ChipAddressAppearsInLaterAnswers)
{
    auto *h = open();
    EXPECT_EQ(hex(exchange(h, cmd_chip_addr, ans_ok.size())), hex(ans_ok));
    EXPECT_EQ(hex(exchange(h, cmd_handshake, ans_ok_addr_12345678.size())), hex(ans_ok_addr_12345678));
}

TEST_F(Firmware, IndexTableMapsSlotsToBits)
{
    for (unsigned slot : {0u, 9u, 90u, 255u})
        emu.store(slot, "f" + std::to_string(slot));
    auto *h = open();
    Bytes a = exchange(h, cmd_index_page0, 44);
    ASSERT_EQ(a.size(), 44u);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 10),
              (Bytes{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x23, 0x00}));
    Bytes table(a.begin() + 10, a.begin() + 42);
    Bytes expected(32, 0);
    expected[0] = 0x01;  // slot 0
    expected[1] = 0x02;  // slot 9
    expected[11] = 0x04; // slot 90
    expected[31] = 0x80; // slot 255
    EXPECT_EQ(hex(table), hex(expected));
}

TEST_F(Firmware, EnrolmentWithSixTouchesStoresTheFinger)
{
    auto *h = open();
    EXPECT_EQ(hex(exchange(h, cmd_enroll_90x6, ans_stage0.size())), hex(ans_stage0));
    EXPECT_EQ(emu.pending(), "enroll");
    for (uint8_t n = 1; n <= 6; ++n) {
        SCOPED_TRACE(int{n});
        ASSERT_TRUE(emu.touch("thumb"));
        Bytes got = read_bytes(h, 3 * 14);
        ASSERT_EQ(got.size(), 42u);
        for (uint8_t stage = 1; stage <= 3; ++stage) {
            const uint8_t *r = &got[(stage - 1) * 14];
            EXPECT_EQ(r[6], 0x07);
            EXPECT_EQ(r[9], 0x00) << "confirm";
            EXPECT_EQ(r[10], stage);
            EXPECT_EQ(r[11], n);
        }
        if (n == 1) {
            EXPECT_EQ(hex(got), hex(concat({ans_enroll_1_1, ans_enroll_2_1, ans_enroll_3_1})));
        }
        if (n == 6) {
            EXPECT_EQ(hex(Bytes(got.begin() + 28, got.end())), hex(ans_enroll_3_6));
        }
    }
    // Merge, check and store come after the last capture (not in the same read as its reports).
    EXPECT_EQ(hex(read_bytes(h, 39)), hex(concat({ans_enroll_4, ans_enroll_5, ans_enroll_6})));
    EXPECT_EQ(emu.templates(), (std::map<unsigned, std::string>{{90, "thumb"}}));
    EXPECT_EQ(emu.pending(), "none");
    EXPECT_FALSE(emu.touch("thumb", "ok", 0));
}

TEST_F(Firmware, RejectedTouchesReportTheirCodeAndRepeatTheCapture)
{
    struct Case {
        const char *outcome;
        uint8_t stage1, stage2, stage3;
    };
    const Case cases[] = {
        {"quality", 0, 49, 49}, {"area", 0, 50, 50},    {"repeated", 0, 48, 48},
        {"exists", 0, 39, 39},  {"enrolfail", 0, 0, 3}, {"capturefail", 2, 2, 2},
    };
    auto *h = open();
    EXPECT_EQ(hex(exchange(h, cmd_enroll_90x6, ans_stage0.size())), hex(ans_stage0));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.outcome);
        ASSERT_TRUE(emu.touch("thumb", c.outcome));
        Bytes got = read_bytes(h, 42);
        ASSERT_EQ(got.size(), 42u);
        const uint8_t expected[3] = {c.stage1, c.stage2, c.stage3};
        for (int s = 0; s < 3; ++s) {
            EXPECT_EQ(got[s * 14 + 9], expected[s]) << "stage " << s + 1;
            EXPECT_EQ(got[s * 14 + 10], s + 1);
            EXPECT_EQ(got[s * 14 + 11], 1) << "capture number must not advance";
        }
    }
    // A good touch is still capture 1.
    ASSERT_TRUE(emu.touch("thumb"));
    EXPECT_EQ(hex(read_bytes(h, 42)), hex(concat({ans_enroll_1_1, ans_enroll_2_1, ans_enroll_3_1})));
    EXPECT_TRUE(emu.templates().empty());
}

TEST_F(Firmware, EnrolmentRefusals)
{
    auto *h = open();
    EXPECT_EQ(hex(exchange(h, cmd_enroll_300, 13)), hex(ans_stage0_out_of_range));
    EXPECT_EQ(emu.pending(), "none");
    ASSERT_TRUE(emu.ok("fill"));
    EXPECT_EQ(hex(exchange(h, cmd_enroll_90x6, 13)), hex(ans_stage0_full));
    EXPECT_EQ(emu.pending(), "none");
}

TEST_F(Firmware, IdentificationResults)
{
    struct Case {
        const char *name;
        std::map<unsigned, std::string> library;
        const char *finger;
        const Bytes &cmd;
        const Bytes &result;
    };
    const Case cases[] = {
        {"single match", {{90, "thumb"}, {91, "index"}}, "thumb", cmd_identify, ans_match_90},
        {"list of matches",
         {{90, "thumb"}, {91, "thumb"}, {7, "index"}},
         "thumb",
         cmd_identify,
         ans_match_list},
        {"no match", {{90, "thumb"}}, "index", cmd_identify, ans_no_match},
        {"empty library", {}, "thumb", cmd_identify, ans_no_match},
        {"one slot asked, finger elsewhere", {{90, "thumb"}}, "thumb", cmd_identify_91, ans_no_match},
    };
    auto *h = open();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(emu.ok("clear"));
        for (const auto &[slot, finger] : c.library)
            emu.store(slot, finger);
        EXPECT_EQ(hex(exchange(h, c.cmd, ans_stage0.size())), hex(ans_stage0));
        EXPECT_EQ(emu.pending(), "identify");
        ASSERT_TRUE(emu.touch(c.finger));
        EXPECT_EQ(hex(read_bytes(h, 13 + 17)), hex(concat({ans_identify_1, c.result})));
        EXPECT_EQ(emu.pending(), "none");
    }
}

TEST_F(Firmware, IdentificationOfBadTouches)
{
    auto *h = open();
    emu.store(90, "thumb");
    EXPECT_EQ(hex(exchange(h, cmd_identify_300, 13)), hex(ans_stage0_out_of_range));
    EXPECT_EQ(hex(exchange(h, cmd_identify, 13)), hex(ans_stage0));
    // Outcomes that only make sense while enrolling are refused and the identification goes on.
    EXPECT_FALSE(emu.touch("thumb", "exists"));
    EXPECT_EQ(emu.pending(), "identify");
    ASSERT_TRUE(emu.touch("thumb", "capturefail"));
    EXPECT_EQ(hex(read_bytes(h, 30)),
              hex(concat({ans_identify_capture_fail_1, ans_identify_capture_fail_5})));
}

TEST_F(Firmware, PowerUpResultAnswersTheNextIdentification)
{
    emu.store(90, "thumb");
    emu.powerup_touch("thumb");
    auto *h = open();
    // No touch: stage 0, stage 1 and the stored result come at once.
    EXPECT_EQ(hex(exchange(h, cmd_identify, 43)), hex(concat({ans_stage0, ans_identify_1, ans_match_90})));
    EXPECT_EQ(emu.pending(), "none");
    // Consumed: the next identification waits for a touch.
    EXPECT_EQ(hex(exchange(h, cmd_identify, 13)), hex(ans_stage0));
    EXPECT_EQ(emu.pending(), "identify");
}

TEST_F(Firmware, PowerUpResultComesBeforeTheVersion)
{
    emu.store(90, "thumb");
    emu.powerup_touch("thumb");
    auto *h = open();
    EXPECT_EQ(hex(exchange(h, cmd_version, ans_match_90.size() + ans_version_1502.size())),
              hex(concat({ans_match_90, ans_version_1502})));
    expect_answer(h, cmd_version, ans_version_1502);
}

TEST_F(Firmware, CancelAbandonsTheRunningOperation)
{
    auto *h = open();
    EXPECT_EQ(hex(exchange(h, cmd_enroll_90x6, 13)), hex(ans_stage0));
    expect_answer(h, cmd_cancel, ans_ok);
    EXPECT_EQ(emu.pending(), "none");
    EXPECT_FALSE(emu.touch("thumb", "ok", 100));
    // A cancel during the merge prevents the store.
    const Bytes cmd_enroll_5x1{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x08,
                               0x31, 0x00, 0x05, 0x01, 0x00, 0x00, 0x00, 0x40};
    EXPECT_EQ(hex(exchange(h, cmd_enroll_5x1, 13)), hex(ans_stage0));
    ASSERT_TRUE(emu.touch("thumb"));
    EXPECT_EQ(read_bytes(h, 42).size(), 42u);
    expect_answer(h, cmd_cancel, ans_ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(emu.templates().empty());
}

TEST_F(Firmware, TemplatesAreDeletedAndEmptied)
{
    emu.store(90, "thumb");
    emu.store(91, "index");
    auto *h = open();
    expect_answer(h, cmd_delete_90, ans_ok);
    EXPECT_EQ(emu.templates(), (std::map<unsigned, std::string>{{91, "index"}}));
    expect_answer(h, cmd_empty, ans_ok);
    EXPECT_TRUE(emu.templates().empty());
}

TEST_F(Firmware, InformationPageAndImageFollowTheirAnswers)
{
    auto *h = open();
    Bytes info = exchange(h, cmd_info_page, 12 + 139);
    ASSERT_EQ(info.size(), 151u);
    EXPECT_EQ(hex(Bytes(info.begin(), info.begin() + 12)), hex(ans_ok));
    EXPECT_EQ(hex(Bytes(info.begin() + 12, info.begin() + 21)), "ef 01 ff ff ff ff 08 00 82");

    ASSERT_EQ(wrapped_send(h, cmd_upload_image), 0);
    Bytes img = read_bytes(h, 12 + 92171, 5000);
    ASSERT_EQ(img.size(), 12u + 92171u);
    EXPECT_EQ(hex(Bytes(img.begin(), img.begin() + 12)), hex(ans_ok));
    EXPECT_EQ(hex(Bytes(img.begin() + 12, img.begin() + 21)), "ef 01 ff ff ff ff 08 ff ff");
    EXPECT_EQ(hex(Bytes(img.end() - 2, img.end())), "55 aa");
}

TEST_F(Firmware, InjectedFaults)
{
    auto *h = open();
    // silence: nothing comes back, until it is switched off.
    ASSERT_TRUE(emu.ok("silence on"));
    ASSERT_EQ(wrapped_send(h, cmd_handshake), 0);
    EXPECT_EQ(wrapped_read(h, 64, 300).rc, LIBUSB_ERROR_TIMEOUT);
    ASSERT_TRUE(emu.ok("silence off"));
    expect_answer(h, cmd_handshake, ans_ok);

    // corrupt-next: same answer with another checksum, once.
    ASSERT_TRUE(emu.ok("corrupt-next"));
    Bytes bad = exchange(h, cmd_handshake, ans_ok.size());
    ASSERT_EQ(bad.size(), ans_ok.size());
    EXPECT_EQ(Bytes(bad.begin(), bad.end() - 2), Bytes(ans_ok.begin(), ans_ok.end() - 2));
    EXPECT_NE(Bytes(bad.end() - 2, bad.end()), Bytes(ans_ok.end() - 2, ans_ok.end()));
    expect_answer(h, cmd_handshake, ans_ok);

    // split-next: the answer needs two reads.
    ASSERT_TRUE(emu.ok("split-next"));
    ASSERT_EQ(wrapped_send(h, cmd_handshake), 0);
    auto first = wrapped_read(h, 64);
    auto second = wrapped_read(h, 64);
    ASSERT_EQ(first.rc, 0);
    ASSERT_EQ(second.rc, 0);
    EXPECT_LT(first.data.size(), ans_ok.size());
    EXPECT_EQ(hex(concat({first.data, second.data})), hex(ans_ok));

    // stray-next: an answer to something else comes first.
    ASSERT_TRUE(emu.ok("stray-next 13 37"));
    EXPECT_EQ(hex(exchange(h, cmd_handshake, 25)), hex(concat({ans_stray_1337, ans_ok})));

    // fail-next: only the named command, only once.
    ASSERT_TRUE(emu.ok("fail-next 35 5"));
    expect_answer(h, cmd_count,
                  Bytes{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0c});
    expect_answer(h, cmd_handshake, ans_code_5);
    expect_answer(h, cmd_handshake, ans_ok);

    // fail-next on an enrolment refuses it at stage 0.
    ASSERT_TRUE(emu.ok("fail-next 31 11"));
    EXPECT_EQ(hex(exchange(h, cmd_enroll_90x6, 13)), hex(ans_stage0_out_of_range));
    EXPECT_EQ(emu.pending(), "none");
}

TEST_F(Firmware, RestartCodeSendsTheModuleIntoItsBootloader)
{
    HotplugLog log;
    ASSERT_EQ(watch(log, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0,
                    LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY),
              0);
    auto *h = open();
    EXPECT_EQ(hex(exchange(h, cmd_reboot, ans_ok.size())), hex(ans_ok));
    ASSERT_TRUE(emu.wait_mode("boot", 2000));
    pump_events(log, 2);
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[0].event, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    EXPECT_EQ(log.events[0].pid, 0x2388);
    EXPECT_EQ(log.events[1].event, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    EXPECT_EQ(log.events[1].vid, 0x1234);
    EXPECT_EQ(log.events[1].pid, 0xabce);
    EXPECT_EQ(wrapped_send(h, cmd_handshake), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_open_device_with_vid_pid(nullptr, 0x33a7, 0x2388), nullptr);
    auto *boot = open(0x1234, 0xabce);
    libusb_device *dev = libusb_get_device(boot);
    EXPECT_EQ(libusb_get_bus_number(dev), 1);
    uint8_t ports[8];
    ASSERT_EQ(libusb_get_port_numbers(dev, ports, 8), 2);
    EXPECT_EQ(Bytes(ports, ports + 2), (Bytes{1, 2}));
}
