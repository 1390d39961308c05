// The USB link to the module's bootloader: finding and opening it, raw bulk
// writes and reads, and closing it. Every transfer has a time-out (1,000 ms each
// way), so one request and its reply take at most about 2 s, and an endpoint that
// halts is cleared at once.
#include "upgrade.h"

#include "common.h"

#include <chrono>
#include <memory>
#include <thread>
#include <utility>

namespace
{

struct DeviceListFree {
    void operator()(libusb_device **list) const
    {
        libusb_free_device_list(list, 1);
    }
};
using DeviceList = std::unique_ptr<libusb_device *, DeviceListFree>;

struct HandleClose {
    void operator()(libusb_device_handle *handle) const
    {
        libusb_close(handle);
    }
};
using DeviceHandle = std::unique_ptr<libusb_device_handle, HandleClose>;

struct ConfigFree {
    void operator()(libusb_config_descriptor *config) const
    {
        libusb_free_config_descriptor(config);
    }
};
using ConfigDescriptor = std::unique_ptr<libusb_config_descriptor, ConfigFree>;

// Takes back the device list a record holds and forgets the device found in it.
DeviceList take_device_list(usb_dev *user_device)
{
    user_device->dev = nullptr;
    return DeviceList(std::exchange(user_device->devs, nullptr));
}

void io_pause()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(UP_BOOT_IO_PAUSE_MS));
}

constexpr const char *kBootLinkName = "usb vid=0x1234 pid=0xabce";

// An endpoint that answered LIBUSB_ERROR_PIPE stays halted until it is cleared;
// clearing it at once leaves the link ready for the next request. A clear that
// fails shows in the next transfer.
void clear_if_halted(int transfer_result, uint8_t endpoint)
{
    if (transfer_result == LIBUSB_ERROR_PIPE) {
        libusb_clear_halt(upgrade_param.usb_handle, endpoint);
    }
}

} // namespace

int get_device_descriptor(struct libusb_device_descriptor *dev_desc, usb_dev *user_device)
{
    if (dev_desc == nullptr || user_device == nullptr) {
        return -1;
    }
    // A list from an earlier search is not needed any more.
    take_device_list(user_device);

    libusb_device **raw_list = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &raw_list);
    if (count < 0) {
        return static_cast<int>(count);
    }
    DeviceList list(raw_list);
    if (count == 0) {
        return -2;
    }
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device *device = list.get()[i];
        if (libusb_get_device_descriptor(device, dev_desc) < 0) {
            return -1;
        }
        if (dev_desc->idProduct == user_device->pid && dev_desc->idVendor == user_device->vid) {
            // The record keeps the list, and with it the device, until the link is closed.
            user_device->dev = device;
            user_device->devs = list.release();
            user_device->bInterfaceNumber = 0;
            return 0;
        }
    }
    return -2;
}

int get_device_endpoint(struct libusb_device_descriptor *dev_desc, usb_dev *user_device)
{
    if (dev_desc == nullptr || user_device == nullptr || user_device->dev == nullptr) {
        return -1;
    }
    for (uint8_t c = 0; c < dev_desc->bNumConfigurations; ++c) {
        libusb_config_descriptor *raw_config = nullptr;
        if (libusb_get_config_descriptor(user_device->dev, c, &raw_config) < 0) {
            return -1;
        }
        ConfigDescriptor config(raw_config);
        for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface &interface = config->interface[i];
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor &setting = interface.altsetting[a];
                if (setting.bInterfaceClass == user_device->bInterfaceClass) {
                    user_device->bInterfaceNumber = setting.bInterfaceNumber;
                    return 0;
                }
            }
        }
    }
    return -2;
}

int boot_open_dev(void)
{
    usb_dev &udev = upgrade_param.udev;
    if (upgrade_param.usb_handle != nullptr) {
        // A link left open is replaced, never leaked.
        boot_close_dev();
    }
    udev.pid = UP_BOOT_PID;
    udev.vid = UP_BOOT_VID;

    struct libusb_device_descriptor dev_desc = {};
    if (get_device_descriptor(&dev_desc, &udev) != 0) {
        TVP_LOG(DBG_LOG_GRADE, "get_device_descriptor failed.\n");
        return -1;
    }
    // Owned here until the link is established; a failed open frees it.
    libusb_device *found_dev = udev.dev;
    DeviceList found = take_device_list(&udev);

    DeviceHandle handle(libusb_open_device_with_vid_pid(nullptr, UP_BOOT_VID, UP_BOOT_PID));
    if (!handle) {
        TVP_LOG(ERR_LOG_GRADE, "vid=0x%4x, pid=0x%04x usb device open failed!!!\n", UP_BOOT_VID, UP_BOOT_PID);
        return -1;
    }
    if (libusb_claim_interface(handle.get(), udev.bInterfaceNumber) < 0) {
        if (libusb_detach_kernel_driver(handle.get(), udev.bInterfaceNumber) < 0) {
            TVP_LOG(ERR_LOG_GRADE, "libusb_detach_kernel_driver failed.\n");
            return -1;
        }
        if (libusb_claim_interface(handle.get(), udev.bInterfaceNumber) < 0) {
            TVP_LOG(ERR_LOG_GRADE, "libusb_claim_interface failed.\n");
            return -1;
        }
    }
    udev.dev = found_dev;
    udev.devs = found.release();
    upgrade_param.usb_handle = handle.release();
    return 0;
}

int boot_close_dev(void)
{
    if (upgrade_param.usb_handle == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "vid=0x%4x, pid=0x%04x usb device not open!!!\r\n", UP_BOOT_VID, UP_BOOT_PID);
        return -1;
    }
    // The interface is not released first: closing the handle gives it up.
    DeviceHandle handle(std::exchange(upgrade_param.usb_handle, nullptr));
    take_device_list(&upgrade_param.udev);
    return 0;
}

int boot_write_usb(const uint8_t *data, int len)
{
    if (data == nullptr || len <= 0) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\n");
        return -1;
    }
    if (upgrade_param.usb_handle == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "%s not open, error!!!\n", kBootLinkName);
        return -1;
    }
    int transferred = 0;
    // libusb takes a mutable buffer for both directions; an OUT transfer only reads it.
    const int ret =
        libusb_bulk_transfer(upgrade_param.usb_handle, UP_BOOT_EP_OUT, const_cast<uint8_t *>(data), len,
                             &transferred, UP_BOOT_WRITE_TIMEOUT_MS);
    if (ret < 0) {
        TVP_LOG(ERR_LOG_GRADE, "libusb_bulk_transfer write failed ret = %d!!!\r\n", ret);
        clear_if_halted(ret, UP_BOOT_EP_OUT);
        return -1;
    }
    io_pause();
    return transferred;
}

int boot_read_usb(uint8_t *data, int len)
{
    if (data == nullptr || len <= 0) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\n");
        return -1;
    }
    if (upgrade_param.usb_handle == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "%s not open, error!!!\n", kBootLinkName);
        return -1;
    }
    int transferred = 0;
    const int ret = libusb_bulk_transfer(upgrade_param.usb_handle, UP_BOOT_EP_IN, data, len, &transferred,
                                         UP_BOOT_READ_TIMEOUT_MS);
    if (ret < 0) {
        TVP_LOG(ERR_LOG_GRADE, "libusb_bulk_transfer read failed ret = %d!!!\n", ret);
        clear_if_halted(ret, UP_BOOT_EP_IN);
        return -1;
    }
    io_pause();
    return transferred;
}
