// The bulk envelope as the module sees it: wrappers, data phases, statuses, time-outs, unplugging.
#include "emu_test_support.h"

#include <future>
#include <thread>

using namespace emutest;

namespace
{

const Bytes handshake{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x35, 0x00, 0x39};
const Bytes answer_ok{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x03, 0x00, 0x00, 0x0a};
const Bytes answer_recv_error{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x07, 0x00, 0x03, 0x01, 0x00, 0x0b};
const Bytes identify{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x08,
                     0x32, 0x03, 0xff, 0xff, 0x00, 0x03, 0x02, 0x3f};
const Bytes status{0x55, 0x53, 0x42, 0x53};

class Envelope : public EmuTest
{
};

int out(libusb_device_handle *h, Bytes b)
{
    int n = 0;
    return libusb_bulk_transfer(h, 0x01, b.data(), static_cast<int>(b.size()), &n, 1000);
}

ReadResult in(libusb_device_handle *h, size_t cap, unsigned timeout = 1000)
{
    return bulk_in(h, 0x81, cap, timeout);
}

} // namespace

TEST_F(Envelope, SendAndReadTransactionsAreTracedByteForByte)
{
    auto *h = open();
    emu.clear_trace();
    // A 300-byte send: wrapper, data, status.
    ASSERT_EQ(out(h, {0x55, 0x53, 0x42, 0x43, 0x00, 0x2c, 0x01, 0x00}), 0);
    Bytes junk(300, 0xa5);
    ASSERT_EQ(out(h, junk), 0);
    auto st = in(h, 4);
    ASSERT_EQ(st.rc, 0);
    EXPECT_EQ(st.data, status);
    // A 64-byte read: the 300 bytes were no command frame, so the module answers "receive error".
    ASSERT_EQ(out(h, {0x55, 0x53, 0x42, 0x43, 0x80, 0x40, 0x00, 0x00}), 0);
    auto data = in(h, 64);
    ASSERT_EQ(data.rc, 0);
    EXPECT_EQ(data.data, answer_recv_error);
    st = in(h, 4);
    ASSERT_EQ(st.rc, 0);
    EXPECT_EQ(st.data, status);

    auto lines = emu.trace();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "OUT 01 55 53 42 43 00 2c 01 00");
    EXPECT_EQ(lines[1], "OUT 01 " + hex(junk));
    EXPECT_EQ(lines[2], "IN 81 55 53 42 53");
    EXPECT_EQ(lines[3], "OUT 01 55 53 42 43 80 40 00 00");
    EXPECT_EQ(lines[4], "IN 81 " + hex(answer_recv_error));
    EXPECT_EQ(lines[5], "IN 81 55 53 42 53");
    auto errors = emu.errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("command frame"), std::string::npos) << errors[0];
}

TEST_F(Envelope, HandshakeIsAnsweredWithValidAnswer)
{
    auto *h = open();
    EXPECT_EQ(exchange(h, handshake, answer_ok.size()), answer_ok);
    EXPECT_TRUE(emu.errors().empty());
}

struct MalformedCase {
    const char *name;
    Bytes first;                 // first OUT transfer
    std::optional<Bytes> second; // second OUT transfer, if any
    int first_rc, second_rc;
    const char *error_part;
};

TEST_F(Envelope, MalformedWrappersAndDataPhasesStallAndAreRecorded)
{
    const MalformedCase cases[] = {
        {"seven-byte wrapper",
         {0x55, 0x53, 0x42, 0x43, 0x00, 0x0c, 0x00},
         {},
         LIBUSB_ERROR_PIPE,
         0,
         "7 bytes"},
        {"nine-byte wrapper",
         {0x55, 0x53, 0x42, 0x43, 0x00, 0x0c, 0x00, 0x00, 0x00},
         {},
         LIBUSB_ERROR_PIPE,
         0,
         "9 bytes"},
        {"wrong signature",
         {0x55, 0x53, 0x42, 0x53, 0x00, 0x0c, 0x00, 0x00},
         {},
         LIBUSB_ERROR_PIPE,
         0,
         "signature"},
        {"bad direction",
         {0x55, 0x53, 0x42, 0x43, 0x40, 0x0c, 0x00, 0x00},
         {},
         LIBUSB_ERROR_PIPE,
         0,
         "direction"},
        {"zero length",
         {0x55, 0x53, 0x42, 0x43, 0x00, 0x00, 0x00, 0x00},
         {},
         LIBUSB_ERROR_PIPE,
         0,
         "zero length"},
        {"short data phase",
         {0x55, 0x53, 0x42, 0x43, 0x00, 0x0c, 0x00, 0x00},
         Bytes(11, 0),
         0,
         LIBUSB_ERROR_PIPE,
         "11 bytes, 12 announced"},
        {"long data phase",
         {0x55, 0x53, 0x42, 0x43, 0x00, 0x0c, 0x00, 0x00},
         Bytes(13, 0),
         0,
         LIBUSB_ERROR_PIPE,
         "13 bytes, 12 announced"},
    };
    auto *h = open();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        emu.clear_errors();
        EXPECT_EQ(out(h, c.first), c.first_rc);
        if (c.second) {
            EXPECT_EQ(out(h, *c.second), c.second_rc);
        }
        auto errors = emu.errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find(c.error_part), std::string::npos) << errors[0];
        // The module is not wedged: a correct exchange follows.
        EXPECT_EQ(exchange(h, handshake, answer_ok.size()), answer_ok);
    }
}

TEST_F(Envelope, ReadWithoutWrapperStalls)
{
    auto *h = open();
    EXPECT_EQ(in(h, 64).rc, LIBUSB_ERROR_PIPE);
    ASSERT_EQ(emu.errors().size(), 1u);
    EXPECT_EQ(exchange(h, handshake, answer_ok.size()), answer_ok);
}

TEST_F(Envelope, DataPhaseReturnsAtMostAnnouncedAndRequested)
{
    struct Case {
        uint32_t announced;
        size_t requested;
        size_t delivered;
    };
    const Case cases[] = {{64, 64, 12}, {5, 64, 5}, {64, 3, 3}, {12, 12, 12}};
    auto *h = open();
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.announced) + "/" + std::to_string(c.requested));
        ASSERT_EQ(wrapped_send(h, handshake), 0);
        ASSERT_EQ(out(h, {0x55, 0x53, 0x42, 0x43, 0x80, static_cast<uint8_t>(c.announced), 0x00, 0x00}), 0);
        auto r = in(h, c.requested);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.data.size(), c.delivered);
        EXPECT_EQ(in(h, 4).data, status);
        Bytes all = concat({r.data, read_bytes(h, answer_ok.size() - r.data.size())});
        EXPECT_EQ(all, answer_ok);
    }
}

TEST_F(Envelope, EmptyReadTimesOutAfterItsTimeoutAndNextWrapperStartsOver)
{
    auto *h = open();
    ASSERT_EQ(out(h, {0x55, 0x53, 0x42, 0x43, 0x80, 0x40, 0x00, 0x00}), 0);
    auto t0 = std::chrono::steady_clock::now();
    auto r = in(h, 64, 250);
    auto took = ms_since(t0);
    EXPECT_EQ(r.rc, LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(took, 240);
    EXPECT_LT(took, 900);
    // The host abandons the phase without reading a status; the next wrapper is fine.
    EXPECT_EQ(exchange(h, handshake, answer_ok.size()), answer_ok);
    EXPECT_TRUE(emu.errors().empty());
    auto lines = emu.trace();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "IN 81 !TIMEOUT"), lines.end());
}

TEST_F(Envelope, ReadWithoutTimeoutWaitsUntilTouchAndWakesAtOnce)
{
    auto *h = open();
    emu.store(90, "thumb");
    ASSERT_EQ(exchange(h, identify, 13).size(), 13u); // stage 0
    ASSERT_EQ(out(h, {0x55, 0x53, 0x42, 0x43, 0x80, 0x40, 0x00, 0x00}), 0);
    auto reader = std::async(std::launch::async, [&] { return in(h, 64, 0); });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(400)), std::future_status::timeout);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(emu.touch("thumb"));
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_LT(ms_since(t0), 200);
    auto r = reader.get();
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.data.size(), 13u + 17u); // stage 1 and the result
}

TEST_F(Envelope, UnpluggedModuleFailsEveryTransferWithNoDevice)
{
    auto *h = open();
    emu.unplug();
    EXPECT_EQ(out(h, {0x55, 0x53, 0x42, 0x43, 0x00, 0x0c, 0x00, 0x00}), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(in(h, 64).rc, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_open_device_with_vid_pid(nullptr, 0x33a7, 0x2388), nullptr);
    emu.plug();
    // The old handle belongs to the enumeration that left; a new open works.
    EXPECT_EQ(out(h, {0x55, 0x53, 0x42, 0x43, 0x00, 0x0c, 0x00, 0x00}), LIBUSB_ERROR_NO_DEVICE);
    auto *h2 = open();
    EXPECT_EQ(exchange(h2, handshake, answer_ok.size()), answer_ok);
}

TEST_F(Envelope, BlockedReadWakesWithNoDeviceOnUnplug)
{
    auto *h = open();
    ASSERT_EQ(out(h, {0x55, 0x53, 0x42, 0x43, 0x80, 0x40, 0x00, 0x00}), 0);
    auto reader = std::async(std::launch::async, [&] { return in(h, 64, 0); });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    auto t0 = std::chrono::steady_clock::now();
    emu.unplug();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_LT(ms_since(t0), 200);
    EXPECT_EQ(reader.get().rc, LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(Envelope, OddCallsFailWithoutHarm)
{
    auto *h = open();
    unsigned char buf[8] = {};
    int n = -1;
    EXPECT_EQ(libusb_bulk_transfer(nullptr, 0x01, buf, 8, &n, 100), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, buf, 8, &n, 100), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, nullptr, 8, &n, 100), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_interrupt_transfer(h, 0x81, buf, 8, &n, 100), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_control_transfer(h, 0x80, 0x06, 0x0100, 0, buf, 8, 100), LIBUSB_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(libusb_claim_interface(h, 3), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_set_configuration(h, 1), 0);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 0);
    auto *closed = libusb_open_device_with_vid_pid(nullptr, 0x33a7, 0x2388);
    ASSERT_NE(closed, nullptr);
    libusb_close(closed);
    libusb_close(closed);
    libusb_close(nullptr);
    EXPECT_EQ(libusb_get_device(nullptr), nullptr);
    EXPECT_EQ(libusb_get_device_descriptor(nullptr, nullptr), LIBUSB_ERROR_INVALID_PARAM);
    auto lines = emu.trace();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "CTRL 80 06 0100 0000 0008 !NOT_SUPPORTED"), lines.end());
    // And the module still works.
    EXPECT_EQ(exchange(h, handshake, answer_ok.size()), answer_ok);
}

TEST_F(Envelope, ClosingAHandleEndsATransferBlockedOnIt)
{
    auto *h = libusb_open_device_with_vid_pid(nullptr, 0x33a7, 0x2388);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(out(h, {0x55, 0x53, 0x42, 0x43, 0x80, 0x40, 0x00, 0x00}), 0);
    auto reader = std::async(std::launch::async, [&] { return in(h, 64, 0); });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    libusb_close(h);
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(reader.get().rc, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(emu.stats().open, 0u);
    // The module itself is fine.
    EXPECT_EQ(exchange(open(), handshake, answer_ok.size()), answer_ok);
}
