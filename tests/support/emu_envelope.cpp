#include "emu_envelope.h"

namespace tirvane::emu
{

namespace
{

constexpr uint8_t wrapper_signature[4] = {0x55, 0x53, 0x42, 0x43}; // "USBC"
constexpr uint8_t dir_out = 0x00;
constexpr uint8_t dir_in = 0x80;

bool looks_like_wrapper(std::span<const uint8_t> b)
{
    return b.size() == 8 && b[0] == wrapper_signature[0] && b[1] == wrapper_signature[1] &&
           b[2] == wrapper_signature[2] && b[3] == wrapper_signature[3];
}

} // namespace

bool Envelope::takes_data(std::span<const uint8_t> bytes) const
{
    return phase_ == Phase::out_data && !(looks_like_wrapper(bytes) && bytes.size() != announced_);
}

Envelope::OutResult Envelope::out(std::span<const uint8_t> bytes)
{
    OutResult r;
    if (takes_data(bytes)) {
        if (bytes.size() == announced_) {
            r.has_data = true;
            r.data.assign(bytes.begin(), bytes.end());
            phase_ = Phase::status;
            return r;
        }
        r.ok = false;
        r.error = "envelope: OUT data phase of " + std::to_string(bytes.size()) + " bytes, " +
                  std::to_string(announced_) + " announced";
        reset();
        return r;
    }

    // A wrapper is expected here. One that arrives while a data phase is pending replaces it (the
    // host abandons a data phase that timed out); one that arrives while the status of a completed
    // data phase is still unread is reported, then accepted.
    std::string note;
    if (phase_ == Phase::status && looks_like_wrapper(bytes))
        note = "envelope: new command wrapper while the status was not read";

    if (bytes.size() != 8) {
        r.ok = false;
        r.error =
            "envelope: command wrapper of " + std::to_string(bytes.size()) + " bytes: " + hex_bytes(bytes);
        reset();
        return r;
    }
    if (!looks_like_wrapper(bytes)) {
        r.ok = false;
        r.error = "envelope: bad command wrapper signature: " + hex_bytes(bytes);
        reset();
        return r;
    }
    uint8_t dir = bytes[4];
    uint32_t len = uint32_t{bytes[5]} | (uint32_t{bytes[6]} << 8) | (uint32_t{bytes[7]} << 16);
    if (dir != dir_out && dir != dir_in) {
        r.ok = false;
        r.error = "envelope: bad direction in command wrapper: " + hex_bytes(bytes);
        reset();
        return r;
    }
    if (len == 0) {
        r.ok = false;
        r.error = "envelope: zero length in command wrapper: " + hex_bytes(bytes);
        reset();
        return r;
    }
    announced_ = len;
    phase_ = dir == dir_out ? Phase::out_data : Phase::in_data;
    r.error = note;
    return r;
}

} // namespace tirvane::emu
