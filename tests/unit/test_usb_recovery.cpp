// How the USB transport brings the envelope back in step after an abandoned
// transaction, against a scripted libusb: the paths the emulated module cannot
// show (a status or data that come late, a module that keeps sending).
#include "fake_libusb.h"
#include "tirvane_common.h"
#include "unit_support.h"
#include "usb_device.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using fake_usb::Bytes;
using fake_usb::Reply;

const usb_id kIds[] = {{0x33A7, 0x2388, "module"}, {0, 0, nullptr}};
const Bytes kStatus = {0x55, 0x53, 0x42, 0x53};
const Bytes kCommand = {0xEF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x03, 0x35, 0x00, 0x39};
const Bytes kAnswer = {0xEF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x00, 0x03, 0x00, 0x00, 0x0A};

class EnvelopeRecovery : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        fake_usb::reset();
        usb_dev_module_init();
        fake_usb::state().devices = {{0x33A7, 0x2388}};
        dev.usb_info.id_table = kIds;
        ASSERT_EQ(usb_dev_open(&dev), 0);
    }
    void TearDown() override
    {
        usb_dev_module_init();
        fake_usb::reset();
    }
    static void queue(std::vector<Reply> replies)
    {
        for (Reply &r : replies) {
            fake_usb::state().pending.push_back(std::move(r));
        }
    }
    static int send()
    {
        int32_t written = 0;
        return usb_send_data(kCommand.data(), static_cast<int32_t>(kCommand.size()), &written);
    }
    // The transfers and clears from `from` on.
    static std::vector<std::string> sequence_from(size_t from)
    {
        const auto &s = fake_usb::state().sequence;
        return std::vector<std::string>(s.begin() + static_cast<long>(std::min(from, s.size())), s.end());
    }
    tvunit::TempConfDir conf;
    tvp_dev dev{};
};

TEST_F(EnvelopeRecovery, LateStatusIsDrainedBeforeTheNextWrapper)
{
    EXPECT_EQ(send(), -1) << "no status within its time-out";
    // The status comes late; then the module answers the next transaction.
    queue({{0, kStatus}, {0, kStatus}});
    const size_t mark = fake_usb::state().sequence.size();
    const size_t reads = fake_usb::state().reads.size();
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(sequence_from(mark), (std::vector<std::string>{"IN 81", "clear_halt(01)", "clear_halt(81)",
                                                             "OUT 01", "OUT 01", "IN 81"}));
    const auto &r = fake_usb::state().reads;
    ASSERT_EQ(r.size(), reads + 2);
    EXPECT_EQ(r[reads].timeout, 50u) << "the drain reads with a short time-out";
    EXPECT_EQ(r[reads].bytes, kStatus);
    EXPECT_TRUE(fake_usb::state().pending.empty()) << "the new transaction read its own status";
}

TEST_F(EnvelopeRecovery, RestOfACutDataPhaseAndItsStatusAreDrained)
{
    // A data phase that breaks off after 5 bytes; the rest and the status follow late.
    queue({{LIBUSB_ERROR_TIMEOUT, Bytes(kAnswer.begin(), kAnswer.begin() + 5)}});
    uint8_t buf[64] = {0};
    int32_t got = 99;
    EXPECT_EQ(usb_read_data(buf, sizeof(buf), &got), -1);
    EXPECT_EQ(got, 99);
    queue({{0, Bytes(kAnswer.begin() + 5, kAnswer.end())}, {0, kStatus}, {0, kAnswer}, {0, kStatus}});
    const size_t mark = fake_usb::state().sequence.size();
    ASSERT_EQ(usb_read_data(buf, sizeof(buf), &got), 0);
    EXPECT_EQ(got, 12);
    EXPECT_EQ(Bytes(buf, buf + 12), kAnswer);
    EXPECT_EQ(sequence_from(mark), (std::vector<std::string>{"IN 81", "IN 81", "clear_halt(01)",
                                                             "clear_halt(81)", "OUT 01", "IN 81", "IN 81"}));
    EXPECT_TRUE(fake_usb::state().pending.empty());
}

TEST_F(EnvelopeRecovery, DrainOfAModuleThatKeepsSendingIsBounded)
{
    ASSERT_EQ(send(), -1);
    for (int i = 0; i < 20; ++i) {
        queue({{0, Bytes(64, 0xA5)}});
    }
    const size_t mark = fake_usb::state().sequence.size();
    EXPECT_EQ(send(), -1) << "the status read finds more of the stream";
    std::vector<std::string> expected(8, "IN 81");
    for (const char *step : {"clear_halt(01)", "clear_halt(81)", "OUT 01", "OUT 01", "IN 81"}) {
        expected.push_back(step);
    }
    EXPECT_EQ(sequence_from(mark), expected);
}

TEST_F(EnvelopeRecovery, ModuleGoneDuringTheDrainSendsNoWrapper)
{
    ASSERT_EQ(send(), -1);
    queue({{LIBUSB_ERROR_NO_DEVICE, {}}});
    const size_t writes = fake_usb::state().writes.size();
    EXPECT_EQ(send(), -1);
    EXPECT_EQ(fake_usb::state().writes.size(), writes);
}

TEST_F(EnvelopeRecovery, PollThatFoundNothingStaysInStep)
{
    uint8_t buf[64];
    int32_t got = 0;
    EXPECT_EQ(usb_read_data(buf, sizeof(buf), &got), -1);
    queue({{0, kAnswer}, {0, kStatus}});
    const size_t mark = fake_usb::state().sequence.size();
    ASSERT_EQ(usb_read_data(buf, sizeof(buf), &got), 0);
    EXPECT_EQ(sequence_from(mark), (std::vector<std::string>{"OUT 01", "IN 81", "IN 81"}));
}

TEST_F(EnvelopeRecovery, EveryTransferOfATransactionHasATimeOut)
{
    // 10 ms per 1,000 bytes on top of 1,000 ms for the OUT data phase.
    struct Case {
        int32_t length;
        unsigned data_timeout;
    };
    for (const Case c : {Case{12, 1000u}, Case{93171, 1931u}}) {
        fake_usb::state().writes.clear();
        fake_usb::state().reads.clear();
        queue({{0, kStatus}});
        Bytes frame(static_cast<size_t>(c.length), 0x00);
        int32_t written = 0;
        ASSERT_EQ(usb_send_data(frame.data(), c.length, &written), 0);
        EXPECT_EQ(written, c.length);
        const auto &w = fake_usb::state().writes;
        ASSERT_EQ(w.size(), 2u);
        EXPECT_EQ(w[0].timeout, 1000u) << "wrapper";
        EXPECT_EQ(w[1].timeout, c.data_timeout) << c.length;
        ASSERT_EQ(fake_usb::state().reads.size(), 1u);
        EXPECT_EQ(fake_usb::state().reads[0].timeout, 1000u) << "status";
    }
    fake_usb::state().reads.clear();
    queue({{0, kAnswer}, {0, kStatus}});
    uint8_t buf[64];
    int32_t got = 0;
    ASSERT_EQ(usb_read_data(buf, sizeof(buf), &got), 0);
    for (const fake_usb::Transfer &t : fake_usb::state().reads) {
        EXPECT_EQ(t.timeout, 1000u);
    }
}

TEST_F(EnvelopeRecovery, ShortOutDataPhaseAbandonsTheTransaction)
{
    fake_usb::state().write_script = {0, LIBUSB_ERROR_TIMEOUT};
    EXPECT_EQ(send(), -1);
    queue({{0, kStatus}});
    const size_t mark = fake_usb::state().sequence.size();
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(sequence_from(mark),
              (std::vector<std::string>{"clear_halt(01)", "clear_halt(81)", "OUT 01", "OUT 01", "IN 81"}));
}

} // namespace
