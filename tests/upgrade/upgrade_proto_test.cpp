// Frames, block check, image checksum and the receive parser, without USB.
#include "upgrade_fixture.h"

#include "common.h"

#include <random>
#include <string>

namespace upgrade_test
{
namespace
{

// ---- Request frames -------------------------------------------------------------

struct FrameCase {
    const char *name;
    uint8_t type;
    Bytes data;
    Bytes expected;
};

class BuildFrame : public ::testing::TestWithParam<FrameCase>
{
};

TEST_P(BuildFrame, WritesTheFrameByteForByte)
{
    const FrameCase &c = GetParam();
    uint8_t frame[UP_PADDED_REQUEST_SIZE] = {};
    const int len = boot_build_frame(frame, sizeof(frame), c.type, c.data.empty() ? nullptr : c.data.data(),
                                     static_cast<uint16_t>(c.data.size()));
    ASSERT_EQ(len, static_cast<int>(c.expected.size()));
    EXPECT_EQ(Bytes(frame, frame + len), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BuildFrame,
    ::testing::Values(FrameCase{"erase", 0xD3, {}, {0xAA, 0xD3, 0x00, 0x00, 0x2C, 0x55}},
                      FrameCase{"security", 0xCC, {}, {0xAA, 0xCC, 0x00, 0x00, 0x33, 0x55}},
                      FrameCase{"run", 0xE3, {}, {0xAA, 0xE3, 0x00, 0x00, 0x1C, 0x55}},
                      FrameCase{"read_serial", 0xA0, {}, {0xAA, 0xA0, 0x00, 0x00, 0x5F, 0x55}},
                      FrameCase{"read_crc",
                                0xA6,
                                {0x00, 0x00, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00},
                                {0xAA, 0xA6, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00, 0xBA,
                                 0x55}},
                      FrameCase{"read_eflash",
                                0xD0,
                                {0x00, 0x01, 0x00, 0x00, 0x10},
                                {0xAA, 0xD0, 0x05, 0x00, 0x00, 0x01, 0x00, 0x00, 0x10, 0x3B, 0x55}}),
    [](const ::testing::TestParamInfo<FrameCase> &info) { return std::string(info.param.name); });

TEST(BuildFrameLimits, FullDownloadBlockFillsExactly250Bytes)
{
    Bytes data = {0xF0, 0x00, 0x00, 0x00};
    for (int i = 0; i < 240; ++i) {
        data.push_back(static_cast<uint8_t>(i));
    }
    uint8_t frame[UP_PADDED_REQUEST_SIZE] = {};
    ASSERT_EQ(boot_build_frame(frame, sizeof(frame), 0xD7, data.data(), static_cast<uint16_t>(data.size())),
              250);
    EXPECT_EQ(Bytes(frame, frame + 8), (Bytes{0xAA, 0xD7, 0xF4, 0x00, 0xF0, 0x00, 0x00, 0x00}));
    EXPECT_EQ(frame[248], 0x2C);
    EXPECT_EQ(frame[249], 0x55);
}

TEST(BuildFrameLimits, FrameThatDoesNotFitIsRefused)
{
    uint8_t data[245] = {};
    uint8_t frame[UP_PADDED_REQUEST_SIZE] = {};
    EXPECT_EQ(boot_build_frame(frame, sizeof(frame), 0xD7, data, sizeof(data)), -1);
    EXPECT_EQ(boot_build_frame(frame, 5, 0xD3, nullptr, 0), -1);
}

// ---- Block check -----------------------------------------------------------------

struct BccCase {
    const char *name;
    Bytes bytes;
    bool null_data;
    int len;
    uint8_t expected;
    bool logs_param_error;
};

class CheckBcc : public UpgradeTest, public ::testing::WithParamInterface<BccCase>
{
};

TEST_P(CheckBcc, GivesTheExclusiveOr)
{
    const BccCase &c = GetParam();
    EXPECT_EQ(Check_BCC(c.null_data ? nullptr : c.bytes.data(), c.len), c.expected);
    EXPECT_EQ(count_log(ERR_LOG_GRADE, "the param is error!!!\n"), c.logs_param_error ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, CheckBcc,
    ::testing::Values(BccCase{"erase_head_and_end", {0xAA, 0xD3, 0x00, 0x00, 0x55}, false, 5, 0x2C, false},
                      BccCase{"intact_frame", {0xAA, 0xD3, 0x00, 0x00, 0x2C, 0x55}, false, 6, 0x00, false},
                      BccCase{
                          "intact_reply", {0xAA, 0xE3, 0x01, 0x00, 0x00, 0x1D, 0x55}, false, 7, 0x00, false},
                      BccCase{"prefix_only", {0xAA, 0xD3, 0x00, 0x00, 0x55}, false, 2, 0x79, false},
                      BccCase{"null_pointer", {}, true, 4, 0xFF, true},
                      BccCase{"zero_length", {0xAA}, false, 0, 0xFF, true},
                      BccCase{"negative_length", {0xAA}, false, -3, 0x00, false}),
    [](const ::testing::TestParamInfo<BccCase> &info) { return std::string(info.param.name); });

// ---- Image checksum and bit reversal -------------------------------------------

struct CrcCase {
    const char *name;
    Bytes bytes;
    uint16_t expected;
};

class Crc16X25 : public ::testing::TestWithParam<CrcCase>
{
};

TEST_P(Crc16X25, MatchesTheStandardValues)
{
    const CrcCase &c = GetParam();
    EXPECT_EQ(CRC16_X25(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Checksums, Crc16X25,
    ::testing::Values(CrcCase{"check_string", {'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0x906E},
                      CrcCase{"no_bytes", {}, 0x0000}, CrcCase{"one_zero", {0x00}, 0xF078},
                      CrcCase{"four_ff", {0xFF, 0xFF, 0xFF, 0xFF}, 0x0F47}),
    [](const ::testing::TestParamInfo<CrcCase> &info) { return std::string(info.param.name); });

TEST(Crc16X25Image, PatternImagesGiveTheirKnownChecksums)
{
    const struct {
        size_t size;
        uint16_t crc;
    } cases[] = {{239, 0xF202}, {240, 0x9DFC}, {1000, 0x6A2E}, {2097152, 0x598E}};
    for (const auto &c : cases) {
        const Bytes image = pattern_image(c.size);
        EXPECT_EQ(CRC16_X25(image.data(), static_cast<uint32_t>(image.size())), c.crc) << "size " << c.size;
    }
}

TEST(Crc16X25Image, NullDataCountsAsNoBytes)
{
    EXPECT_EQ(CRC16_X25(nullptr, 9), 0x0000);
}

TEST(InvertBits, ReversesEightBits)
{
    const uint8_t cases[][2] = {{0x00, 0x00}, {0x01, 0x80}, {0x80, 0x01},
                                {0x0F, 0xF0}, {0x13, 0xC8}, {0xA5, 0xA5}};
    for (const auto &c : cases) {
        uint8_t out = 0x5A;
        InvertUint8(&out, &c[0]);
        EXPECT_EQ(out, c[1]) << "in 0x" << std::hex << int(c[0]);
    }
}

TEST(InvertBits, ReversesSixteenBits)
{
    const uint16_t cases[][2] = {{0x0001, 0x8000}, {0x1234, 0x2C48}, {0x8408, 0x1021}, {0xFFFF, 0xFFFF}};
    for (const auto &c : cases) {
        uint16_t out = 0x5A5A;
        InvertUint16(&out, &c[0]);
        EXPECT_EQ(out, c[1]) << "in 0x" << std::hex << c[0];
    }
}

// ---- Receive parser --------------------------------------------------------------

struct ParseCase {
    const char *name;
    Bytes input;
    int result;
    uint8_t state;
    Bytes data; // data bytes of the frame when one completed
    bool logs_recv_error;
};

class ParseProtocal : public UpgradeTest, public ::testing::WithParamInterface<ParseCase>
{
};

TEST_P(ParseProtocal, FollowsTheFrame)
{
    const ParseCase &c = GetParam();
    upgrade_param.prot_packet_usb.prot_state = UP_PACKET_IDLE;
    EXPECT_EQ(parseProtocal(c.input.data(), static_cast<int>(c.input.size())), c.result);
    const UP_PROT_PACKET &p = upgrade_param.prot_packet_usb;
    EXPECT_EQ(p.prot_state, c.state);
    if (c.state == UP_PACKET_RECV_SUCCESS) {
        EXPECT_EQ(Bytes(p.prot_data, p.prot_data + p.prot_data_cnt), c.data);
        EXPECT_EQ(p.prot_size, c.data.size());
        EXPECT_EQ(p.prot_end, 0x55);
        EXPECT_EQ(upgrade_param.usb_recv_cnt, 0);
    }
    EXPECT_EQ(count_log(ERR_LOG_GRADE, "Recv data from device error!!!\n"), c.logs_recv_error ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ParseProtocal,
    ::testing::Values(
        ParseCase{"status_success",
                  {0xAA, 0xE3, 0x01, 0x00, 0x00, 0x1D, 0x55},
                  0,
                  UP_PACKET_RECV_SUCCESS,
                  {0x00},
                  false},
        ParseCase{"status_failure",
                  {0xAA, 0xE3, 0x01, 0x00, 0x01, 0x1C, 0x55},
                  0,
                  UP_PACKET_RECV_SUCCESS,
                  {0x01},
                  false},
        ParseCase{
            "zero_length_data", {0xAA, 0xD3, 0x00, 0x00, 0x2C, 0x55}, 0, UP_PACKET_RECV_SUCCESS, {}, false},
        ParseCase{"leading_padding_skipped",
                  {0x00, 0x00, 0x00, 0x55, 0xAA, 0xE3, 0x01, 0x00, 0x00, 0x1D, 0x55},
                  0,
                  UP_PACKET_RECV_SUCCESS,
                  {0x00},
                  false},
        ParseCase{"bytes_after_frame_unread",
                  {0xAA, 0xE3, 0x01, 0x00, 0x00, 0x1D, 0x55, 0xAA, 0xD3, 0x01, 0x00, 0x07},
                  0,
                  UP_PACKET_RECV_SUCCESS,
                  {0x00},
                  false},
        ParseCase{"crc_reply",
                  {0xAA, 0xA6, 0x02, 0x00, 0x2E, 0x6A, 0x1F, 0x55},
                  0,
                  UP_PACKET_RECV_SUCCESS,
                  {0x2E, 0x6A},
                  false},
        ParseCase{
            "wrong_end_byte", {0xAA, 0xE3, 0x01, 0x00, 0x00, 0x1D, 0x56}, -1, UP_PACKET_ERROR, {}, true},
        ParseCase{"wrong_bcc", {0xAA, 0xE3, 0x01, 0x00, 0x00, 0x1E, 0x55}, -1, UP_PACKET_ERROR, {}, true},
        ParseCase{"error_ignores_rest",
                  {0xAA, 0xE3, 0x01, 0x00, 0x00, 0x1E, 0x55, 0xAA, 0xE3, 0x01, 0x00, 0x00, 0x1D, 0x55},
                  -1,
                  UP_PACKET_ERROR,
                  {},
                  true},
        ParseCase{"only_padding", {0x00, 0x00, 0x00, 0x00}, -1, UP_PACKET_IDLE, {}, false},
        ParseCase{"cut_in_data", {0xAA, 0xA6, 0x02, 0x00, 0x2E}, -1, UP_PACKET_DATA, {}, false},
        ParseCase{"cut_before_end", {0xAA, 0xE3, 0x01, 0x00, 0x00, 0x1D}, -1, UP_PACKET_END, {}, false},
        ParseCase{"size_1024_refused", {0xAA, 0x00, 0x00, 0x04, 0x11, 0x22}, -1, UP_PACKET_ERROR, {}, false},
        ParseCase{"size_1019_refused", {0xAA, 0x00, 0xFB, 0x03, 0x11}, -1, UP_PACKET_ERROR, {}, false},
        ParseCase{"size_ffff_refused", {0xAA, 0x00, 0xFF, 0xFF, 0x11}, -1, UP_PACKET_ERROR, {}, false}),
    [](const ::testing::TestParamInfo<ParseCase> &info) { return std::string(info.param.name); });

class ParserBounds : public UpgradeTest
{
  protected:
    // Marks the fields that follow the parser's buffers in the record.
    void set_canaries()
    {
        std::memset(upgrade_param.dev_sn, 0xC3, sizeof(upgrade_param.dev_sn));
        upgrade_param.crc_value_dev = 0xBEEF;
        upgrade_param.crc_value_file = 0xCAFE;
    }
    void expect_canaries()
    {
        for (uint8_t b : upgrade_param.dev_sn) {
            ASSERT_EQ(b, 0xC3);
        }
        EXPECT_EQ(upgrade_param.crc_value_dev, 0xBEEF);
        EXPECT_EQ(upgrade_param.crc_value_file, 0xCAFE);
    }
};

TEST_F(ParserBounds, LargestFrameThatFitsIsAccepted)
{
    // 1018 data bytes make a frame of exactly 1024 bytes.
    Bytes frame = {0xAA, 0x00, 0xFA, 0x03};
    frame.insert(frame.end(), 1018, 0x00);
    frame.push_back(0x06);
    frame.push_back(0x55);
    ASSERT_EQ(frame.size(), 1024u);
    set_canaries();
    upgrade_param.prot_packet_usb.prot_state = UP_PACKET_IDLE;
    EXPECT_EQ(parseProtocal(frame.data(), static_cast<int>(frame.size())), 0);
    EXPECT_EQ(upgrade_param.prot_packet_usb.prot_state, UP_PACKET_RECV_SUCCESS);
    EXPECT_EQ(upgrade_param.prot_packet_usb.prot_data_cnt, 1018u);
    expect_canaries();
}

TEST_F(ParserBounds, OversizedFrameFedWholeStoresNothingPastTheBuffers)
{
    for (uint16_t size : {uint16_t{1019}, uint16_t{1024}, uint16_t{4096}, uint16_t{0xFFFF}}) {
        Bytes input = {0xAA, 0x00, static_cast<uint8_t>(size & 0xFF), static_cast<uint8_t>(size >> 8)};
        input.insert(input.end(), 3000, 0x5A);
        set_canaries();
        upgrade_param.prot_packet_usb.prot_state = UP_PACKET_IDLE;
        EXPECT_EQ(parseProtocal(input.data(), static_cast<int>(input.size())), -1) << size;
        EXPECT_EQ(upgrade_param.prot_packet_usb.prot_state, UP_PACKET_ERROR) << size;
        EXPECT_EQ(upgrade_param.prot_packet_usb.prot_data_cnt, 0u) << size;
        EXPECT_LE(upgrade_param.usb_recv_cnt, UP_RECV_BUF_SIZE) << size;
        expect_canaries();
    }
}

TEST_F(ParserBounds, FrameContinuesAcrossCalls)
{
    const Bytes first = {0x00, 0xAA, 0xA6, 0x02};
    const Bytes second = {0x00, 0x2E, 0x6A, 0x1F, 0x55};
    upgrade_param.prot_packet_usb.prot_state = UP_PACKET_IDLE;
    EXPECT_EQ(parseProtocal(first.data(), static_cast<int>(first.size())), -1);
    EXPECT_EQ(upgrade_param.prot_packet_usb.prot_state, UP_PACKET_SIZE2);
    EXPECT_EQ(parseProtocal(second.data(), static_cast<int>(second.size())), 0);
    EXPECT_EQ(upgrade_param.prot_packet_usb.prot_data[0], 0x2E);
    EXPECT_EQ(upgrade_param.prot_packet_usb.prot_data[1], 0x6A);
}

TEST_F(ParserBounds, NoInputIsNoFrame)
{
    const uint8_t byte = 0xAA;
    upgrade_param.prot_packet_usb.prot_state = UP_PACKET_IDLE;
    EXPECT_EQ(parseProtocal(nullptr, 4), -1);
    EXPECT_EQ(parseProtocal(&byte, 0), -1);
    EXPECT_EQ(upgrade_param.prot_packet_usb.prot_state, UP_PACKET_IDLE);
}

TEST_F(ParserBounds, RandomInputNeverOverrunsTheRecord)
{
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(1, 4000);
    for (int round = 0; round < 300; ++round) {
        Bytes input(static_cast<size_t>(length(rng)));
        for (uint8_t &b : input) {
            b = static_cast<uint8_t>(byte(rng));
        }
        // Half the rounds start with a head so that the size field is random too.
        if (round % 2 == 0) {
            input[0] = 0xAA;
        }
        set_canaries();
        upgrade_param.prot_packet_usb.prot_state = UP_PACKET_IDLE;
        parseProtocal(input.data(), static_cast<int>(input.size()));
        const UP_PROT_PACKET &p = upgrade_param.prot_packet_usb;
        ASSERT_LE(p.prot_data_cnt, static_cast<uint32_t>(UP_FRAME_MAX_DATA)) << "round " << round;
        ASSERT_LE(upgrade_param.usb_recv_cnt, UP_RECV_BUF_SIZE) << "round " << round;
        expect_canaries();
    }
}

} // namespace
} // namespace upgrade_test
