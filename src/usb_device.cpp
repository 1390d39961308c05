// USB transport of the module's application firmware.
//
// Every data transfer is framed by an 8-byte "USBC" command wrapper announcing
// direction and length, and followed by a 4-byte "USBS" status read back from
// the module.
//
// Every transfer has a time-out, so no call waits on the module without a bound:
//   wrapper 1,000 ms; OUT data phase 1,000 ms + 10 ms per 1,000 bytes; IN data
//   phase 1,000 ms; status 1,000 ms; recovery (below) at most 8 drain reads of
//   50 ms and three clear-halt requests.
// Worst case of one call, recovery included (each clear-halt request is a control
// transfer that the kernel ends after 5,000 ms at most; in practice it takes
// about a millisecond):
//   usb_read_data: 400 + 3,000 ms = 3,400 ms (+ the clears); usb_read_data_within
//   the same with its data phase's time-out in place of 1,000 ms;
//   usb_send_data: 400 + 3,000 + len / 100 ms; the driver's largest frame
//   (93,171 bytes) gives 4,331 ms, a 12-byte command 3,400 ms (+ the clears).
//
// Recovery. The module's side of the envelope keeps its own state, whatever the
// host's handles do, so a failed transfer can leave it out of step:
// - an endpoint that answered LIBUSB_ERROR_PIPE is halted until the host clears it;
// - a transaction whose wrapper was taken but that did not end with a status is
//   abandoned: the module may still wait for the rest of an OUT data phase, and
//   when its data phase (partly) went through, a late status and late data may
//   wait on the IN endpoint, where the next transaction would read them as its own.
// What each failure leaves is noted in `recovery`; the next transaction, before
// its wrapper, brings the envelope back in step: it clears the IN endpoint when
// it is halted, drains the IN endpoint when a status is owed (short reads until a
// status arrives, which leaves the module's envelope idle, or until a read finds
// nothing; bounded in count and time), then clears every halted endpoint, and
// both after an abandoned transaction (a clear also resets the data toggles that
// a cancelled transfer may have left out of step).
// An IN data phase that times out without a byte is not abandoned: that is how
// every wait for a touch polls. The module replaces its pending IN data phase with
// the next wrapper and delivers the answer, whenever it comes, in the next data
// phase; draining there would throw answers away.
#include "usb_device.h"

#include "common.h"
#include "tirvane_common.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

USB_DEV_STRUCT usb_dev_param;

namespace
{

constexpr uint8_t kEndpointOut = 0x01;
constexpr uint8_t kEndpointIn = 0x81;
constexpr uint8_t kDirectionOut = 0x00;
constexpr uint8_t kDirectionIn = 0x80;
constexpr uint32_t kEnvelopeTimeoutMs = 1000;
// OUT data phase: the module's readiness is given the envelope's 1,000 ms, and
// the wire time 10 ms per 1,000 bytes, about eleven times what full-speed USB
// (12 Mbit/s, some 1.1 MB/s of bulk data) needs; the driver's largest frame of
// 93,171 bytes gets 1,931 ms for less than 100 ms on the wire.
constexpr uint32_t kDataPhaseBaseTimeoutMs = 1000;
constexpr uint32_t kDataPhaseBytesPerMs = 100;
// Draining: a late status or answer is already waiting in the module when the
// drain starts and arrives within a millisecond; 50 ms per read is ample, and
// eight reads of 16 KiB take in the image answer (92,160 bytes) with its status.
constexpr uint32_t kDrainReadTimeoutMs = 50;
constexpr int kDrainMaxReads = 8;
constexpr size_t kDrainReadSize = 16384;
constexpr std::array<uint8_t, 4> kWrapperSignature = {0x55, 0x53, 0x42, 0x43}; // "USBC"
constexpr std::array<uint8_t, 4> kStatusSignature = {0x55, 0x53, 0x42, 0x53};  // "USBS"
constexpr uint16_t kPortPathVendor = 0x33A7;
constexpr uint16_t kPortPathProduct = 0x2388;

// Shared state of the transport, all guarded by `handle_mutex`:
// - shared_handle (and usb_dev_param.usbdev_handle): written by open, close and
//   the hot-plug departure; a transaction holds its own reference for its whole
//   length, so a close or a departure on another thread only drops the service's
//   reference and the handle is closed once the last transfer is done;
// - recovery: written by a transaction that fails (what it left behind) and taken
//   by the next one before its wrapper; reset by module init and departure.
// Transactions themselves are not serialised here: callers issue one at a time.
std::mutex handle_mutex;
std::shared_ptr<libusb_device_handle> shared_handle;

struct Recovery {
    bool halted_out = false;  // 0x01 answered LIBUSB_ERROR_PIPE and was not cleared yet
    bool halted_in = false;   // 0x81 likewise
    bool abandoned = false;   // a wrapper was taken and its transaction ended without a status
    bool status_owed = false; // ...after (part of) its data phase: a late status may wait on 0x81
};
Recovery recovery;

std::shared_ptr<libusb_device_handle> current_handle()
{
    std::lock_guard<std::mutex> lock(handle_mutex);
    return shared_handle;
}

void install_handle(libusb_device_handle *raw)
{
    std::shared_ptr<libusb_device_handle> next;
    if (raw != nullptr) {
        next.reset(raw, [](libusb_device_handle *h) { libusb_close(h); });
    }
    std::shared_ptr<libusb_device_handle> previous;
    {
        std::lock_guard<std::mutex> lock(handle_mutex);
        previous = std::move(shared_handle);
        shared_handle = next;
        usb_dev_param.usbdev_handle = raw;
    }
    // `previous` is released outside the lock; a running transfer keeps it alive.
}

void forget_recovery()
{
    std::lock_guard<std::mutex> lock(handle_mutex);
    recovery = Recovery{};
}

// Records what a failed step left on the module's side. A module that has gone
// leaves nothing to bring back.
enum class Step { wrapper, out_data, in_data, status };

void note_failure(Step step, int rc, bool data_moved)
{
    if (rc == LIBUSB_ERROR_NO_DEVICE) {
        return;
    }
    std::lock_guard<std::mutex> lock(handle_mutex);
    if (rc == LIBUSB_ERROR_PIPE) {
        (step == Step::wrapper || step == Step::out_data ? recovery.halted_out : recovery.halted_in) = true;
    }
    switch (step) {
    case Step::wrapper:
        // One packet: taken whole or not at all.
        break;
    case Step::out_data:
        recovery.abandoned = true;
        break;
    case Step::in_data:
        // Nothing received: the next wrapper replaces the pending data phase.
        if (data_moved) {
            recovery.abandoned = true;
            recovery.status_owed = true;
        }
        break;
    case Step::status:
        recovery.abandoned = true;
        recovery.status_owed = true;
        break;
    }
}

int bulk(libusb_device_handle *handle, uint8_t endpoint, uint8_t *data, int len, int *moved, uint32_t timeout)
{
    *moved = 0;
    return libusb_bulk_transfer(handle, endpoint, data, len, moved, timeout);
}

// Reads what the module still holds for an abandoned transaction and throws it
// away, until its status has come (the module's envelope is then idle) or a read
// finds nothing.
enum class DrainEnd { empty, status, halted, gone };

DrainEnd drain_in(libusb_device_handle *handle)
{
    std::vector<uint8_t> buf(kDrainReadSize);
    for (int i = 0; i < kDrainMaxReads; ++i) {
        int moved = 0;
        const int rc =
            bulk(handle, kEndpointIn, buf.data(), static_cast<int>(buf.size()), &moved, kDrainReadTimeoutMs);
        if (rc == LIBUSB_ERROR_NO_DEVICE) {
            return DrainEnd::gone;
        }
        if (rc == LIBUSB_ERROR_PIPE) {
            return DrainEnd::halted;
        }
        if (usb_check_bulk_io_ack(buf.data(), moved) == 0) {
            return DrainEnd::status;
        }
        if (rc != 0 && moved == 0) {
            return DrainEnd::empty;
        }
    }
    return DrainEnd::empty;
}

// A clear that fails for another reason than a missing module is not repeated:
// the endpoint, if still halted, fails the next transfer and is noted again.
int clear_halt(libusb_device_handle *handle, uint8_t endpoint)
{
    return libusb_clear_halt(handle, endpoint) == LIBUSB_ERROR_NO_DEVICE ? -1 : 0;
}

// Runs before every wrapper; -1 only when the module has gone.
int bring_in_step(libusb_device_handle *handle)
{
    Recovery r;
    {
        std::lock_guard<std::mutex> lock(handle_mutex);
        r = std::exchange(recovery, Recovery{});
    }
    bool clear_out = r.halted_out || r.abandoned;
    bool clear_in = r.halted_in || r.abandoned;
    if (r.status_owed) {
        // A halted endpoint cannot be drained; it is cleared again with the OUT
        // endpoint below, as after every abandoned transaction.
        if (r.halted_in && clear_halt(handle, kEndpointIn) != 0) {
            return -1;
        }
        switch (drain_in(handle)) {
        case DrainEnd::gone:
            return -1;
        case DrainEnd::halted:
            clear_in = true;
            break;
        case DrainEnd::empty:
        case DrainEnd::status:
            break;
        }
    }
    if (clear_out && clear_halt(handle, kEndpointOut) != 0) {
        return -1;
    }
    if (clear_in && clear_halt(handle, kEndpointIn) != 0) {
        return -1;
    }
    return 0;
}

int ioctl_on(libusb_device_handle *handle, DEV_CMD *dev_cmd)
{
    if (handle == nullptr || dev_cmd == nullptr) {
        return -1;
    }
    if (dev_cmd->write_len != 0) {
        int moved = 0;
        int ret = libusb_bulk_transfer(handle, kEndpointOut, dev_cmd->buff,
                                       static_cast<int>(dev_cmd->write_len), &moved, dev_cmd->timeout);
        if (ret < 0) {
            dev_cmd->write_len = 0;
            return -1;
        }
        dev_cmd->write_len = static_cast<uint32_t>(moved);
    }
    if (dev_cmd->read_len != 0) {
        int moved = 0;
        int ret = libusb_bulk_transfer(handle, kEndpointIn, dev_cmd->buff,
                                       static_cast<int>(dev_cmd->read_len), &moved, dev_cmd->timeout);
        if (ret < 0) {
            dev_cmd->read_len = 0;
            return -1;
        }
        dev_cmd->read_len = static_cast<uint32_t>(moved);
    }
    return 0;
}

// ---- The steps of a transaction; each notes what its failure leaves behind ----

// Brings the envelope in step, then sends the wrapper.
int wrapper_step(libusb_device_handle *handle, uint8_t direction, int32_t msg_len)
{
    if (handle == nullptr || msg_len <= 0) {
        return -1;
    }
    if (bring_in_step(handle) != 0) {
        return -1;
    }
    std::array<uint8_t, 8> wrapper{};
    std::copy(kWrapperSignature.begin(), kWrapperSignature.end(), wrapper.begin());
    wrapper[4] = direction;
    wrapper[5] = static_cast<uint8_t>(msg_len & 0xFF);
    wrapper[6] = static_cast<uint8_t>((msg_len >> 8) & 0xFF);
    wrapper[7] = static_cast<uint8_t>((msg_len >> 16) & 0xFF);
    int moved = 0;
    const int rc = bulk(handle, kEndpointOut, wrapper.data(), static_cast<int>(wrapper.size()), &moved,
                        kEnvelopeTimeoutMs);
    if (rc < 0 || moved != static_cast<int>(wrapper.size())) {
        note_failure(Step::wrapper, rc, moved > 0);
        return -1;
    }
    return 0;
}

uint32_t out_data_timeout_ms(int32_t len)
{
    return kDataPhaseBaseTimeoutMs + static_cast<uint32_t>(len) / kDataPhaseBytesPerMs;
}

// The whole buffer goes out, or the transaction is abandoned.
int out_data_step(libusb_device_handle *handle, const uint8_t *buf, int32_t len)
{
    int moved = 0;
    // libusb takes a mutable buffer for both directions; an OUT transfer only reads it.
    const int rc =
        bulk(handle, kEndpointOut, const_cast<uint8_t *>(buf), len, &moved, out_data_timeout_ms(len));
    if (rc < 0 || moved != len) {
        note_failure(Step::out_data, rc, moved > 0);
        return -1;
    }
    return 0;
}

int in_data_step(libusb_device_handle *handle, uint8_t *buf, int32_t len, int32_t *received,
                 uint32_t timeout_ms)
{
    int moved = 0;
    const int rc = bulk(handle, kEndpointIn, buf, len, &moved, timeout_ms);
    if (rc < 0) {
        note_failure(Step::in_data, rc, moved > 0);
        return -1;
    }
    *received = moved;
    return 0;
}

int status_step(libusb_device_handle *handle)
{
    if (handle == nullptr) {
        return -1;
    }
    std::array<uint8_t, 4> status{};
    int moved = 0;
    const int rc =
        bulk(handle, kEndpointIn, status.data(), static_cast<int>(status.size()), &moved, kEnvelopeTimeoutMs);
    if (rc < 0 || moved == 0 || usb_check_bulk_io_ack(status.data(), moved) != 0) {
        note_failure(Step::status, rc, moved > 0);
        return -1;
    }
    usb_dev_param.bulk_io_ack_state = 1;
    return 0;
}

int read_transaction(uint8_t *buf, int32_t len, int32_t *read_len, uint32_t data_timeout_ms)
{
    auto handle = current_handle();
    int32_t received = 0;
    if (wrapper_step(handle.get(), kDirectionIn, len) != 0 ||
        in_data_step(handle.get(), buf, len, &received, data_timeout_ms) != 0 ||
        status_step(handle.get()) != 0) {
        return -1;
    }
    if (read_len != nullptr) {
        *read_len = received;
    }
    return 0;
}

// The module's sysfs directory and its valid flag are written by the hot-plug
// thread and read by the start-up thread: both go through `port_path_mutex`.
std::mutex port_path_mutex;

// Reads the module's sysfs directory, or gives "" when none is known.
std::string port_path_copy()
{
    std::lock_guard<std::mutex> lock(port_path_mutex);
    if (usb_dev_param.dev_port_path_valid_flag != 1) {
        return {};
    }
    return usb_dev_param.dev_port_path;
}

// A port directory name as the kernel forms it, "<bus>-<port>[.<port>...]":
// only such a name is ever joined into a path that is written as root.
bool plausible_port_name(const char *name)
{
    if (!isdigit(static_cast<unsigned char>(*name))) {
        return false;
    }
    bool dash = false;
    for (const char *c = name; *c != '\0'; ++c) {
        if (*c == '-' && !dash) {
            dash = true;
        } else if (!isdigit(static_cast<unsigned char>(*c)) && !(*c == '.' && dash)) {
            return false;
        }
    }
    return dash;
}

// Writes one power attribute of the module. The command text is logged as the
// record of what was done; the value is written by opening the attribute, so the
// path never reaches a shell.
void write_power_attribute(const std::string &dir, const char *attribute, const char *value,
                           const char *shown_value, LOG_GRADE_ENUM grade)
{
    const std::string path = dir + attribute;
    TVP_LOG(grade, "echo %s > %s\n", shown_value, path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        TVP_LOG(ERR_LOG_GRADE, "open %s failed: %s\n", path.c_str(), g_strerror(errno));
        return;
    }
    const size_t len = strlen(value);
    if (write(fd, value, len) != static_cast<ssize_t>(len)) {
        TVP_LOG(ERR_LOG_GRADE, "write %s failed: %s\n", path.c_str(), g_strerror(errno));
    }
    close(fd);
}

struct DeviceListDeleter {
    void operator()(libusb_device **list) const
    {
        libusb_free_device_list(list, 1);
    }
};

} // namespace

int usb_dev_module_init(void)
{
    install_handle(nullptr);
    forget_recovery();
    usb_dev_param.bulk_io_ack_state = 0;
    usb_dev_param.dev_port_path_valid_flag = 0;
    memset(usb_dev_param.dev_port_path, 0, sizeof(usb_dev_param.dev_port_path));
    usb_dev_param.autosuspend_flag = 0;
    return 0;
}

int usb_dev_param_init(void)
{
    return usb_dev_module_init();
}

int usb_dev_open(struct tvp_dev *dev)
{
    if (dev != nullptr && dev->usb_info.id_table != nullptr) {
        for (const usb_id *row = dev->usb_info.id_table; row->idVendor != 0; ++row) {
            libusb_device_handle *handle =
                libusb_open_device_with_vid_pid(nullptr, row->idVendor, row->idProduct);
            if (handle != nullptr) {
                install_handle(handle);
                return 0;
            }
        }
    }
    TVP_LOG(DBG_LOG_GRADE, "device open failed!!!\r\n");
    install_handle(nullptr);
    return -1;
}

int usb_dev_probe(struct tvp_dev *dev)
{
    if (dev != nullptr && dev->usb_info.id_table != nullptr) {
        for (const usb_id *row = dev->usb_info.id_table; row->idVendor != 0; ++row) {
            libusb_device_handle *handle =
                libusb_open_device_with_vid_pid(nullptr, row->idVendor, row->idProduct);
            if (handle != nullptr) {
                libusb_close(handle);
                return 0;
            }
        }
    }
    TVP_LOG(DBG_LOG_GRADE, "device open failed!!!\r\n");
    return -1;
}

int usb_dev_close(void)
{
    if (current_handle() == nullptr) {
        return -1;
    }
    install_handle(nullptr);
    return 0;
}

int usb_dev_set_null(void)
{
    // The module has gone: the service forgets the handle; it is released as
    // soon as no transfer uses it any more. A module that comes back starts its
    // envelope afresh.
    install_handle(nullptr);
    forget_recovery();
    return 0;
}

libusb_device_handle *usb_get_dev_handle(void)
{
    return current_handle().get();
}

int usb_dev_ioctl(DEV_CMD *dev_cmd)
{
    auto handle = current_handle();
    return ioctl_on(handle.get(), dev_cmd);
}

int usb_prepare_send(int32_t msg_len)
{
    auto handle = current_handle();
    return wrapper_step(handle.get(), kDirectionOut, msg_len);
}

int usb_prepare_read(int32_t msg_len)
{
    auto handle = current_handle();
    return wrapper_step(handle.get(), kDirectionIn, msg_len);
}

int usb_read_bulk_io_ack(void)
{
    auto handle = current_handle();
    return status_step(handle.get());
}

int usb_check_bulk_io_ack(const uint8_t *buf, int32_t len)
{
    if (buf == nullptr || len != 4) {
        return -1;
    }
    return memcmp(buf, kStatusSignature.data(), kStatusSignature.size()) == 0 ? 0 : -1;
}

int usb_send_data(const uint8_t *buf, int32_t len, int32_t *write_len)
{
    if (buf == nullptr || len <= 0) {
        return -1;
    }
    auto handle = current_handle();
    if (wrapper_step(handle.get(), kDirectionOut, len) != 0 || out_data_step(handle.get(), buf, len) != 0 ||
        status_step(handle.get()) != 0) {
        return -1;
    }
    if (write_len != nullptr) {
        *write_len = len;
    }
    return 0;
}

int usb_read_data(uint8_t *buf, int32_t len, int32_t *read_len)
{
    return usb_read_data_within(buf, len, read_len, kEnvelopeTimeoutMs);
}

int usb_read_data_within(uint8_t *buf, int32_t len, int32_t *read_len, uint32_t timeout_ms)
{
    if (buf == nullptr || len <= 0 || timeout_ms == 0) {
        return -1;
    }
    return read_transaction(buf, len, read_len, timeout_ms);
}

int usb_test_handle(void)
{
    // Wrapper 55 53 42 43 80 80 00 00, a read of at most 128 bytes, the status.
    std::array<uint8_t, 128> buf{};
    int32_t received = 0;
    return read_transaction(buf.data(), static_cast<int32_t>(buf.size()), &received, kEnvelopeTimeoutMs);
}

int usb_test(void)
{
    for (int i = 0; i < 3; ++i) {
        if (usb_test_handle() == 0) {
            break;
        }
        usleep(50 * 1000);
    }
    return 0;
}

int usb_dev_get_port_path(void)
{
    {
        std::lock_guard<std::mutex> lock(port_path_mutex);
        memset(usb_dev_param.dev_port_path, 0, sizeof(usb_dev_param.dev_port_path));
        usb_dev_param.dev_port_path_valid_flag = 0;
    }

    libusb_device **raw_list = nullptr;
    ssize_t count = libusb_get_device_list(nullptr, &raw_list);
    if (count < 0) {
        return -1;
    }
    std::unique_ptr<libusb_device *, DeviceListDeleter> list(raw_list);
    std::string found_path;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device *device = raw_list[i];
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(device, &desc) < 0) {
            fprintf(stderr, "failed to get device descriptor");
            break;
        }
        if (desc.idVendor != kPortPathVendor || desc.idProduct != kPortPathProduct) {
            continue;
        }
        std::array<uint8_t, 8> ports{};
        int depth = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
        char chain[20] = {0};
        for (int p = 0; p < depth; ++p) {
            size_t used = strlen(chain);
            snprintf(chain + used, sizeof(chain) - used, p == 0 ? "%d" : ".%d", ports[p]);
        }
        char port_name[32] = {0};
        snprintf(port_name, sizeof(port_name), "%d-%s", libusb_get_bus_number(device), chain);
        if (!plausible_port_name(port_name)) {
            TVP_LOG(ERR_LOG_GRADE, "usb dev port name %s is not valid.\n", port_name);
            continue;
        }
        char sys_path[USB_DEV_PORT_PATH_SIZE] = {0};
        snprintf(sys_path, sizeof(sys_path), "/sys/bus/usb/devices/%s", port_name);
        // A later match replaces an earlier one.
        found_path = tvp_sysfs_path(sys_path);
        if (found_path.size() >= USB_DEV_PORT_PATH_SIZE) {
            found_path.resize(USB_DEV_PORT_PATH_SIZE - 1);
        }
        TVP_LOG(DBG_LOG_GRADE, "usb dev port path: %s\n", found_path.c_str());
    }
    if (found_path.empty()) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(port_path_mutex);
    snprintf(usb_dev_param.dev_port_path, sizeof(usb_dev_param.dev_port_path), "%s", found_path.c_str());
    usb_dev_param.dev_port_path_valid_flag = 1;
    return 0;
}

int usb_dev_set_port_path_valid_flag(uint8_t flag)
{
    std::lock_guard<std::mutex> lock(port_path_mutex);
    usb_dev_param.dev_port_path_valid_flag = flag;
    return 0;
}

uint8_t usb_dev_get_port_path_valid_flag(void)
{
    std::lock_guard<std::mutex> lock(port_path_mutex);
    return usb_dev_param.dev_port_path_valid_flag;
}

int usb_set_autosuspend_flag(uint8_t flag)
{
    usb_dev_param.autosuspend_flag = flag;
    return 0;
}

int usb_dev_enable_autosuspend(void)
{
    const std::string dir = port_path_copy();
    if (dir.empty()) {
        return -1;
    }
    if (usb_dev_param.autosuspend_flag != 1) {
        return 0;
    }
    write_power_attribute(dir, "/power/control", "auto\n", "\"auto\"", LOG_LOG_GRADE);
    write_power_attribute(dir, "/power/autosuspend", "2\n", "2", LOG_LOG_GRADE);
    write_power_attribute(dir, "/power/autosuspend_delay_ms", "2000\n", "2000", LOG_LOG_GRADE);
    return 0;
}

int usb_dev_disable_autosuspend(void)
{
    const std::string dir = port_path_copy();
    if (dir.empty()) {
        return -1;
    }
    write_power_attribute(dir, "/power/control", "on\n", "\"on\"", DBG_LOG_GRADE);
    return 0;
}
