// What the module's firmwares (application and bootloader) need from the machine around them:
// the output pipe towards the host, the persistent state, a clock for delayed work, and the power
// and USB connection (restart into the other firmware, cable pulled).
//
// Every call happens with the emulator lock held, and scheduled actions run with it held too.
#pragma once

#include "emu_state.h"
#include "emu_util.h"

#include <chrono>
#include <functional>
#include <string>

namespace tirvane::emu
{

// Serial number both firmwares report (16 bytes).
inline constexpr const char *module_serial = "NUVEX-EMU-000001";

class ModulePort
{
  public:
    virtual ~ModulePort() = default;

    // Queues bytes for the host; split makes them arrive in two reads.
    virtual void send(Bytes bytes, bool split) = 0;
    // Queues bytes that the next read does not go past: what follows them needs a read of its own.
    virtual void send_alone(Bytes bytes) = 0;
    // Queues bytes that become readable only after the delay; everything queued after them waits
    // behind them.
    virtual void send_late(Bytes bytes, std::chrono::milliseconds delay) = 0;
    // Records a protocol error (queryable over the control channel).
    virtual void protocol_error(std::string what) = 0;
    // Runs the action after the delay, unless the module left the bus in between.
    virtual void after(std::chrono::milliseconds delay, std::function<void()> action) = 0;
    // After the re-enumeration delay the module leaves the bus, and after another delay it comes
    // back running the bootloader (true) or the application (false).
    virtual void restart_into(bool bootloader) = 0;
    // The cable is pulled: at once, or once the host has read all pending output.
    virtual void pull_cable(bool after_output) = 0;

    virtual ModuleState &state() = 0;
    // Persists the state (called after every change).
    virtual void state_changed() = 0;
    // Something the control channel may be waiting for changed (e.g. an operation now waits for a touch).
    virtual void wake() = 0;
};

} // namespace tirvane::emu
