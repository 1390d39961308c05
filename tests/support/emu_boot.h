// The module's bootloader: frames AA type N(LE16) data BCC 55 on endpoints 0x04/0x84, a flash of up
// to 2 MiB written in contiguous blocks from address 0, CRC-16/X-25 checks, and the jump back into
// the application firmware that the flash now holds.
#pragma once

#include "emu_module.h"
#include "emu_util.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tirvane::emu
{

inline constexpr uint8_t boot_out_endpoint = 0x04;
inline constexpr uint8_t boot_in_endpoint = 0x84;
inline constexpr uint32_t flash_capacity = 2u << 20;
inline constexpr size_t padded_request = 250;
inline constexpr size_t max_block = 240;

// CRC-16/X-25 (reflected 0x1021, init 0xffff, final xor 0xffff), kept as a running register so a
// growing image need not be summed again.
class Crc16X25
{
  public:
    void update(std::span<const uint8_t> bytes);
    uint16_t value() const
    {
        return static_cast<uint16_t>(reg_ ^ 0xffff);
    }
    static uint16_t of(std::span<const uint8_t> bytes);

  private:
    uint16_t reg_ = 0xffff;
};

// Version carried by an image: the number after the text "acm32_btl_nuvex_pc_" (decimal digits,
// at most six); nullopt when the text is absent or the number too long.
std::optional<unsigned> image_version(std::span<const uint8_t> image);

enum class BootFault { none, crc, silence, split };
std::optional<BootFault> parse_boot_fault(std::string_view text);

class Bootloader
{
  public:
    explicit Bootloader(ModulePort &port) : port_(port) {}

    // One OUT transfer on 0x04.
    void receive(std::span<const uint8_t> data);

    void set_fault(BootFault f)
    {
        fault_ = f;
    }
    // The cable is pulled once n more download blocks were acknowledged (n = 0: at the next one,
    // before it is written).
    void unplug_after(unsigned n)
    {
        unplug_after_ = n;
    }
    void clear_faults()
    {
        fault_ = BootFault::none;
        unplug_after_.reset();
    }
    // The flash content is only known for what was written since this process started; after a
    // reload only its size and CRC are known.
    void forget_content()
    {
        flash_.clear();
        content_known_ = false;
        erased_ = false;
    }
    // Back to factory state: empty flash, no fault.
    void reset()
    {
        flash_.clear();
        crc_ = Crc16X25();
        content_known_ = true;
        erased_ = false;
        clear_faults();
    }
    // Bootloader starts running (erase state of the last session is forgotten).
    void power_on()
    {
        erased_ = false;
    }

  private:
    void reply(uint8_t type, Bytes data);
    void status(uint8_t type, bool ok)
    {
        reply(type, {static_cast<uint8_t>(ok ? 0x00 : 0x01)});
    }
    void refuse(uint8_t type, const std::string &why);
    void download(std::span<const uint8_t> data, bool padded);
    std::optional<uint16_t> crc_of(uint32_t addr, uint32_t len) const;

    ModulePort &port_;
    Bytes flash_;
    Crc16X25 crc_;
    bool content_known_ = true;
    bool erased_ = false;
    BootFault fault_ = BootFault::none;
    std::optional<unsigned> unplug_after_;
};

} // namespace tirvane::emu
