// Small helpers shared by the module emulator: byte formatting, number parsing, environment access.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tirvane::emu
{

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// "ef 01 ff" style: lower-case hex, single spaces, no trailing space.
std::string hex_bytes(std::span<const uint8_t> bytes);

// Parses "ef 01 ff", "ef01ff" or "EF:01:FF"; nullopt on odd digits or foreign characters.
std::optional<Bytes> parse_hex_bytes(std::string_view text);

// Strict unsigned number in the given base (no sign, no spaces, whole text).
std::optional<uint64_t> parse_uint(std::string_view text, int base = 10);

// Splits on runs of blanks (space, tab).
std::vector<std::string> split_words(std::string_view line);

// Environment variable, or the fallback when unset.
std::string env_or(const char *name, std::string_view fallback);

// Big- and little-endian field helpers.
inline void put_be16(Bytes &out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}
inline uint16_t get_be16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t get_be32(const uint8_t *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint16_t get_le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get_le32(const uint8_t *p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

} // namespace tirvane::emu
