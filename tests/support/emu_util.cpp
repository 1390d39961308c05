#include "emu_util.h"

#include <cstdlib>

namespace tirvane::emu
{

std::string hex_bytes(std::span<const uint8_t> bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0)
            out.push_back(' ');
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0f]);
    }
    return out;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<Bytes> parse_hex_bytes(std::string_view text)
{
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ':') {
            if (high >= 0)
                return std::nullopt;
            continue;
        }
        int v = hex_value(c);
        if (v < 0)
            return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>((high << 4) | v));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return out;
}

std::optional<uint64_t> parse_uint(std::string_view text, int base)
{
    if (text.empty() || text.size() > 20)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        int v = hex_value(c);
        if (v < 0 || v >= base)
            return std::nullopt;
        uint64_t next = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(v);
        if (next / static_cast<uint64_t>(base) != value)
            return std::nullopt;
        value = next;
    }
    return value;
}

std::vector<std::string> split_words(std::string_view line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            words.emplace_back(line.substr(start, i - start));
    }
    return words;
}

std::string env_or(const char *name, std::string_view fallback)
{
    const char *v = std::getenv(name);
    if (v == nullptr)
        return std::string(fallback);
    return v;
}

} // namespace tirvane::emu
