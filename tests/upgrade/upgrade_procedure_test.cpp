// One upgrade attempt, the image check and the upgrade state, against a scripted bootloader.
#include "upgrade_fixture.h"

#include "common.h"

#include <map>
#include <string>
#include <utility>

namespace upgrade_test
{
namespace
{

using fake_usb::Reply;

// A bootloader that accepts everything and reports `crc_reply` for the CRC
// request; `fail_type` (with `fail_at`, counted from 1 among requests of that
// type) answers with a failure instead.
struct ScriptedBootloader {
    explicit ScriptedBootloader(Bytes crc, uint8_t failing_type = 0, int failing_at = 1, bool silent = false)
        : crc_reply(std::move(crc)), fail_type(failing_type), fail_at(failing_at), silent_on_fail(silent)
    {
    }

    Bytes crc_reply;
    uint8_t fail_type;
    int fail_at;
    bool silent_on_fail;
    std::map<uint8_t, int> seen;

    std::vector<Reply> operator()(const Bytes &request)
    {
        const uint8_t type = request.at(1);
        const bool fail = type == fail_type && ++seen[type] == fail_at;
        if (fail && silent_on_fail) {
            return {};
        }
        switch (type) {
        case 0xD3:
            return {{0, fail ? reply::kEraseFail : reply::kEraseOk}};
        case 0xD7:
            return {{0, fail ? reply::kDownloadFail : reply::kDownloadOk}};
        case 0xA6:
            return {{0, crc_reply}};
        case 0xD9:
            return {{0, fail ? reply::kDownloadCrcFail : reply::kDownloadCrcOk}};
        case 0xCC:
            return {{0, fail ? reply::kSecurityFail : reply::kSecurityOk}};
        case 0xE3:
            return {{0, fail ? reply::kRunFail : reply::kRunOk}};
        default:
            return {};
        }
    }
};

struct Block {
    uint32_t addr;
    uint32_t len;
    bool operator==(const Block &other) const
    {
        return addr == other.addr && len == other.len;
    }
};

std::ostream &operator<<(std::ostream &os, const Block &b)
{
    return os << "{" << b.addr << ", " << b.len << "}";
}

// Address and length of every download request, read from the bytes written.
std::vector<Block> written_blocks(const Bytes &image)
{
    std::vector<Block> blocks;
    for (const fake_usb::Transfer &t : fake_usb::state().writes) {
        if (t.bytes.at(1) != 0xD7) {
            continue;
        }
        const uint32_t n = t.bytes[2] | (t.bytes[3] << 8);
        const uint32_t addr =
            t.bytes[4] | (t.bytes[5] << 8) | (t.bytes[6] << 16) | (uint32_t(t.bytes[7]) << 24);
        blocks.push_back({addr, n - 4});
        EXPECT_EQ(t.bytes.size(), 250u);
        EXPECT_EQ(Bytes(t.bytes.begin() + 8, t.bytes.begin() + 8 + (n - 4)),
                  Bytes(image.begin() + addr, image.begin() + addr + (n - 4)))
            << "block at " << addr;
    }
    return blocks;
}

class UpgradeAttempt : public UpgradeTest
{
};

class ImageCheck : public UpgradeTest
{
};

class UpgradeState : public UpgradeTest
{
};

// ---- Whole attempts ------------------------------------------------------------------

struct SplitCase {
    const char *name;
    size_t size;
    Bytes crc_reply;
    std::vector<Block> blocks;
    Bytes read_crc_request;
    Bytes download_crc_request;
};

Bytes padded(Bytes frame)
{
    frame.resize(250, 0x00);
    return frame;
}

class UpgradeAndRun : public UpgradeTest, public ::testing::WithParamInterface<SplitCase>
{
};

TEST_P(UpgradeAndRun, WritesTheImageInBlocksAndStartsIt)
{
    const SplitCase &c = GetParam();
    const Bytes image = pattern_image(c.size);
    install_image(image);
    attach_bootloader();
    fake_usb::state().bootloader = ScriptedBootloader(c.crc_reply);

    EXPECT_EQ(upgrade_and_run(), 0);

    EXPECT_EQ(written_blocks(image), c.blocks);
    const std::vector<fake_usb::Transfer> &w = fake_usb::state().writes;
    const size_t n = w.size();
    ASSERT_EQ(n, c.blocks.size() + 5);
    EXPECT_EQ(w.front().bytes, (Bytes{0xAA, 0xD3, 0x00, 0x00, 0x2C, 0x55}));
    EXPECT_EQ(w[n - 4].bytes, padded(c.read_crc_request));
    EXPECT_EQ(w[n - 3].bytes, padded(c.download_crc_request));
    EXPECT_EQ(w[n - 2].bytes, (Bytes{0xAA, 0xCC, 0x00, 0x00, 0x33, 0x55}));
    EXPECT_EQ(w[n - 1].bytes, (Bytes{0xAA, 0xE3, 0x00, 0x00, 0x1C, 0x55}));

    EXPECT_EQ(count_log(LOG_LOG_GRADE, "downloadCodeToEFlash: success.\n"), 1);
    EXPECT_EQ(count_log(LOG_LOG_GRADE, "runAPP: success.\n"), 1);
    EXPECT_EQ(count_log(LOG_LOG_GRADE, "state 1\n"), 1);
    EXPECT_EQ(count_log(LOG_LOG_GRADE, "state 0\n"), 1);
    EXPECT_EQ(change_fw_upgrade_flag_calls(), 1);
    EXPECT_EQ(get_upgrade_state(), 0);
    expect_link_released();
}

INSTANTIATE_TEST_SUITE_P(
    Images, UpgradeAndRun,
    ::testing::Values(
        SplitCase{
            "size_1000",
            1000,
            reply::kCrc1000,
            {{0, 240}, {240, 240}, {480, 240}, {720, 240}, {960, 40}},
            {0xAA, 0xA6, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00, 0xBA, 0x55},
            {0xAA, 0xD9, 0x0A, 0x00, 0xE8, 0x03, 0x00, 0x00, 0x2E, 0x6A, 0x00, 0x00, 0x00, 0x00, 0x83, 0x55}},
        SplitCase{
            "size_240",
            240,
            reply::kCrc240,
            {{0, 240}},
            {0xAA, 0xA6, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x00, 0x00, 0x00, 0xA1, 0x55},
            {0xAA, 0xD9, 0x0A, 0x00, 0xF0, 0x00, 0x00, 0x00, 0xFC, 0x9D, 0x00, 0x00, 0x00, 0x00, 0xBD, 0x55}},
        SplitCase{"size_239",
                  239,
                  reply::kCrc239,
                  {{0, 239}},
                  {0xAA, 0xA6, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0xEF, 0x00, 0x00, 0x00, 0xBE, 0x55},
                  {0xAA, 0xD9, 0x0A, 0x00, 0xEF, 0x00, 0x00, 0x00, 0x02, 0xF2, 0x00, 0x00, 0x00, 0x00, 0x33,
                   0x55}}),
    [](const ::testing::TestParamInfo<SplitCase> &info) { return std::string(info.param.name); });

struct StepFailureCase {
    const char *name;
    uint8_t fail_type;
    int fail_at;
    bool silent;
    Bytes crc_reply;
    std::string log_text;
    std::vector<uint8_t> types_sent;
};

class UpgradeStepFailure : public UpgradeTest, public ::testing::WithParamInterface<StepFailureCase>
{
};

TEST_P(UpgradeStepFailure, StopsAtTheFailingStepAndKeepsTheStateSet)
{
    const StepFailureCase &c = GetParam();
    install_image(pattern_image(1000));
    attach_bootloader();
    fake_usb::state().bootloader = ScriptedBootloader(c.crc_reply, c.fail_type, c.fail_at, c.silent);

    EXPECT_EQ(upgrade_and_run(), -1);
    EXPECT_EQ(count_log(ERR_LOG_GRADE, c.log_text), 1);
    EXPECT_EQ(fake_usb::written_types(), c.types_sent);
    EXPECT_EQ(count_log_any("downloadCodeToEFlash: success.\n"), 0);
    EXPECT_EQ(get_upgrade_state(), 1);
    EXPECT_EQ(change_fw_upgrade_flag_calls(), 0);
    expect_link_released();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, UpgradeStepFailure,
    ::testing::Values(
        StepFailureCase{"erase", 0xD3, 1, false, reply::kCrc1000, "eraseEFlash failed!!!\n", {0xD3}},
        StepFailureCase{"third_block",
                        0xD7,
                        3,
                        false,
                        reply::kCrc1000,
                        "downloadCodeToEFlash: failed!!!\n",
                        {0xD3, 0xD7, 0xD7, 0xD7}},
        StepFailureCase{"last_block_unanswered",
                        0xD7,
                        5,
                        true,
                        reply::kCrc1000,
                        "downloadCodeToEFlash: failed!!!\n",
                        {0xD3, 0xD7, 0xD7, 0xD7, 0xD7, 0xD7}},
        StepFailureCase{"read_crc_unanswered",
                        0xA6,
                        1,
                        true,
                        reply::kCrc1000,
                        "readCRC: failed!!!\n",
                        {0xD3, 0xD7, 0xD7, 0xD7, 0xD7, 0xD7, 0xA6}},
        StepFailureCase{"crc_mismatch",
                        0,
                        1,
                        false,
                        reply::kCrc240,
                        "check CRC: error!!!\n",
                        {0xD3, 0xD7, 0xD7, 0xD7, 0xD7, 0xD7, 0xA6}},
        StepFailureCase{"download_crc",
                        0xD9,
                        1,
                        false,
                        reply::kCrc1000,
                        "downloadCRC: failed!!!\n",
                        {0xD3, 0xD7, 0xD7, 0xD7, 0xD7, 0xD7, 0xA6, 0xD9}},
        StepFailureCase{"security_code",
                        0xCC,
                        1,
                        false,
                        reply::kCrc1000,
                        "securityCode failed!!!\n",
                        {0xD3, 0xD7, 0xD7, 0xD7, 0xD7, 0xD7, 0xA6, 0xD9, 0xCC}}),
    [](const ::testing::TestParamInfo<StepFailureCase> &info) { return std::string(info.param.name); });

TEST_F(UpgradeAttempt, FailedStartOfTheApplicationStillCountsAsSuccess)
{
    install_image(pattern_image(1000));
    attach_bootloader();
    fake_usb::state().bootloader = ScriptedBootloader(reply::kCrc1000, 0xE3);

    EXPECT_EQ(upgrade_and_run(), 0);
    EXPECT_EQ(count_log_any("runAPP: success.\n"), 0);
    EXPECT_EQ(count_log(LOG_LOG_GRADE, "downloadCodeToEFlash: success.\n"), 1);
    EXPECT_EQ(change_fw_upgrade_flag_calls(), 1);
    EXPECT_EQ(get_upgrade_state(), 0);
    expect_link_released();
}

struct RefusedSizeCase {
    const char *name;
    size_t size;
};

class UpgradeRefusesImageSize : public UpgradeTest, public ::testing::WithParamInterface<RefusedSizeCase>
{
};

TEST_P(UpgradeRefusesImageSize, BeforeAnythingIsErased)
{
    const RefusedSizeCase &c = GetParam();
    install_image(Bytes(c.size, 0x5A));
    attach_bootloader();
    fake_usb::state().bootloader = ScriptedBootloader(reply::kCrc1000);

    EXPECT_EQ(upgrade_and_run(), -1);
    EXPECT_EQ(count_log(ERR_LOG_GRADE, std::string(new_firmware_name) +
                                           " file_size = " + std::to_string(c.size) + ", error!\n"),
              1);
    EXPECT_TRUE(fake_usb::state().writes.empty());
    EXPECT_EQ(get_upgrade_state(), 0);
    expect_link_released();
}

INSTANTIATE_TEST_SUITE_P(Sizes, UpgradeRefusesImageSize,
                         ::testing::Values(RefusedSizeCase{"empty", 0},
                                           RefusedSizeCase{"one_over_2MiB", 2097153}),
                         [](const ::testing::TestParamInfo<RefusedSizeCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(UpgradeAttempt, ImageOfExactly2MiBIsAcceptedAndErased)
{
    install_image(pattern_image(2097152));
    attach_bootloader();
    // The erase fails: the attempt stops right after showing that the size passed.
    fake_usb::state().bootloader = ScriptedBootloader({}, 0xD3);

    EXPECT_EQ(upgrade_and_run(), -1);
    EXPECT_EQ(fake_usb::written_types(), (std::vector<uint8_t>{0xD3}));
    EXPECT_EQ(upgrade_param.crc_value_file, 0x598E);
    EXPECT_EQ(get_upgrade_state(), 1);
    expect_link_released();
}

TEST_F(UpgradeAttempt, MissingImageEndsTheAttemptsWithMinusTwo)
{
    std::snprintf(new_firmware_name, sizeof(new_firmware_name), "%s", conf_path("ACM32FP_V9999.bin").c_str());
    attach_bootloader();

    EXPECT_EQ(upgrade_and_run(), -2);
    EXPECT_EQ(count_log(ERR_LOG_GRADE, std::string(new_firmware_name) + " open failed!\n"), 1);
    EXPECT_TRUE(fake_usb::state().writes.empty());
    EXPECT_EQ(fake_usb::state().handles_opened, 1);
    expect_link_released();
}

TEST_F(UpgradeAttempt, NoBootloaderMeansMinusOneWithoutLookingAtTheImage)
{
    // Even a missing image does not turn this into -2: the image is not looked at.
    std::snprintf(new_firmware_name, sizeof(new_firmware_name), "%s", conf_path("ACM32FP_V9999.bin").c_str());
    fake_usb::state().devices = {{0x2109, 0x7638}};

    EXPECT_EQ(upgrade_and_run(), -1);
    EXPECT_EQ(count_log(DBG_LOG_GRADE, "open_dev failed!!!\n"), 1);
    EXPECT_EQ(count_log_any(std::string(new_firmware_name) + " open failed!\n"), 0);
    EXPECT_EQ(fake_usb::state().handles_opened, 0);
    expect_link_released();
}

TEST_F(UpgradeAttempt, UnreadableImageIsRefusedBeforeErasing)
{
    // A directory opens, has a size, but cannot be read.
    std::filesystem::create_directory(conf_path("image.bin"));
    write_text("image.bin/filler", std::string(100, 'f'));
    std::snprintf(new_firmware_name, sizeof(new_firmware_name), "%s", conf_path("image.bin").c_str());
    attach_bootloader();

    EXPECT_EQ(upgrade_and_run(), -1);
    int read_failures = 0;
    for (const LogLine &line : logs()) {
        const std::string suffix = ", read_size = 0, read file failed!\n";
        read_failures +=
            line.grade == ERR_LOG_GRADE && line.text.rfind("file_size = ", 0) == 0 &&
                    line.text.size() > suffix.size() &&
                    line.text.compare(line.text.size() - suffix.size(), suffix.size(), suffix) == 0
                ? 1
                : 0;
    }
    EXPECT_EQ(read_failures, 1);
    EXPECT_TRUE(fake_usb::state().writes.empty());
    expect_link_released();
}

// ---- Image check and upgrade state ------------------------------------------------

TEST_F(ImageCheck, ImageCheckAcceptsOneByteTo2MiB)
{
    const struct {
        const char *name;
        long size; // -1: no file
        int result;
    } cases[] = {{"missing", -1, -1},
                 {"empty", 0, -1},
                 {"one_byte", 1, 0},
                 {"max", 2097152, 0},
                 {"over", 2097153, -1}};
    for (const auto &c : cases) {
        reset_env();
        std::filesystem::remove(conf_path("ACM32FP_V1502.bin"));
        std::snprintf(new_firmware_name, sizeof(new_firmware_name), "%s",
                      conf_path("ACM32FP_V1502.bin").c_str());
        if (c.size >= 0) {
            install_image(Bytes(static_cast<size_t>(c.size), 0x00));
        }
        EXPECT_EQ(check_file_exit(), c.result) << c.name;
        const std::string refusal = std::string(new_firmware_name) +
                                    " file_size = " + std::to_string(c.size < 0 ? 0 : c.size) + ", error!\n";
        EXPECT_EQ(count_log(ERR_LOG_GRADE, refusal), c.result == 0 ? 0 : 1) << c.name;
    }
    EXPECT_TRUE(fake_usb::state().calls.empty());
}

TEST_F(ImageCheck, FileSizeOfNoNameIsZero)
{
    EXPECT_EQ(get_file_size(nullptr), 0);
    EXPECT_EQ(get_file_size(""), 0);
    EXPECT_EQ(count_log(ERR_LOG_GRADE, "the param is error!\n"), 2);
    EXPECT_EQ(get_file_size(conf_path("nothing-here").c_str()), 0);
    write_text("seven", "1234567");
    EXPECT_EQ(get_file_size(conf_path("seven").c_str()), 7);
}

TEST_F(UpgradeState, StateIsStoredAndLogged)
{
    EXPECT_EQ(get_upgrade_state(), 0);
    EXPECT_EQ(set_upgrade_state(1), 0);
    EXPECT_EQ(get_upgrade_state(), 1);
    EXPECT_EQ(count_log(LOG_LOG_GRADE, "state 1\n"), 1);
    set_upgrade_state(0);
    EXPECT_EQ(get_upgrade_state(), 0);
    EXPECT_EQ(count_log(LOG_LOG_GRADE, "state 0\n"), 1);
}

TEST_F(UpgradeState, ModuleInitResetsTheRecord)
{
    set_upgrade_state(1);
    upgrade_param.udev.vid = 0;
    upgrade_param.udev.pid = 0;
    upgrade_param.usb_recv_cnt = 17;
    EXPECT_EQ(upgrade_module_init(), 0);
    EXPECT_EQ(get_upgrade_state(), 0);
    EXPECT_EQ(upgrade_param.udev.vid, 0x1234u);
    EXPECT_EQ(upgrade_param.udev.pid, 0xABCEu);
    EXPECT_EQ(upgrade_param.usb_recv_cnt, 0);
    EXPECT_EQ(upgrade_param.usb_handle, nullptr);
}

} // namespace
} // namespace upgrade_test
