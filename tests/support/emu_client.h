// Client side of the module emulator's control channel, for tests and scripts.
//
//   tirvane::emu::EmuClient emu(socket_path);
//   emu.plug();
//   emu.touch("thumb");            // waits until the module wants a touch, then touches
//   auto lines = emu.trace();
//
// Each command opens its own connection; connecting is retried for a while, since the process that
// serves the socket (the daemon under the stand-in) may still be starting.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tirvane::emu
{

// The control socket could not be reached (or the connection broke before a reply).
class EmuConnectionError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

struct FlashInfoReply {
    uint32_t size = 0;
    uint16_t crc = 0;
    bool stored = false;
};

struct StatsReply {
    uint64_t opens = 0;
    uint64_t closes = 0;
    uint64_t open = 0;
    uint64_t reads = 0;
    uint64_t writes = 0;
    uint64_t clears = 0; // libusb_clear_halt calls
};

class EmuClient
{
  public:
    explicit EmuClient(std::string socket_path,
                       std::chrono::milliseconds connect_patience = std::chrono::milliseconds(5000));

    // The whole reply without the final line end: "OK ...", "ERR ...", or for multi-line answers
    // the "OK <n>" line and the n lines joined with '\n'. Throws EmuConnectionError.
    std::string command(const std::string &line);
    // True when the reply starts with "OK".
    bool ok(const std::string &line);
    // The data lines of a multi-line answer; throws std::runtime_error on "ERR ...".
    std::vector<std::string> lines(const std::string &line);
    // The data of a one-line "OK data" answer; throws std::runtime_error on "ERR ...".
    std::string value(const std::string &line);

    // Convenience wrappers; they throw std::runtime_error when the emulator answers ERR, except
    // touch(), which reports the refusal through its result.
    void ping();
    void plug(const std::string &what = "");
    void unplug();
    std::string mode();
    bool wait_mode(const std::string &mode, int timeout_ms = 10000);
    bool touch(const std::string &finger, const std::string &outcome = "ok", int wait_ms = 10000);
    void powerup_touch(const std::string &finger);
    std::string pending();
    std::map<unsigned, std::string> templates();
    void store(unsigned slot, const std::string &finger);
    void erase(unsigned slot);
    void clear();
    std::pair<unsigned, std::string> version();
    void set_version(unsigned version);
    FlashInfoReply flash();
    std::vector<std::string> trace();
    void clear_trace();
    std::vector<std::string> errors();
    void clear_errors();
    StatsReply stats();
    void reset();

    // Faults (see the command table of the README); each throws on ERR.
    void stall_out(const std::string &what); // "data", "all" or "off"
    void halt(unsigned endpoint);            // 0x01, 0x81, 0x04 or 0x84
    void unhalt();                           // every halt ends ("halt off")
    void cut_next(unsigned bytes);
    void late_next(int ms);
    void ignore_restart(bool on);
    void hold(const std::string &finger);
    void lift();
    void corrupt_length_next(unsigned high = 0xef);
    void enroll_burst(bool on);
    void fail_stage(unsigned stage, unsigned code);
    void short_index_next(unsigned bytes);
    void version_idlist_next(unsigned first, unsigned second);
    void refuse_overwrite(bool on);

    const std::string &socket_path() const
    {
        return path_;
    }

  private:
    void expect_ok(const std::string &line);
    std::string path_;
    std::chrono::milliseconds patience_;
};

} // namespace tirvane::emu
