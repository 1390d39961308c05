// Shared pieces of the emulator's own tests: a fixture that gives every test a freshly reset
// emulator (configured through the environment, driven through the control socket), and the host
// side of the bulk envelope written out plainly with libusb calls.
#pragma once

#include "emu_client.h"

#include <chrono>
#include <cstdint>
#include <gtest/gtest.h>
#include <libusb.h>
#include <string>
#include <utility>
#include <vector>

namespace emutest
{

using Bytes = std::vector<uint8_t>;
using Env = std::vector<std::pair<std::string, std::string>>;

// Control socket of this test process (set in the environment before the library starts).
const std::string &socket_path();
// A scratch directory of this test process.
const std::string &scratch_dir();

std::string hex(const Bytes &b);
Bytes text_bytes(const std::string &s);
Bytes concat(std::initializer_list<Bytes> parts);

long long ms_since(std::chrono::steady_clock::time_point t0);

class EmuTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;
    // Variables set (besides the defaults of the fixture) before the emulator is reset.
    virtual Env environment() const
    {
        return {};
    }

    // Opens the module by ids (asserting success); closed at the end of the test.
    libusb_device_handle *open(uint16_t vid = 0x33a7, uint16_t pid = 0x2388);
    void forget(libusb_device_handle *h); // closes now
    // Registers record_hotplug for `log` (deregistered at the end of the test).
    int watch(struct HotplugLog &log, int events, int flags = 0, int vid = LIBUSB_HOTPLUG_MATCH_ANY,
              int pid = LIBUSB_HOTPLUG_MATCH_ANY, int dev_class = LIBUSB_HOTPLUG_MATCH_ANY);

    tirvane::emu::EmuClient emu{socket_path()};
    std::vector<libusb_device_handle *> handles_;
    std::vector<libusb_hotplug_callback_handle> callbacks_;
};

// ---- host side of the envelope -----------------------------------------------------------------------

struct ReadResult {
    int rc = 0; // libusb result of the step that failed, 0 when all three steps succeeded
    Bytes data;
};

// Wrapper (0x00, length) + data + status, each step as its own bulk transfer. Returns the first
// failing libusb code, or 0.
int wrapped_send(libusb_device_handle *h, const Bytes &data);
// Wrapper (0x80, capacity) + one read of at most `capacity` bytes + status.
ReadResult wrapped_read(libusb_device_handle *h, size_t capacity, unsigned timeout_ms = 1000);
// Reads (64 bytes at a time) until `count` bytes arrived or `patience_ms` passed.
Bytes read_bytes(libusb_device_handle *h, size_t count, unsigned patience_ms = 2000);
// Sends a command frame and returns the next `answer_len` bytes the module sends.
Bytes exchange(libusb_device_handle *h, const Bytes &frame, size_t answer_len);

// Raw bulk helpers for the bootloader link.
int bulk_out(libusb_device_handle *h, uint8_t ep, const Bytes &data);
ReadResult bulk_in(libusb_device_handle *h, uint8_t ep, size_t capacity, unsigned timeout_ms = 1000);

// Collects hot-plug callbacks.
struct HotplugRecord {
    int event;
    uint16_t vid;
    uint16_t pid;
};
struct HotplugLog {
    std::vector<HotplugRecord> events;
    int return_value = 0;
};
int LIBUSB_CALL record_hotplug(libusb_context *ctx, libusb_device *dev, libusb_hotplug_event event,
                               void *user);
// Runs the event loop (short time-outs) until `count` callbacks were recorded or `patience_ms` passed.
void pump_events(const HotplugLog &log, size_t count, unsigned patience_ms = 2000);

} // namespace emutest
