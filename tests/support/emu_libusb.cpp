// The libusb-1.0 API, answered by the emulated bus. Every entry point has C linkage, never throws,
// and survives odd arguments (null pointers, closed handles, devices that left the bus). Calls the
// emulator does not emulate fail with an error and leave a "CALL name !ERROR" line in the trace.

// The exported functions take their (default) visibility from these declarations.
#pragma GCC visibility push(default)
#include <libusb.h>
#pragma GCC visibility pop

#include "emu_emulator.h"

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <new>
#include <sys/time.h>

using tirvane::emu::Emulator;

namespace
{

libusb_context default_context_alias;

Emulator &emu()
{
    return Emulator::instance();
}

template <class R, class F> R guarded(R fallback, F &&f) noexcept
{
    try {
        return f();
    } catch (...) {
        return fallback;
    }
}

template <class F> void guarded_void(F &&f) noexcept
{
    try {
        f();
    } catch (...) {
    }
}

int not_supported(const char *call) noexcept
{
    guarded_void([&] { emu().unsupported(call, LIBUSB_ERROR_NOT_SUPPORTED); });
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

std::optional<std::chrono::milliseconds> millis(const struct timeval *tv)
{
    if (tv == nullptr)
        return std::nullopt;
    long long ms = static_cast<long long>(tv->tv_sec) * 1000 + tv->tv_usec / 1000;
    return std::chrono::milliseconds(ms < 0 ? 0 : ms);
}

const libusb_version emulated_version = {1, 0, 26, 11696, "", "https://libusb.info (tirvane stand-in)"};

struct ErrorText {
    int code;
    const char *name;
    const char *text;
};
constexpr ErrorText error_texts[] = {
    {LIBUSB_SUCCESS, "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED", "Success"},
    {LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO", "Input/Output Error"},
    {LIBUSB_ERROR_INVALID_PARAM, "LIBUSB_ERROR_INVALID_PARAM", "Invalid parameter"},
    {LIBUSB_ERROR_ACCESS, "LIBUSB_ERROR_ACCESS", "Access denied (insufficient permissions)"},
    {LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE", "No such device (it may have been disconnected)"},
    {LIBUSB_ERROR_NOT_FOUND, "LIBUSB_ERROR_NOT_FOUND", "Entity not found"},
    {LIBUSB_ERROR_BUSY, "LIBUSB_ERROR_BUSY", "Resource busy"},
    {LIBUSB_ERROR_TIMEOUT, "LIBUSB_ERROR_TIMEOUT", "Operation timed out"},
    {LIBUSB_ERROR_OVERFLOW, "LIBUSB_ERROR_OVERFLOW", "Overflow"},
    {LIBUSB_ERROR_PIPE, "LIBUSB_ERROR_PIPE", "Pipe error"},
    {LIBUSB_ERROR_INTERRUPTED, "LIBUSB_ERROR_INTERRUPTED", "System call interrupted (perhaps due to signal)"},
    {LIBUSB_ERROR_NO_MEM, "LIBUSB_ERROR_NO_MEM", "Insufficient memory"},
    {LIBUSB_ERROR_NOT_SUPPORTED, "LIBUSB_ERROR_NOT_SUPPORTED",
     "Operation not supported or unimplemented on this platform"},
    {LIBUSB_ERROR_OTHER, "LIBUSB_ERROR_OTHER", "Other error"},
};

} // namespace

extern "C" {

// ---- library ---------------------------------------------------------------------------------------

int libusb_init(libusb_context **ctx)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_NO_MEM), [&] {
        emu().init();
        if (ctx != nullptr)
            *ctx = &default_context_alias;
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

void libusb_exit(libusb_context *)
{
    guarded_void([] { emu().exit(); });
}

void libusb_set_debug(libusb_context *, int) {}

void libusb_set_log_cb(libusb_context *, libusb_log_cb, int) {}

int libusb_set_option(libusb_context *, enum libusb_option option, ...)
{
    if (option == LIBUSB_OPTION_LOG_LEVEL)
        return LIBUSB_SUCCESS;
    return not_supported("libusb_set_option");
}

const struct libusb_version *libusb_get_version(void)
{
    return &emulated_version;
}

int libusb_has_capability(uint32_t capability)
{
    switch (capability) {
    case LIBUSB_CAP_HAS_CAPABILITY:
        return 1;
    case LIBUSB_CAP_HAS_HOTPLUG:
        return guarded(0, [] { return emu().hotplug_supported() ? 1 : 0; });
    case LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER:
        return 1;
    default:
        return 0;
    }
}

const char *libusb_error_name(int code)
{
    for (const auto &e : error_texts)
        if (e.code == code)
            return e.name;
    switch (code) {
    case LIBUSB_TRANSFER_ERROR:
        return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT:
        return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED:
        return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL:
        return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE:
        return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW:
        return "LIBUSB_TRANSFER_OVERFLOW";
    default:
        return "**UNKNOWN**";
    }
}

int libusb_setlocale(const char *)
{
    return LIBUSB_SUCCESS;
}

const char *libusb_strerror(int code)
{
    for (const auto &e : error_texts)
        if (e.code == code)
            return e.text;
    return "Unknown error";
}

// ---- devices -----------------------------------------------------------------------------------------

ssize_t libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    return guarded(static_cast<ssize_t>(LIBUSB_ERROR_NO_MEM), [&] { return emu().device_list(list); });
}

void libusb_free_device_list(libusb_device **list, int unref_devices)
{
    guarded_void([&] { emu().free_device_list(list, unref_devices != 0); });
}

libusb_device *libusb_ref_device(libusb_device *dev)
{
    return guarded(dev, [&] { return emu().ref_device(dev); });
}

void libusb_unref_device(libusb_device *dev)
{
    guarded_void([&] { emu().unref_device(dev); });
}

int libusb_get_device_descriptor(libusb_device *dev, struct libusb_device_descriptor *desc)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER), [&] { return emu().device_descriptor(dev, desc); });
}

int libusb_get_active_config_descriptor(libusb_device *dev, struct libusb_config_descriptor **config)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_NO_MEM),
                   [&] { return emu().config_descriptor(dev, 0, config); });
}

int libusb_get_config_descriptor(libusb_device *dev, uint8_t index, struct libusb_config_descriptor **config)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_NO_MEM),
                   [&] { return emu().config_descriptor(dev, index, config); });
}

int libusb_get_config_descriptor_by_value(libusb_device *dev, uint8_t value,
                                          struct libusb_config_descriptor **config)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_NO_MEM),
                   [&] { return emu().config_descriptor(dev, value == 1 ? 0 : -1, config); });
}

void libusb_free_config_descriptor(struct libusb_config_descriptor *config)
{
    guarded_void([&] { emu().free_config_descriptor(config); });
}

int libusb_get_ss_endpoint_companion_descriptor(libusb_context *, const struct libusb_endpoint_descriptor *,
                                                struct libusb_ss_endpoint_companion_descriptor **)
{
    return not_supported("libusb_get_ss_endpoint_companion_descriptor");
}

void libusb_free_ss_endpoint_companion_descriptor(struct libusb_ss_endpoint_companion_descriptor *) {}

int libusb_get_bos_descriptor(libusb_device_handle *, struct libusb_bos_descriptor **)
{
    return not_supported("libusb_get_bos_descriptor");
}

void libusb_free_bos_descriptor(struct libusb_bos_descriptor *) {}

int libusb_get_usb_2_0_extension_descriptor(libusb_context *, struct libusb_bos_dev_capability_descriptor *,
                                            struct libusb_usb_2_0_extension_descriptor **)
{
    return not_supported("libusb_get_usb_2_0_extension_descriptor");
}

void libusb_free_usb_2_0_extension_descriptor(struct libusb_usb_2_0_extension_descriptor *) {}

int libusb_get_ss_usb_device_capability_descriptor(libusb_context *,
                                                   struct libusb_bos_dev_capability_descriptor *,
                                                   struct libusb_ss_usb_device_capability_descriptor **)
{
    return not_supported("libusb_get_ss_usb_device_capability_descriptor");
}

void libusb_free_ss_usb_device_capability_descriptor(struct libusb_ss_usb_device_capability_descriptor *) {}

int libusb_get_container_id_descriptor(libusb_context *, struct libusb_bos_dev_capability_descriptor *,
                                       struct libusb_container_id_descriptor **)
{
    return not_supported("libusb_get_container_id_descriptor");
}

void libusb_free_container_id_descriptor(struct libusb_container_id_descriptor *) {}

uint8_t libusb_get_bus_number(libusb_device *dev)
{
    int n = guarded(0, [&] { return emu().bus_number(dev); });
    return static_cast<uint8_t>(n < 0 ? 0 : n);
}

uint8_t libusb_get_port_number(libusb_device *dev)
{
    uint8_t ports[8];
    int n = guarded(0, [&] { return emu().port_numbers(dev, ports, 8); });
    return n > 0 ? ports[n - 1] : 0;
}

int libusb_get_port_numbers(libusb_device *dev, uint8_t *port_numbers, int port_numbers_len)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().port_numbers(dev, port_numbers, port_numbers_len); });
}

int libusb_get_port_path(libusb_context *, libusb_device *dev, uint8_t *path, uint8_t path_length)
{
    return libusb_get_port_numbers(dev, path, path_length);
}

libusb_device *libusb_get_parent(libusb_device *)
{
    // Hubs are not emulated.
    return nullptr;
}

uint8_t libusb_get_device_address(libusb_device *dev)
{
    int n = guarded(0, [&] { return emu().device_address(dev); });
    return static_cast<uint8_t>(n < 0 ? 0 : n);
}

int libusb_get_device_speed(libusb_device *)
{
    return LIBUSB_SPEED_HIGH;
}

int libusb_get_max_packet_size(libusb_device *dev, unsigned char endpoint)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().max_packet_size(dev, endpoint); });
}

int libusb_get_max_iso_packet_size(libusb_device *dev, unsigned char endpoint)
{
    return libusb_get_max_packet_size(dev, endpoint);
}

// ---- handles -----------------------------------------------------------------------------------------

int libusb_wrap_sys_device(libusb_context *, intptr_t, libusb_device_handle **)
{
    return not_supported("libusb_wrap_sys_device");
}

int libusb_open(libusb_device *dev, libusb_device_handle **dev_handle)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_NO_MEM), [&] { return emu().open(dev, dev_handle); });
}

void libusb_close(libusb_device_handle *dev_handle)
{
    guarded_void([&] { emu().close(dev_handle); });
}

libusb_device *libusb_get_device(libusb_device_handle *dev_handle)
{
    return guarded(static_cast<libusb_device *>(nullptr), [&] { return emu().device_of(dev_handle); });
}

libusb_device_handle *libusb_open_device_with_vid_pid(libusb_context *, uint16_t vendor_id,
                                                      uint16_t product_id)
{
    return guarded(static_cast<libusb_device_handle *>(nullptr),
                   [&] { return emu().open_vid_pid(vendor_id, product_id); });
}

int libusb_get_configuration(libusb_device_handle *dev, int *config)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().get_configuration(dev, config); });
}

int libusb_set_configuration(libusb_device_handle *dev_handle, int configuration)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().set_configuration(dev_handle, configuration); });
}

int libusb_claim_interface(libusb_device_handle *dev_handle, int interface_number)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().claim_interface(dev_handle, interface_number); });
}

int libusb_release_interface(libusb_device_handle *dev_handle, int interface_number)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().release_interface(dev_handle, interface_number); });
}

int libusb_set_interface_alt_setting(libusb_device_handle *dev_handle, int interface_number,
                                     int alternate_setting)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().set_alt_setting(dev_handle, interface_number, alternate_setting); });
}

int libusb_clear_halt(libusb_device_handle *dev_handle, unsigned char endpoint)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().clear_halt(dev_handle, endpoint); });
}

int libusb_reset_device(libusb_device_handle *dev_handle)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER), [&] { return emu().reset_device(dev_handle); });
}

int libusb_alloc_streams(libusb_device_handle *, uint32_t, unsigned char *, int)
{
    return not_supported("libusb_alloc_streams");
}

int libusb_free_streams(libusb_device_handle *, unsigned char *, int)
{
    return not_supported("libusb_free_streams");
}

unsigned char *libusb_dev_mem_alloc(libusb_device_handle *, size_t)
{
    not_supported("libusb_dev_mem_alloc");
    return nullptr;
}

int libusb_dev_mem_free(libusb_device_handle *, unsigned char *, size_t)
{
    return not_supported("libusb_dev_mem_free");
}

int libusb_kernel_driver_active(libusb_device_handle *dev_handle, int interface_number)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().kernel_driver(dev_handle, interface_number, 0); });
}

int libusb_detach_kernel_driver(libusb_device_handle *dev_handle, int interface_number)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().kernel_driver(dev_handle, interface_number, 1); });
}

int libusb_attach_kernel_driver(libusb_device_handle *dev_handle, int interface_number)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().kernel_driver(dev_handle, interface_number, 2); });
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle *dev_handle, int)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER), [&] {
        return emu().simple_handle_call(dev_handle, "libusb_set_auto_detach_kernel_driver");
    });
}

// ---- transfers ---------------------------------------------------------------------------------------

struct libusb_transfer *libusb_alloc_transfer(int iso_packets)
{
    if (iso_packets < 0)
        return nullptr;
    size_t size =
        sizeof(libusb_transfer) + sizeof(libusb_iso_packet_descriptor) * static_cast<size_t>(iso_packets);
    return static_cast<libusb_transfer *>(std::calloc(1, size));
}

int libusb_submit_transfer(struct libusb_transfer *)
{
    return not_supported("libusb_submit_transfer");
}

int libusb_cancel_transfer(struct libusb_transfer *)
{
    return LIBUSB_ERROR_NOT_FOUND;
}

void libusb_free_transfer(struct libusb_transfer *transfer)
{
    if (transfer == nullptr)
        return;
    if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0)
        std::free(transfer->buffer);
    std::free(transfer);
}

void libusb_transfer_set_stream_id(struct libusb_transfer *, uint32_t) {}

uint32_t libusb_transfer_get_stream_id(struct libusb_transfer *)
{
    return 0;
}

int libusb_control_transfer(libusb_device_handle *dev_handle, uint8_t request_type, uint8_t bRequest,
                            uint16_t wValue, uint16_t wIndex, unsigned char *, uint16_t wLength, unsigned int)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER), [&] {
        return emu().control_transfer(dev_handle, request_type, bRequest, wValue, wIndex, wLength);
    });
}

int libusb_bulk_transfer(libusb_device_handle *dev_handle, unsigned char endpoint, unsigned char *data,
                         int length, int *actual_length, unsigned int timeout)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER), [&] {
        return emu().bulk_transfer(dev_handle, endpoint, data, length, actual_length, timeout);
    });
}

int libusb_interrupt_transfer(libusb_device_handle *dev_handle, unsigned char endpoint, unsigned char *data,
                              int length, int *actual_length, unsigned int)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER), [&] {
        return emu().interrupt_transfer(dev_handle, endpoint, data, length, actual_length);
    });
}

int libusb_get_string_descriptor_ascii(libusb_device_handle *, uint8_t, unsigned char *, int)
{
    return not_supported("libusb_get_string_descriptor_ascii");
}

// ---- events ------------------------------------------------------------------------------------------

int libusb_try_lock_events(libusb_context *)
{
    return 0;
}

void libusb_lock_events(libusb_context *) {}

void libusb_unlock_events(libusb_context *) {}

int libusb_event_handling_ok(libusb_context *)
{
    return 1;
}

int libusb_event_handler_active(libusb_context *)
{
    return 0;
}

void libusb_interrupt_event_handler(libusb_context *)
{
    guarded_void([] { emu().interrupt_events(); });
}

void libusb_lock_event_waiters(libusb_context *) {}

void libusb_unlock_event_waiters(libusb_context *) {}

int libusb_wait_for_event(libusb_context *, struct timeval *tv)
{
    auto timeout = millis(tv).value_or(std::chrono::seconds(60));
    return guarded(1, [&] { return emu().wait_for_event(timeout); });
}

int libusb_handle_events_timeout_completed(libusb_context *, struct timeval *tv, int *completed)
{
    if (tv == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().handle_events(millis(tv), completed); });
}

int libusb_handle_events_timeout(libusb_context *ctx, struct timeval *tv)
{
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

int libusb_handle_events(libusb_context *)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().handle_events(std::nullopt, nullptr); });
}

int libusb_handle_events_completed(libusb_context *, int *completed)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_OTHER),
                   [&] { return emu().handle_events(std::nullopt, completed); });
}

int libusb_handle_events_locked(libusb_context *ctx, struct timeval *tv)
{
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

int libusb_pollfds_handle_timeouts(libusb_context *)
{
    return 1;
}

int libusb_get_next_timeout(libusb_context *, struct timeval *)
{
    return 0;
}

const struct libusb_pollfd **libusb_get_pollfds(libusb_context *)
{
    // No descriptors to poll: an empty, null-terminated list.
    return static_cast<const libusb_pollfd **>(std::calloc(1, sizeof(libusb_pollfd *)));
}

void libusb_free_pollfds(const struct libusb_pollfd **pollfds)
{
    std::free(static_cast<void *>(pollfds));
}

void libusb_set_pollfd_notifiers(libusb_context *, libusb_pollfd_added_cb, libusb_pollfd_removed_cb, void *)
{
}

// ---- hot-plug ----------------------------------------------------------------------------------------

int libusb_hotplug_register_callback(libusb_context *ctx, int events, int flags, int vendor_id,
                                     int product_id, int dev_class, libusb_hotplug_callback_fn cb_fn,
                                     void *user_data, libusb_hotplug_callback_handle *callback_handle)
{
    return guarded(static_cast<int>(LIBUSB_ERROR_NO_MEM), [&] {
        return emu().register_hotplug(ctx, events, flags, vendor_id, product_id, dev_class, cb_fn, user_data,
                                      callback_handle);
    });
}

void libusb_hotplug_deregister_callback(libusb_context *, libusb_hotplug_callback_handle callback_handle)
{
    guarded_void([&] { emu().deregister_hotplug(callback_handle); });
}

void *libusb_hotplug_get_user_data(libusb_context *, libusb_hotplug_callback_handle callback_handle)
{
    return guarded(static_cast<void *>(nullptr), [&] { return emu().hotplug_user_data(callback_handle); });
}

} // extern "C"
