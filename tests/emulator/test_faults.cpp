// Faults of the wire: NAKing and halted endpoints, answers cut short, late or damaged, a finger
// resting on the sensor, a restart that is ignored, enrolment stages that fail or arrive together,
// and the odd answers a real module gives.
#include "emu_test_support.h"

#include <future>
#include <thread>

using namespace emutest;

namespace
{

// A frame as it travels in either direction: head, address FFFFFFFF, type, length, payload, sum.
Bytes frame(uint8_t type, const Bytes &payload)
{
    Bytes f{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, type};
    auto len = static_cast<uint16_t>(payload.size() + 2);
    f.push_back(static_cast<uint8_t>(len >> 8));
    f.push_back(static_cast<uint8_t>(len));
    f.insert(f.end(), payload.begin(), payload.end());
    uint16_t sum = 0;
    for (size_t i = 6; i < f.size(); ++i)
        sum = static_cast<uint16_t>(sum + f[i]);
    f.push_back(static_cast<uint8_t>(sum >> 8));
    f.push_back(static_cast<uint8_t>(sum));
    return f;
}
Bytes command(const Bytes &code_and_params)
{
    return frame(0x01, code_and_params);
}
Bytes answer(const Bytes &payload)
{
    return frame(0x07, payload);
}

const Bytes handshake = command({0x35});
const Bytes version_request = command({0xaf, 0x10});
const Bytes identify_all = command({0x32, 0x03, 0xff, 0xff, 0x00, 0x03});
const Bytes restart = command({0xff, 0x3c, 0xc3, 0x69, 0x96, 0x51, 0x52, 0x58, 0x4b});
Bytes enroll(uint8_t slot, uint8_t captures)
{
    return command({0x31, 0x00, slot, captures, 0x00, 0x00});
}
Bytes index_page(uint8_t page)
{
    return command({0x1f, page});
}
const Bytes ok = answer({0x00});
const Bytes stage0 = answer({0x00, 0x00});
const Bytes status_bytes{0x55, 0x53, 0x42, 0x53};

Bytes capture(uint8_t n)
{
    return concat({answer({0x00, 0x01, n}), answer({0x00, 0x02, n}), answer({0x00, 0x03, n})});
}
Bytes version_answer(const std::string &text)
{
    Bytes p{0x00};
    p.insert(p.end(), text.begin(), text.end());
    return answer(p);
}

Bytes wrapper(uint8_t dir, uint32_t n)
{
    return {0x55,
            0x53,
            0x42,
            0x43,
            dir,
            static_cast<uint8_t>(n),
            static_cast<uint8_t>(n >> 8),
            static_cast<uint8_t>(n >> 16)};
}

struct Transfer {
    int rc = 0;
    int moved = -1;
};

Transfer out(libusb_device_handle *h, Bytes b, unsigned timeout_ms, uint8_t ep = 0x01)
{
    Transfer t;
    t.rc = libusb_bulk_transfer(h, ep, b.data(), static_cast<int>(b.size()), &t.moved, timeout_ms);
    return t;
}

// One read of at most `capacity` bytes in its own envelope exchange.
Bytes one_read(libusb_device_handle *h, size_t capacity = 512, unsigned timeout_ms = 300)
{
    auto r = wrapped_read(h, capacity, timeout_ms);
    return r.rc == 0 ? r.data : Bytes{};
}

bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class Faults : public EmuTest
{
  protected:
    // No further output within a short while.
    void expect_silence(libusb_device_handle *h)
    {
        EXPECT_EQ(wrapped_read(h, 64, 80).rc, LIBUSB_ERROR_TIMEOUT) << "more output than expected";
    }
    // The link works: a handshake is answered with exactly its answer.
    void expect_link_works(libusb_device_handle *h)
    {
        EXPECT_EQ(hex(exchange(h, handshake, ok.size())), hex(ok));
        expect_silence(h);
    }
};

} // namespace

TEST_F(Faults, FrameBuilderMatchesTheWire)
{
    EXPECT_EQ(hex(handshake), "ef 01 ff ff ff ff 01 00 03 35 00 39");
    EXPECT_EQ(hex(ok), "ef 01 ff ff ff ff 07 00 03 00 00 0a");
}

// ---- OUT endpoint that NAKs -----------------------------------------------------------------------

struct StallCase {
    const char *mode;
    bool wrapper_taken; // the command wrapper goes through, the data phase NAKs
};
void PrintTo(const StallCase &c, std::ostream *os)
{
    *os << c.mode;
}

class StallOut : public Faults, public ::testing::WithParamInterface<StallCase>
{
};

TEST_P(StallOut, NakedTransferWaitsItsWholeTimeOutAndMovesNothing)
{
    const StallCase &c = GetParam();
    auto *h = open();
    emu.command(std::string("stall-out ") + c.mode);
    emu.clear_trace();
    auto w = out(h, wrapper(0x00, static_cast<uint32_t>(handshake.size())), 200);
    if (c.wrapper_taken) {
        ASSERT_EQ(w.rc, 0);
        auto t0 = std::chrono::steady_clock::now();
        auto d = out(h, handshake, 200);
        EXPECT_EQ(d.rc, LIBUSB_ERROR_TIMEOUT);
        EXPECT_EQ(d.moved, 0);
        EXPECT_GE(ms_since(t0), 190);
    } else {
        EXPECT_EQ(w.rc, LIBUSB_ERROR_TIMEOUT);
        EXPECT_EQ(w.moved, 0);
    }
    auto lines = emu.trace();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(ends_with(lines.back(), " !TIMEOUT")) << lines.back();
    // The module never saw the command: nothing to read once the stall ends.
    emu.stall_out("off");
    expect_silence(h);
    // The stall stays until switched off; afterwards a new exchange works.
    expect_link_works(h);
}

TEST_P(StallOut, StallStaysUntilSwitchedOff)
{
    auto *h = open();
    emu.command(std::string("stall-out ") + GetParam().mode);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        auto w = out(h, wrapper(0x00, static_cast<uint32_t>(handshake.size())), 50);
        auto d = out(h, handshake, 50);
        EXPECT_TRUE(w.rc == LIBUSB_ERROR_TIMEOUT || d.rc == LIBUSB_ERROR_TIMEOUT);
    }
    emu.stall_out("off");
    expect_link_works(h);
}

INSTANTIATE_TEST_SUITE_P(Modes, StallOut, ::testing::Values(StallCase{"data", true}, StallCase{"all", false}),
                         [](const auto &info) { return std::string(info.param.mode); });

struct ReleaseCase {
    const char *name;
    int expected_rc;
};
void PrintTo(const ReleaseCase &c, std::ostream *os)
{
    *os << c.name;
}

class StallRelease : public Faults, public ::testing::WithParamInterface<ReleaseCase>
{
};

// With a time-out of 0 a NAKed data phase blocks until something ends the NAK.
TEST_P(StallRelease, DataPhaseWithoutTimeOutBlocksUntilReleased)
{
    const ReleaseCase &c = GetParam();
    auto *h = open();
    emu.stall_out("data");
    ASSERT_EQ(out(h, wrapper(0x00, static_cast<uint32_t>(handshake.size())), 1000).rc, 0);
    auto blocked = std::async(std::launch::async, [h] { return out(h, handshake, 0); });
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "a NAKed transfer without time-out returned";
    const std::string how = c.name;
    if (how == "off")
        emu.stall_out("off");
    else if (how == "unplug")
        emu.unplug();
    else if (how == "reset_device")
        EXPECT_EQ(libusb_reset_device(h), 0);
    else
        emu.reset();
    ASSERT_EQ(blocked.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    auto t = blocked.get();
    EXPECT_EQ(t.rc, c.expected_rc) << libusb_error_name(t.rc);
    if (how == "off") {
        // The NAK ended and the module took the command: status, then the answer.
        EXPECT_EQ(t.moved, static_cast<int>(handshake.size()));
        auto st = bulk_in(h, 0x81, 4);
        ASSERT_EQ(st.rc, 0);
        EXPECT_EQ(st.data, status_bytes);
        EXPECT_EQ(hex(read_bytes(h, ok.size())), hex(ok));
    } else {
        EXPECT_EQ(t.moved, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, StallRelease,
                         ::testing::Values(ReleaseCase{"off", LIBUSB_SUCCESS},
                                           ReleaseCase{"unplug", LIBUSB_ERROR_NO_DEVICE},
                                           ReleaseCase{"reset_device", LIBUSB_ERROR_IO},
                                           ReleaseCase{"emulator_reset", LIBUSB_ERROR_NO_DEVICE}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Faults, BootloaderRequestsNakWhileTheOutEndpointStalls)
{
    emu.unplug();
    emu.plug("boot");
    auto *h = open(0x1234, 0xabce);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    emu.stall_out("data");
    const Bytes erase{0xaa, 0xd3, 0x00, 0x00, 0x2c, 0x55};
    auto t = out(h, erase, 100, 0x04);
    EXPECT_EQ(t.rc, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(t.moved, 0);
    EXPECT_EQ(bulk_in(h, 0x84, 64, 100).rc, LIBUSB_ERROR_TIMEOUT);
    emu.stall_out("off");
    ASSERT_EQ(out(h, erase, 100, 0x04).rc, 0);
    auto r = bulk_in(h, 0x84, 64);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(hex(r.data), "aa d3 01 00 00 2d 55");
}

// ---- halted endpoints -------------------------------------------------------------------------------

class Halt : public Faults, public ::testing::WithParamInterface<uint8_t>
{
};

TEST_P(Halt, EveryTransferFailsUntilTheHostClearsTheHalt)
{
    const uint8_t ep = GetParam();
    char name[8];
    std::snprintf(name, sizeof name, "%02x", ep);
    auto *h = open();
    emu.halt(ep);
    emu.clear_trace();
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        int rc = ep == 0x01 ? out(h, wrapper(0x80, 64), 100).rc : bulk_in(h, 0x81, 64, 100).rc;
        EXPECT_EQ(rc, LIBUSB_ERROR_PIPE) << libusb_error_name(rc);
    }
    // Clearing the other endpoint does not help.
    EXPECT_EQ(libusb_clear_halt(h, ep == 0x01 ? 0x81 : 0x01), 0);
    int rc = ep == 0x01 ? out(h, wrapper(0x80, 64), 100).rc : bulk_in(h, 0x81, 64, 100).rc;
    EXPECT_EQ(rc, LIBUSB_ERROR_PIPE);

    EXPECT_EQ(libusb_clear_halt(h, ep), 0);
    auto lines = emu.trace();
    EXPECT_NE(std::find(lines.begin(), lines.end(), std::string("CLEAR ") + name), lines.end());
    EXPECT_EQ(emu.stats().clears, 2u);
    expect_link_works(h);
}

INSTANTIATE_TEST_SUITE_P(Endpoints, Halt, ::testing::Values(uint8_t{0x01}, uint8_t{0x81}),
                         [](const auto &info) { return info.param == 0x01 ? "out" : "in"; });

TEST_F(Faults, HaltEndsABlockedReadAndTheEnvelopeStartsOverAfterTheClear)
{
    auto *h = open();
    ASSERT_EQ(out(h, wrapper(0x80, 64), 1000).rc, 0);
    auto blocked = std::async(std::launch::async, [h] { return bulk_in(h, 0x81, 64, 5000).rc; });
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    emu.halt(0x81);
    ASSERT_EQ(blocked.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(blocked.get(), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_clear_halt(h, 0x81), 0);
    // The announced read was forgotten: a read without a new wrapper is out of step.
    emu.clear_errors();
    EXPECT_EQ(bulk_in(h, 0x81, 64, 100).rc, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(emu.errors().size(), 1u);
    expect_link_works(h);
}

TEST_F(Faults, ProtocolErrorStallsOnceWithoutAClear)
{
    auto *h = open();
    // A read without a wrapper is a protocol error: one PIPE, then the envelope works again.
    EXPECT_EQ(bulk_in(h, 0x81, 64, 100).rc, LIBUSB_ERROR_PIPE);
    expect_link_works(h);
    EXPECT_EQ(emu.stats().clears, 0u);
}

// ---- answers cut short, late, damaged -------------------------------------------------------------------

class CutNext : public Faults, public ::testing::WithParamInterface<unsigned>
{
};

TEST_P(CutNext, AnswerLosesEverythingAfterItsFirstBytes)
{
    const unsigned keep = GetParam();
    auto *h = open();
    emu.cut_next(keep);
    ASSERT_EQ(wrapped_send(h, handshake), 0);
    Bytes got = read_bytes(h, ok.size(), 400);
    EXPECT_EQ(hex(got), hex(Bytes(ok.begin(), ok.begin() + std::min<size_t>(keep, ok.size()))));
    expect_silence(h);
    // Only that answer: the next one is whole.
    expect_link_works(h);
}

INSTANTIATE_TEST_SUITE_P(Lengths, CutNext, ::testing::Values(0u, 2u, 9u, 11u));

TEST_F(Faults, LateAnswerIsReadableOnlyAfterItsDelayAndHoldsBackLaterOutput)
{
    auto *h = open();
    emu.late_next(400);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(wrapped_send(h, handshake), 0);
    // The exchange's own read times out.
    EXPECT_EQ(wrapped_read(h, 64, 100).rc, LIBUSB_ERROR_TIMEOUT);
    // A second command meanwhile: its answer queues behind the late one.
    ASSERT_EQ(wrapped_send(h, version_request), 0);
    EXPECT_EQ(wrapped_read(h, 64, 50).rc, LIBUSB_ERROR_TIMEOUT);
    const Bytes got = read_bytes(h, ok.size() + 37, 3000);
    EXPECT_GE(ms_since(t0), 390);
    EXPECT_EQ(hex(got), hex(concat({ok, version_answer("acm32_btl_nuvex_pc_001500")})));
    expect_link_works(h);
}

TEST_F(Faults, LateAnswerShowsUpInALaterExchange)
{
    auto *h = open();
    emu.late_next(200);
    ASSERT_EQ(wrapped_send(h, handshake), 0);
    EXPECT_EQ(wrapped_read(h, 64, 50).rc, LIBUSB_ERROR_TIMEOUT);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ASSERT_EQ(wrapped_send(h, version_request), 0);
    // One read returns the late answer followed by the new one.
    EXPECT_EQ(hex(one_read(h)), hex(concat({ok, version_answer("acm32_btl_nuvex_pc_001500")})));
}

// ---- restart that is ignored ----------------------------------------------------------------------------

TEST_F(Faults, IgnoredRestartIsAcknowledgedButTheModuleStays)
{
    auto *h = open();
    emu.ignore_restart(true);
    EXPECT_EQ(hex(exchange(h, restart, ok.size())), hex(ok));
    EXPECT_FALSE(emu.wait_mode("absent", 300));
    EXPECT_EQ(emu.mode(), "app");
    expect_link_works(h);
    // Switched off, the restart works again.
    emu.ignore_restart(false);
    EXPECT_EQ(hex(exchange(h, restart, ok.size())), hex(ok));
    EXPECT_TRUE(emu.wait_mode("boot", 2000));
}

// ---- a finger resting on the sensor ---------------------------------------------------------------------

TEST_F(Faults, HeldFingerIsIdentifiedInTheSameReadAsTheRequestCheck)
{
    emu.store(90, "thumb");
    auto *h = open();
    emu.hold("thumb");
    ASSERT_EQ(wrapped_send(h, identify_all), 0);
    const Bytes all = concat({stage0, answer({0x00, 0x01}), answer({0x00, 0x05, 0x00, 0x5a, 0x00, 0xc8})});
    EXPECT_EQ(hex(one_read(h)), hex(all));
    EXPECT_EQ(emu.pending(), "none");
    // Still held: the next identification matches at once too.
    ASSERT_EQ(wrapped_send(h, identify_all), 0);
    EXPECT_EQ(hex(one_read(h)), hex(all));
    // Lifted: the identification waits for a touch.
    emu.lift();
    ASSERT_EQ(wrapped_send(h, identify_all), 0);
    EXPECT_EQ(hex(one_read(h)), hex(stage0));
    EXPECT_EQ(emu.pending(), "identify");
    expect_silence(h);
}

TEST_F(Faults, FingerPlacedOnAWaitingIdentificationIsTakenAtOnce)
{
    auto *h = open();
    ASSERT_EQ(wrapped_send(h, identify_all), 0);
    EXPECT_EQ(hex(one_read(h)), hex(stage0));
    emu.hold("nobody");
    EXPECT_EQ(hex(one_read(h)),
              hex(concat({answer({0x00, 0x01}), answer({0x09, 0x05, 0xff, 0xff, 0x00, 0x00})})));
}

TEST_F(Faults, HeldFingerTakesEveryCaptureOfAnEnrolmentAtOnce)
{
    auto *h = open();
    emu.hold("index");
    ASSERT_EQ(wrapped_send(h, enroll(7, 3)), 0);
    Bytes want = concat({stage0, capture(1), capture(2), capture(3)});
    EXPECT_EQ(hex(read_bytes(h, want.size())), hex(want));
    const Bytes finish = concat({answer({0x00, 0x04}), answer({0x00, 0x05}), answer({0x00, 0x06})});
    EXPECT_EQ(hex(read_bytes(h, finish.size())), hex(finish));
    EXPECT_EQ(emu.templates(), (std::map<unsigned, std::string>{{7, "index"}}));
}

// ---- damaged and odd answers ------------------------------------------------------------------------------

struct LengthCase {
    const char *command;
    uint8_t high;
};
void PrintTo(const LengthCase &c, std::ostream *os)
{
    *os << c.command;
}

class CorruptLength : public Faults, public ::testing::WithParamInterface<LengthCase>
{
};

TEST_P(CorruptLength, NextAnswerCarriesTheGivenLengthHighByte)
{
    auto *h = open();
    ASSERT_TRUE(emu.ok(GetParam().command));
    Bytes want = ok;
    want[7] = GetParam().high;
    EXPECT_EQ(hex(exchange(h, handshake, ok.size())), hex(want));
    expect_silence(h);
    expect_link_works(h);
}

INSTANTIATE_TEST_SUITE_P(Bytes, CorruptLength,
                         ::testing::Values(LengthCase{"corrupt-length-next", 0xef},
                                           LengthCase{"corrupt-length-next 12", 0x12},
                                           LengthCase{"corrupt-length-next 0x80", 0x80}));

TEST_F(Faults, ShortIndexTableAnswerIsAValidFrameWithFewerBytes)
{
    emu.store(3, "thumb");
    auto *h = open();
    for (unsigned n : {0u, 1u, 5u, 31u}) {
        SCOPED_TRACE(n);
        emu.short_index_next(n);
        Bytes payload(1 + n, 0x00);
        if (n >= 1)
            payload[1] = 0x08; // slot 3
        EXPECT_EQ(hex(exchange(h, index_page(0), payload.size() + 11)), hex(answer(payload)));
        expect_silence(h);
    }
    Bytes whole(33, 0x00);
    whole[1] = 0x08;
    EXPECT_EQ(hex(exchange(h, index_page(0), whole.size() + 11)), hex(answer(whole)));
}

TEST_F(Faults, VersionRequestIsFirstAnsweredWithAnIdList)
{
    auto *h = open();
    emu.version_idlist_next(90, 91);
    ASSERT_EQ(wrapped_send(h, version_request), 0);
    EXPECT_EQ(hex(one_read(h)), hex(answer({0x00, 0xf5, 0x02, 0x5a, 0x5b, 0xff})));
    EXPECT_EQ(hex(one_read(h)), hex(version_answer("acm32_btl_nuvex_pc_001500")));
    expect_silence(h);
    // Once only.
    ASSERT_EQ(wrapped_send(h, version_request), 0);
    EXPECT_EQ(hex(one_read(h)), hex(version_answer("acm32_btl_nuvex_pc_001500")));
}

struct OverwriteCase {
    const char *setting; // nullptr: the default
    bool refused;
};
void PrintTo(const OverwriteCase &c, std::ostream *os)
{
    *os << (c.setting ? c.setting : "default");
}

class Overwrite : public Faults, public ::testing::WithParamInterface<OverwriteCase>
{
};

TEST_P(Overwrite, EnrolmentIntoAnOccupiedSlot)
{
    const OverwriteCase &c = GetParam();
    emu.store(90, "thumb");
    if (c.setting != nullptr)
        emu.refuse_overwrite(std::string(c.setting) == "on");
    auto *h = open();
    emu.hold("index");
    ASSERT_EQ(wrapped_send(h, enroll(90, 1)), 0);
    if (c.refused) {
        EXPECT_EQ(hex(one_read(h)), hex(answer({34, 0x00})));
        expect_silence(h);
        EXPECT_EQ(emu.templates(), (std::map<unsigned, std::string>{{90, "thumb"}}));
    } else {
        Bytes want =
            concat({stage0, capture(1), answer({0x00, 0x04}), answer({0x00, 0x05}), answer({0x00, 0x06})});
        EXPECT_EQ(hex(read_bytes(h, want.size())), hex(want));
        EXPECT_EQ(emu.templates(), (std::map<unsigned, std::string>{{90, "index"}}));
    }
    // An empty slot is always accepted.
    emu.lift();
    EXPECT_EQ(hex(exchange(h, enroll(91, 1), stage0.size())), hex(stage0));
}

INSTANTIATE_TEST_SUITE_P(Settings, Overwrite,
                         ::testing::Values(OverwriteCase{nullptr, true}, OverwriteCase{"on", true},
                                           OverwriteCase{"off", false}),
                         [](const auto &info) {
                             return std::string(info.param.setting ? info.param.setting : "default");
                         });

// ---- the end of an enrolment
// -------------------------------------------------------------------------------

struct StageCase {
    const char *name;
    unsigned stage;
    uint8_t code;
    Bytes tail; // reports after the last capture
};
void PrintTo(const StageCase &c, std::ostream *os)
{
    *os << c.name;
}

class FailStage : public Faults, public ::testing::WithParamInterface<StageCase>
{
};

TEST_P(FailStage, FailedStageEndsTheEnrolmentWithAFailedStore)
{
    const StageCase &c = GetParam();
    auto *h = open();
    emu.fail_stage(c.stage, c.code);
    emu.hold("thumb");
    ASSERT_EQ(wrapped_send(h, enroll(12, 2)), 0);
    Bytes want = concat({stage0, capture(1), capture(2), c.tail});
    EXPECT_EQ(hex(read_bytes(h, want.size())), hex(want));
    expect_silence(h);
    EXPECT_EQ(emu.pending(), "none");
    EXPECT_TRUE(emu.templates().empty());
    // The fault was taken by that enrolment: the next one stores.
    ASSERT_EQ(wrapped_send(h, enroll(12, 1)), 0);
    want = concat({stage0, capture(1), answer({0x00, 0x04}), answer({0x00, 0x05}), answer({0x00, 0x06})});
    EXPECT_EQ(hex(read_bytes(h, want.size())), hex(want));
    EXPECT_EQ(emu.templates(), (std::map<unsigned, std::string>{{12, "thumb"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Stages, FailStage,
    ::testing::Values(
        StageCase{"merge", 4, 10, concat({answer({10, 0x04}), answer({10, 0x06})})},
        StageCase{"check", 5, 39, concat({answer({0x00, 0x04}), answer({39, 0x05}), answer({39, 0x06})})},
        StageCase{"store", 6, 24, concat({answer({0x00, 0x04}), answer({0x00, 0x05}), answer({24, 0x06})})}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Faults, FailedStoreLeavesAnOverwrittenSlotAsItWas)
{
    emu.store(12, "old");
    emu.refuse_overwrite(false);
    emu.fail_stage(6, 24);
    auto *h = open();
    emu.hold("new");
    ASSERT_EQ(wrapped_send(h, enroll(12, 1)), 0);
    Bytes want = concat({stage0, capture(1), answer({0x00, 0x04}), answer({0x00, 0x05}), answer({24, 0x06})});
    EXPECT_EQ(hex(read_bytes(h, want.size())), hex(want));
    EXPECT_EQ(emu.templates(), (std::map<unsigned, std::string>{{12, "old"}}));
}

struct BurstCase {
    const char *name;
    const char *merge_ms;
    bool burst_command;
    bool together; // the end comes in the last capture's read
};
void PrintTo(const BurstCase &c, std::ostream *os)
{
    *os << c.name;
}

class EnrollBurst : public Faults, public ::testing::WithParamInterface<BurstCase>
{
  protected:
    Env environment() const override
    {
        return {{"TIRVANE_EMU_MERGE_MS", GetParam().merge_ms}};
    }
};

TEST_P(EnrollBurst, EndOfTheEnrolmentComesWithTheLastCaptureOnlyInABurst)
{
    auto *h = open();
    if (GetParam().burst_command)
        emu.enroll_burst(true);
    EXPECT_EQ(hex(exchange(h, enroll(5, 2), stage0.size())), hex(stage0));
    ASSERT_TRUE(emu.touch("thumb"));
    EXPECT_EQ(hex(one_read(h)), hex(capture(1)));
    ASSERT_TRUE(emu.touch("thumb"));
    const Bytes end = concat({answer({0x00, 0x04}), answer({0x00, 0x05}), answer({0x00, 0x06})});
    if (GetParam().together) {
        EXPECT_EQ(hex(one_read(h)), hex(concat({capture(2), end})));
    } else {
        EXPECT_EQ(hex(one_read(h)), hex(capture(2)));
        EXPECT_EQ(hex(read_bytes(h, end.size(), 5000)), hex(end));
    }
    EXPECT_EQ(emu.templates(), (std::map<unsigned, std::string>{{5, "thumb"}}));
}

INSTANTIATE_TEST_SUITE_P(Ways, EnrollBurst,
                         ::testing::Values(BurstCase{"command", "2000", true, true},
                                           BurstCase{"merge_delay", "2000", false, false},
                                           BurstCase{"no_merge_delay", "0", false, true}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- every fault is dropped by reset, and listed by help
// ----------------------------------------------------

TEST_F(Faults, ResetDropsEveryFault)
{
    const char *const faults[] = {"stall-out all",
                                  "halt 01",
                                  "halt 81",
                                  "cut-next 3",
                                  "late-next 5000",
                                  "ignore-restart on",
                                  "hold thumb",
                                  "corrupt-length-next",
                                  "enroll-burst on",
                                  "fail-stage 6 24",
                                  "short-index-next 2",
                                  "version-idlist-next 1 2",
                                  "refuse-overwrite off",
                                  "silence on",
                                  "corrupt-next",
                                  "split-next",
                                  "stray-next 13",
                                  "fail-next 35 5"};
    for (const char *f : faults)
        ASSERT_TRUE(emu.ok(f)) << f;
    emu.reset();
    emu.store(90, "thumb");
    auto *h = open();
    expect_link_works(h);
    Bytes whole(33, 0x00);
    whole[1 + 90 / 8] = 1u << (90 % 8);
    EXPECT_EQ(hex(exchange(h, index_page(0), whole.size() + 11)), hex(answer(whole)));
    EXPECT_EQ(hex(exchange(h, version_request, 37)), hex(version_answer("acm32_btl_nuvex_pc_001500")));
    expect_silence(h);
    // No finger is held, and occupied slots are refused again.
    ASSERT_EQ(wrapped_send(h, identify_all), 0);
    EXPECT_EQ(hex(one_read(h)), hex(stage0));
    EXPECT_EQ(hex(exchange(h, enroll(90, 1), 13)), hex(answer({34, 0x00})));
    EXPECT_EQ(hex(exchange(h, restart, ok.size())), hex(ok));
    EXPECT_TRUE(emu.wait_mode("boot", 2000));
}

TEST_F(Faults, HelpListsEveryFault)
{
    auto lines = emu.lines("help");
    const char *const names[] = {"stall-out",
                                 "halt",
                                 "cut-next",
                                 "late-next",
                                 "ignore-restart",
                                 "hold",
                                 "lift",
                                 "corrupt-length-next",
                                 "enroll-burst",
                                 "fail-stage",
                                 "short-index-next",
                                 "version-idlist-next",
                                 "refuse-overwrite",
                                 "silence",
                                 "corrupt-next",
                                 "split-next",
                                 "stray-next",
                                 "fail-next",
                                 "boot-fault"};
    for (const char *n : names) {
        bool found = std::any_of(lines.begin(), lines.end(), [&](const std::string &l) {
            return l.rfind(std::string(n) + " ", 0) == 0 || l == n;
        });
        EXPECT_TRUE(found) << n;
    }
}

TEST_F(Faults, BadFaultArgumentsAreRefused)
{
    const char *const bad[] = {"stall-out",
                               "stall-out some",
                               "halt 02",
                               "halt",
                               "cut-next",
                               "cut-next x",
                               "late-next",
                               "ignore-restart",
                               "hold",
                               "corrupt-length-next 100",
                               "enroll-burst maybe",
                               "fail-stage 3 1",
                               "fail-stage 4 256",
                               "short-index-next 32",
                               "version-idlist-next 1",
                               "refuse-overwrite"};
    for (const char *b : bad)
        EXPECT_FALSE(emu.ok(b)) << b;
}
