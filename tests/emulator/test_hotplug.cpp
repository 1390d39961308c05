// Hot-plug callbacks, the device list, descriptors and the module's place on the bus.
#include "emu_test_support.h"

#include <future>
#include <thread>

using namespace emutest;

namespace
{

constexpr int arrived = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
constexpr int left = LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
constexpr int any = LIBUSB_HOTPLUG_MATCH_ANY;

class Hotplug : public EmuTest
{
};

class Topology : public EmuTest
{
  protected:
    Env environment() const override
    {
        return {{"TIRVANE_EMU_TOPOLOGY", "3:4.1.2"}, {"TIRVANE_EMU_ID", "33a7:2303"}};
    }
};

class NoHotplug : public EmuTest
{
  protected:
    Env environment() const override
    {
        return {{"TIRVANE_EMU_NO_HOTPLUG", "1"}};
    }
};

class Absent : public EmuTest
{
  protected:
    Env environment() const override
    {
        return {{"TIRVANE_EMU_PRESENT", "0"}};
    }
};

} // namespace

TEST_F(Hotplug, CallbacksFollowLibusbMatchingRules)
{
    struct Case {
        const char *name;
        int events, flags, vid, pid, dev_class;
        std::vector<int> expected; // over: registration (module present), unplug, plug, unplug
    };
    const Case cases[] = {
        {"exact ids, arrival", arrived, 0, 0x33a7, 0x2388, any, {arrived}},
        {"exact ids, both", arrived | left, 0, 0x33a7, 0x2388, any, {left, arrived, left}},
        {"departure only", left, 0, 0x33a7, 0x2388, any, {left, left}},
        {"other product", arrived | left, 0, 0x33a7, 0x2303, any, {}},
        {"other vendor", arrived | left, 0, 0x1234, 0x2388, any, {}},
        {"any ids", arrived | left, 0, any, any, any, {left, arrived, left}},
        {"device class 0 matches", arrived, 0, any, any, 0, {arrived}},
        {"vendor class does not match", arrived, 0, any, any, 0xff, {}},
        {"enumerate reports the present module",
         arrived,
         LIBUSB_HOTPLUG_ENUMERATE,
         0x33a7,
         0x2388,
         any,
         {arrived, arrived}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        emu.reset();
        HotplugLog log;
        ASSERT_EQ(watch(log, c.events, c.flags, c.vid, c.pid, c.dev_class), 0);
        // ENUMERATE reports during registration itself; without it nothing comes for a present module.
        EXPECT_EQ(log.events.size(), (c.flags & LIBUSB_HOTPLUG_ENUMERATE) ? 1u : 0u);
        emu.unplug();
        emu.plug();
        emu.unplug();
        pump_events(log, c.expected.size() + 1, 250); // waits for one more: nothing extra may come
        std::vector<int> seen;
        for (const auto &e : log.events)
            seen.push_back(e.event);
        EXPECT_EQ(seen, c.expected);
        libusb_hotplug_deregister_callback(nullptr, callbacks_.back());
        callbacks_.pop_back();
    }
}

TEST_F(Hotplug, CallbackReturningOneIsDeregistered)
{
    HotplugLog log;
    log.return_value = 1;
    ASSERT_EQ(watch(log, arrived, 0, any, any, any), 0);
    emu.unplug();
    emu.plug();
    pump_events(log, 1);
    emu.unplug();
    emu.plug();
    pump_events(log, 2, 300);
    EXPECT_EQ(log.events.size(), 1u);
}

TEST_F(Hotplug, HandleEventsBlocksUntilAnEventArrives)
{
    HotplugLog log;
    ASSERT_EQ(watch(log, left, 0, 0x33a7, 0x2388, any), 0);
    auto t0 = std::chrono::steady_clock::now();
    auto loop = std::async(std::launch::async, [] { return libusb_handle_events(nullptr); });
    EXPECT_EQ(loop.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    emu.unplug();
    ASSERT_EQ(loop.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(loop.get(), 0);
    EXPECT_GE(ms_since(t0), 300);
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].event, left);
    EXPECT_EQ(log.events[0].pid, 0x2388);
}

namespace
{
struct Reentry {
    bool opened = false;
};
int LIBUSB_CALL open_inside_callback(libusb_context *, libusb_device *dev, libusb_hotplug_event, void *user)
{
    auto *r = static_cast<Reentry *>(user);
    libusb_device_handle *h = nullptr;
    if (libusb_open(dev, &h) == 0) {
        r->opened = true;
        libusb_close(h);
    }
    return 0;
}
} // namespace

TEST_F(Hotplug, CallbackMayCallBackIntoTheLibrary)
{
    Reentry r;
    libusb_hotplug_callback_handle cb = 0;
    ASSERT_EQ(
        libusb_hotplug_register_callback(nullptr, arrived, 0, any, any, any, open_inside_callback, &r, &cb),
        0);
    callbacks_.push_back(cb);
    emu.unplug();
    emu.plug();
    auto t0 = std::chrono::steady_clock::now();
    while (!r.opened && ms_since(t0) < 2000) {
        timeval tv{0, 50000};
        libusb_handle_events_timeout(nullptr, &tv);
    }
    EXPECT_TRUE(r.opened);
    auto s = emu.stats();
    EXPECT_EQ(s.open, 0u);
}

TEST_F(Hotplug, RegistrationArgumentsAreChecked)
{
    HotplugLog log;
    EXPECT_EQ(watch(log, 0, 0, any, any, any), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_hotplug_register_callback(nullptr, arrived, 0, any, any, any, nullptr, &log, nullptr),
              LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(watch(log, arrived, 0, 0x10000, any, any), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 1);
}

TEST_F(NoHotplug, CapabilityIsWithdrawn)
{
    HotplugLog log;
    EXPECT_EQ(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 0);
    EXPECT_EQ(watch(log, arrived, 0, any, any, any), LIBUSB_ERROR_NOT_SUPPORTED);
}

TEST_F(Topology, DeviceListShowsIdentityBusAndPortChain)
{
    libusb_device **list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_device *dev = list[0];
    EXPECT_EQ(list[1], nullptr);
    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(dev, &d), 0);
    EXPECT_EQ(d.idVendor, 0x33a7);
    EXPECT_EQ(d.idProduct, 0x2303);
    EXPECT_EQ(libusb_get_bus_number(dev), 3);
    uint8_t ports[8] = {};
    ASSERT_EQ(libusb_get_port_numbers(dev, ports, 8), 3);
    EXPECT_EQ(Bytes(ports, ports + 3), (Bytes{4, 1, 2}));
    EXPECT_EQ(libusb_get_port_number(dev), 2);
    EXPECT_EQ(libusb_get_port_numbers(dev, ports, 2), LIBUSB_ERROR_OVERFLOW);

    libusb_config_descriptor *cfg = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(dev, &cfg), 0);
    ASSERT_EQ(cfg->bNumInterfaces, 1);
    const auto &alt = cfg->interface[0].altsetting[0];
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x01);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x81);
    EXPECT_EQ(alt.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
    libusb_free_config_descriptor(cfg);
    libusb_free_device_list(list, 1);

    // The default identity does not exist under this configuration.
    EXPECT_EQ(libusb_open_device_with_vid_pid(nullptr, 0x33a7, 0x2388), nullptr);
    EXPECT_NE(open(0x33a7, 0x2303), nullptr);
}

TEST_F(Absent, NothingOnTheBusUntilPlugged)
{
    libusb_device **list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 0);
    EXPECT_EQ(list[0], nullptr);
    libusb_free_device_list(list, 1);
    EXPECT_EQ(libusb_open_device_with_vid_pid(nullptr, 0x33a7, 0x2388), nullptr);
    EXPECT_EQ(emu.mode(), "absent");
    emu.plug("33a7:2303");
    EXPECT_EQ(emu.mode(), "app");
    EXPECT_NE(open(0x33a7, 0x2303), nullptr);
}

TEST_F(Hotplug, DeviceOutlivesItsPresenceWhileReferenced)
{
    libusb_device **list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_device *dev = libusb_ref_device(list[0]);
    libusb_free_device_list(list, 1);
    emu.unplug();
    libusb_device_descriptor d{};
    EXPECT_EQ(libusb_get_device_descriptor(dev, &d), 0);
    EXPECT_EQ(d.idProduct, 0x2388);
    libusb_device_handle *h = nullptr;
    EXPECT_EQ(libusb_open(dev, &h), LIBUSB_ERROR_NO_DEVICE);
    libusb_unref_device(dev);
}
