#include "emu_boot.h"

#include <algorithm>
#include <cstring>

namespace tirvane::emu
{

namespace
{

constexpr uint8_t frame_head = 0xaa;
constexpr uint8_t frame_end = 0x55;

enum : uint8_t {
    op_read_sn = 0xa0,
    op_read_crc = 0xa6,
    op_security = 0xcc,
    op_read_flash = 0xd0,
    op_erase = 0xd3,
    op_download = 0xd7,
    op_store_crc = 0xd9,
    op_run = 0xe3,
};

std::string hex2(unsigned v)
{
    static constexpr char d[] = "0123456789abcdef";
    return {d[(v >> 4) & 15], d[v & 15]};
}

} // namespace

void Crc16X25::update(std::span<const uint8_t> bytes)
{
    for (uint8_t b : bytes) {
        reg_ ^= b;
        for (int i = 0; i < 8; ++i)
            reg_ = static_cast<uint16_t>((reg_ & 1) ? (reg_ >> 1) ^ 0x8408 : reg_ >> 1);
    }
}

uint16_t Crc16X25::of(std::span<const uint8_t> bytes)
{
    Crc16X25 c;
    c.update(bytes);
    return c.value();
}

std::optional<unsigned> image_version(std::span<const uint8_t> image)
{
    static constexpr std::string_view marker = "acm32_btl_nuvex_pc_";
    auto it = std::search(image.begin(), image.end(), marker.begin(), marker.end());
    if (it == image.end())
        return std::nullopt;
    it += static_cast<std::ptrdiff_t>(marker.size());
    unsigned value = 0;
    int digits = 0;
    while (it != image.end() && *it >= '0' && *it <= '9') {
        if (++digits > 6)
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(*it - '0');
        ++it;
    }
    if (digits == 0)
        return std::nullopt;
    return value;
}

std::optional<BootFault> parse_boot_fault(std::string_view t)
{
    if (t == "none")
        return BootFault::none;
    if (t == "crc")
        return BootFault::crc;
    if (t == "silence")
        return BootFault::silence;
    if (t == "split")
        return BootFault::split;
    return std::nullopt;
}

void Bootloader::reply(uint8_t type, Bytes data)
{
    if (fault_ == BootFault::silence)
        return;
    Bytes f{frame_head, type, static_cast<uint8_t>(data.size()), static_cast<uint8_t>(data.size() >> 8)};
    f.insert(f.end(), data.begin(), data.end());
    uint8_t bcc = frame_end;
    for (uint8_t b : f)
        bcc ^= b;
    f.push_back(bcc);
    f.push_back(frame_end);
    port_.send(std::move(f), fault_ == BootFault::split);
}

void Bootloader::refuse(uint8_t type, const std::string &why)
{
    port_.protocol_error("bootloader: " + why);
    status(type, false);
}

void Bootloader::receive(std::span<const uint8_t> d)
{
    uint8_t type = d.size() > 1 ? d[1] : 0;
    if (d.size() < 6)
        return refuse(type, "request of " + std::to_string(d.size()) + " bytes: " + hex_bytes(d));
    if (d[0] != frame_head)
        return refuse(type,
                      "request without head byte: " + hex_bytes(d.first(std::min<size_t>(d.size(), 16))));
    size_t n = get_le16(&d[2]);
    size_t frame_len = n + 6;
    bool padded = d.size() == padded_request;
    if (d.size() != frame_len) {
        bool zero_tail =
            frame_len < d.size() && std::all_of(d.begin() + static_cast<std::ptrdiff_t>(frame_len), d.end(),
                                                [](uint8_t b) { return b == 0; });
        if (!padded || !zero_tail)
            return refuse(type, "request of " + std::to_string(d.size()) + " bytes for a frame of " +
                                    std::to_string(frame_len) + " (neither exact nor zero-padded to 250)");
    }
    // Each request has one form on the wire: its exact frame, or its frame zero-padded to 250 bytes.
    bool want_padded =
        type == op_download || type == op_read_crc || type == op_store_crc || type == op_read_sn;
    bool known =
        want_padded || type == op_erase || type == op_security || type == op_run || type == op_read_flash;
    if (known && padded != want_padded && frame_len != padded_request)
        return refuse(
            type, std::string("request ") + hex2(type) + " of " + std::to_string(d.size()) +
                      " bytes: " + (want_padded ? "must be zero-padded to 250" : "must be its exact frame"));
    std::span<const uint8_t> frame = d.first(frame_len);
    uint8_t x = 0;
    for (uint8_t b : frame)
        x ^= b;
    if (frame[frame_len - 1] != frame_end || x != 0)
        return refuse(type, "request with bad BCC or end byte: " +
                                hex_bytes(frame.first(std::min<size_t>(frame_len, 16))));
    std::span<const uint8_t> data = frame.subspan(4, n);

    ModuleState &st = port_.state();
    switch (type) {
    case op_erase:
        if (n != 0)
            return refuse(type, "erase with data");
        flash_.clear();
        crc_ = Crc16X25();
        content_known_ = true;
        erased_ = true;
        st.flash = FlashInfo{};
        port_.state_changed();
        return status(type, true);
    case op_download:
        return download(data, padded);
    case op_read_crc: {
        if (n != 8)
            return refuse(type, "read CRC with " + std::to_string(n) + " data bytes");
        auto crc = crc_of(get_le32(&data[0]), get_le32(&data[4]));
        if (!crc)
            return refuse(type, "read CRC of a range that was not written");
        uint16_t v = *crc;
        if (fault_ == BootFault::crc)
            v ^= 0xffff;
        return reply(type, {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
    }
    case op_store_crc: {
        if (n != 10)
            return refuse(type, "store CRC with " + std::to_string(n) + " data bytes");
        uint32_t len = get_le32(&data[0]);
        uint16_t crc = get_le16(&data[4]);
        uint32_t addr = get_le32(&data[6]);
        if (addr != 0 || len != st.flash.size || len == 0)
            return refuse(type, "store CRC for " + std::to_string(len) + " bytes at " + std::to_string(addr) +
                                    ", flash holds " + std::to_string(st.flash.size));
        if (crc != st.flash.crc)
            return refuse(type, "store CRC " + hex2(crc >> 8) + hex2(crc) + " but the flash has " +
                                    hex2(st.flash.crc >> 8) + hex2(st.flash.crc));
        st.flash.crc_stored = true;
        if (content_known_)
            st.flash.image_version = image_version(flash_);
        port_.state_changed();
        return status(type, true);
    }
    case op_security:
        return status(type, n == 0);
    case op_run:
        if (st.flash.size == 0 || !st.flash.crc_stored) {
            port_.protocol_error("bootloader: run application without a complete image and stored CRC");
            return status(type, false);
        }
        if (st.flash.image_version)
            st.version = *st.flash.image_version;
        port_.state_changed();
        status(type, true);
        port_.restart_into(false);
        return;
    case op_read_sn: {
        std::string sn = module_serial;
        return reply(type, Bytes(sn.begin(), sn.end()));
    }
    case op_read_flash: {
        if (n != 5)
            return refuse(type, "read flash with " + std::to_string(n) + " data bytes");
        uint32_t addr = get_le32(&data[0]);
        unsigned len = data[4];
        Bytes out(len, 0xff);
        for (unsigned i = 0; i < len; ++i)
            if (content_known_ && addr + i < flash_.size())
                out[i] = flash_[addr + i];
        return reply(type, std::move(out));
    }
    default:
        return refuse(type, "unknown request type " + hex2(type));
    }
}

void Bootloader::download(std::span<const uint8_t> data, bool padded)
{
    ModuleState &st = port_.state();
    if (unplug_after_ && *unplug_after_ == 0) {
        unplug_after_.reset();
        port_.pull_cable(false);
        return;
    }
    if (!padded)
        return refuse(op_download, "download block not sent as a 250-byte transfer");
    if (data.size() < 5 || data.size() - 4 > max_block)
        return refuse(op_download, "download block of " +
                                       std::to_string(data.size() < 4 ? 0 : data.size() - 4) +
                                       " bytes (1 to 240 allowed)");
    if (!erased_)
        return refuse(op_download, "download into flash that was not erased");
    uint32_t addr = get_le32(&data[0]);
    std::span<const uint8_t> block = data.subspan(4);
    if (addr != flash_.size())
        return refuse(op_download, "download block at " + std::to_string(addr) + ", expected " +
                                       std::to_string(flash_.size()));
    if (flash_.size() + block.size() > flash_capacity)
        return refuse(op_download, "download beyond the end of the flash");
    flash_.insert(flash_.end(), block.begin(), block.end());
    crc_.update(block);
    st.flash.size = static_cast<uint32_t>(flash_.size());
    st.flash.crc = crc_.value();
    st.flash.crc_stored = false;
    st.flash.image_version.reset();
    port_.state_changed();
    status(op_download, true);
    if (unplug_after_ && --*unplug_after_ == 0) {
        unplug_after_.reset();
        port_.pull_cable(true);
    }
}

std::optional<uint16_t> Bootloader::crc_of(uint32_t addr, uint32_t len) const
{
    const FlashInfo &fi = port_.state().flash;
    if (addr == 0 && len == fi.size)
        return fi.crc;
    if (!content_known_)
        return std::nullopt;
    if (uint64_t{addr} + len > flash_capacity)
        return std::nullopt;
    // Bytes past the written part read as erased flash.
    Crc16X25 c;
    for (uint64_t i = addr; i < uint64_t{addr} + len; ++i) {
        uint8_t b = i < flash_.size() ? flash_[i] : 0xff;
        c.update({&b, 1});
    }
    return c.value();
}

} // namespace tirvane::emu
