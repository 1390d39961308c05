// Response decoding: pairing, stored values, stage reports, one-key answers.
#include "fake_module.h"

#include <cstring>
#include <set>

namespace
{

using DriverDecode = DriverTest;

int decode(uint8_t cmd, const Bytes &payload)
{
    fp_resp_init(cmd);
    return fp_parse_prot_response(payload.data(), static_cast<int>(payload.size()));
}

TEST_F(DriverDecode, EveryCommandCodeIsPairedIgnoredOrRejected)
{
    const std::set<int> paired = {0x01, 0x0A, 0x0C, 0x0D, 0x0F, 0x15, 0x16, 0x1D, 0x1F, 0x30,
                                  0x31, 0x32, 0x33, 0x34, 0x35, 0x50, 0xAF, 0xB8, 0xFF};
    const std::set<int> ignored = {0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0B, 0x12, 0x13, 0x1B,
                                   0x29, 0x36, 0x40, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB9};
    for (int code = 0; code <= 0xFF; ++code) {
        SCOPED_TRACE(code);
        fp_module_init();
        LogCapture log;
        // A long all-zero payload, so that every command finds the data it expects.
        const int result = decode(static_cast<uint8_t>(code), Bytes(40, 0x00));
        EXPECT_EQ(prot_packet_usb.current_resp_type, code == 0x34 ? 0xFF : 0x00);
        if (paired.count(code) != 0) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(prot_packet_usb.current_resp_cmd, code);
        } else if (ignored.count(code) != 0) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(prot_packet_usb.current_resp_cmd, 0);
        } else {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(prot_packet_usb.current_resp_cmd, 0);
            char line[80];
            snprintf(line, sizeof(line), "not find the current_cmd_code 0x%02x, error!!!\r\n", code);
            EXPECT_TRUE(log.has(line));
        }
    }
}

TEST_F(DriverDecode, ResultFieldsTakeTheConfirmCode)
{
    struct Case {
        uint8_t cmd;
        uint8_t *field;
    } cases[] = {{PROT_CMD_DELCHAR, &fp_device_param.delete_template_result},
                 {PROT_CMD_EMPTY, &fp_device_param.empty_template_result},
                 {PROT_CMD_CANCEL, &fp_device_param.cancel_result},
                 {PROT_CMD_SLEEP, &fp_device_param.sleep_result}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cmd);
        *c.field = 0xFF;
        EXPECT_EQ(decode(c.cmd, H("10")), 0);
        EXPECT_EQ(*c.field, 0x10);
        EXPECT_EQ(fp_resp_type_get(), 0x10);
    }
}

TEST_F(DriverDecode, SystemParameters)
{
    EXPECT_EQ(decode(PROT_CMD_READSYSPARA, H("00 00 02 00 64 00 03 FF FF FF FF")), 0);
    EXPECT_EQ(fp_device_param.sys_param.sensor_type, 2);
    EXPECT_EQ(fp_device_param.sys_param.fp_database_size, 100);
    EXPECT_EQ(fp_device_param.sys_param.security_level, 3);
    EXPECT_EQ(fp_device_param.sys_param.device_addr, 0xFFFFFFFFu);

    // Stored whatever the confirm code; a short answer stores nothing but still pairs.
    EXPECT_EQ(decode(PROT_CMD_READSYSPARA, H("01 00 05 00 06 00 07 00 00 00 08")), 0);
    EXPECT_EQ(fp_device_param.sys_param.sensor_type, 5);
    EXPECT_EQ(fp_device_param.sys_param.device_addr, 8u);
    EXPECT_EQ(decode(PROT_CMD_READSYSPARA, H("00 00 09")), 0);
    EXPECT_EQ(fp_device_param.sys_param.sensor_type, 5);
    EXPECT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_READSYSPARA);
    EXPECT_TRUE(log_.has("len = 3, error!!!\r\n"));
}

TEST_F(DriverDecode, TemplateCountOnlyOnSuccess)
{
    fp_device_param.valid_template_num = 0xFFFF;
    decode(PROT_CMD_VALIDTEMPLATENUM, H("01 00 07"));
    EXPECT_EQ(fp_device_param.valid_template_num, 0xFFFF);
    decode(PROT_CMD_VALIDTEMPLATENUM, H("00 01 07"));
    EXPECT_EQ(fp_device_param.valid_template_num, 0x0107);
}

TEST_F(DriverDecode, IndexTableRowFollowsTheRequestedPage)
{
    Bytes answer = {0x00};
    for (int i = 0; i < 32; ++i) {
        answer.push_back(static_cast<uint8_t>(i + 1));
    }
    fp_device_param.index_table_page = 2;
    decode(PROT_CMD_READINDEXTABLE, answer);
    EXPECT_EQ(fp_device_param.index_table_info[2][0], 1);
    EXPECT_EQ(fp_device_param.index_table_info[2][31], 32);
    EXPECT_EQ(fp_device_param.index_table_info[0][0], 0);

    // A page beyond the table is not stored.
    fp_device_param.index_table_page = 4;
    answer[1] = 0x77;
    decode(PROT_CMD_READINDEXTABLE, answer);
    for (const auto &row : fp_device_param.index_table_info) {
        EXPECT_NE(row[0], 0x77);
    }
}

TEST_F(DriverDecode, SerialNumberLengths)
{
    struct Case {
        int length_field;
        uint8_t stored_len;
        uint8_t resp_type;
    } cases[] = {{19, 16, 0x00}, {35, 32, 0x00}, {27, 32, 0xFF}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length_field);
        Bytes answer = {0x00};
        for (int i = 1; i < c.length_field - 2; ++i) {
            answer.push_back(static_cast<uint8_t>(c.length_field + i));
        }
        EXPECT_EQ(decode(PROT_CMD_GETCHIPSN, answer), 0);
        EXPECT_EQ(prot_packet_usb.current_resp_type, c.resp_type);
        EXPECT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_GETCHIPSN);
        EXPECT_EQ(fp_device_param.chip_serial_num_len, c.stored_len);
        // The 27 case leaves the 35 case's number in place.
        const uint8_t first = static_cast<uint8_t>((c.length_field == 27 ? 35 : c.length_field) + 1);
        EXPECT_EQ(fp_device_param.chip_serial_num[0], first);
    }
}

TEST_F(DriverDecode, HandshakeWithAFailedConfirmStillMarksTheHandshake)
{
    EXPECT_EQ(decode(PROT_CMD_HANDSHAKE, H("01")), 0);
    EXPECT_EQ(fp_device_param.handshake_state, 1);
    EXPECT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_HANDSHAKE);
    EXPECT_EQ(fp_resp_type_get(), 1);
    EXPECT_TRUE(log_.has("received PROT_CMD_HANDSHAKE response.\r\n"));
}

struct EnrollStageCase {
    const char *name;
    Bytes answer;
    std::function<void(const FP_AUTOENROLL_PARAM_STRUCT &)> check;
    const char *log;
};

TEST_F(DriverDecode, EnrolmentStageTable)
{
    const EnrollStageCase cases[] = {
        {"stage 0", H("1F 00"), [](const auto &e) { EXPECT_EQ(e.validity_check_result, 0x1F); }, nullptr},
        {"stage 1 capture 4", H("02 01 04"),
         [](const auto &e) {
             EXPECT_EQ(e.capture_result[4], 0x02);
             EXPECT_EQ(e.current_enroll_time, 4);
             EXPECT_EQ(e.current_enroll_flag, 0);
         },
         nullptr},
        {"stage 2 capture 5", H("07 02 05"),
         [](const auto &e) {
             EXPECT_EQ(e.create_feature_result[5], 0x07);
             EXPECT_EQ(e.current_enroll_time, 5);
             EXPECT_EQ(e.current_enroll_flag, 0);
         },
         nullptr},
        {"stage 3 capture 2", H("00 03 02"),
         [](const auto &e) {
             EXPECT_EQ(e.enroll_result[2], 0x00);
             EXPECT_EQ(e.current_enroll_time, 2);
             EXPECT_EQ(e.current_enroll_flag, 1);
         },
         nullptr},
        {"stage 3 capture 8 is the last that fits", H("00 03 08"),
         [](const auto &e) {
             EXPECT_EQ(e.enroll_result[8], 0x00);
             EXPECT_EQ(e.current_enroll_flag, 1);
         },
         nullptr},
        {"stage 3 capture 9 is ignored", H("00 03 09"),
         [](const auto &e) {
             EXPECT_EQ(e.current_enroll_time, 0);
             EXPECT_EQ(e.current_enroll_flag, 0);
         },
         "enroll_time = 9, error!!!\r\n"},
        {"stage 1 capture 255 is ignored", H("00 01 FF"),
         [](const auto &e) { EXPECT_EQ(e.current_enroll_time, 0); }, "enroll_time = 255, error!!!\r\n"},
        {"stage 1 without capture number", H("00 01"),
         [](const auto &e) { EXPECT_EQ(e.current_enroll_time, 0); }, "len = 2, error!!!\r\n"},
        {"stage 4", H("0A 04"), [](const auto &e) { EXPECT_EQ(e.merge_template_result, 0x0A); }, nullptr},
        {"stage 5", H("27 05"), [](const auto &e) { EXPECT_EQ(e.enroll_conflict_result, 0x27); },
         "enroll_conflict_result = 0x27.\r\n"},
        {"stage 6", H("00 06"),
         [](const auto &e) {
             EXPECT_EQ(e.store_template_result, 0x00);
             EXPECT_EQ(e.enroll_finish_flag, 1);
         },
         "store_template_result = 0x00.\r\n"},
        {"stage 7", H("00 07"),
         [](const auto &e) {
             EXPECT_EQ(e.enroll_finish_flag, 0);
             EXPECT_EQ(e.store_template_result, 0xFF);
         },
         "param buf[1] = 0x07, error!!!\r\n"},
    };
    for (const EnrollStageCase &c : cases) {
        SCOPED_TRACE(c.name);
        fp_auto_enroll_param_init(&fp_device_param.auto_enroll_param, 90, 6);
        LogCapture log;
        EXPECT_EQ(decode(PROT_CMD_AUTOENROLL, c.answer), 0);
        EXPECT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_AUTOENROLL);
        c.check(fp_device_param.auto_enroll_param);
        if (c.log != nullptr) {
            EXPECT_TRUE(log.has(c.log)) << log.text();
        }
    }
}

struct IdentifyStageCase {
    const char *name;
    Bytes answer;
    std::function<void(const FP_AUTOIDENTIFY_PARAM_STRUCT &)> check;
    const char *log;
};

Bytes id_list(uint8_t confirm, int announced, int present)
{
    Bytes b = {confirm, 0xF5, static_cast<uint8_t>(announced)};
    for (int i = 0; i < present; ++i) {
        b.push_back(static_cast<uint8_t>(100 + i));
    }
    return b;
}

TEST_F(DriverDecode, IdentificationStageTable)
{
    const IdentifyStageCase cases[] = {
        {"stage 0", H("02 00"), [](const auto &a) { EXPECT_EQ(a.validity_check_result, 2); }, nullptr},
        {"stage 1", H("09 01"),
         [](const auto &a) {
             EXPECT_EQ(a.validity_check_result, 0);
             EXPECT_EQ(a.capture_result, 9);
             EXPECT_EQ(a.identify_finish_flag, 0);
         },
         nullptr},
        {"stage 5 single match", H("00 05 00 60 01 23"),
         [](const auto &a) {
             EXPECT_EQ(a.search_result, 0);
             EXPECT_EQ(a.validity_check_result, 0);
             EXPECT_EQ(a.search_num, 1);
             EXPECT_EQ(a.search_id[0], 0x0060);
             EXPECT_EQ(a.score, 0x0123);
             EXPECT_EQ(a.identify_finish_flag, 1);
         },
         "search_result = 0x00, search_id[0] = 0x0060.\n"},
        {"stage 5 too short", H("00 05 00 60"), [](const auto &a) { EXPECT_EQ(a.identify_finish_flag, 0); },
         "len = 4, error!!!\r\n"},
        {"stage F5 ids 5 and 9", H("00 F5 02 05 09"),
         [](const auto &a) {
             EXPECT_EQ(a.search_num, 2);
             EXPECT_EQ(a.search_id[0], 5);
             EXPECT_EQ(a.search_id[1], 9);
             EXPECT_EQ(a.identify_finish_flag, 1);
         },
         "search_result = 0x00, search_num = 2.\r\n"},
        {"stage F5 no match", H("09 F5 00"),
         [](const auto &a) {
             EXPECT_EQ(a.search_result, 9);
             EXPECT_EQ(a.search_num, 0);
             EXPECT_EQ(a.identify_finish_flag, 1);
         },
         nullptr},
        {"stage F5 with 40 ids is cut at 30", id_list(0, 40, 40),
         [](const auto &a) {
             EXPECT_EQ(a.search_num, 30);
             EXPECT_EQ(a.search_id[29], 129);
         },
         "search_num = 40, error!!!\r\n"},
        {"stage F5 announcing more ids than received", id_list(0, 10, 4),
         [](const auto &a) {
             EXPECT_EQ(a.search_num, 4);
             EXPECT_EQ(a.search_id[3], 103);
         },
         "search_num = 10, error!!!\r\n"},
        {"unknown stage", H("00 07"), [](const auto &a) { EXPECT_EQ(a.identify_finish_flag, 0); },
         "param buf[1] = 0x07, error!!!\r\n"},
    };
    for (const IdentifyStageCase &c : cases) {
        SCOPED_TRACE(c.name);
        fp_auto_identify_param_init(&fp_device_param.auto_identify_param, 3, 0xFFFF, 3);
        LogCapture log;
        EXPECT_EQ(decode(PROT_CMD_AUTOIDENTIFY, c.answer), 0);
        c.check(fp_device_param.auto_identify_param);
        if (c.log != nullptr) {
            EXPECT_TRUE(log.has(c.log)) << log.text();
        }
    }
}

Bytes version_answer(const std::string &text)
{
    Bytes b(26, 0x00); // confirm code 0, then the text padded with zeros
    for (size_t i = 0; i < text.size() && i < 25; ++i) {
        b[1 + i] = static_cast<uint8_t>(text[i]);
    }
    return b;
}

TEST_F(DriverDecode, FirmwareVersionAnswer)
{
    prot_packet_usb.current_sub_cmd_code = PROT_SUBCMD_READ_FW;
    fp_device_param.onekey_powerup.continue_read_fw_version_flag = 1;
    EXPECT_EQ(decode(PROT_CMD_TEST_TYPE, version_answer("acm32_btl_nuvex_pc_12")), 0);
    EXPECT_STREQ(fp_return_firmware_version(), "acm32_btl_nuvex_pc_12");
    EXPECT_EQ(fp_return_firmware_version_num(), 12u);
    EXPECT_EQ(fp_device_param.onekey_powerup.continue_read_fw_version_flag, 0);
    EXPECT_TRUE(log_.has("firmware_version is acm32_btl_nuvex_pc_12\n"));
    EXPECT_TRUE(log_.has("firmware_version num is 12\n"));

    // A full 25-character text is terminated; a text off the pattern keeps the number.
    EXPECT_EQ(decode(PROT_CMD_TEST_TYPE, version_answer("other_firmware_text_12345")), 0);
    EXPECT_STREQ(fp_return_firmware_version(), "other_firmware_text_12345");
    EXPECT_EQ(fp_return_firmware_version_num(), 12u);
}

TEST_F(DriverDecode, SetModeAnswerIsNoFirmwareVersion)
{
    prot_packet_usb.current_sub_cmd_code = PROT_SUBCMD_SET_MODE;
    EXPECT_EQ(decode(PROT_CMD_TEST_TYPE, version_answer("acm32_btl_nuvex_pc_12")), 0);
    EXPECT_STREQ(fp_return_firmware_version(), "");
    EXPECT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_TEST_TYPE);
}

struct OnekeyCase {
    const char *name;
    Bytes answer;
    uint8_t flag;
    int num;
    std::vector<uint16_t> ids; // expected leading ids, terminator included
    const char *log;
};

TEST_F(DriverDecode, OnekeyResultInPlaceOfTheVersion)
{
    Bytes long_list = {0x00, 0xF5, 40};
    for (int i = 0; i < 40; ++i) {
        long_list.push_back(static_cast<uint8_t>(i + 1));
    }
    std::vector<uint16_t> first29;
    for (int i = 0; i < 29; ++i) {
        first29.push_back(static_cast<uint16_t>(i + 1));
    }
    first29.push_back(0xFFFF);
    const OnekeyCase cases[] = {
        {"single match",
         H("00 05 00 5A 01 02"),
         1,
         1,
         {0x005A, 0xFFFF},
         "search_num = 1, search_id[0] = 0x005a.\n"},
        {"single, no match", H("09 05 00 5A 01 02"), 1, 0, {0xFFFF}, "identify failed!\n"},
        {"list of two",
         H("00 F5 02 5A 61 00"),
         1,
         2,
         {0x5A, 0x61, 0xFFFF},
         "search_num = 2, search_id[0] = 90.\n"},
        {"list, no match", H("09 F5 00 00 00 00"), 1, 0, {0xFFFF}, "identify failed!\n"},
        {"list of 40 keeps 29 and the terminator", long_list, 1, 29, first29,
         "search_num = 40, error!!!\r\n"},
        {"single of 7 bytes is not taken", H("00 05 00 5A 01 02 03"), 0, 0, {0x1111}, nullptr},
        {"shorter than 6 bytes", H("00 05 00 5A"), 0, 0, {0x1111}, nullptr},
        {"another stage", H("00 01 00 5A 00 00"), 0, 0, {0x1111}, nullptr},
    };
    for (const OnekeyCase &c : cases) {
        SCOPED_TRACE(c.name);
        fp_module_init();
        std::fill(std::begin(fp_device_param.onekey_powerup.search_id),
                  std::end(fp_device_param.onekey_powerup.search_id), 0x1111);
        prot_packet_usb.current_sub_cmd_code = PROT_SUBCMD_READ_FW;
        LogCapture log;
        EXPECT_EQ(decode(PROT_CMD_TEST_TYPE, c.answer), 0);
        EXPECT_EQ(fp_device_param.onekey_powerup.continue_read_fw_version_flag, 1);
        EXPECT_TRUE(log.has("not received firmware_version!!!\n"));
        EXPECT_EQ(get_onekey_powerup_flag(), c.flag);
        EXPECT_EQ(get_onekey_powerup_search_num(), c.num);
        EXPECT_EQ(get_onekey_restart_flag(), 0);
        for (size_t i = 0; i < c.ids.size(); ++i) {
            EXPECT_EQ(get_onekey_powerup_search_id()[i], c.ids[i]) << i;
        }
        if (c.flag != 0) {
            EXPECT_EQ(get_onekey_powerup_tv_time()->tv_sec, 1700000000);
        }
        if (c.log != nullptr) {
            EXPECT_TRUE(log.has(c.log)) << log.text();
        }
    }
}

} // namespace
