// A scripted stand-in for the few libusb calls of the bootloader link, linked
// into the test program in place of libusb. It records every call and transfer
// and answers each OUT transfer through a test-supplied bootloader.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace fake_usb
{

using Bytes = std::vector<uint8_t>;

struct Device {
    uint16_t vid;
    uint16_t pid;
    bool descriptor_fails = false;
};

// One interface of the device's only configuration (one setting each).
struct Interface {
    uint8_t number;
    uint8_t interface_class;
};

struct Transfer {
    uint8_t endpoint;
    int length;           // length asked for
    unsigned int timeout; // ms, 0 = none
    Bytes bytes;          // OUT: what was written; IN: what was delivered
};

// What one IN transfer delivers: the bytes, or a negative libusb error (with the
// bytes that arrived before it, as a transfer that timed out part way).
struct Reply {
    int rc = 0;
    Bytes bytes;
};

// Answers one written request with the replies it queues (none, one or more).
using Bootloader = std::function<std::vector<Reply>(const Bytes &request)>;

struct State {
    // Scripted behaviour.
    std::vector<Device> devices;
    int list_result = 0; // a negative value is returned by libusb_get_device_list
    bool open_fails = false;
    std::deque<int> claim_results; // consumed one per claim; 0 once empty
    int detach_result = 0;
    int write_result = 0;
    std::deque<int> write_script; // results of the next writes, one each, before write_result
    // Endpoints that fail every transfer with LIBUSB_ERROR_PIPE until libusb_clear_halt.
    std::set<uint8_t> halted;
    std::vector<Interface> interfaces;
    bool config_fails = false;
    Bootloader bootloader;
    std::deque<Reply> pending;

    // Observations.
    std::vector<std::string>
        calls; // "claim(0)", "detach(0)", "open(1234:abce)", "clear_halt(84)", "close" ...
    std::vector<Transfer> writes;
    std::vector<Transfer> reads;
    // Transfers and clears in order: "OUT 04", "IN 84", "clear_halt(84)".
    std::vector<std::string> sequence;
    int lists_taken = 0;
    int lists_freed = 0;
    int lists_freed_without_unref = 0;
    int handles_opened = 0;
    int handles_closed = 0;
    int configs_taken = 0;
    int configs_freed = 0;
};

State &state();
// Forgets all script and observations.
void reset();

// Request type bytes (offset 1) of every write, in order.
std::vector<uint8_t> written_types();

} // namespace fake_usb
