#include "fake_libusb.h"

#include <algorithm>
#include <cstring>
#include <libusb.h>
#include <map>
#include <memory>
#include <string>

struct libusb_device {
    size_t index;
};

struct libusb_device_handle {
    int serial;
};

namespace fake_usb
{
namespace
{

State g_state;
std::vector<std::unique_ptr<libusb_device>> g_device_objects;

struct FakeConfig {
    libusb_config_descriptor config{};
    std::vector<libusb_interface> interfaces;
    std::vector<libusb_interface_descriptor> settings;
};
std::map<const libusb_config_descriptor *, std::unique_ptr<FakeConfig>> g_configs;

std::string hex4(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof(buf), "%04x", v & 0xFFFF);
    return buf;
}

} // namespace

State &state()
{
    return g_state;
}

void reset()
{
    g_state = State{};
    g_device_objects.clear();
    g_configs.clear();
}

std::vector<uint8_t> written_types()
{
    std::vector<uint8_t> types;
    for (const Transfer &t : g_state.writes) {
        types.push_back(t.bytes.size() > 1 ? t.bytes[1] : 0);
    }
    return types;
}

} // namespace fake_usb

using fake_usb::g_device_objects;
using fake_usb::g_state;

ssize_t libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    g_state.calls.push_back("get_device_list");
    if (g_state.list_result < 0) {
        return g_state.list_result;
    }
    const size_t n = g_state.devices.size();
    g_device_objects.resize(n);
    auto *array = new libusb_device *[n + 1];
    for (size_t i = 0; i < n; ++i) {
        if (!g_device_objects[i]) {
            g_device_objects[i] = std::make_unique<libusb_device>(libusb_device{i});
        }
        array[i] = g_device_objects[i].get();
    }
    array[n] = nullptr;
    *list = array;
    ++g_state.lists_taken;
    return static_cast<ssize_t>(n);
}

void libusb_free_device_list(libusb_device **list, int unref_devices)
{
    if (list == nullptr) {
        return;
    }
    g_state.calls.push_back("free_device_list");
    ++g_state.lists_freed;
    if (unref_devices == 0) {
        ++g_state.lists_freed_without_unref;
    }
    delete[] list;
}

int libusb_get_device_descriptor(libusb_device *dev, struct libusb_device_descriptor *desc)
{
    const fake_usb::Device &d = g_state.devices.at(dev->index);
    if (d.descriptor_fails) {
        return LIBUSB_ERROR_IO;
    }
    std::memset(desc, 0, sizeof(*desc));
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->idVendor = d.vid;
    desc->idProduct = d.pid;
    desc->bNumConfigurations = 1;
    return 0;
}

libusb_device_handle *libusb_open_device_with_vid_pid(libusb_context *, uint16_t vendor_id,
                                                      uint16_t product_id)
{
    g_state.calls.push_back("open(" + fake_usb::hex4(vendor_id) + ":" + fake_usb::hex4(product_id) + ")");
    if (g_state.open_fails) {
        return nullptr;
    }
    bool present = false;
    for (const fake_usb::Device &d : g_state.devices) {
        present = present || (d.vid == vendor_id && d.pid == product_id);
    }
    if (!present) {
        return nullptr;
    }
    ++g_state.handles_opened;
    return new libusb_device_handle{g_state.handles_opened};
}

void libusb_close(libusb_device_handle *dev_handle)
{
    g_state.calls.push_back("close");
    ++g_state.handles_closed;
    delete dev_handle;
}

int libusb_claim_interface(libusb_device_handle *, int interface_number)
{
    g_state.calls.push_back("claim(" + std::to_string(interface_number) + ")");
    if (g_state.claim_results.empty()) {
        return 0;
    }
    const int rc = g_state.claim_results.front();
    g_state.claim_results.pop_front();
    return rc;
}

int libusb_detach_kernel_driver(libusb_device_handle *, int interface_number)
{
    g_state.calls.push_back("detach(" + std::to_string(interface_number) + ")");
    return g_state.detach_result;
}

int libusb_clear_halt(libusb_device_handle *, unsigned char endpoint)
{
    char name[24];
    std::snprintf(name, sizeof(name), "clear_halt(%02x)", endpoint);
    g_state.calls.push_back(name);
    g_state.sequence.push_back(name);
    g_state.halted.erase(endpoint);
    return 0;
}

int libusb_bulk_transfer(libusb_device_handle *, unsigned char endpoint, unsigned char *data, int length,
                         int *actual_length, unsigned int timeout)
{
    *actual_length = 0;
    {
        char name[16];
        std::snprintf(name, sizeof(name), "%s %02x", (endpoint & LIBUSB_ENDPOINT_IN) != 0 ? "IN" : "OUT",
                      endpoint);
        g_state.sequence.push_back(name);
    }
    if (g_state.halted.count(endpoint) != 0) {
        fake_usb::Bytes request;
        if ((endpoint & LIBUSB_ENDPOINT_IN) == 0) {
            request.assign(data, data + length);
        }
        ((endpoint & LIBUSB_ENDPOINT_IN) == 0 ? g_state.writes : g_state.reads)
            .push_back({endpoint, length, timeout, request});
        return LIBUSB_ERROR_PIPE;
    }
    if ((endpoint & LIBUSB_ENDPOINT_IN) == 0) {
        fake_usb::Bytes request(data, data + length);
        g_state.writes.push_back({endpoint, length, timeout, request});
        int result = g_state.write_result;
        if (!g_state.write_script.empty()) {
            result = g_state.write_script.front();
            g_state.write_script.pop_front();
        }
        if (result < 0) {
            return result;
        }
        *actual_length = length;
        if (g_state.bootloader) {
            for (fake_usb::Reply &reply : g_state.bootloader(request)) {
                g_state.pending.push_back(std::move(reply));
            }
        }
        return 0;
    }
    if (g_state.pending.empty()) {
        g_state.reads.push_back({endpoint, length, timeout, {}});
        return LIBUSB_ERROR_TIMEOUT;
    }
    fake_usb::Reply reply = std::move(g_state.pending.front());
    g_state.pending.pop_front();
    const int n = std::min<int>(length, static_cast<int>(reply.bytes.size()));
    if (n > 0) {
        std::memcpy(data, reply.bytes.data(), static_cast<size_t>(n));
    }
    *actual_length = n;
    g_state.reads.push_back(
        {endpoint, length, timeout, fake_usb::Bytes(reply.bytes.begin(), reply.bytes.begin() + n)});
    return reply.rc < 0 ? reply.rc : 0;
}

uint8_t libusb_get_bus_number(libusb_device *)
{
    return 1;
}

int libusb_get_port_numbers(libusb_device *, uint8_t *port_numbers, int port_numbers_len)
{
    if (port_numbers_len < 1) {
        return LIBUSB_ERROR_OVERFLOW;
    }
    port_numbers[0] = 1;
    return 1;
}

int libusb_get_config_descriptor(libusb_device *, uint8_t config_index,
                                 struct libusb_config_descriptor **config)
{
    if (g_state.config_fails || config_index != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    auto owned = std::make_unique<fake_usb::FakeConfig>();
    fake_usb::FakeConfig *fake = owned.get();
    fake->settings.resize(g_state.interfaces.size());
    fake->interfaces.resize(g_state.interfaces.size());
    for (size_t i = 0; i < g_state.interfaces.size(); ++i) {
        fake->settings[i] = libusb_interface_descriptor{};
        fake->settings[i].bInterfaceNumber = g_state.interfaces[i].number;
        fake->settings[i].bInterfaceClass = g_state.interfaces[i].interface_class;
        fake->interfaces[i].altsetting = &fake->settings[i];
        fake->interfaces[i].num_altsetting = 1;
    }
    fake->config.bNumInterfaces = static_cast<uint8_t>(g_state.interfaces.size());
    fake->config.interface = fake->interfaces.data();
    ++g_state.configs_taken;
    *config = &fake->config;
    fake_usb::g_configs[&fake->config] = std::move(owned);
    return 0;
}

void libusb_free_config_descriptor(struct libusb_config_descriptor *config)
{
    if (config == nullptr) {
        return;
    }
    if (fake_usb::g_configs.erase(config) == 1) {
        ++g_state.configs_freed;
    }
}
