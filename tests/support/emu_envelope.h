// The module's side of the bulk envelope in application mode: every exchange starts with an 8-byte
// command wrapper on the OUT endpoint ("USBC", direction 0x00 or 0x80, 24-bit little-endian length),
// then one data phase in the announced direction, then a 4-byte status ("USBS") on the IN endpoint.
//
// Pure state machine; the caller supplies the data and does the waiting.
#pragma once

#include "emu_util.h"

#include <cstdint>
#include <span>
#include <string>

namespace tirvane::emu
{

inline constexpr uint8_t app_out_endpoint = 0x01;
inline constexpr uint8_t app_in_endpoint = 0x81;
inline constexpr uint8_t status_signature[4] = {0x55, 0x53, 0x42, 0x53}; // "USBS"

class Envelope
{
  public:
    enum class Phase {
        idle,     // waiting for a command wrapper
        out_data, // waiting for `announced()` bytes from the host
        in_data,  // the next IN read is the data phase (at most `announced()` bytes)
        status,   // the next IN read is the status
    };

    struct OutResult {
        bool ok = true;        // false: protocol error, answered with a stall
        std::string error;     // what was wrong (when !ok), or a note on a discarded phase
        bool has_data = false; // an OUT data phase completed: `data` goes to the firmware
        Bytes data;
    };

    // One OUT transfer on the command endpoint.
    OutResult out(std::span<const uint8_t> bytes);

    // This OUT transfer would be taken as the pending OUT data phase.
    bool takes_data(std::span<const uint8_t> bytes) const;

    Phase phase() const
    {
        return phase_;
    }
    uint32_t announced() const
    {
        return announced_;
    }
    // The IN data phase was served; the status is next.
    void data_sent()
    {
        phase_ = Phase::status;
    }
    // The status was read; a new wrapper is expected.
    void status_sent()
    {
        phase_ = Phase::idle;
    }
    void reset()
    {
        phase_ = Phase::idle;
        announced_ = 0;
    }

  private:
    Phase phase_ = Phase::idle;
    uint32_t announced_ = 0;
};

} // namespace tirvane::emu
