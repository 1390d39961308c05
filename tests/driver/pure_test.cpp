// The driver's framing, receive machine and decoding, linked without any
// transport (no fake, no USB library): that they link at all is the first check.
#include "app_fp256_360.h"
#include "common.h"

#include <gtest/gtest.h>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

class PureDriver : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        set_printf_log_grade(0); // no log file: this binary has no configuration directory
        fp_module_init();
        fp_parse_prot_reset();
    }
};

TEST_F(PureDriver, CommandFrameIsBuiltAsTheseBytes)
{
    static MSG_STRUCT msg;
    ASSERT_EQ(fp_build_cmd_frame(&msg, PROT_CMD_HANDSHAKE, nullptr, 0), 12);
    const auto *p = reinterpret_cast<const uint8_t *>(&msg);
    EXPECT_EQ(Bytes(p, p + 12),
              (Bytes{0xEF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x03, 0x35, 0x00, 0x39}));
    static const uint8_t params[FP_MAX_FRAME_PARAM_LEN + 1] = {};
    EXPECT_EQ(fp_build_cmd_frame(&msg, PROT_CMD_DELCHAR, params, FP_MAX_FRAME_PARAM_LEN),
              FP_MAX_FRAME_PARAM_LEN + 12);
    EXPECT_EQ(p[7], 0xFF);
    EXPECT_EQ(p[8], 0xFF);
    EXPECT_EQ(fp_build_cmd_frame(&msg, PROT_CMD_DELCHAR, params, FP_MAX_FRAME_PARAM_LEN + 1), -1);
}

TEST_F(PureDriver, CutPacketThenAnswerIsDecodedFromBytesAlone)
{
    const Bytes stream = {0xEF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, // cut after its type byte
                          0xEF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x00, 0x03, 0x00, 0x00, 0x0A};
    fp_resp_init(PROT_CMD_HANDSHAKE);
    EXPECT_EQ(fp_parse_prot(stream.data(), static_cast<int>(stream.size())), 0);
    EXPECT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_HANDSHAKE);
    EXPECT_EQ(fp_device_param.handshake_state, 1);
}

} // namespace
