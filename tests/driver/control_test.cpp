// Template and device control commands.
#include "fake_module.h"

namespace
{

using DriverControl = DriverTest;

const Bytes kOk = H("EF 01 FF FF FF FF 07 00 03 00 00 0A");

struct ResultCase {
    const char *name;
    std::function<int()> op;
    std::vector<Bytes> replies;
    int result;
    std::vector<int> reads;
    const char *log;
};

TEST_F(DriverControl, ResultTable)
{
    const ResultCase cases[] = {
        {"delete ok", [] { return fp_delete_template(90, 1); }, {kOk}, 0, {64}, "enroll_id = 90, num = 1.\n"},
        {"delete refused",
         [] { return fp_delete_template(90, 1); },
         {resp(H("10"))},
         -1,
         {64},
         "delete_template_result = 0x10, error!!!\r\n"},
        {"delete silent: five reads",
         [] { return fp_delete_template(90, 1); },
         {},
         -1,
         std::vector<int>(5, 64),
         "fp_send_cmd failed!!!\r\n"},
        {"empty ok", [] { return fp_empty_template(); }, {kOk}, 0, {64}, "send PROT_CMD_EMPTY command.\n"},
        {"empty refused",
         [] { return fp_empty_template(); },
         {resp(H("11"))},
         -1,
         {64},
         "empty_template_result = 0x11, error!!!\r\n"},
        {"empty silent", [] { return fp_empty_template(); }, {}, -1, std::vector<int>(5, 64), nullptr},
        {"sleep ok", [] { return fp_sleep(); }, {kOk}, 0, {64}, "send PROT_CMD_SLEEP command.\n"},
        {"sleep refused",
         [] { return fp_sleep(); },
         {resp(H("12"))},
         -1,
         {64},
         "sleep_result = 0x12, error!!!\r\n"},
        {"sleep silent: three reads", [] { return fp_sleep(); }, {}, -1, {64, 64, 64}, nullptr},
        {"pc state ok",
         [] { return fp_set_pc_state(1); },
         {kOk},
         0,
         {64},
         "received PROT_CMD_PS_PC_STATE response.\r\n"},
        {"pc state refused",
         [] { return fp_set_pc_state(1); },
         {resp(H("01"))},
         -1,
         {64},
         "not received PROT_RESP_OK!!!\n"},
        {"pc state silent",
         [] { return fp_set_pc_state(1); },
         {},
         -1,
         {64, 64, 64},
         "fp_send_cmd failed!!!\n"},
        {"set mode ok",
         [] { return fp_set_mode("USER", 4); },
         {kOk},
         0,
         {64},
         "send PROT_CMD_SET_MODE command.\n"},
        {"set mode refused",
         [] { return fp_set_mode("USER", 4); },
         {resp(H("13"))},
         -1,
         {64},
         "not received PROT_RESP_OK!!!\r\n"},
        {"set mode silent: ten reads",
         [] { return fp_set_mode("USER", 4); },
         {},
         -1,
         std::vector<int>(10, 64),
         "fp_send_cmd failed!!!\n"},
    };
    for (const ResultCase &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        fp_module_init();
        for (const Bytes &r : c.replies) {
            fake::reply(r);
        }
        LogCapture log;
        EXPECT_EQ(c.op(), c.result);
        EXPECT_EQ(fake::module().read_requests, c.reads);
        if (c.log != nullptr) {
            EXPECT_TRUE(log.has(c.log)) << log.text();
        }
    }
}

TEST_F(DriverControl, ResultFieldsArePresetBeforeSending)
{
    fp_device_param.delete_template_result = 0;
    fp_device_param.empty_template_result = 0;
    fp_device_param.cancel_result = 0;
    fp_device_param.sleep_result = 0;
    fp_delete_template(90, 1);
    fp_empty_template();
    fp_cancel();
    fp_sleep();
    EXPECT_EQ(fp_device_param.delete_template_result, 0xFF);
    EXPECT_EQ(fp_device_param.empty_template_result, 0xFF);
    EXPECT_EQ(fp_device_param.cancel_result, 0xFF);
    EXPECT_EQ(fp_device_param.sleep_result, 0xFF);
}

TEST_F(DriverControl, CancelTable)
{
    struct Case {
        const char *name;
        std::vector<Bytes> replies; // empty entries are silent reads
        int result;
        int reads;
        uint8_t cancel_result;
    } cases[] = {
        {"silent module: taken as cancelled, drain ends at the first empty read", {}, 0, 5 + 1, 0xFF},
        {"silent, then stale reports: the drain reads three and parses none",
         {H(""), H(""), H(""), H(""), H(""), resp(H("05")), resp(H("05")), resp(H("05")), resp(H("05"))},
         0,
         5 + 3,
         0xFF},
        {"answered", {kOk}, 0, 1 + 1, 0x00},
        {"answered with stage reports pending",
         {kOk, resp(H("00 01 01")), resp(H("00 02 01"))},
         0,
         1 + 3,
         0x00},
        {"refused", {resp(H("01"))}, -1, 1 + 1, 0x01},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        for (const Bytes &r : c.replies) {
            if (r.empty()) {
                fake::silence();
            } else {
                fake::reply(r);
            }
        }
        LogCapture log;
        EXPECT_EQ(fp_cancel(), c.result);
        EXPECT_EQ(fake::reads(), c.reads);
        // The exchange's reads wait the transport's 1,000 ms, the drain's only a
        // short while: a cancel of an idle pipe costs one short read of draining.
        const int exchange_reads = c.replies.empty() || c.replies.front().empty() ? 5 : 1;
        const auto &timeouts = fake::module().read_timeouts;
        for (int i = 0; i < fake::reads(); ++i) {
            EXPECT_EQ(timeouts[static_cast<size_t>(i)],
                      i < exchange_reads ? 1000u : static_cast<uint32_t>(FP_SHORT_READ_TIMEOUT_MS))
                << "read " << i;
        }
        EXPECT_EQ(fp_device_param.cancel_result, c.cancel_result);
        EXPECT_EQ(log.has("cancel_result = 0x01, error!!!\r\n"), c.result != 0);
    }
}

TEST_F(DriverControl, SetModeMarksItsAnswerAsNoVersion)
{
    fake::reply(kOk);
    EXPECT_EQ(fp_set_mode("TEST", 4), 0);
    EXPECT_EQ(prot_packet_usb.current_sub_cmd_code, PROT_SUBCMD_SET_MODE);
    EXPECT_EQ(fake::module().sent.at(0), H("EF 01 FF FF FF FF 01 00 08 AF BD 54 45 53 54 02 B5"));
}

TEST_F(DriverControl, SetModeRefusesTextsItCannotSend)
{
    const std::string long_text(100, 'A');
    EXPECT_EQ(fp_set_mode(long_text.c_str(), 100), -1);
    EXPECT_EQ(fp_set_mode(nullptr, 4), -1);
    EXPECT_EQ(fp_set_mode("TEST", -1), -1);
    EXPECT_TRUE(fake::module().sent.empty());
    fp_set_mode(long_text.c_str(), 99);
    ASSERT_EQ(fake::module().sent.size(), 1u);
    EXPECT_EQ(fake::module().sent.at(0).size(), 12u + 100u);
}

TEST_F(DriverControl, RebootThatRestartsBeforeAnswering)
{
    fake::module().on_read = [](int) { fake::module().open = false; };
    EXPECT_EQ(fp_reboot(), -1);
    EXPECT_EQ(fake::reads(), 1);
}

Bytes page_answer(std::initializer_list<std::pair<int, uint8_t>> bytes)
{
    Bytes payload(33, 0x00);
    for (auto [i, v] : bytes) {
        payload[1 + static_cast<size_t>(i)] = v;
    }
    return resp(payload);
}

TEST_F(DriverControl, InvalidTemplatesInTheWindowAreDeleted)
{
    // Module holds slots 5, 90 and 91; the caller's list knows slot 90 only.
    fake::reply(page_answer({{0, 0x20}, {11, 0x0C}}));
    fake::reply(kOk);
    uint8_t list[32] = {};
    list[11] = 0x04;
    EXPECT_EQ(fp_delete_invalid_template(list), 0);
    ASSERT_EQ(fake::module().sent.size(), 2u);
    EXPECT_EQ(fake::module().sent.at(1), H("EF 01 FF FF FF FF 01 00 07 0C 00 5B 00 01 00 70"));
}

TEST_F(DriverControl, InvalidTemplatesTable)
{
    struct Case {
        const char *name;
        Bytes page;
        std::vector<uint8_t> list_bytes; // index, value pairs flattened
        std::vector<uint16_t> deleted;
    } cases[] = {
        {"whole window unknown",
         page_answer({{11, 0xFF}, {12, 0xFF}, {13, 0xFF}, {14, 0xFF}}),
         {},
         [] {
             std::vector<uint16_t> v;
             for (uint16_t s = 90; s <= 119; ++s) {
                 v.push_back(s);
             }
             return v;
         }()},
        {"slots outside the window are never touched",
         page_answer({{0, 0xFF}, {15, 0xFF}, {31, 0xFF}}),
         {},
         {}},
        {"everything known", page_answer({{11, 0x0C}, {14, 0x80}}), {11, 0x0C, 14, 0x80}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        fake::reply(c.page);
        for (size_t i = 0; i < c.deleted.size(); ++i) {
            fake::reply(kOk);
        }
        uint8_t list[32] = {};
        for (size_t i = 0; i + 1 < c.list_bytes.size(); i += 2) {
            list[c.list_bytes[i]] = c.list_bytes[i + 1];
        }
        EXPECT_EQ(fp_delete_invalid_template(list), 0);
        ASSERT_EQ(fake::module().sent.size(), 1 + c.deleted.size());
        for (size_t i = 0; i < c.deleted.size(); ++i) {
            const Bytes &frame = fake::module().sent.at(1 + i);
            EXPECT_EQ(frame.at(9), 0x0C);
            EXPECT_EQ((frame.at(10) << 8) | frame.at(11), c.deleted[i]);
        }
    }
}

TEST_F(DriverControl, InvalidTemplatesWithoutAListOrATable)
{
    EXPECT_EQ(fp_delete_invalid_template(nullptr), -1);
    EXPECT_TRUE(fake::module().sent.empty());
    EXPECT_TRUE(log_.has("index_list = NULL, error!!!\r\n"));

    const uint8_t list[32] = {};
    EXPECT_EQ(fp_delete_invalid_template(list), 0); // silent module: nothing deleted
    EXPECT_EQ(fake::module().sent.size(), 1u);
}

TEST_F(DriverControl, ControlFlag)
{
    for (int flag : {FP_CONTROL_FLAG_STOPPED, FP_CONTROL_FLAG_TIMEOUT, FP_CONTROL_FLAG_IDLE}) {
        EXPECT_EQ(fp_set_ctrlFlag(flag), 0);
        EXPECT_EQ(fp_get_ctrlFlag(), flag);
    }
}

} // namespace
