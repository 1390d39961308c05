#include "emu_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace emutest
{

const std::string &scratch_dir()
{
    static const std::string dir = [] {
        std::string d = std::filesystem::temp_directory_path().string() + "/tirvane-emu-test-" +
                        std::to_string(::getpid());
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

const std::string &socket_path()
{
    static const std::string path = [] {
        std::string p = scratch_dir() + "/control.sock";
        ::setenv("TIRVANE_EMU_SOCKET", p.c_str(), 1);
        return p;
    }();
    return path;
}

namespace
{
struct ScratchCleanup {
    std::string dir = scratch_dir();
    ~ScratchCleanup()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
} scratch_cleanup;
} // namespace

std::string hex(const Bytes &b)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", b[i]);
        out += buf;
    }
    return out;
}

Bytes text_bytes(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

long long ms_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
        .count();
}

void EmuTest::SetUp()
{
    static const char *const vars[] = {
        "TIRVANE_EMU_ID",    "TIRVANE_EMU_TOPOLOGY", "TIRVANE_EMU_PRESENT",   "TIRVANE_EMU_FW_VERSION",
        "TIRVANE_EMU_STATE", "TIRVANE_EMU_TRACE",    "TIRVANE_EMU_NO_HOTPLUG"};
    for (const char *v : vars)
        ::unsetenv(v);
    // Short delays keep the tests quick; tests about them set their own.
    ::setenv("TIRVANE_EMU_REENUM_MS", "50", 1);
    ::setenv("TIRVANE_EMU_MERGE_MS", "30", 1);
    for (const auto &[k, v] : environment())
        ::setenv(k.c_str(), v.c_str(), 1);
    ASSERT_EQ(libusb_init(nullptr), 0);
    emu.reset();
}

void EmuTest::TearDown()
{
    for (auto cb : callbacks_)
        libusb_hotplug_deregister_callback(nullptr, cb);
    callbacks_.clear();
    for (auto *h : handles_)
        libusb_close(h);
    handles_.clear();
    libusb_exit(nullptr);
}

libusb_device_handle *EmuTest::open(uint16_t vid, uint16_t pid)
{
    libusb_device_handle *h = libusb_open_device_with_vid_pid(nullptr, vid, pid);
    EXPECT_NE(h, nullptr) << "cannot open " << std::hex << vid << ":" << pid;
    if (h != nullptr)
        handles_.push_back(h);
    return h;
}

int EmuTest::watch(HotplugLog &log, int events, int flags, int vid, int pid, int dev_class)
{
    libusb_hotplug_callback_handle cb = 0;
    int rc = libusb_hotplug_register_callback(nullptr, events, flags, vid, pid, dev_class, record_hotplug,
                                              &log, &cb);
    if (rc == 0)
        callbacks_.push_back(cb);
    return rc;
}

void EmuTest::forget(libusb_device_handle *h)
{
    std::erase(handles_, h);
    libusb_close(h);
}

int wrapped_send(libusb_device_handle *h, const Bytes &data)
{
    auto n = static_cast<uint32_t>(data.size());
    Bytes wrapper{0x55,
                  0x53,
                  0x42,
                  0x43,
                  0x00,
                  static_cast<uint8_t>(n),
                  static_cast<uint8_t>(n >> 8),
                  static_cast<uint8_t>(n >> 16)};
    int done = 0;
    int rc = libusb_bulk_transfer(h, 0x01, wrapper.data(), 8, &done, 1000);
    if (rc != 0)
        return rc;
    Bytes copy = data;
    rc = libusb_bulk_transfer(h, 0x01, copy.data(), static_cast<int>(copy.size()), &done, 0);
    if (rc != 0)
        return rc;
    unsigned char status[4];
    rc = libusb_bulk_transfer(h, 0x81, status, 4, &done, 1000);
    if (rc != 0)
        return rc;
    return done == 4 && Bytes(status, status + 4) == Bytes{0x55, 0x53, 0x42, 0x53} ? 0 : LIBUSB_ERROR_OTHER;
}

ReadResult wrapped_read(libusb_device_handle *h, size_t capacity, unsigned timeout_ms)
{
    ReadResult r;
    auto n = static_cast<uint32_t>(capacity);
    Bytes wrapper{0x55,
                  0x53,
                  0x42,
                  0x43,
                  0x80,
                  static_cast<uint8_t>(n),
                  static_cast<uint8_t>(n >> 8),
                  static_cast<uint8_t>(n >> 16)};
    int done = 0;
    r.rc = libusb_bulk_transfer(h, 0x01, wrapper.data(), 8, &done, 1000);
    if (r.rc != 0)
        return r;
    r.data.resize(capacity);
    r.rc = libusb_bulk_transfer(h, 0x81, r.data.data(), static_cast<int>(capacity), &done, timeout_ms);
    r.data.resize(r.rc == 0 ? static_cast<size_t>(done) : 0);
    if (r.rc != 0)
        return r;
    unsigned char status[4];
    r.rc = libusb_bulk_transfer(h, 0x81, status, 4, &done, 1000);
    if (r.rc == 0 && (done != 4 || Bytes(status, status + 4) != Bytes{0x55, 0x53, 0x42, 0x53}))
        r.rc = LIBUSB_ERROR_OTHER;
    return r;
}

Bytes read_bytes(libusb_device_handle *h, size_t count, unsigned patience_ms)
{
    Bytes got;
    auto t0 = std::chrono::steady_clock::now();
    while (got.size() < count && ms_since(t0) < patience_ms) {
        auto r = wrapped_read(h, std::max<size_t>(64, count - got.size()), 200);
        if (r.rc != 0 && r.rc != LIBUSB_ERROR_TIMEOUT)
            break;
        got.insert(got.end(), r.data.begin(), r.data.end());
    }
    return got;
}

Bytes exchange(libusb_device_handle *h, const Bytes &frame, size_t answer_len)
{
    int rc = wrapped_send(h, frame);
    EXPECT_EQ(rc, 0) << libusb_error_name(rc);
    return read_bytes(h, answer_len);
}

int bulk_out(libusb_device_handle *h, uint8_t ep, const Bytes &data)
{
    Bytes copy = data;
    int done = 0;
    return libusb_bulk_transfer(h, ep, copy.data(), static_cast<int>(copy.size()), &done, 0);
}

ReadResult bulk_in(libusb_device_handle *h, uint8_t ep, size_t capacity, unsigned timeout_ms)
{
    ReadResult r;
    r.data.resize(capacity);
    int done = 0;
    r.rc = libusb_bulk_transfer(h, ep, r.data.data(), static_cast<int>(capacity), &done, timeout_ms);
    r.data.resize(r.rc == 0 ? static_cast<size_t>(done) : 0);
    return r;
}

int LIBUSB_CALL record_hotplug(libusb_context *, libusb_device *dev, libusb_hotplug_event event, void *user)
{
    auto *log = static_cast<HotplugLog *>(user);
    libusb_device_descriptor d{};
    libusb_get_device_descriptor(dev, &d);
    log->events.push_back({static_cast<int>(event), d.idVendor, d.idProduct});
    return log->return_value;
}

void pump_events(const HotplugLog &log, size_t count, unsigned patience_ms)
{
    auto t0 = std::chrono::steady_clock::now();
    while (log.events.size() < count && ms_since(t0) < patience_ms) {
        timeval tv{0, 50000};
        libusb_handle_events_timeout(nullptr, &tv);
    }
}

} // namespace emutest
