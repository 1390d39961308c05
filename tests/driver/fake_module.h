// Test stand-in for the USB transport under the sensor driver: records every
// frame sent, serves scripted reads, counts reads and pauses, and runs the
// driver on a simulated clock (a silent read costs its time-out, 1,000
// simulated ms for usb_read_data, and no real time).
#pragma once

#include "app_fp256_360.h"
#include "common.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace fake
{

struct ReadStep {
    enum Kind { Data, Silence, Empty };
    Kind kind = Silence;
    Bytes bytes;
};

struct Module {
    std::vector<Bytes> sent;
    std::deque<ReadStep> script;         // served in order; silence once it is empty
    std::vector<int> read_requests;      // length asked by every read, in order
    std::vector<uint32_t> read_timeouts; // data-phase time-out of every read, in ms
    std::vector<unsigned> sleeps;        // every pause of the driver, in ms
    int send_result = 0;
    bool open = true;
    int64_t clock_us = 0;
    // Called at the start of each read with its 0-based index.
    std::function<void(int)> on_read;
};

Module &module();
// Clears the script and every record; the module is open, the clock at 0.
void reset();

void reply(const Bytes &bytes);
void silence(int count = 1);
void empty_read();
int reads();
// Simulated milliseconds since reset().
int64_t elapsed_ms();

// Installs the simulated clock and pause counter into the driver.
void install_time_hooks();

} // namespace fake

// "EF 01 ..." -> bytes.
Bytes H(const std::string &hex);
// A packet from the module: head, address FF FF FF FF, type, length, payload, checksum.
Bytes packet(uint8_t type, const Bytes &payload);
// An answer packet (type 07) with the given payload (confirm code first).
Bytes resp(const Bytes &payload);
Bytes concat(std::initializer_list<Bytes> parts);

// Log lines written since the capture was made (the log file of this test process).
class LogCapture
{
  public:
    LogCapture();
    std::string text() const;
    bool has(const std::string &piece) const;

  private:
    long start_;
};

// Fixture: driver records zeroed, fake transport reset, simulated time, log capture.
class DriverTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;
    LogCapture log_;
};
