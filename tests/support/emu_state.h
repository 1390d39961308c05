// What the module keeps across power cycles (and what a restarted daemon must find again):
// stored templates, firmware version, whether it waits in its bootloader, and what its flash holds.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace tirvane::emu
{

inline constexpr unsigned library_slots = 256;  // template slots 0..255
inline constexpr unsigned max_version = 999999; // the version text carries six digits

struct FlashInfo {
    uint32_t size = 0;                     // bytes written from address 0
    uint16_t crc = 0;                      // CRC-16/X-25 of those bytes
    bool crc_stored = false;               // the host stored a matching CRC for them
    std::optional<unsigned> image_version; // version found inside the written image
};

struct ModuleState {
    unsigned version = 1500;
    bool in_bootloader = false;
    std::map<unsigned, std::string> templates; // slot -> finger name
    FlashInfo flash;
};

// Version text the application firmware reports: "acm32_btl_nuvex_pc_" and six digits.
std::string version_text(unsigned version);

// Reads a state file; nullopt (with a reason) when it is missing or malformed.
std::optional<ModuleState> load_state(const std::string &path, std::string &error);

// Writes the state to a temporary file beside the target and renames it over the target.
bool save_state(const std::string &path, const ModuleState &state);

} // namespace tirvane::emu
