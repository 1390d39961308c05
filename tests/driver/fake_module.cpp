#include "fake_module.h"

#include "common.h"
#include "usb_device.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fake
{

namespace
{
Module g_module;
int g_handle_token;

void fake_sleep(unsigned int ms)
{
    g_module.sleeps.push_back(ms);
    g_module.clock_us += static_cast<int64_t>(ms) * 1000;
}

void fake_clock(struct timeval *now)
{
    // Starts at an arbitrary wall-clock-like second with a non-zero microsecond part.
    const int64_t t = 1700000000LL * 1000000 + 250000 + g_module.clock_us;
    now->tv_sec = static_cast<time_t>(t / 1000000);
    now->tv_usec = static_cast<suseconds_t>(t % 1000000);
}
} // namespace

Module &module()
{
    return g_module;
}

void reset()
{
    g_module = Module{};
}

void reply(const Bytes &bytes)
{
    g_module.script.push_back({ReadStep::Data, bytes});
}

void silence(int count)
{
    for (int i = 0; i < count; ++i) {
        g_module.script.push_back({ReadStep::Silence, {}});
    }
}

void empty_read()
{
    g_module.script.push_back({ReadStep::Empty, {}});
}

int reads()
{
    return static_cast<int>(g_module.read_requests.size());
}

int64_t elapsed_ms()
{
    return g_module.clock_us / 1000;
}

void install_time_hooks()
{
    fp_set_time_hooks(fake_sleep, fake_clock);
}

} // namespace fake

// ---- The transport as the driver sees it -----------------------------------------

int usb_send_data(const uint8_t *buf, int32_t len, int32_t *write_len)
{
    fake::Module &m = fake::module();
    m.sent.emplace_back(buf, buf + len);
    if (write_len != nullptr) {
        *write_len = m.send_result == 0 ? len : 0;
    }
    return m.send_result;
}

int usb_read_data(uint8_t *buf, int32_t len, int32_t *read_len)
{
    return usb_read_data_within(buf, len, read_len, 1000);
}

int usb_read_data_within(uint8_t *buf, int32_t len, int32_t *read_len, uint32_t timeout_ms)
{
    fake::Module &m = fake::module();
    const int index = static_cast<int>(m.read_requests.size());
    m.read_requests.push_back(len);
    m.read_timeouts.push_back(timeout_ms);
    if (m.on_read) {
        m.on_read(index);
    }
    if (read_len != nullptr) {
        *read_len = 0;
    }
    if (m.script.empty() || m.script.front().kind == fake::ReadStep::Silence) {
        if (!m.script.empty()) {
            m.script.pop_front();
        }
        m.clock_us += static_cast<int64_t>(timeout_ms) * 1000; // the read's time-out
        return -1;
    }
    fake::ReadStep &step = m.script.front();
    if (step.kind == fake::ReadStep::Empty) {
        m.script.pop_front();
        return 0;
    }
    // At most `len` bytes; the rest stays pending for the next read.
    const size_t n = std::min(step.bytes.size(), static_cast<size_t>(len));
    std::copy_n(step.bytes.begin(), n, buf);
    step.bytes.erase(step.bytes.begin(), step.bytes.begin() + static_cast<long>(n));
    if (step.bytes.empty()) {
        m.script.pop_front();
    }
    if (read_len != nullptr) {
        *read_len = static_cast<int32_t>(n);
    }
    m.clock_us += 1000;
    return 0;
}

libusb_device_handle *usb_get_dev_handle(void)
{
    return fake::module().open ? reinterpret_cast<libusb_device_handle *>(&fake::g_handle_token) : nullptr;
}

int usb_dev_module_init(void)
{
    return 0;
}

// ---- Byte helpers ----------------------------------------------------------------

Bytes H(const std::string &hex)
{
    Bytes out;
    std::istringstream in(hex);
    std::string tok;
    while (in >> tok) {
        out.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
    }
    return out;
}

Bytes packet(uint8_t type, const Bytes &payload)
{
    const size_t size = payload.size() + 2;
    Bytes out = {0xEF,
                 0x01,
                 0xFF,
                 0xFF,
                 0xFF,
                 0xFF,
                 type,
                 static_cast<uint8_t>(size >> 8),
                 static_cast<uint8_t>(size & 0xFF)};
    unsigned sum = type + static_cast<unsigned>(size >> 8) + static_cast<unsigned>(size & 0xFF);
    for (uint8_t b : payload) {
        sum += b;
    }
    out.insert(out.end(), payload.begin(), payload.end());
    out.push_back(static_cast<uint8_t>((sum >> 8) & 0xFF));
    out.push_back(static_cast<uint8_t>(sum & 0xFF));
    return out;
}

Bytes resp(const Bytes &payload)
{
    return packet(0x07, payload);
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// ---- Log capture -------------------------------------------------------------------

namespace
{

std::string log_path()
{
    return tvp_conf_file(TVP_LOG_FILE_NAME);
}

long log_size()
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(log_path(), ec);
    return ec ? 0 : static_cast<long>(size);
}

// Every test process logs every grade into a private directory.
class LogEnvironment : public ::testing::Environment
{
  public:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tvp-driver-test-XXXXXX";
        const char *dir = mkdtemp(tmpl);
        ASSERT_NE(dir, nullptr);
        dir_ = dir;
        setenv("TIRVANE_CONF_DIR", dir_.c_str(), 1);
        set_printf_log_grade(DBG_LOG_GRADE);
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

  private:
    std::string dir_;
};

[[maybe_unused]] ::testing::Environment *const g_log_env =
    ::testing::AddGlobalTestEnvironment(new LogEnvironment);

} // namespace

LogCapture::LogCapture() : start_(log_size()) {}

std::string LogCapture::text() const
{
    std::ifstream in(log_path(), std::ios::binary);
    in.seekg(start_);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool LogCapture::has(const std::string &piece) const
{
    return text().find(piece) != std::string::npos;
}

// ---- Fixture -----------------------------------------------------------------------

void DriverTest::SetUp()
{
    fake::reset();
    fp_module_init();
    usb_recv_cnt = 0;
    fake::install_time_hooks();
}

void DriverTest::TearDown()
{
    fp_set_time_hooks(nullptr, nullptr);
}
