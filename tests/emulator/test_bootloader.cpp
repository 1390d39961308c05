// The bootloader: its frames, the flash it keeps, and the way back into the application.
#include "emu_test_support.h"

#include <functional>

using namespace emutest;

namespace
{

const Bytes req_erase{0xaa, 0xd3, 0x00, 0x00, 0x2c, 0x55};
const Bytes req_security{0xaa, 0xcc, 0x00, 0x00, 0x33, 0x55};
const Bytes req_run{0xaa, 0xe3, 0x00, 0x00, 0x1c, 0x55};
const Bytes req_read_sn{0xaa, 0xa0, 0x00, 0x00, 0x5f, 0x55};
const Bytes req_download_123456789{0xaa, 0xd7, 0x0d, 0x00, 0x00, 0x00, 0x00, 0x00, 0x31, 0x32,
                                   0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x14, 0x55};
const Bytes req_read_crc_9{0xaa, 0xa6, 0x08, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x09, 0x00, 0x00, 0x00, 0x58, 0x55};
const Bytes req_store_crc_9{0xaa, 0xd9, 0x0a, 0x00, 0x09, 0x00, 0x00, 0x00,
                            0x6e, 0x90, 0x00, 0x00, 0x00, 0x00, 0xdb, 0x55};
const Bytes req_store_wrong_crc_9{0xaa, 0xd9, 0x0a, 0x00, 0x09, 0x00, 0x00, 0x00,
                                  0x6f, 0x90, 0x00, 0x00, 0x00, 0x00, 0xda, 0x55};

const Bytes ok_erase{0xaa, 0xd3, 0x01, 0x00, 0x00, 0x2d, 0x55};
const Bytes ok_download{0xaa, 0xd7, 0x01, 0x00, 0x00, 0x29, 0x55};
const Bytes ok_store_crc{0xaa, 0xd9, 0x01, 0x00, 0x00, 0x27, 0x55};
const Bytes ok_security{0xaa, 0xcc, 0x01, 0x00, 0x00, 0x32, 0x55};
const Bytes ok_run{0xaa, 0xe3, 0x01, 0x00, 0x00, 0x1d, 0x55};
const Bytes fail_download{0xaa, 0xd7, 0x01, 0x00, 0x01, 0x28, 0x55};
const Bytes fail_store_crc{0xaa, 0xd9, 0x01, 0x00, 0x01, 0x26, 0x55};
const Bytes fail_run{0xaa, 0xe3, 0x01, 0x00, 0x01, 0x1c, 0x55};
const Bytes crc_906e{0xaa, 0xa6, 0x02, 0x00, 0x6e, 0x90, 0xa5, 0x55};
const Bytes sn_reply{0xaa, 0xa0, 0x10, 0x00, 0x4e, 0x55, 0x56, 0x45, 0x58, 0x2d, 0x45,
                     0x4d, 0x55, 0x2d, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x43, 0x55};

Bytes padded(Bytes frame)
{
    frame.resize(250, 0);
    return frame;
}

// This test's own framing of requests whose data is computed (image blocks, CRC values).
Bytes boot_frame(uint8_t type, const Bytes &data)
{
    Bytes f{0xaa, type, static_cast<uint8_t>(data.size()), static_cast<uint8_t>(data.size() >> 8)};
    f.insert(f.end(), data.begin(), data.end());
    uint8_t x = 0x55;
    for (uint8_t b : f)
        x ^= b;
    f.push_back(x);
    f.push_back(0x55);
    return f;
}

Bytes le32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Bytes download_request(uint32_t addr, const Bytes &image, size_t len)
{
    Bytes data = le32(addr);
    data.insert(data.end(), image.begin() + addr, image.begin() + addr + static_cast<long>(len));
    return padded(boot_frame(0xd7, data));
}

class Bootloader : public EmuTest
{
  public:
    Env environment() const override
    {
        return {{"TIRVANE_EMU_PRESENT", "boot"}};
    }
    void SetUp() override
    {
        EmuTest::SetUp();
        h = open(0x1234, 0xabce);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    }
    Bytes ask(const Bytes &request)
    {
        EXPECT_EQ(bulk_out(h, 0x04, request), 0);
        auto r = bulk_in(h, 0x84, 64);
        EXPECT_EQ(r.rc, 0) << libusb_error_name(r.rc);
        return r.data;
    }
    // Erase, blocks of 240, CRC, store, security, run: the whole procedure. Returns the CRC read back.
    uint16_t write_image(const Bytes &image)
    {
        EXPECT_EQ(hex(ask(req_erase)), hex(ok_erase));
        for (size_t off = 0; off < image.size(); off += 240)
            EXPECT_EQ(hex(ask(download_request(static_cast<uint32_t>(off), image,
                                               std::min<size_t>(240, image.size() - off)))),
                      hex(ok_download))
                << "block at " << off;
        Bytes crc_reply =
            ask(padded(boot_frame(0xa6, concat({le32(0), le32(static_cast<uint32_t>(image.size()))}))));
        EXPECT_EQ(crc_reply.size(), 8u);
        if (crc_reply.size() != 8)
            return 0;
        uint16_t crc = static_cast<uint16_t>(crc_reply[4] | (crc_reply[5] << 8));
        Bytes store =
            concat({le32(static_cast<uint32_t>(image.size())), {crc_reply[4], crc_reply[5]}, le32(0)});
        EXPECT_EQ(hex(ask(padded(boot_frame(0xd9, store)))), hex(ok_store_crc));
        EXPECT_EQ(hex(ask(req_security)), hex(ok_security));
        EXPECT_EQ(hex(ask(req_run)), hex(ok_run));
        return crc;
    }
    libusb_device_handle *h = nullptr;
};

Bytes image_with(const std::string &inside, size_t size = 1000)
{
    Bytes img(size);
    for (size_t i = 0; i < size; ++i)
        img[i] = static_cast<uint8_t>(i * 13 + 7);
    std::copy(inside.begin(), inside.end(), img.begin() + 500);
    return img;
}

} // namespace

TEST_F(Bootloader, CrcOfTheWrittenRangeUsesX25)
{
    EXPECT_EQ(hex(ask(req_erase)), hex(ok_erase));
    EXPECT_EQ(hex(ask(padded(req_download_123456789))), hex(ok_download));
    EXPECT_EQ(hex(ask(padded(req_read_crc_9))), hex(crc_906e));
    EXPECT_EQ(emu.value("flash"), "size=9 crc=906e stored=0");
    EXPECT_EQ(hex(ask(padded(req_store_crc_9))), hex(ok_store_crc));
    EXPECT_EQ(emu.value("flash"), "size=9 crc=906e stored=1");
    EXPECT_EQ(hex(ask(req_security)), hex(ok_security));
    EXPECT_EQ(hex(ask(padded(req_read_sn))), hex(sn_reply));
    EXPECT_TRUE(emu.errors().empty());
}

TEST_F(Bootloader, UpgradeReturnsToTheApplicationWithTheImagesVersion)
{
    HotplugLog log;
    ASSERT_EQ(watch(log, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0,
                    LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY),
              0);
    Bytes image = image_with("acm32_btl_nuvex_pc_001777");
    // The host's block at address 240 starts like this.
    Bytes block = download_request(240, image, 240);
    EXPECT_EQ(hex(Bytes(block.begin(), block.begin() + 8)), "aa d7 f4 00 f0 00 00 00");
    uint16_t crc = write_image(image);
    auto flash = emu.flash();
    EXPECT_EQ(flash.size, 1000u);
    EXPECT_EQ(flash.crc, crc);
    EXPECT_TRUE(flash.stored);
    ASSERT_TRUE(emu.wait_mode("app", 2000));
    pump_events(log, 2);
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[0].event, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    EXPECT_EQ(log.events[0].pid, 0xabce);
    EXPECT_EQ(log.events[1].event, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    EXPECT_EQ(log.events[1].pid, 0x2388);
    EXPECT_EQ(emu.version(), (std::pair<unsigned, std::string>{1777, "acm32_btl_nuvex_pc_001777"}));
    auto *app = open();
    const Bytes handshake{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x35, 0x00, 0x39};
    EXPECT_EQ(exchange(app, handshake, 12).size(), 12u);
    EXPECT_TRUE(emu.errors().empty());
}

TEST_F(Bootloader, VersionIsTakenFromTheImageText)
{
    struct Case {
        const char *inside;
        unsigned version;
    };
    const Case cases[] = {
        {"acm32_btl_nuvex_pc_001777", 1777},  {"acm32_btl_nuvex_pc_42x", 42},
        {"no version text here", 1500},       {"acm32_btl_nuvex_pc_", 1500},
        {"acm32_btl_nuvex_pc_1234567", 1500},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.inside);
        emu.reset();
        h = open(0x1234, 0xabce);
        ASSERT_EQ(libusb_claim_interface(h, 0), 0);
        write_image(image_with(c.inside, 700));
        ASSERT_TRUE(emu.wait_mode("app", 2000));
        EXPECT_EQ(emu.version().first, c.version);
    }
}

TEST_F(Bootloader, MalformedOrMisorderedRequestsAreRefused)
{
    struct Case {
        const char *name;
        std::function<void(Bootloader &)> prepare;
        Bytes request;
        const Bytes &reply;
        const char *error_part;
    };
    auto erased = [](Bootloader &t) { EXPECT_EQ(hex(t.ask(req_erase)), hex(ok_erase)); };
    auto written = [](Bootloader &t) {
        EXPECT_EQ(hex(t.ask(req_erase)), hex(ok_erase));
        EXPECT_EQ(hex(t.ask(padded(req_download_123456789))), hex(ok_download));
    };
    Bytes bad_bcc = padded(req_download_123456789);
    bad_bcc[17] ^= 0x01;
    Bytes dirty_padding = padded(req_download_123456789);
    dirty_padding[249] = 0x01;
    Bytes at_240 = req_download_123456789;
    at_240[4] = 0xf0;
    at_240[17] ^= 0xf0;
    const Case cases[] = {
        {"block not padded to 250", erased, req_download_123456789, fail_download, "250"},
        {"block before erase", [](Bootloader &) {}, padded(req_download_123456789), fail_download,
         "not erased"},
        {"block at a gap", erased, padded(at_240), fail_download, "expected 0"},
        {"bad BCC", erased, bad_bcc, fail_download, "BCC"},
        {"padding not zero", erased, dirty_padding, fail_download, "zero-padded"},
        {"block of 241 bytes", erased, padded(boot_frame(0xd7, concat({le32(0), Bytes(241, 1)}))),
         fail_download, "250"},
        {"wrong CRC stored", written, padded(req_store_wrong_crc_9), fail_store_crc, "906e"},
        {"run without stored CRC", written, req_run, fail_run, "run application"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        emu.reset();
        h = open(0x1234, 0xabce);
        ASSERT_EQ(libusb_claim_interface(h, 0), 0);
        c.prepare(*this);
        emu.clear_errors();
        EXPECT_EQ(hex(ask(c.request)), hex(c.reply));
        auto errors = emu.errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find(c.error_part), std::string::npos) << errors[0];
        EXPECT_EQ(emu.mode(), "boot");
    }
}

TEST_F(Bootloader, InjectedFaults)
{
    // crc: the CRC read back is wrong.
    ASSERT_TRUE(emu.ok("boot-fault crc"));
    ask(req_erase);
    ask(padded(req_download_123456789));
    Bytes crc = ask(padded(req_read_crc_9));
    ASSERT_EQ(crc.size(), 8u);
    EXPECT_NE(hex(crc), hex(crc_906e));
    EXPECT_EQ(emu.value("flash"), "size=9 crc=906e stored=0");

    // split: every reply needs two reads.
    ASSERT_TRUE(emu.ok("boot-fault split"));
    ASSERT_EQ(bulk_out(h, 0x04, req_security), 0);
    auto a = bulk_in(h, 0x84, 64);
    auto b = bulk_in(h, 0x84, 64);
    ASSERT_EQ(a.rc, 0);
    ASSERT_EQ(b.rc, 0);
    EXPECT_LT(a.data.size(), ok_security.size());
    EXPECT_EQ(hex(concat({a.data, b.data})), hex(ok_security));

    // silence: no reply at all.
    ASSERT_TRUE(emu.ok("boot-fault silence"));
    ASSERT_EQ(bulk_out(h, 0x04, req_security), 0);
    EXPECT_EQ(bulk_in(h, 0x84, 64, 200).rc, LIBUSB_ERROR_TIMEOUT);

    ASSERT_TRUE(emu.ok("boot-fault none"));
    EXPECT_EQ(hex(ask(req_security)), hex(ok_security));
}

TEST_F(Bootloader, CableIsPulledAfterTheGivenNumberOfBlocks)
{
    Bytes image = image_with("acm32_btl_nuvex_pc_001777");
    ASSERT_TRUE(emu.ok("boot-fault unplug-after 2"));
    ask(req_erase);
    EXPECT_EQ(hex(ask(download_request(0, image, 240))), hex(ok_download));
    EXPECT_EQ(emu.mode(), "boot");
    EXPECT_EQ(hex(ask(download_request(240, image, 240))), hex(ok_download));
    EXPECT_EQ(emu.mode(), "absent");
    EXPECT_EQ(bulk_out(h, 0x04, download_request(480, image, 240)), LIBUSB_ERROR_NO_DEVICE);
    std::string flash = emu.value("flash");
    EXPECT_EQ(flash.rfind("size=480 crc=", 0), 0u) << flash;
    EXPECT_NE(flash.find(" stored=0"), std::string::npos) << flash;
    // Plugged again, it still waits in its bootloader.
    emu.plug();
    EXPECT_EQ(emu.mode(), "boot");
}

TEST_F(Bootloader, InterfaceMustBeClaimed)
{
    auto *other = open(0x1234, 0xabce);
    // Interface 0 belongs to the fixture's handle.
    EXPECT_EQ(libusb_claim_interface(other, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(bulk_out(other, 0x04, req_erase), LIBUSB_ERROR_IO);
    ASSERT_EQ(emu.errors().size(), 1u);
    EXPECT_EQ(bulk_out(h, 0x01, req_erase), LIBUSB_ERROR_IO);
}

TEST_F(Bootloader, EachRequestIsAcceptedInItsOneFormOnly)
{
    struct Case {
        const char *name;
        Bytes right;
        Bytes wrong;
        uint8_t type;
    };
    const Bytes read_flash = boot_frame(0xd0, concat({le32(0), Bytes{4}}));
    const Case cases[] = {
        {"erase", req_erase, padded(req_erase), 0xd3},
        {"security code", req_security, padded(req_security), 0xcc},
        {"run application", req_run, padded(req_run), 0xe3},
        {"read flash", read_flash, padded(read_flash), 0xd0},
        {"download", padded(req_download_123456789), req_download_123456789, 0xd7},
        {"read CRC", padded(req_read_crc_9), req_read_crc_9, 0xa6},
        {"store CRC", padded(req_store_crc_9), req_store_crc_9, 0xd9},
        {"read serial number", padded(req_read_sn), req_read_sn, 0xa0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        emu.reset();
        h = open(0x1234, 0xabce);
        ASSERT_EQ(libusb_claim_interface(h, 0), 0);
        emu.clear_errors();
        // The wrong form is refused with a failure status and recorded.
        EXPECT_EQ(hex(ask(c.wrong)), hex(boot_frame(c.type, {0x01})));
        auto errors = emu.errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find("must be"), std::string::npos) << errors[0];
        // The right form is understood (what it answers depends on the flash; not a form refusal).
        emu.clear_errors();
        EXPECT_EQ(bulk_out(h, 0x04, c.right), 0);
        EXPECT_EQ(bulk_in(h, 0x84, 64).rc, 0);
        for (const auto &e : emu.errors())
            EXPECT_EQ(e.find("must be"), std::string::npos) << e;
    }
}
