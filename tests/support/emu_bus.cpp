#include "emu_bus.h"

#include "emu_util.h"

#include <algorithm>
#include <cstdio>

namespace tirvane::emu
{

std::optional<Identity> Identity::parse(std::string_view text)
{
    auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    auto vid = parse_uint(text.substr(0, colon), 16);
    auto pid = parse_uint(text.substr(colon + 1), 16);
    if (!vid || !pid || *vid > 0xffff || *pid > 0xffff || colon > 4 || text.size() - colon - 1 > 4)
        return std::nullopt;
    return Identity{static_cast<uint16_t>(*vid), static_cast<uint16_t>(*pid)};
}

std::string Identity::text() const
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04x:%04x", vid, pid);
    return buf;
}

std::optional<Topology> Topology::parse(std::string_view text)
{
    auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    auto bus = parse_uint(text.substr(0, colon));
    if (!bus || *bus < 1 || *bus > 255)
        return std::nullopt;
    Topology t;
    t.bus = static_cast<uint8_t>(*bus);
    t.ports.clear();
    std::string_view rest = text.substr(colon + 1);
    while (true) {
        auto dot = rest.find('.');
        auto port = parse_uint(rest.substr(0, dot));
        if (!port || *port < 1 || *port > 255)
            return std::nullopt;
        t.ports.push_back(static_cast<uint8_t>(*port));
        if (dot == std::string_view::npos)
            break;
        rest = rest.substr(dot + 1);
    }
    if (t.ports.size() > 7)
        return std::nullopt;
    return t;
}

std::string Topology::sysfs_name() const
{
    std::string out = std::to_string(bus) + "-";
    for (size_t i = 0; i < ports.size(); ++i) {
        if (i != 0)
            out += '.';
        out += std::to_string(ports[i]);
    }
    return out;
}

Bus::~Bus()
{
    for (const auto *h : handles_)
        delete h;
    for (const auto *d : devices_)
        delete d;
}

libusb_device *Bus::attach(Identity id, const Topology &topology)
{
    if (present_ != nullptr)
        return nullptr;
    auto *dev = new libusb_device;
    dev->serial = next_serial_++;
    dev->refs = 1; // the bus's own reference while attached
    dev->attached = true;
    dev->id = id;
    dev->topology = topology;
    dev->address = next_address_;
    next_address_ = static_cast<uint8_t>(next_address_ >= 127 ? 2 : next_address_ + 1);
    devices_.insert(dev);
    present_ = dev;
    queue_event(dev, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    return dev;
}

bool Bus::detach()
{
    if (present_ == nullptr)
        return false;
    libusb_device *dev = present_;
    present_ = nullptr;
    dev->attached = false;
    if (dev->interface0_owner != nullptr) {
        dev->interface0_owner->claimed0 = false;
        dev->interface0_owner = nullptr;
    }
    queue_event(dev, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    unref(dev);
    return true;
}

bool Bus::valid(const libusb_device *dev) const
{
    return dev != nullptr && devices_.count(dev) != 0;
}

bool Bus::valid(const libusb_device_handle *handle) const
{
    return handle != nullptr && handles_.count(handle) != 0;
}

libusb_device *Bus::ref(libusb_device *dev)
{
    if (valid(dev))
        ++dev->refs;
    return dev;
}

void Bus::unref(libusb_device *dev)
{
    if (!valid(dev))
        return;
    if (--dev->refs <= 0) {
        devices_.erase(dev);
        delete dev;
    }
}

libusb_device_handle *Bus::open(libusb_device *dev)
{
    auto *h = new libusb_device_handle;
    h->dev = ref(dev);
    handles_.insert(h);
    return h;
}

void Bus::close(libusb_device_handle *handle)
{
    if (!valid(handle))
        return;
    if (handle->claimed0 && handle->dev->interface0_owner == handle)
        handle->dev->interface0_owner = nullptr;
    handle->claimed0 = false;
    handles_.erase(handle);
    handle->closed = true;
    if (handle->busy == 0) {
        unref(handle->dev);
        delete handle;
    }
}

void Bus::unpin(libusb_device_handle *handle)
{
    if (--handle->busy == 0 && handle->closed) {
        unref(handle->dev);
        delete handle;
    }
}

int Bus::claim(libusb_device_handle *handle, int interface_number)
{
    if (interface_number != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    libusb_device *dev = handle->dev;
    if (!dev->attached)
        return LIBUSB_ERROR_NO_DEVICE;
    if (dev->interface0_owner != nullptr && dev->interface0_owner != handle)
        return LIBUSB_ERROR_BUSY;
    dev->interface0_owner = handle;
    handle->claimed0 = true;
    return LIBUSB_SUCCESS;
}

int Bus::release(libusb_device_handle *handle, int interface_number)
{
    if (interface_number != 0 || !handle->claimed0)
        return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed0 = false;
    if (handle->dev->interface0_owner == handle)
        handle->dev->interface0_owner = nullptr;
    return handle->dev->attached ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int Bus::add_callback(HotplugCallback cb)
{
    cb.handle = next_callback_handle_++;
    callbacks_.push_back(cb);
    return cb.handle;
}

bool Bus::remove_callback(int handle)
{
    auto it = std::find_if(callbacks_.begin(), callbacks_.end(),
                           [&](const HotplugCallback &c) { return c.handle == handle; });
    if (it == callbacks_.end())
        return false;
    callbacks_.erase(it);
    return true;
}

std::optional<HotplugCallback> Bus::callback(int handle) const
{
    for (const auto &c : callbacks_)
        if (c.handle == handle)
            return c;
    return std::nullopt;
}

std::vector<HotplugCallback> Bus::callbacks_for(const libusb_device *dev, libusb_hotplug_event type) const
{
    std::vector<HotplugCallback> out;
    for (const auto &c : callbacks_) {
        if ((c.events & type) == 0)
            continue;
        if (c.vid != LIBUSB_HOTPLUG_MATCH_ANY && c.vid != dev->id.vid)
            continue;
        if (c.pid != LIBUSB_HOTPLUG_MATCH_ANY && c.pid != dev->id.pid)
            continue;
        if (c.dev_class != LIBUSB_HOTPLUG_MATCH_ANY && c.dev_class != module_device_class)
            continue;
        out.push_back(c);
    }
    return out;
}

void Bus::queue_event(libusb_device *dev, libusb_hotplug_event type)
{
    // Like libusb, nothing is queued while no callback is registered.
    if (callbacks_.empty())
        return;
    events_.push_back({ref(dev), type});
}

std::deque<HotplugEvent> Bus::take_events()
{
    std::deque<HotplugEvent> out;
    out.swap(events_);
    return out;
}

void Bus::drop_events()
{
    for (auto &e : events_)
        unref(e.dev);
    events_.clear();
}

} // namespace tirvane::emu
