// Frame layout and checksum of the commands the driver sends.
#include "fake_module.h"

#include <array>
#include <functional>
#include <random>

namespace
{

using DriverFrame = DriverTest;

struct GoldenFrame {
    const char *name;
    std::function<void()> send;
    const char *frame;
};

TEST_F(DriverFrame, CommandsAreSentAsTheseExactBytes)
{
    uint16_t ids[FP_SEARCH_ID_MAX];
    const GoldenFrame cases[] = {
        {"handshake", [] { fp_handshake(); }, "EF 01 FF FF FF FF 01 00 03 35 00 39"},
        {"set chip address", [] { fp_set_chip_addr(0x12345678); },
         "EF 01 FF FF FF FF 01 00 07 15 12 34 56 78 01 31"},
        {"delete 90,1", [] { fp_delete_template(90, 1); }, "EF 01 FF FF FF FF 01 00 07 0C 00 5A 00 01 00 6F"},
        {"auto-enrol slot 90", [] { fp_auto_enroll_start(90, 6, 0); },
         "EF 01 FF FF FF FF 01 00 08 31 00 5A 06 00 00 00 9A"},
        {"identify", [&ids] { fp_auto_identify(3, 0xFFFF, 3, ids, 0); },
         "EF 01 FF FF FF FF 01 00 08 32 03 FF FF 00 03 02 3F"},
        {"set mode TEST", [] { fp_set_mode("TEST", 4); },
         "EF 01 FF FF FF FF 01 00 08 AF BD 54 45 53 54 02 B5"},
        {"reboot", [] { fp_reboot(); }, "EF 01 FF FF FF FF 01 00 0B FF 3C C3 69 96 51 52 58 4B 04 4F"},
        {"index table page 0", [] { fp_read_index_table(0); }, "EF 01 FF FF FF FF 01 00 04 1F 00 00 24"},
        {"firmware version", [] { fp_get_firmware_version(); }, "EF 01 FF FF FF FF 01 00 04 AF 10 00 C4"},
        {"cancel", [] { fp_cancel(); }, "EF 01 FF FF FF FF 01 00 03 30 00 34"},
        {"pc state 1", [] { fp_set_pc_state(1); }, "EF 01 FF FF FF FF 01 00 04 50 01 00 56"},
        {"system parameters", [] { fp_read_sys_param(); }, "EF 01 FF FF FF FF 01 00 03 0F 00 13"},
        {"upload image", [] { fp_upload_fprint_img(); }, "EF 01 FF FF FF FF 01 00 03 0A 00 0E"},
    };
    for (const GoldenFrame &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        c.send();
        ASSERT_FALSE(fake::module().sent.empty());
        EXPECT_EQ(fake::module().sent.front(), H(c.frame));
    }
}

TEST_F(DriverFrame, ChecksumKeepsOnlyTheLow16Bits)
{
    // 300 parameter bytes of FF: 01 + 01 + 2F + 0C + 300 x FF = 0x12B11.
    const Bytes params(300, 0xFF);
    RECV_DATA_STRUCT none{};
    fp_recv_param_init(&none, 64, 0, 0, 0);
    EXPECT_EQ(fp_send_cmd(0x0C, params.data(), static_cast<int>(params.size()), none), -1);
    const Bytes &frame = fake::module().sent.at(0);
    ASSERT_EQ(frame.size(), 312u);
    EXPECT_EQ(Bytes(frame.begin() + 7, frame.begin() + 9), H("01 2F"));
    EXPECT_EQ(Bytes(frame.end() - 2, frame.end()), H("2B 11"));

    EXPECT_EQ(get_check_sum(params.data(), 300), 0x2AD4); // 76,500 = 0x12AD4
    Bytes buf = {0xFF, 0xFF, 0xFF, 0x00, 0x00};
    EXPECT_EQ(fp_fill_msg_checksum(buf.data(), 3), 0);
    EXPECT_EQ(buf, H("FF FF FF 02 FD"));
}

TEST_F(DriverFrame, ChecksumMatchesAPlainByteSumAtEveryLength)
{
    std::mt19937 rng(7);
    Bytes random(0xFFFF);
    for (uint8_t &b : random) {
        b = static_cast<uint8_t>(rng());
    }
    const Bytes ones(0xFFFF, 0xFF);
    for (const Bytes *buf : std::array<const Bytes *, 2>{&random, &ones}) {
        for (unsigned len :
             {0u, 1u, 7u, 8u, 9u, 15u, 1023u, 1024u, 1025u, 1031u, 2048u, 26624u, 65534u, 65535u}) {
            SCOPED_TRACE(len);
            unsigned sum = 0;
            for (unsigned i = 0; i < len; ++i) {
                sum += (*buf)[i];
            }
            // Also from an unaligned start.
            EXPECT_EQ(get_check_sum(buf->data(), static_cast<uint16_t>(len)), static_cast<uint16_t>(sum));
            if (len > 0) {
                unsigned shifted = sum - (*buf)[0];
                EXPECT_EQ(get_check_sum(buf->data() + 1, static_cast<uint16_t>(len - 1)),
                          static_cast<uint16_t>(shifted));
            }
        }
    }
}

TEST_F(DriverFrame, HeadIsWrittenByteForByte)
{
    MSG_HEAD_STRUCT head;
    EXPECT_EQ(fp_fill_msg_head(&head, PROT_TYPE_CMD, 0x0107), 0);
    const auto *p = reinterpret_cast<const uint8_t *>(&head);
    EXPECT_EQ(Bytes(p, p + 9), H("EF 01 FF FF FF FF 01 01 07"));
}

TEST_F(DriverFrame, BadArgumentsAreRefused)
{
    RECV_DATA_STRUCT sched{};
    EXPECT_EQ(fp_recv_param_init(nullptr, 64, 20, 3, 20), -1);
    EXPECT_EQ(fp_recv_param_init(&sched, 64, 20, 3, 21), 0);
    EXPECT_EQ(sched.recv_len, 64);
    EXPECT_EQ(sched.wait_ms, 20);
    EXPECT_EQ(sched.cycle_times, 3);
    EXPECT_EQ(sched.cycle_ms, 21);
    EXPECT_EQ(fp_fill_msg_head(nullptr, 1, 3), -1);
    uint8_t byte = 0;
    EXPECT_EQ(fp_fill_msg_checksum(nullptr, 3), -1);
    EXPECT_EQ(fp_fill_msg_checksum(&byte, 0), -1);
    EXPECT_EQ(get_check_sum(nullptr, 3), 0);
    EXPECT_TRUE(log_.has("the point recv_param is null, error!!!\r\n"));
    EXPECT_TRUE(log_.has("the point buf is null, error!!!\r\n"));
    EXPECT_TRUE(log_.has("the param is error!!!\r\n"));

    // A parameter block larger than the payload area is never sent.
    const Bytes huge(FP_MAX_CMD_PARAM_LEN + 1, 0);
    EXPECT_EQ(fp_send_cmd(0x0C, huge.data(), static_cast<int>(huge.size()), sched), -1);
    EXPECT_TRUE(fake::module().sent.empty());
}

TEST_F(DriverFrame, NullOrEmptyParametersSendTheBareCommand)
{
    RECV_DATA_STRUCT none{};
    const uint8_t param = 7;
    fp_send_cmd(PROT_CMD_HANDSHAKE, nullptr, 5, none);
    fp_send_cmd(PROT_CMD_HANDSHAKE, &param, 0, none);
    fp_send_cmd(PROT_CMD_HANDSHAKE, &param, -4, none);
    ASSERT_EQ(fake::module().sent.size(), 3u);
    for (const Bytes &frame : fake::module().sent) {
        EXPECT_EQ(frame, H("EF 01 FF FF FF FF 01 00 03 35 00 39"));
    }
}

} // namespace
