// Byte-level record of every transfer on the emulated bus, the protocol errors the module noticed,
// and the usage counters. Not locked: the emulator calls it with its own lock held.
#pragma once

#include "emu_util.h"

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

namespace tirvane::emu
{

// Short name of a libusb error code for trace suffixes ("TIMEOUT", "NO_DEVICE", ...).
const char *short_error_name(int code);

class UniqueFd
{
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd();
    int get() const
    {
        return fd_;
    }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    explicit operator bool() const
    {
        return fd_ >= 0;
    }

  private:
    int fd_ = -1;
};

// Writes the whole buffer, retrying on EINTR and short writes; false on failure.
bool write_all(int fd, std::string_view data);

struct Counters {
    uint64_t opens = 0;
    uint64_t closes = 0;
    uint64_t reads = 0;
    uint64_t writes = 0;
    uint64_t clears = 0; // libusb_clear_halt calls
};

class Trace
{
  public:
    // Lines also go to this file (appended) when the path is not empty.
    void set_file(const std::string &path);

    // "OUT 01 55 53 ..." / "IN 81 ..." with " !ERROR" appended when result is a libusb error.
    void transfer(bool in, uint8_t endpoint, std::span<const uint8_t> bytes, int result);
    // Free-form line, e.g. "CALL libusb_set_configuration !NOT_SUPPORTED".
    void note(std::string line);

    std::vector<std::string> lines() const;
    void clear();

    void protocol_error(std::string what);
    std::vector<std::string> errors() const;
    void clear_errors();

    Counters counters;

  private:
    void append(std::string line);

    // Bounded in memory: the oldest lines go first once either limit is passed.
    static constexpr size_t max_lines = 20000;
    static constexpr size_t max_bytes = 32u << 20;
    static constexpr size_t max_errors = 1000;

    std::deque<std::string> lines_;
    size_t bytes_ = 0;
    std::deque<std::string> errors_;
    UniqueFd file_;
};

} // namespace tirvane::emu
