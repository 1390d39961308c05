// Recovery on the wire: a module that loses bytes, corrupts a length, answers
// late or has already answered, and a clock that steps.
#include "fake_module.h"

#include <climits>
#include <cstring>
#include <ctime>

namespace
{

const Bytes kOk = H("EF 01 FF FF FF FF 07 00 03 00 00 0A");

using DriverRecovery = DriverTest;

template <typename T> class DriverTable : public DriverTest, public ::testing::WithParamInterface<T>
{
};

template <typename T> std::string case_name(const ::testing::TestParamInfo<T> &info)
{
    return info.param.name;
}

Bytes cut(const Bytes &b, size_t n)
{
    return Bytes(b.begin(), b.begin() + static_cast<long>(n));
}

// A full index-table answer (44 bytes on the wire) with every slot of the window taken.
Bytes full_index_answer()
{
    Bytes payload(1 + FP_INDEX_TABLE_PAGE_SIZE, 0x00);
    payload[1 + 11] = 0xFC;
    payload[1 + 12] = payload[1 + 13] = payload[1 + 14] = 0xFF;
    return resp(payload);
}

std::vector<size_t> cuts_of(size_t len, size_t from)
{
    std::vector<size_t> out;
    for (size_t n = from; n < len; ++n) {
        out.push_back(n);
    }
    return out;
}

// ---- A packet cut short on the wire ------------------------------------------------

using CutThenNextExchange = DriverTable<size_t>;

// The index-table answer loses its end; the exchange fails. The next exchange
// (a handshake) is answered whole and succeeds: the cut packet does not
// swallow the new answer.
TEST_P(CutThenNextExchange, AnswerOfTheNextExchangeIsDecoded)
{
    fake::reply(cut(full_index_answer(), GetParam()));
    EXPECT_EQ(fp_read_index_table(0), -1);
    fake::reset();
    fake::reply(kOk);
    EXPECT_EQ(fp_handshake(), 0);
    EXPECT_EQ(fake::reads(), 1);
    EXPECT_EQ(fp_device_param.handshake_state, 1);
}

INSTANTIATE_TEST_SUITE_P(EveryCut, CutThenNextExchange, ::testing::ValuesIn(cuts_of(44, 1)));

using CutThenAnswerInTheSameRead = DriverTable<size_t>;

// A stray cut packet, the awaited answer and the bytes the module sends after
// it (here zeros) in one exchange: the cut packet is dropped at its length or
// fails its checksum once its announced length is complete, and its bytes are
// examined again, so the answer is still found in this exchange. (A cut after
// the first EF alone is the one exception: EF EF 01 never starts a packet.)
TEST_P(CutThenAnswerInTheSameRead, AnswerIsFoundInTheSameExchange)
{
    fake::reply(concat({cut(full_index_answer(), GetParam()), kOk, Bytes(600, 0x00)}));
    EXPECT_EQ(fp_handshake(), 0);
    EXPECT_LE(fake::reads(), 3);
}

// When the cut packet's length field survived, the answer is found in the read
// that holds it.
using CutAfterTheLength = DriverTable<size_t>;

TEST_P(CutAfterTheLength, AnswerIsFoundInItsRead)
{
    fake::reply(concat({cut(full_index_answer(), GetParam()), kOk, Bytes(64, 0x00)}));
    EXPECT_EQ(fp_handshake(), 0);
    EXPECT_EQ(fake::reads(), 1);
}

INSTANTIATE_TEST_SUITE_P(EveryCutButTheFirstByte, CutThenAnswerInTheSameRead,
                         ::testing::ValuesIn(cuts_of(44, 2)));
INSTANTIATE_TEST_SUITE_P(EveryCutAfterTheLength, CutAfterTheLength,
                         ::testing::ValuesIn(cuts_of(44, FP_MSG_HEAD_SIZE)));

TEST_F(DriverRecovery, CutAfterTheFirstByteIsLostOnlyForThatRead)
{
    fake::reply(concat({H("EF"), kOk}));
    fake::reply(kOk);
    EXPECT_EQ(fp_handshake(), 0);
    EXPECT_EQ(fake::reads(), 2);
}

using SplitWithinOneExchange = DriverTable<size_t>;

// Resynchronisation never breaks an answer that is only split across reads.
TEST_P(SplitWithinOneExchange, AnswerIsCompletedByTheNextRead)
{
    fake::reply(cut(kOk, GetParam()));
    fake::reply(Bytes(kOk.begin() + static_cast<long>(GetParam()), kOk.end()));
    EXPECT_EQ(fp_handshake(), 0);
    EXPECT_EQ(fake::reads(), 2);
}

INSTANTIATE_TEST_SUITE_P(EverySplit, SplitWithinOneExchange, ::testing::ValuesIn(cuts_of(12, 1)));

// ---- Length fields -------------------------------------------------------------------

struct LengthCase {
    const char *name;
    Bytes stray;  // bytes the module sends before the awaited answer
    bool dropped; // the stray packet is dropped at its length
};

using StrayLength = DriverTable<LengthCase>;

// An answer whose length field was corrupted, followed by the awaited answer
// in the same read: a length no answer of this module carries is dropped at
// once and the answer after it is decoded.
TEST_P(StrayLength, AnswerAfterItIsDecoded)
{
    const LengthCase &c = GetParam();
    fp_resp_init(PROT_CMD_HANDSHAKE);
    EXPECT_EQ(fp_parse_prot(c.stray.data(), static_cast<int>(c.stray.size())), -1);
    EXPECT_EQ(prot_packet_usb.prot_state == PACKET_IDLE, c.dropped);
    EXPECT_EQ(fp_parse_prot(kOk.data(), static_cast<int>(kOk.size())), c.dropped ? 0 : -1);
}

Bytes head_with_length(uint16_t len)
{
    return Bytes{
        0xEF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
}

const LengthCase kLengthCases[] = {
    {"HighLengthByteBecameEF", H("EF 01 FF FF FF FF 07 EF 03 00 00 0A"), true},
    {"JustAboveTheBound", head_with_length(FP_MAX_PKG_SIZE_FIELD + 1), true},
    {"FullLengthWithoutAnImageRequest", head_with_length(0xFFFF), true},
    {"AtTheBoundIsFollowed", head_with_length(FP_MAX_PKG_SIZE_FIELD), false},
    {"InformationPageLengthIsFollowed", head_with_length(130), false},
};

INSTANTIATE_TEST_SUITE_P(Lengths, StrayLength, ::testing::ValuesIn(kLengthCases), case_name<LengthCase>);

TEST_F(DriverRecovery, LengthByteEFInOneExchangeDoesNotHurtTheNext)
{
    // The corrupted answer ends its exchange with nothing paired...
    fake::reply(H("EF 01 FF FF FF FF 07 EF 03 00 00 0A"));
    EXPECT_EQ(fp_read_sys_param(), -1);
    // ...and the following exchange is answered normally.
    fake::reset();
    fake::reply(resp(H("00 00 02 00 64 00 03 FF FF FF FF")));
    EXPECT_EQ(fp_read_sys_param(), 0);
    EXPECT_EQ(fp_device_param.sys_param.fp_database_size, 100);
}

TEST_F(DriverRecovery, PacketAtTheBoundIsAccepted)
{
    fp_resp_init(PROT_CMD_UPIMAGE);
    const Bytes pkt = packet(PROT_TYPE_DATA, Bytes(FP_MAX_PKG_SIZE_FIELD - 2, 0x11));
    EXPECT_EQ(fp_parse_prot(pkt.data(), static_cast<int>(pkt.size())), 0);
}

TEST_F(DriverRecovery, ImageLengthIsFollowedWhileAnImageIsAwaited)
{
    const uint8_t awaited[] = {PORT_CMD_ACQUIRE_IMAGEDATA, PROT_CMD_UPIMAGE, PORT_CMD_STARTCAPIMAGE};
    for (uint8_t cmd : awaited) {
        SCOPED_TRACE(cmd);
        fp_parse_prot_reset();
        fp_resp_init(cmd);
        const Bytes head = head_with_length(FP_IMG_PKG_SIZE_FIELD);
        fp_parse_prot(head.data(), static_cast<int>(head.size()));
        EXPECT_EQ(prot_packet_usb.prot_state, PACKET_DATA);
    }
}

// ---- Drain and exchange start ---------------------------------------------------------

TEST_F(DriverRecovery, DrainLeavesTheMachineIdle)
{
    // A packet is half received when the drain starts, and the drain's reads end
    // inside another one.
    const Bytes half = cut(full_index_answer(), 20);
    fp_resp_init(PROT_CMD_AUTOIDENTIFY);
    fp_parse_prot(half.data(), static_cast<int>(half.size()));
    ASSERT_EQ(prot_packet_usb.prot_state, PACKET_DATA);
    fake::reply(concat({resp(H("00 05 00 60 00 10")), half}));
    EXPECT_EQ(fp_read_invalid_pkg(3), -1);
    EXPECT_EQ(prot_packet_usb.prot_state, PACKET_IDLE);
    EXPECT_EQ(usb_recv_cnt, 0);
    EXPECT_EQ(fp_device_param.auto_identify_param.identify_finish_flag, 0); // discarded, not decoded
    // A wait that reads on after the drain (no new exchange) decodes a whole answer.
    fake::reply(kOk);
    fp_resp_init(PROT_CMD_HANDSHAKE);
    EXPECT_EQ(fp_read_and_parse_prot(64), 0);
    EXPECT_EQ(prot_packet_usb.current_resp_cmd, PROT_CMD_HANDSHAKE);
}

TEST_F(DriverRecovery, ExchangeStartsFromIdle)
{
    prot_packet_usb.prot_state = PACKET_DATA;
    prot_packet_usb.prot_size = 130;
    prot_packet_usb.prot_data_cnt = 4;
    usb_recv_cnt = 13;
    fake::reply(kOk);
    EXPECT_EQ(fp_handshake(), 0);
}

TEST_F(DriverRecovery, NextHeadReadAsTheLengthOfACutPacket)
{
    // The cut packet ends after its type byte: the answer's EF 01 becomes its
    // length 0xEF01, which is dropped, and the answer is found in its bytes.
    fake::reply(concat({cut(kOk, 7), kOk}));
    EXPECT_EQ(fp_handshake(), 0);
    EXPECT_EQ(fake::reads(), 1);
}

// ---- Index-table reads that did not deliver their page -------------------------------

struct IndexFailure {
    const char *name;
    std::vector<Bytes> replies; // one exchange's reads, then silence
    const char *log;
};

using IndexTableFailure = DriverTable<IndexFailure>;

Bytes short_index_answer(size_t payload_len)
{
    Bytes payload(payload_len, 0x00);
    return resp(payload);
}

void script(const std::vector<Bytes> &replies)
{
    fake::reset();
    for (const Bytes &b : replies) {
        fake::reply(b);
    }
}

// Row 0 holds an old page in which every slot of the window is taken, and the
// list knows none of them: a read that counted as good would let slot choice and
// the orphan clean-up work on that old row.
void stale_row()
{
    memset(fp_device_param.index_table_info[0], 0xFF, FP_INDEX_TABLE_PAGE_SIZE);
}

TEST_P(IndexTableFailure, ReadFails)
{
    const IndexFailure &c = GetParam();
    stale_row();
    script(c.replies);
    LogCapture log;
    EXPECT_EQ(fp_read_index_table(0), -1);
    for (int i = 0; i < FP_INDEX_TABLE_PAGE_SIZE; ++i) {
        EXPECT_EQ(fp_device_param.index_table_info[0][i], 0xFF) << i;
    }
    EXPECT_TRUE(log.has(c.log)) << log.text();
}

TEST_P(IndexTableFailure, NoSlotIsChosen)
{
    stale_row();
    fp_device_param.index_table_info[0][12] = 0x00; // the old row shows free slots 96 to 103
    script(GetParam().replies);
    EXPECT_EQ(fp_get_empty_enroll_id(), FP_ENROLL_ID_NONE);
    EXPECT_TRUE(fp_empty_enroll_id_unread());
}

TEST_P(IndexTableFailure, NothingIsDeleted)
{
    stale_row();
    script(GetParam().replies);
    const uint8_t none_known[FP_INDEX_TABLE_PAGE_SIZE] = {};
    EXPECT_EQ(fp_delete_invalid_template(none_known), 0);
    ASSERT_EQ(fake::module().sent.size(), 1u); // the index-table request only
    EXPECT_EQ(fake::module().sent[0][9], PROT_CMD_READINDEXTABLE);
}

const IndexFailure kIndexFailures[] = {
    {"ConfirmCodeOnly", {short_index_answer(1)}, "not received PROT_RESP_OK!!!\r\n"},
    {"HalfAPage", {short_index_answer(17)}, "len = 17, error!!!\r\n"},
    {"OneByteShort", {short_index_answer(32)}, "len = 32, error!!!\r\n"},
    {"UnpairedDataPacket", {packet(PROT_TYPE_END, Bytes(33, 0x00))}, "ERROR!!!\r\n"},
    {"CutAnswer", {cut(full_index_answer(), 30)}, "fp_send_cmd failed!!!\r\n"},
    {"NoAnswer", {}, "fp_send_cmd failed!!!\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Failures, IndexTableFailure, ::testing::ValuesIn(kIndexFailures),
                         case_name<IndexFailure>);

TEST_F(DriverRecovery, IndexTableReadThatDeliversIsGood)
{
    stale_row();
    fake::reply(resp(Bytes(1 + FP_INDEX_TABLE_PAGE_SIZE, 0x00)));
    EXPECT_EQ(fp_get_empty_enroll_id(), FP_ENROLL_ID_MIN);
    EXPECT_FALSE(fp_empty_enroll_id_unread());
    // A full window read from the module is "full", not "unread".
    fake::reset();
    fake::reply(full_index_answer());
    EXPECT_EQ(fp_get_empty_enroll_id(), FP_ENROLL_ID_NONE);
    EXPECT_FALSE(fp_empty_enroll_id_unread());
}

// ---- One monotonic clock ---------------------------------------------------------------

struct ClockStep {
    const char *name;
    int64_t step_ms; // clock movement after the one-key result was recorded
    bool fresh;      // the service's freshness test: age <= 30,000 ms
};

using OnekeyFreshness = DriverTable<ClockStep>;

TEST_P(OnekeyFreshness, AgeFollowsTheMonotonicClock)
{
    const uint16_t ids[] = {0x5A};
    fp_onekey_store_powerup_answer(ids, 1);
    fake::module().clock_us += GetParam().step_ms * 1000;
    EXPECT_EQ(fp_get_increment_of_time_ms(get_onekey_powerup_tv_time()) <= 30000, GetParam().fresh);
}

const ClockStep kClockSteps[] = {
    {"TenSecondsLater", 10000, true},
    {"ThirtyOneSecondsLater", 31000, false},
    {"ClockBackOneHour", -3600LL * 1000, false},
    {"ClockBackOneSecond", -1000, false},
    {"ClockForwardOneHour", 3600LL * 1000, false},
};

INSTANTIATE_TEST_SUITE_P(Steps, OnekeyFreshness, ::testing::ValuesIn(kClockSteps), case_name<ClockStep>);

TEST_F(DriverRecovery, AgeOfAFutureTimeStampIsTheLargest)
{
    struct timeval now {
    };
    fp_get_time_now(&now);
    now.tv_sec += 5;
    EXPECT_EQ(fp_get_increment_of_time_ms(&now), INT_MAX);
}

TEST_F(DriverRecovery, RealClockIsMonotonic)
{
    fp_set_time_hooks(nullptr, nullptr);
    struct timespec mono {
    };
    clock_gettime(CLOCK_MONOTONIC, &mono);
    struct timeval now {
    };
    fp_get_time_now(&now);
    const long long diff_ms = (static_cast<long long>(now.tv_sec) - mono.tv_sec) * 1000 +
                              (static_cast<long long>(now.tv_usec) - mono.tv_nsec / 1000) / 1000;
    EXPECT_GE(diff_ms, 0);
    EXPECT_LT(diff_ms, 1000);
}

struct WaitStep {
    const char *name;
    int64_t step_ms; // clock movement during the third read of the wait
    int min_reads;   // reads the wait makes at least (it does not end early)
    int max_reads;   // and at most (it still ends)
};

using EnrolWaitUnderClockStep = DriverTable<WaitStep>;
using IdentifyWaitUnderClockStep = DriverTable<WaitStep>;

void step_clock_at_third_read(int64_t step_ms)
{
    fake::module().on_read = [step_ms](int index) {
        if (index == 2) {
            fake::module().clock_us += step_ms * 1000;
        }
    };
}

// A silent module, a 10 s limit, and a clock step during the wait. Each silent
// read costs 1,000 ms.
TEST_P(EnrolWaitUnderClockStep, WaitEndsByItsLimit)
{
    fp_auto_enroll_param_init(&fp_device_param.auto_enroll_param, 90, 6);
    step_clock_at_third_read(GetParam().step_ms);
    EXPECT_EQ(fp_auto_enroll(10000), -1);
    EXPECT_EQ(fp_get_ctrlFlag(), FP_CONTROL_FLAG_TIMEOUT);
    EXPECT_GE(fake::reads(), GetParam().min_reads);
    EXPECT_LE(fake::reads(), GetParam().max_reads);
}

TEST_P(IdentifyWaitUnderClockStep, WaitEndsByItsLimit)
{
    fake::reply(resp(H("00 00")));
    step_clock_at_third_read(GetParam().step_ms);
    uint16_t ids[FP_SEARCH_ID_MAX];
    EXPECT_EQ(fp_auto_identify(3, 0xFFFF, 3, ids, 10000), -1);
    EXPECT_EQ(fp_get_ctrlFlag(), FP_CONTROL_FLAG_TIMEOUT);
    // The exchange's read comes first.
    EXPECT_GE(fake::reads() - 1, GetParam().min_reads);
    EXPECT_LE(fake::reads() - 1, GetParam().max_reads);
}

const WaitStep kWaitSteps[] = {
    {"NoStep", 0, 10, 11},
    // The turn in which the clock went back counts nothing; the rest counts.
    {"ClockBackOneHour", -3600LL * 1000, 10, 12},
    // Time the monotonic clock says has passed has passed.
    {"ClockForwardOneHour", 3600LL * 1000, 2, 3},
};

INSTANTIATE_TEST_SUITE_P(Steps, EnrolWaitUnderClockStep, ::testing::ValuesIn(kWaitSteps),
                         case_name<WaitStep>);
INSTANTIATE_TEST_SUITE_P(Steps, IdentifyWaitUnderClockStep, ::testing::ValuesIn(kWaitSteps),
                         case_name<WaitStep>);

TEST_F(DriverRecovery, WaitClockKeepsTheTimeBeforeAStepBack)
{
    FP_WAIT_CLOCK c{};
    fp_wait_clock_start(&c);
    fake::module().clock_us += 4000 * 1000;
    EXPECT_EQ(fp_wait_clock_elapsed_ms(&c), 4000);
    fake::module().clock_us -= 3600LL * 1000 * 1000;
    EXPECT_EQ(fp_wait_clock_elapsed_ms(&c), 4000);
    fake::module().clock_us += 1500 * 1000;
    EXPECT_EQ(fp_wait_clock_elapsed_ms(&c), 5500);
    // Sub-millisecond parts add up instead of being dropped at each reading.
    for (int i = 0; i < 10; ++i) {
        fake::module().clock_us += 600;
        fp_wait_clock_elapsed_ms(&c);
    }
    EXPECT_EQ(fp_wait_clock_elapsed_ms(&c), 5506);
}

// ---- Waits that already hold their result ------------------------------------------------

struct HeldIdentify {
    const char *name;
    Bytes first_read; // everything arrives with the request's answer
    std::vector<uint16_t> ids;
};

using IdentifyResultWithTheAnswer = DriverTable<HeldIdentify>;

TEST_P(IdentifyResultWithTheAnswer, ReturnsWithoutAnotherRead)
{
    fake::reply(GetParam().first_read);
    uint16_t ids[FP_SEARCH_ID_MAX];
    std::fill(std::begin(ids), std::end(ids), 0xFFFF);
    EXPECT_EQ(fp_auto_identify(3, 0xFFFF, 3, ids, 0), 0);
    EXPECT_EQ(fake::reads(), 1);
    EXPECT_EQ(fake::module().sleeps, (std::vector<unsigned>{20})); // the exchange's wait only
    for (size_t i = 0; i < GetParam().ids.size(); ++i) {
        EXPECT_EQ(ids[i], GetParam().ids[i]) << i;
    }
}

TEST_P(IdentifyResultWithTheAnswer, PowerupFetchReturnsWithoutAnotherRead)
{
    fake::reply(GetParam().first_read);
    EXPECT_EQ(fp_onekey_powerup_identify(3, 0xFFFF, 3, get_onekey_powerup_search_id(), 20), 0);
    EXPECT_EQ(fake::reads(), 1);
    EXPECT_EQ(get_onekey_powerup_flag(), 1);
}

const HeldIdentify kHeldIdentify[] = {
    {"SingleMatch",
     concat({resp(H("00 00")), resp(H("00 01")), resp(H("00 05 00 60 01 23"))}),
     {0x0060, 0xFFFF}},
    {"ListOfTwo", concat({resp(H("00 00")), resp(H("00 01")), resp(H("00 F5 02 5A 61"))}), {90, 97, 0xFFFF}},
    {"NoMatch", concat({resp(H("00 00")), resp(H("09 F5 00"))}), {0xFFFF}},
};

INSTANTIATE_TEST_SUITE_P(Held, IdentifyResultWithTheAnswer, ::testing::ValuesIn(kHeldIdentify),
                         case_name<HeldIdentify>);

Bytes stage(uint8_t confirm, uint8_t stage_byte, int capture = -1)
{
    Bytes payload = {confirm, stage_byte};
    if (capture >= 0) {
        payload.push_back(static_cast<uint8_t>(capture));
    }
    return resp(payload);
}

TEST_F(DriverRecovery, CaptureReportedWithTheEnrolmentAnswerEndsTheWaitAtOnce)
{
    fake::reply(concat({stage(0, 0), stage(0, 1, 1), stage(0, 2, 1), stage(0, 3, 1)}));
    ASSERT_EQ(fp_auto_enroll_start(90, 6, 0), 0);
    const int reads = fake::reads();
    EXPECT_EQ(fp_auto_enroll(10000), 0);
    EXPECT_EQ(fake::reads(), reads);
    EXPECT_EQ(fp_get_current_enroll_time(), 1);
    // The signal was consumed: the next wait reads.
    fake::reply(concat({stage(0, 1, 2), stage(0, 2, 2), stage(0, 3, 2)}));
    EXPECT_EQ(fp_auto_enroll(10000), 0);
    EXPECT_EQ(fake::reads(), reads + 1);
    EXPECT_EQ(fp_get_current_enroll_time(), 2);
}

TEST_F(DriverRecovery, FinishHeldFromAnEarlierReadEndsTheWaitAtOnce)
{
    fp_auto_enroll_param_init(&fp_device_param.auto_enroll_param, 90, 6);
    fp_resp_init(PROT_CMD_AUTOENROLL);
    fake::reply(concat({stage(0, 3, 6), stage(0, 4), stage(0, 5), stage(0, 6)}));
    EXPECT_EQ(fp_auto_enroll(10000), 0);
    EXPECT_EQ(fake::reads(), 1);
    LogCapture log;
    // Finish first, before the capture signal that came with it, and no read.
    EXPECT_EQ(fp_auto_enroll(10000), 0);
    EXPECT_EQ(fake::reads(), 1);
    EXPECT_TRUE(log.has("received enroll_finish_flag.\n"));
}

// ---- Frames whose length field would wrap -----------------------------------------------

struct WrapCase {
    const char *name;
    int param_len;
    bool sent;
};

using FrameLength = DriverTable<WrapCase>;

TEST_P(FrameLength, FramesThatWouldWrapAreRefused)
{
    const WrapCase &c = GetParam();
    const Bytes params(static_cast<size_t>(c.param_len), 0x5A);
    RECV_DATA_STRUCT none{};
    LogCapture log;
    EXPECT_EQ(fp_send_cmd(PROT_CMD_DELCHAR, params.data(), c.param_len, none), -1);
    ASSERT_EQ(fake::module().sent.size(), c.sent ? 1u : 0u);
    EXPECT_EQ(log.has("the param is error!!!\r\n"), !c.sent);
    if (c.sent) {
        const Bytes &frame = fake::module().sent[0];
        EXPECT_EQ(frame.size(), static_cast<size_t>(c.param_len) + 12);
        const unsigned len_field = (frame[7] << 8) | frame[8];
        EXPECT_EQ(len_field, static_cast<unsigned>(c.param_len) + 3);
    }
}

const WrapCase kWrapCases[] = {
    {"LargestFrame", 0xFFFF - 3, true},
    {"OneMoreWouldWrap", 0xFFFF - 2, false},
    {"WrapsToZero", 0xFFFF - 2 + 1, false},
    {"LargerThanThePayloadArea", FP_MAX_CMD_PARAM_LEN + 1, false},
};

INSTANTIATE_TEST_SUITE_P(Lengths, FrameLength, ::testing::ValuesIn(kWrapCases), case_name<WrapCase>);

// ---- Receive schedules and the send-and-check step ------------------------------------

TEST_F(DriverRecovery, EveryScheduledCommandHasOneScheduleAndOthersNoRead)
{
    for (size_t i = 0; i < std::size(FP_CMD_SCHEDULES); ++i) {
        for (size_t j = i + 1; j < std::size(FP_CMD_SCHEDULES); ++j) {
            EXPECT_NE(FP_CMD_SCHEDULES[i].cmd_code, FP_CMD_SCHEDULES[j].cmd_code);
        }
        EXPECT_GT(FP_CMD_SCHEDULES[i].recv.cycle_times, 0);
    }
    EXPECT_EQ(fp_cmd_schedule(PROT_CMD_GENCHAR).cycle_times, 0);
    EXPECT_EQ(fp_cmd_schedule(PROT_CMD_HANDSHAKE).recv_len, 230);
}

TEST_F(DriverRecovery, ConfirmFailureIsLoggedForTheOperation)
{
    fake::reply(resp(H("01")));
    EXPECT_EQ(fp_handshake(), -1);
    EXPECT_TRUE(log_.has(":fp_handshake] not received PROT_RESP_OK!!!\r\n")) << log_.text();
    fake::reset();
    fake::reply(resp(H("01")));
    EXPECT_EQ(fp_set_pc_state(1), -1);
    EXPECT_TRUE(log_.has(":fp_set_pc_state] not received PROT_RESP_OK!!!\n")) << log_.text();
    fake::reset();
    EXPECT_EQ(fp_reboot(), -1);
    EXPECT_TRUE(log_.has(":fp_reboot] fp_send_cmd failed!!!\n")) << log_.text();
}

} // namespace
