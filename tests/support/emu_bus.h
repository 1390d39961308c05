// The emulated USB bus: where the module sits (bus number, port chain), the device objects the
// library hands out (one per enumeration of the module), open handles, and the hot-plug callback
// registry with its queue of pending arrival/departure events.
//
// Not locked: every member is called with the emulator lock held.
#pragma once

#include <cstdint>
#include <deque>
#include <libusb.h>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tirvane::emu
{

inline constexpr uint16_t boot_vid = 0x1234;
inline constexpr uint16_t boot_pid = 0xabce;

struct Identity {
    uint16_t vid = 0x33a7;
    uint16_t pid = 0x2388;
    bool bootloader() const
    {
        return vid == boot_vid && pid == boot_pid;
    }
    static std::optional<Identity> parse(std::string_view text); // "33a7:2388"
    std::string text() const;
};

struct Topology {
    uint8_t bus = 1;
    std::vector<uint8_t> ports{1, 2};
    // "1:1.2" = bus 1, port chain 1, 2 (at most 7 ports, each 1..255; bus 1..255).
    static std::optional<Topology> parse(std::string_view text);
    // Name of the sysfs directory below /sys/bus/usb/devices: "1-1.2".
    std::string sysfs_name() const;
};

} // namespace tirvane::emu

// One enumeration of the module on the bus. The object outlives its presence on the bus as long as
// references exist (device lists, handles, queued hot-plug events).
struct libusb_device {
    uint64_t serial = 0;
    int refs = 0;
    bool attached = false;
    tirvane::emu::Identity id;
    tirvane::emu::Topology topology;
    uint8_t address = 0;
    libusb_device_handle *interface0_owner = nullptr;
};

struct libusb_device_handle {
    libusb_device *dev = nullptr;
    bool claimed0 = false;
    int busy = 0;        // transfers running on the handle
    bool closed = false; // closed while transfers ran: freed by the last of them
};

struct libusb_context {
    int unused = 0;
};

namespace tirvane::emu
{

struct HotplugCallback {
    int handle = 0;
    int events = 0;
    int flags = 0;
    int vid = LIBUSB_HOTPLUG_MATCH_ANY;
    int pid = LIBUSB_HOTPLUG_MATCH_ANY;
    int dev_class = LIBUSB_HOTPLUG_MATCH_ANY;
    libusb_hotplug_callback_fn fn = nullptr;
    void *user_data = nullptr;
    libusb_context *ctx = nullptr;
};

struct HotplugEvent {
    libusb_device *dev = nullptr; // holds one reference
    libusb_hotplug_event type = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
};

// Device class the module reports in its device descriptor (class defined per interface).
inline constexpr uint8_t module_device_class = 0;

class Bus
{
  public:
    Bus() = default;
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;
    ~Bus();

    libusb_device *present() const
    {
        return present_;
    }
    // Puts a new enumeration of the module on the bus (nothing may be present) and queues its arrival.
    libusb_device *attach(Identity id, const Topology &topology);
    // Takes the present module off the bus and queues its departure. False when nothing is present.
    bool detach();

    bool valid(const libusb_device *dev) const;
    bool valid(const libusb_device_handle *handle) const;
    libusb_device *ref(libusb_device *dev);
    void unref(libusb_device *dev);

    libusb_device_handle *open(libusb_device *dev);
    // A handle closed while transfers run on it stays allocated (and reads as gone) until they end.
    void close(libusb_device_handle *handle);
    void pin(libusb_device_handle *handle)
    {
        ++handle->busy;
    }
    void unpin(libusb_device_handle *handle);
    size_t open_handles() const
    {
        return handles_.size();
    }
    int claim(libusb_device_handle *handle, int interface_number);
    int release(libusb_device_handle *handle, int interface_number);

    int add_callback(HotplugCallback cb); // returns the new handle
    bool remove_callback(int handle);
    std::optional<HotplugCallback> callback(int handle) const;
    std::vector<HotplugCallback> callbacks_for(const libusb_device *dev, libusb_hotplug_event type) const;
    bool events_pending() const
    {
        return !events_.empty();
    }
    std::deque<HotplugEvent> take_events();
    void drop_events();

  private:
    void queue_event(libusb_device *dev, libusb_hotplug_event type);

    libusb_device *present_ = nullptr;
    uint64_t next_serial_ = 1;
    uint8_t next_address_ = 2;
    std::unordered_set<const libusb_device *> devices_;
    std::unordered_set<const libusb_device_handle *> handles_;
    std::vector<HotplugCallback> callbacks_;
    int next_callback_handle_ = 1;
    std::deque<HotplugEvent> events_;
};

} // namespace tirvane::emu
