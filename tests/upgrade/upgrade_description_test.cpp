// The firmware description file read at start-up.
#include "upgrade_fixture.h"

#include "common.h"

#include <optional>
#include <string>

namespace upgrade_test
{
namespace
{

struct DescriptionCase {
    const char *name;
    std::optional<std::string> content; // nullopt: no description file
    int flag_result;                    // what read_fw_upgrade_flag answers
    int result;
    std::string image_base; // expected image name without directory and ".bin"; empty: no image known
    uint32_t number;
    std::string version;
    std::string refusal; // expected ERR line with the path prefix left out; empty: none
};

class ReadFwVersion : public UpgradeTest, public ::testing::WithParamInterface<DescriptionCase>
{
};

TEST_P(ReadFwVersion, NamesTheImageAndItsVersion)
{
    const DescriptionCase &c = GetParam();
    if (c.content) {
        write_text("kal_fw.conf", *c.content);
    }
    set_read_fw_upgrade_flag_result(c.flag_result);

    EXPECT_EQ(read_fw_version(), c.result);
    const std::string expected_name = c.image_base.empty() ? "" : conf_dir_ + c.image_base + ".bin";
    EXPECT_EQ(std::string(upgrade_new_firmware_name()), expected_name);
    EXPECT_EQ(std::string(upgrade_new_firmware_version()), c.version);
    EXPECT_EQ(upgrade_new_firmware_version_num(), c.number);
    if (c.refusal.empty()) {
        for (const LogLine &line : logs()) {
            EXPECT_NE(line.grade, ERR_LOG_GRADE) << line.text;
        }
    } else {
        EXPECT_EQ(count_log(ERR_LOG_GRADE, conf_path("kal_fw.conf") + c.refusal), 1);
    }
    if (c.result == 0) {
        EXPECT_EQ(count_log(DBG_LOG_GRADE, "new_firmware_name = " + expected_name + "\n"), 1);
        EXPECT_EQ(count_log(DBG_LOG_GRADE, "fw_version = " + std::to_string(c.number) + "\n"), 1);
        EXPECT_EQ(count_log(DBG_LOG_GRADE, "new_firmware_version = " + c.version + "\n"), 1);
        EXPECT_EQ(count_log(DBG_LOG_GRADE, "new_firmware_version_num = " + std::to_string(c.number) + "\n"),
                  1);
    }
}

class FirmwareDescription : public UpgradeTest
{
};

const std::string kLongBase = "ACM32FP_V7" + std::string(245, 'x'); // 255 bytes, 256 with the line end

INSTANTIATE_TEST_SUITE_P(
    Files, ReadFwVersion,
    ::testing::Values(DescriptionCase{"example", "ACM32FP_V1502\n", 0, 0, "ACM32FP_V1502", 1502,
                                      "acm32_btl_nuvex_pc_001502", ""},
                      DescriptionCase{"no_line_end_loses_last_character", "ACM32FP_V1502", 0, 0,
                                      "ACM32FP_V150", 150, "acm32_btl_nuvex_pc_000150", ""},
                      DescriptionCase{"crlf_line_end_is_dropped_whole", "ACM32FP_V1502\r\n", 0, 0,
                                      "ACM32FP_V1502", 1502, "acm32_btl_nuvex_pc_001502", ""},
                      DescriptionCase{"sign_is_no_version", "ACM32FP_V-5\n", 0, 0, "ACM32FP_V-5", 0,
                                      "acm32_btl_nuvex_pc_000000", ""},
                      DescriptionCase{"overflowing_number_is_no_version", "ACM32FP_V99999999999\n", 0, 0,
                                      "ACM32FP_V99999999999", 0, "acm32_btl_nuvex_pc_000000", ""},
                      DescriptionCase{"seven_digits", "ACM32FP_V1234567\n", 0, 0, "ACM32FP_V1234567", 1234567,
                                      "acm32_btl_nuvex_pc_1234567", ""},
                      DescriptionCase{"unmatched_name_has_number_0", "FIRMWARE_X\n", 0, 0, "FIRMWARE_X", 0,
                                      "acm32_btl_nuvex_pc_000000", ""},
                      DescriptionCase{"exactly_256_bytes", kLongBase + "\n", 0, 0, kLongBase, 7,
                                      "acm32_btl_nuvex_pc_000007", ""},
                      DescriptionCase{"257_bytes_refused", kLongBase + "y\n", 0, -1, "", 0, "",
                                      " file_size = 257, error!\n"},
                      DescriptionCase{"empty_refused", "", 0, -1, "", 0, "", " file_size = 0, error!\n"},
                      DescriptionCase{"missing_file_quietly_refused", std::nullopt, 0, -1, "", 0, "", ""},
                      DescriptionCase{"upgrade_flag_not_allowing", "ACM32FP_V1502\n", -1, -1, "", 0, "", ""},
                      DescriptionCase{"upgrade_flag_other_non_zero", "ACM32FP_V1502\n", 1, -1, "", 0, "",
                                      ""}),
    [](const ::testing::TestParamInfo<DescriptionCase> &info) { return std::string(info.param.name); });

TEST_F(FirmwareDescription, DescriptionReadAgainWithoutPermissionForgetsTheImage)
{
    write_text("kal_fw.conf", "ACM32FP_V1502\n");
    ASSERT_EQ(read_fw_version(), 0);
    ASSERT_STRNE(upgrade_new_firmware_version(), "");
    set_read_fw_upgrade_flag_result(-1);
    EXPECT_EQ(read_fw_version(), -1);
    EXPECT_STREQ(upgrade_new_firmware_version(), "");
    EXPECT_STREQ(upgrade_new_firmware_name(), "");
    EXPECT_EQ(upgrade_new_firmware_version_num(), 0u);
}

TEST_F(FirmwareDescription, DescribedImageIsTheOneChecked)
{
    write_text("kal_fw.conf", "ACM32FP_V1502\n");
    ASSERT_EQ(read_fw_version(), 0);
    EXPECT_EQ(check_file_exit(), -1);
    write_file("ACM32FP_V1502.bin", pattern_image(1000));
    EXPECT_EQ(check_file_exit(), 0);
}

} // namespace
} // namespace upgrade_test
