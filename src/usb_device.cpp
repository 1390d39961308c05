// USB transport of the module's application firmware.
//
// Every data transfer is framed by an 8-byte "USBC" command wrapper announcing
// direction and length, and followed by a 4-byte "USBS" status read back from
// the module.
#include "usb_device.h"

#include "common.h"
#include "tirvane_common.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unistd.h>

USB_DEV_STRUCT usb_dev_param;

namespace
{

constexpr uint8_t kEndpointOut = 0x01;
constexpr uint8_t kEndpointIn = 0x81;
constexpr uint32_t kEnvelopeTimeoutMs = 1000;
constexpr std::array<uint8_t, 4> kWrapperSignature = {0x55, 0x53, 0x42, 0x43}; // "USBC"
constexpr std::array<uint8_t, 4> kStatusSignature = {0x55, 0x53, 0x42, 0x53};  // "USBS"
constexpr uint16_t kPortPathVendor = 0x33A7;
constexpr uint16_t kPortPathProduct = 0x2388;

// The open handle is shared: a transaction holds its own reference for its whole
// length, so a close or a hot-plug departure on another thread only drops the
// service's reference and the handle is closed once the last transfer is done.
std::mutex handle_mutex;
std::shared_ptr<libusb_device_handle> shared_handle;

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

int send_wrapper(libusb_device_handle *handle, uint8_t direction, int32_t msg_len)
{
    if (msg_len <= 0) {
        return -1;
    }
    std::array<uint8_t, 8> wrapper{};
    std::copy(kWrapperSignature.begin(), kWrapperSignature.end(), wrapper.begin());
    wrapper[4] = direction;
    wrapper[5] = static_cast<uint8_t>(msg_len & 0xFF);
    wrapper[6] = static_cast<uint8_t>((msg_len >> 8) & 0xFF);
    wrapper[7] = static_cast<uint8_t>((msg_len >> 16) & 0xFF);
    DEV_CMD cmd{wrapper.data(), static_cast<uint32_t>(wrapper.size()), 0, kEnvelopeTimeoutMs};
    return ioctl_on(handle, &cmd);
}

int read_status(libusb_device_handle *handle)
{
    std::array<uint8_t, 4> status{};
    DEV_CMD cmd{status.data(), 0, static_cast<uint32_t>(status.size()), kEnvelopeTimeoutMs};
    if (ioctl_on(handle, &cmd) != 0 || cmd.read_len == 0) {
        return -1;
    }
    if (usb_check_bulk_io_ack(status.data(), static_cast<int32_t>(cmd.read_len)) != 0) {
        return -1;
    }
    usb_dev_param.bulk_io_ack_state = 1;
    return 0;
}

int run_shell(const char *cmd, LOG_GRADE_ENUM grade)
{
    TVP_LOG(grade, "%s\n", cmd);
    if (system(cmd) < 0) {
        TVP_LOG(ERR_LOG_GRADE, "exec failed!\n");
    }
    return 0;
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
    // soon as no transfer uses it any more.
    install_handle(nullptr);
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
    return send_wrapper(handle.get(), 0x00, msg_len);
}

int usb_prepare_read(int32_t msg_len)
{
    auto handle = current_handle();
    return send_wrapper(handle.get(), 0x80, msg_len);
}

int usb_read_bulk_io_ack(void)
{
    auto handle = current_handle();
    return read_status(handle.get());
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
    if (send_wrapper(handle.get(), 0x00, len) != 0) {
        return -1;
    }
    DEV_CMD cmd{const_cast<uint8_t *>(buf), static_cast<uint32_t>(len), 0, 0};
    if (ioctl_on(handle.get(), &cmd) != 0) {
        return -1;
    }
    if (read_status(handle.get()) != 0) {
        return -1;
    }
    if (write_len != nullptr) {
        *write_len = static_cast<int32_t>(cmd.write_len);
    }
    return 0;
}

int usb_read_data(uint8_t *buf, int32_t len, int32_t *read_len)
{
    if (buf == nullptr || len <= 0) {
        return -1;
    }
    auto handle = current_handle();
    if (send_wrapper(handle.get(), 0x80, len) != 0) {
        return -1;
    }
    DEV_CMD cmd{buf, 0, static_cast<uint32_t>(len), kEnvelopeTimeoutMs};
    if (ioctl_on(handle.get(), &cmd) != 0) {
        return -1;
    }
    if (read_status(handle.get()) != 0) {
        return -1;
    }
    if (read_len != nullptr) {
        *read_len = static_cast<int32_t>(cmd.read_len);
    }
    return 0;
}

int usb_test_handle(void)
{
    auto handle = current_handle();
    std::array<uint8_t, 128> buf{};
    const std::array<uint8_t, 8> wrapper = {0x55, 0x53, 0x42, 0x43, 0x80, 0x80, 0x00, 0x00};
    std::copy(wrapper.begin(), wrapper.end(), buf.begin());
    DEV_CMD cmd{buf.data(), static_cast<uint32_t>(wrapper.size()), static_cast<uint32_t>(buf.size()),
                kEnvelopeTimeoutMs};
    if (ioctl_on(handle.get(), &cmd) != 0) {
        return -1;
    }
    return read_status(handle.get());
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
    memset(usb_dev_param.dev_port_path, 0, sizeof(usb_dev_param.dev_port_path));
    usb_dev_param.dev_port_path_valid_flag = 0;

    libusb_device **raw_list = nullptr;
    ssize_t count = libusb_get_device_list(nullptr, &raw_list);
    if (count < 0) {
        return -1;
    }
    std::unique_ptr<libusb_device *, DeviceListDeleter> list(raw_list);
    bool found = false;
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
        char sys_path[USB_DEV_PORT_PATH_SIZE] = {0};
        snprintf(sys_path, sizeof(sys_path), "/sys/bus/usb/devices/%d-%s", libusb_get_bus_number(device),
                 chain);
        snprintf(usb_dev_param.dev_port_path, sizeof(usb_dev_param.dev_port_path), "%s",
                 tvp_sysfs_path(sys_path).c_str());
        TVP_LOG(DBG_LOG_GRADE, "usb dev port path: %s\n", usb_dev_param.dev_port_path);
        usb_dev_param.dev_port_path_valid_flag = 1;
        found = true;
    }
    return found ? 0 : -1;
}

int usb_dev_set_port_path_valid_flag(uint8_t flag)
{
    usb_dev_param.dev_port_path_valid_flag = flag;
    return 0;
}

uint8_t usb_dev_get_port_path_valid_flag(void)
{
    return usb_dev_param.dev_port_path_valid_flag;
}

int usb_set_autosuspend_flag(uint8_t flag)
{
    usb_dev_param.autosuspend_flag = flag;
    return 0;
}

int usb_dev_enable_autosuspend(void)
{
    if (usb_dev_param.dev_port_path_valid_flag != 1) {
        return -1;
    }
    if (usb_dev_param.autosuspend_flag != 1) {
        return 0;
    }
    char cmd[500] = {0};
    snprintf(cmd, sizeof(cmd), "echo \"auto\" > %s%s", usb_dev_param.dev_port_path, "/power/control");
    run_shell(cmd, LOG_LOG_GRADE);
    snprintf(cmd, sizeof(cmd), "echo 2 > %s%s", usb_dev_param.dev_port_path, "/power/autosuspend");
    run_shell(cmd, LOG_LOG_GRADE);
    snprintf(cmd, sizeof(cmd), "echo 2000 > %s%s", usb_dev_param.dev_port_path,
             "/power/autosuspend_delay_ms");
    run_shell(cmd, LOG_LOG_GRADE);
    return 0;
}

int usb_dev_disable_autosuspend(void)
{
    if (usb_dev_param.dev_port_path_valid_flag != 1) {
        return -1;
    }
    char cmd[500] = {0};
    snprintf(cmd, sizeof(cmd), "echo \"on\" > %s%s", usb_dev_param.dev_port_path, "/power/control");
    run_shell(cmd, DBG_LOG_GRADE);
    return 0;
}
