#include "emu_emulator.h"

#include "emu_control.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <thread>

namespace tirvane::emu
{

namespace
{

constexpr auto hotplug_wait = std::chrono::seconds(60);

struct ConfigBlock {
    libusb_config_descriptor config; // first: the block is handed out as a pointer to it
    libusb_interface iface;
    libusb_interface_descriptor alt;
    libusb_endpoint_descriptor ep[2];
};

bool file_exists(const std::string &path)
{
    struct stat st {
    };
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace

// ---- configuration ------------------------------------------------------------------------------

Config Config::from_env(std::vector<std::string> &problems)
{
    Config c;
    auto text = [](const char *name) -> std::optional<std::string> {
        const char *v = std::getenv(name);
        if (v == nullptr || *v == '\0')
            return std::nullopt;
        return std::string(v);
    };
    auto complain = [&](const char *name, const std::string &value) {
        problems.push_back(std::string(name) + "=" + value + " not understood, default kept");
    };
    auto millis = [&](const char *name, std::chrono::milliseconds &out) {
        if (auto v = text(name)) {
            auto n = parse_uint(*v);
            if (n && *n <= 600000)
                out = std::chrono::milliseconds(*n);
            else
                complain(name, *v);
        }
    };
    if (auto v = text("TIRVANE_EMU_ID")) {
        auto id = Identity::parse(*v);
        if (id && !id->bootloader())
            c.app_id = *id;
        else
            complain("TIRVANE_EMU_ID", *v);
    }
    if (auto v = text("TIRVANE_EMU_TOPOLOGY")) {
        if (auto t = Topology::parse(*v))
            c.topology = *t;
        else
            complain("TIRVANE_EMU_TOPOLOGY", *v);
    }
    if (auto v = text("TIRVANE_EMU_PRESENT")) {
        if (*v == "1" || *v == "app")
            c.presence = Presence::app;
        else if (*v == "0" || *v == "absent")
            c.presence = Presence::absent;
        else if (*v == "boot")
            c.presence = Presence::boot;
        else
            complain("TIRVANE_EMU_PRESENT", *v);
    }
    if (auto v = text("TIRVANE_EMU_FW_VERSION")) {
        auto n = parse_uint(*v);
        if (n && *n <= max_version)
            c.fw_version = static_cast<unsigned>(*n);
        else
            complain("TIRVANE_EMU_FW_VERSION", *v);
    }
    millis("TIRVANE_EMU_REENUM_MS", c.reenum);
    millis("TIRVANE_EMU_MERGE_MS", c.merge);
    if (auto v = text("TIRVANE_EMU_BOOT_FAULT")) {
        if (parse_boot_fault(*v))
            c.boot_fault = *v;
        else
            complain("TIRVANE_EMU_BOOT_FAULT", *v);
    }
    if (auto v = text("TIRVANE_EMU_POWERUP_TOUCH")) {
        // One word, as the control command takes it.
        if (std::none_of(v->begin(), v->end(), [](unsigned char ch) { return std::isspace(ch) != 0; }))
            c.powerup_touch = *v;
        else
            complain("TIRVANE_EMU_POWERUP_TOUCH", *v);
    }
    if (auto v = text("TIRVANE_EMU_NO_POWERUP")) {
        if (*v == "refuse")
            c.refuse_first_identify = true;
        else if (*v != "wait")
            complain("TIRVANE_EMU_NO_POWERUP", *v);
    }
    c.state_path = text("TIRVANE_EMU_STATE").value_or("");
    c.trace_path = text("TIRVANE_EMU_TRACE").value_or("");
    c.socket_path = text("TIRVANE_EMU_SOCKET").value_or("");
    return c;
}

// ---- life cycle -----------------------------------------------------------------------------------

Emulator &Emulator::instance()
{
    // Never destroyed: see the class comment.
    static Emulator *emulator = new Emulator;
    return *emulator;
}

Emulator::Emulator()
{
    load();
    // At power-on only: a reset later does not bring the refusal back.
    if (cfg_.refuse_first_identify && !app_.powerup_pending())
        app_.refuse_next_identify(confirm::no_finger);
    std::thread([this] { timer_loop(); }).detach();
    if (!cfg_.socket_path.empty()) {
        std::string error;
        control_ = ControlServer::start(cfg_.socket_path, *this, error);
        if (!control_)
            trace_.protocol_error("control: " + error);
    }
}

Emulator::~Emulator() = default;

void Emulator::load()
{
    std::vector<std::string> problems;
    cfg_ = Config::from_env(problems);
    state_ = ModuleState{};
    state_.version = cfg_.fw_version;
    if (!cfg_.state_path.empty() && file_exists(cfg_.state_path)) {
        std::string error;
        if (auto loaded = load_state(cfg_.state_path, error)) {
            state_ = *loaded;
            if (state_.flash.size > 0)
                boot_.forget_content();
        } else {
            problems.push_back("state file: " + error);
        }
    }
    if (cfg_.presence == Config::Presence::boot)
        state_.in_bootloader = true;
    app_.set_merge_delay(cfg_.merge);
    // After the templates are loaded: the power-up search runs against them.
    if (!cfg_.powerup_touch.empty())
        app_.set_powerup_touch(cfg_.powerup_touch);
    if (auto fault = parse_boot_fault(cfg_.boot_fault))
        boot_.set_fault(*fault);
    trace_.set_file(cfg_.trace_path);
    for (auto &p : problems)
        trace_.protocol_error("config: " + p);
    if (cfg_.presence != Config::Presence::absent)
        attach(state_.in_bootloader);
    state_changed();
}

void Emulator::reset_all()
{
    ++epoch_;
    timers_.clear();
    reenumerating_ = false;
    bus_.detach();
    bus_.drop_events();
    envelope_.reset();
    output_.clear();
    app_.reset();
    boot_.reset();
    trace_.clear();
    trace_.clear_errors();
    trace_.counters = Counters{};
    leave_when_drained_ = false;
    stall_out_ = StallOut::off;
    halted_.clear();
    load();
    changed_.notify_all();
    timer_cv_.notify_all();
}

void Emulator::timer_loop()
{
    Lock lk(mu_);
    for (;;) {
        try {
            if (timers_.empty()) {
                timer_cv_.wait(lk);
                continue;
            }
            auto first = timers_.begin();
            // A copy: the entry may be gone (reset) while the lock is released.
            const Clock::time_point when = first->first;
            if (Clock::now() < when) {
                timer_cv_.wait_until(lk, when);
                continue;
            }
            auto action = std::move(first->second);
            timers_.erase(first);
            action();
            changed_.notify_all();
        } catch (...) {
            // A failed action is dropped; the timer keeps running.
        }
    }
}

// ---- module machinery (lock held) -------------------------------------------------------------------

void Emulator::attach(bool bootloader)
{
    Identity id = bootloader ? Identity{boot_vid, boot_pid} : cfg_.app_id;
    bus_.attach(id, cfg_.topology);
    envelope_.reset();
    halted_.clear();
    output_.clear();
    leave_when_drained_ = false;
    if (bootloader)
        boot_.power_on();
    changed_.notify_all();
}

void Emulator::leave_bus()
{
    bus_.detach();
    envelope_.reset();
    output_.clear();
    app_.power_off();
    leave_when_drained_ = false;
    changed_.notify_all();
}

const char *Emulator::mode_name() const
{
    const libusb_device *dev = bus_.present();
    if (dev == nullptr)
        return "absent";
    return dev->id.bootloader() ? "boot" : "app";
}

void Emulator::send(Bytes bytes, bool split)
{
    output_.push(std::move(bytes), split);
    changed_.notify_all();
}

void Emulator::send_alone(Bytes bytes)
{
    output_.push_alone(std::move(bytes));
    changed_.notify_all();
}

void Emulator::send_late(Bytes bytes, std::chrono::milliseconds delay)
{
    auto when = Clock::now() + delay;
    output_.push(std::move(bytes), false, when);
    // Wakes blocked reads when the bytes are released (the timer loop notifies after each action).
    timers_.emplace(when, [] {});
    timer_cv_.notify_all();
}

void Emulator::protocol_error(std::string what)
{
    trace_.protocol_error(std::move(what));
}

void Emulator::after(std::chrono::milliseconds delay, std::function<void()> action)
{
    const libusb_device *dev = bus_.present();
    uint64_t serial = dev ? dev->serial : 0;
    timers_.emplace(Clock::now() + delay, [this, serial, action = std::move(action)] {
        const libusb_device *now = bus_.present();
        if (now != nullptr && now->serial == serial)
            action();
    });
    timer_cv_.notify_all();
}

void Emulator::restart_into(bool bootloader)
{
    uint64_t epoch = epoch_;
    auto delay = cfg_.reenum;
    reenumerating_ = true;
    timers_.emplace(Clock::now() + delay, [this, epoch, bootloader, delay] {
        if (epoch != epoch_)
            return;
        state_.in_bootloader = bootloader;
        state_changed();
        leave_bus();
        timers_.emplace(Clock::now() + delay, [this, epoch, bootloader] {
            if (epoch != epoch_)
                return;
            reenumerating_ = false;
            attach(bootloader);
        });
    });
    timer_cv_.notify_all();
}

void Emulator::pull_cable(bool after_output)
{
    ++epoch_;
    reenumerating_ = false;
    if (after_output && !output_.empty())
        leave_when_drained_ = true;
    else
        leave_bus();
}

void Emulator::state_changed()
{
    if (!cfg_.state_path.empty() && !save_state(cfg_.state_path, state_))
        trace_.protocol_error("state: cannot write " + cfg_.state_path);
}

// ---- libusb side ----------------------------------------------------------------------------------

void Emulator::init()
{
    Lock lk(mu_);
    ++init_count_;
}

void Emulator::exit()
{
    Lock lk(mu_);
    if (init_count_ > 0)
        --init_count_;
}

void Emulator::unsupported(const char *call, int result)
{
    Lock lk(mu_);
    trace_.note(std::string("CALL ") + call + " !" + short_error_name(result));
}

bool Emulator::hotplug_supported() const
{
    const char *v = std::getenv("TIRVANE_EMU_NO_HOTPLUG");
    return v == nullptr || std::strcmp(v, "1") != 0;
}

ssize_t Emulator::device_list(libusb_device ***list)
{
    if (list == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    Lock lk(mu_);
    libusb_device *dev = bus_.present();
    size_t n = dev ? 1 : 0;
    auto **arr = new libusb_device *[n + 1];
    if (dev)
        arr[0] = bus_.ref(dev);
    arr[n] = nullptr;
    device_lists_.insert(arr);
    *list = arr;
    return static_cast<ssize_t>(n);
}

void Emulator::free_device_list(libusb_device **list, bool unref)
{
    Lock lk(mu_);
    if (list == nullptr || device_lists_.erase(list) == 0)
        return;
    if (unref)
        for (libusb_device **p = list; *p != nullptr; ++p)
            bus_.unref(*p);
    delete[] list;
}

libusb_device *Emulator::ref_device(libusb_device *dev)
{
    Lock lk(mu_);
    return bus_.ref(dev);
}

void Emulator::unref_device(libusb_device *dev)
{
    Lock lk(mu_);
    bus_.unref(dev);
}

int Emulator::device_descriptor(libusb_device *dev, libusb_device_descriptor *d)
{
    Lock lk(mu_);
    if (!bus_.valid(dev) || d == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::memset(d, 0, sizeof *d);
    d->bLength = LIBUSB_DT_DEVICE_SIZE;
    d->bDescriptorType = LIBUSB_DT_DEVICE;
    d->bcdUSB = 0x0200;
    d->bDeviceClass = module_device_class;
    d->bMaxPacketSize0 = 64;
    d->idVendor = dev->id.vid;
    d->idProduct = dev->id.pid;
    d->bcdDevice = 0x0100;
    d->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int Emulator::config_descriptor(libusb_device *dev, int index, libusb_config_descriptor **config)
{
    Lock lk(mu_);
    if (!bus_.valid(dev) || config == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    bool boot = dev->id.bootloader();
    auto *b = new ConfigBlock{};
    b->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    b->config.bDescriptorType = LIBUSB_DT_CONFIG;
    b->config.wTotalLength = LIBUSB_DT_CONFIG_SIZE + LIBUSB_DT_INTERFACE_SIZE + 2 * LIBUSB_DT_ENDPOINT_SIZE;
    b->config.bNumInterfaces = 1;
    b->config.bConfigurationValue = 1;
    b->config.bmAttributes = 0x80;
    b->config.MaxPower = 50;
    b->config.interface = &b->iface;
    b->iface.altsetting = &b->alt;
    b->iface.num_altsetting = 1;
    b->alt.bLength = LIBUSB_DT_INTERFACE_SIZE;
    b->alt.bDescriptorType = LIBUSB_DT_INTERFACE;
    b->alt.bInterfaceNumber = 0;
    b->alt.bNumEndpoints = 2;
    b->alt.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
    b->alt.endpoint = b->ep;
    uint8_t addr[2] = {boot ? boot_out_endpoint : app_out_endpoint,
                       boot ? boot_in_endpoint : app_in_endpoint};
    for (int i = 0; i < 2; ++i) {
        b->ep[i].bLength = LIBUSB_DT_ENDPOINT_SIZE;
        b->ep[i].bDescriptorType = LIBUSB_DT_ENDPOINT;
        b->ep[i].bEndpointAddress = addr[i];
        b->ep[i].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
        b->ep[i].wMaxPacketSize = 512;
    }
    config_descriptors_.insert(&b->config);
    *config = &b->config;
    return LIBUSB_SUCCESS;
}

void Emulator::free_config_descriptor(libusb_config_descriptor *config)
{
    Lock lk(mu_);
    if (config == nullptr || config_descriptors_.erase(config) == 0)
        return;
    delete reinterpret_cast<ConfigBlock *>(config);
}

int Emulator::bus_number(libusb_device *dev)
{
    Lock lk(mu_);
    return bus_.valid(dev) ? int{dev->topology.bus} : int{LIBUSB_ERROR_INVALID_PARAM};
}

int Emulator::device_address(libusb_device *dev)
{
    Lock lk(mu_);
    return bus_.valid(dev) ? int{dev->address} : int{LIBUSB_ERROR_INVALID_PARAM};
}

int Emulator::port_numbers(libusb_device *dev, uint8_t *ports, int len)
{
    Lock lk(mu_);
    if (!bus_.valid(dev) || len <= 0 || ports == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    const auto &chain = dev->topology.ports;
    if (chain.size() > static_cast<size_t>(len))
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(chain.begin(), chain.end(), ports);
    return static_cast<int>(chain.size());
}

int Emulator::max_packet_size(libusb_device *dev, unsigned char endpoint)
{
    Lock lk(mu_);
    if (!bus_.valid(dev))
        return LIBUSB_ERROR_INVALID_PARAM;
    bool boot = dev->id.bootloader();
    if (endpoint == (boot ? boot_out_endpoint : app_out_endpoint) ||
        endpoint == (boot ? boot_in_endpoint : app_in_endpoint))
        return 512;
    return LIBUSB_ERROR_NOT_FOUND;
}

int Emulator::open(libusb_device *dev, libusb_device_handle **handle)
{
    Lock lk(mu_);
    if (handle == nullptr || !bus_.valid(dev))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!dev->attached)
        return LIBUSB_ERROR_NO_DEVICE;
    *handle = bus_.open(dev);
    ++trace_.counters.opens;
    return LIBUSB_SUCCESS;
}

libusb_device_handle *Emulator::open_vid_pid(uint16_t vid, uint16_t pid)
{
    Lock lk(mu_);
    libusb_device *dev = bus_.present();
    if (dev == nullptr || dev->id.vid != vid || dev->id.pid != pid)
        return nullptr;
    ++trace_.counters.opens;
    return bus_.open(dev);
}

void Emulator::close(libusb_device_handle *handle)
{
    Lock lk(mu_);
    if (!bus_.valid(handle)) {
        if (handle != nullptr)
            trace_.note("CALL libusb_close !INVALID_PARAM");
        return;
    }
    ++trace_.counters.closes;
    bus_.close(handle);
    changed_.notify_all(); // transfers blocked on the handle end now
}

libusb_device *Emulator::device_of(libusb_device_handle *handle)
{
    Lock lk(mu_);
    return bus_.valid(handle) ? handle->dev : nullptr;
}

bool Emulator::module_gone(const libusb_device_handle *h) const
{
    return h->closed || !h->dev->attached;
}

int Emulator::claim_interface(libusb_device_handle *handle, int iface)
{
    Lock lk(mu_);
    if (!bus_.valid(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    return bus_.claim(handle, iface);
}

int Emulator::release_interface(libusb_device_handle *handle, int iface)
{
    Lock lk(mu_);
    if (!bus_.valid(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    return bus_.release(handle, iface);
}

int Emulator::kernel_driver(libusb_device_handle *handle, int iface, int op)
{
    Lock lk(mu_);
    if (!bus_.valid(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (module_gone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (iface != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    // No kernel driver binds to the module: nothing is active, nothing to detach or attach.
    return op == 0 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int Emulator::set_configuration(libusb_device_handle *handle, int configuration)
{
    Lock lk(mu_);
    if (!bus_.valid(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (module_gone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    return configuration == 1 || configuration == -1 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int Emulator::get_configuration(libusb_device_handle *handle, int *configuration)
{
    Lock lk(mu_);
    if (!bus_.valid(handle) || configuration == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (module_gone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    *configuration = 1;
    return LIBUSB_SUCCESS;
}

int Emulator::simple_handle_call(libusb_device_handle *handle, const char *call)
{
    Lock lk(mu_);
    if (!bus_.valid(handle)) {
        trace_.note(std::string("CALL ") + call + " !INVALID_PARAM");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    return LIBUSB_SUCCESS;
}

int Emulator::clear_halt(libusb_device_handle *handle, unsigned char endpoint)
{
    Lock lk(mu_);
    if (!bus_.valid(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (module_gone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    char line[16];
    std::snprintf(line, sizeof line, "CLEAR %02x", endpoint);
    trace_.note(line);
    ++trace_.counters.clears;
    bool boot = handle->dev->id.bootloader();
    if (endpoint != (boot ? boot_out_endpoint : app_out_endpoint) &&
        endpoint != (boot ? boot_in_endpoint : app_in_endpoint))
        return LIBUSB_ERROR_NOT_FOUND;
    halted_.erase(endpoint);
    // The module's side of the envelope starts over with the next command wrapper.
    if (!boot)
        envelope_.reset();
    changed_.notify_all();
    return LIBUSB_SUCCESS;
}

int Emulator::reset_device(libusb_device_handle *handle)
{
    Lock lk(mu_);
    if (!bus_.valid(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (module_gone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    envelope_.reset();
    output_.clear();
    halted_.clear();
    ++device_resets_;
    changed_.notify_all();
    return LIBUSB_SUCCESS;
}

// ---- transfers ----------------------------------------------------------------------------------------

int Emulator::bulk_transfer(libusb_device_handle *h, unsigned char ep, unsigned char *data, int length,
                            int *transferred, unsigned int timeout_ms)
{
    if (transferred != nullptr)
        *transferred = 0;
    Lock lk(mu_);
    bool in = (ep & LIBUSB_ENDPOINT_IN) != 0;
    if (in)
        ++trace_.counters.reads;
    else
        ++trace_.counters.writes;
    if (!bus_.valid(h)) {
        trace_.protocol_error("transfer on a closed or unknown handle");
        trace_.transfer(in, ep, {}, LIBUSB_ERROR_INVALID_PARAM);
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (length < 0 || (data == nullptr && length > 0)) {
        trace_.transfer(in, ep, {}, LIBUSB_ERROR_INVALID_PARAM);
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    // Keeps the handle alive should another thread close it meanwhile (the transfer then ends with
    // LIBUSB_ERROR_NO_DEVICE). Released with the lock still held.
    struct Pin {
        Bus &bus;
        libusb_device_handle *h;
        ~Pin()
        {
            bus.unpin(h);
        }
    };
    bus_.pin(h);
    Pin pin{bus_, h};
    if (module_gone(h)) {
        std::span<const uint8_t> out_bytes;
        if (!in)
            out_bytes = {data, static_cast<size_t>(length)};
        trace_.transfer(in, ep, out_bytes, LIBUSB_ERROR_NO_DEVICE);
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (halted(ep)) {
        std::span<const uint8_t> out_bytes;
        if (!in)
            out_bytes = {data, static_cast<size_t>(length)};
        trace_.transfer(in, ep, out_bytes, LIBUSB_ERROR_PIPE);
        return LIBUSB_ERROR_PIPE;
    }
    if (h->dev->id.bootloader())
        return boot_transfer(lk, h, ep, data, length, transferred, timeout_ms);
    return app_transfer(lk, h, ep, data, length, transferred, timeout_ms);
}

int Emulator::app_transfer(Lock &lk, libusb_device_handle *h, unsigned char ep, unsigned char *data,
                           int length, int *transferred, unsigned int timeout_ms)
{
    std::span<const uint8_t> bytes(data, static_cast<size_t>(length));
    if (ep == app_out_endpoint) {
        if (out_naks(h, bytes)) {
            int rc = nak_out(lk, h, ep, bytes, timeout_ms);
            if (rc != LIBUSB_SUCCESS)
                return rc;
        }
        auto r = envelope_.out(bytes);
        if (!r.ok) {
            trace_.protocol_error(r.error);
            trace_.transfer(false, ep, bytes, LIBUSB_ERROR_PIPE);
            return LIBUSB_ERROR_PIPE;
        }
        if (!r.error.empty())
            trace_.protocol_error(r.error);
        trace_.transfer(false, ep, bytes, LIBUSB_SUCCESS);
        if (transferred != nullptr)
            *transferred = length;
        if (r.has_data)
            app_.receive(r.data);
        changed_.notify_all();
        return LIBUSB_SUCCESS;
    }
    if (ep != app_in_endpoint) {
        char buf[80];
        std::snprintf(buf, sizeof buf, "transfer on endpoint %02x, which the module does not have", ep);
        trace_.protocol_error(buf);
        trace_.transfer((ep & LIBUSB_ENDPOINT_IN) != 0, ep,
                        (ep & LIBUSB_ENDPOINT_IN) ? std::span<const uint8_t>{} : bytes, LIBUSB_ERROR_IO);
        return LIBUSB_ERROR_IO;
    }
    if (length == 0) {
        trace_.transfer(true, ep, {}, LIBUSB_SUCCESS);
        return LIBUSB_SUCCESS;
    }

    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool first = true;
    bool timed_out = false;
    for (;;) {
        if (module_gone(h)) {
            trace_.transfer(true, ep, {}, LIBUSB_ERROR_NO_DEVICE);
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (halted(ep)) {
            trace_.transfer(true, ep, {}, LIBUSB_ERROR_PIPE);
            return LIBUSB_ERROR_PIPE;
        }
        switch (envelope_.phase()) {
        case Envelope::Phase::status:
            envelope_.status_sent();
            if (length < 4) {
                trace_.protocol_error("status read into " + std::to_string(length) + " bytes");
                trace_.transfer(true, ep, {}, LIBUSB_ERROR_OVERFLOW);
                return LIBUSB_ERROR_OVERFLOW;
            }
            std::memcpy(data, status_signature, 4);
            if (transferred != nullptr)
                *transferred = 4;
            trace_.transfer(true, ep, {data, 4}, LIBUSB_SUCCESS);
            return LIBUSB_SUCCESS;
        case Envelope::Phase::in_data:
            if (output_.ready(Clock::now())) {
                size_t max = std::min<size_t>(static_cast<size_t>(length), envelope_.announced());
                size_t n = output_.take(data, max, Clock::now());
                envelope_.data_sent();
                if (transferred != nullptr)
                    *transferred = static_cast<int>(n);
                trace_.transfer(true, ep, {data, n}, LIBUSB_SUCCESS);
                return LIBUSB_SUCCESS;
            }
            break;
        case Envelope::Phase::idle:
        case Envelope::Phase::out_data:
            if (first) {
                trace_.protocol_error("envelope: IN read without a command wrapper announcing it");
                trace_.transfer(true, ep, {}, LIBUSB_ERROR_PIPE);
                return LIBUSB_ERROR_PIPE;
            }
            break;
        }
        first = false;
        if (timed_out) {
            trace_.transfer(true, ep, {}, LIBUSB_ERROR_TIMEOUT);
            return LIBUSB_ERROR_TIMEOUT;
        }
        if (timeout_ms == 0)
            changed_.wait(lk);
        else
            timed_out = changed_.wait_until(lk, deadline) == std::cv_status::timeout;
    }
}

bool Emulator::out_naks(const libusb_device_handle *h, std::span<const uint8_t> bytes) const
{
    switch (stall_out_) {
    case StallOut::all:
        return true;
    case StallOut::data:
        // The bootloader has no envelope: every request is a data transfer.
        return h->dev->id.bootloader() || envelope_.takes_data(bytes);
    case StallOut::off:
        break;
    }
    return false;
}

int Emulator::nak_out(Lock &lk, libusb_device_handle *h, unsigned char ep, std::span<const uint8_t> bytes,
                      unsigned int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const uint64_t resets = device_resets_;
    bool timed_out = false;
    for (;;) {
        int rc = LIBUSB_SUCCESS;
        if (module_gone(h))
            rc = LIBUSB_ERROR_NO_DEVICE;
        else if (halted(ep))
            rc = LIBUSB_ERROR_PIPE;
        else if (device_resets_ != resets)
            rc = LIBUSB_ERROR_IO; // the reset cancelled the transfer
        else if (!out_naks(h, bytes))
            return LIBUSB_SUCCESS;
        else if (timed_out)
            rc = LIBUSB_ERROR_TIMEOUT;
        if (rc != LIBUSB_SUCCESS) {
            trace_.transfer(false, ep, bytes, rc);
            return rc;
        }
        if (timeout_ms == 0)
            changed_.wait(lk);
        else
            timed_out = changed_.wait_until(lk, deadline) == std::cv_status::timeout;
    }
}

int Emulator::boot_transfer(Lock &lk, libusb_device_handle *h, unsigned char ep, unsigned char *data,
                            int length, int *transferred, unsigned int timeout_ms)
{
    bool in = (ep & LIBUSB_ENDPOINT_IN) != 0;
    std::span<const uint8_t> bytes;
    if (!in)
        bytes = {data, static_cast<size_t>(length)};
    if (ep != boot_out_endpoint && ep != boot_in_endpoint) {
        char buf[80];
        std::snprintf(buf, sizeof buf, "transfer on endpoint %02x, which the bootloader does not have", ep);
        trace_.protocol_error(buf);
        trace_.transfer(in, ep, bytes, LIBUSB_ERROR_IO);
        return LIBUSB_ERROR_IO;
    }
    if (!h->claimed0) {
        trace_.protocol_error("bootloader: transfer without claiming interface 0");
        trace_.transfer(in, ep, bytes, LIBUSB_ERROR_IO);
        return LIBUSB_ERROR_IO;
    }
    if (!in) {
        if (out_naks(h, bytes)) {
            int rc = nak_out(lk, h, ep, bytes, timeout_ms);
            if (rc != LIBUSB_SUCCESS)
                return rc;
        }
        trace_.transfer(false, ep, bytes, LIBUSB_SUCCESS);
        if (transferred != nullptr)
            *transferred = length;
        boot_.receive(bytes);
        changed_.notify_all();
        return LIBUSB_SUCCESS;
    }
    if (length == 0) {
        trace_.transfer(true, ep, {}, LIBUSB_SUCCESS);
        return LIBUSB_SUCCESS;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool timed_out = false;
    for (;;) {
        if (module_gone(h)) {
            trace_.transfer(true, ep, {}, LIBUSB_ERROR_NO_DEVICE);
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (halted(ep)) {
            trace_.transfer(true, ep, {}, LIBUSB_ERROR_PIPE);
            return LIBUSB_ERROR_PIPE;
        }
        if (output_.ready(Clock::now())) {
            size_t n = output_.take(data, static_cast<size_t>(length), Clock::now());
            if (transferred != nullptr)
                *transferred = static_cast<int>(n);
            trace_.transfer(true, ep, {data, n}, LIBUSB_SUCCESS);
            if (leave_when_drained_ && output_.empty())
                leave_bus();
            return LIBUSB_SUCCESS;
        }
        if (timed_out) {
            trace_.transfer(true, ep, {}, LIBUSB_ERROR_TIMEOUT);
            return LIBUSB_ERROR_TIMEOUT;
        }
        if (timeout_ms == 0)
            changed_.wait(lk);
        else
            timed_out = changed_.wait_until(lk, deadline) == std::cv_status::timeout;
    }
}

int Emulator::interrupt_transfer(libusb_device_handle *h, unsigned char ep, unsigned char *data, int length,
                                 int *transferred)
{
    if (transferred != nullptr)
        *transferred = 0;
    Lock lk(mu_);
    bool in = (ep & LIBUSB_ENDPOINT_IN) != 0;
    std::span<const uint8_t> bytes;
    if (!in && data != nullptr && length > 0)
        bytes = {data, static_cast<size_t>(length)};
    if (!bus_.valid(h)) {
        trace_.transfer(in, ep, bytes, LIBUSB_ERROR_INVALID_PARAM);
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (module_gone(h)) {
        trace_.transfer(in, ep, bytes, LIBUSB_ERROR_NO_DEVICE);
        return LIBUSB_ERROR_NO_DEVICE;
    }
    char buf[80];
    std::snprintf(buf, sizeof buf, "interrupt transfer on endpoint %02x; the module has bulk endpoints only",
                  ep);
    trace_.protocol_error(buf);
    trace_.transfer(in, ep, bytes, LIBUSB_ERROR_IO);
    return LIBUSB_ERROR_IO;
}

int Emulator::control_transfer(libusb_device_handle *h, uint8_t request_type, uint8_t request, uint16_t value,
                               uint16_t index, uint16_t length)
{
    Lock lk(mu_);
    char buf[96];
    int rc = !bus_.valid(h)   ? LIBUSB_ERROR_INVALID_PARAM
             : module_gone(h) ? LIBUSB_ERROR_NO_DEVICE
                              : LIBUSB_ERROR_NOT_SUPPORTED;
    std::snprintf(buf, sizeof buf, "CTRL %02x %02x %04x %04x %04x !%s", request_type, request, value, index,
                  length, short_error_name(rc));
    trace_.note(buf);
    return rc;
}

// ---- hot-plug ----------------------------------------------------------------------------------------

int Emulator::register_hotplug(libusb_context *ctx, int events, int flags, int vid, int pid, int dev_class,
                               libusb_hotplug_callback_fn fn, void *user_data,
                               libusb_hotplug_callback_handle *handle)
{
    if (!hotplug_supported())
        return LIBUSB_ERROR_NOT_SUPPORTED;
    constexpr int all_events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    if (events == 0 || (events & ~all_events) != 0 || (flags & ~LIBUSB_HOTPLUG_ENUMERATE) != 0 ||
        fn == nullptr || vid < -1 || vid > 0xffff || pid < -1 || pid > 0xffff || dev_class < -1 ||
        dev_class > 0xff)
        return LIBUSB_ERROR_INVALID_PARAM;
    Lock lk(mu_);
    HotplugCallback cb;
    cb.events = events;
    cb.flags = flags;
    cb.vid = vid;
    cb.pid = pid;
    cb.dev_class = dev_class;
    cb.fn = fn;
    cb.user_data = user_data;
    cb.ctx = ctx;
    int id = bus_.add_callback(cb);
    if (handle != nullptr)
        *handle = id;
    // With ENUMERATE the callback hears at once, on this thread, of a matching module already present.
    libusb_device *dev = bus_.present();
    if ((flags & LIBUSB_HOTPLUG_ENUMERATE) != 0 && dev != nullptr) {
        auto matches = bus_.callbacks_for(dev, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
        if (std::any_of(matches.begin(), matches.end(),
                        [&](const HotplugCallback &c) { return c.handle == id; })) {
            bus_.ref(dev);
            lk.unlock();
            int r = 0;
            try {
                r = fn(ctx, dev, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, user_data);
            } catch (...) {
            }
            lk.lock();
            if (r == 1)
                bus_.remove_callback(id);
            bus_.unref(dev);
        }
    }
    return LIBUSB_SUCCESS;
}

void Emulator::deregister_hotplug(int handle)
{
    Lock lk(mu_);
    bus_.remove_callback(handle);
}

void *Emulator::hotplug_user_data(int handle)
{
    Lock lk(mu_);
    auto cb = bus_.callback(handle);
    return cb ? cb->user_data : nullptr;
}

int Emulator::handle_events(std::optional<std::chrono::milliseconds> timeout, int *completed)
{
    Lock lk(mu_);
    auto deadline = Clock::now() + (timeout ? *timeout : std::chrono::milliseconds(hotplug_wait));
    while (!bus_.events_pending() && !interrupted_ && !(completed != nullptr && *completed != 0)) {
        if (changed_.wait_until(lk, deadline) == std::cv_status::timeout)
            break;
    }
    interrupted_ = false;
    auto events = bus_.take_events();
    for (auto &ev : events) {
        for (const auto &cb : bus_.callbacks_for(ev.dev, ev.type)) {
            if (!bus_.callback(cb.handle))
                continue; // deregistered by an earlier callback
            lk.unlock();
            int r = 0;
            try {
                r = cb.fn(cb.ctx, ev.dev, ev.type, cb.user_data);
            } catch (...) {
            }
            lk.lock();
            if (r == 1)
                bus_.remove_callback(cb.handle);
        }
        bus_.unref(ev.dev);
    }
    return LIBUSB_SUCCESS;
}

} // namespace tirvane::emu

namespace tirvane::emu
{

int Emulator::wait_for_event(std::chrono::milliseconds timeout)
{
    Lock lk(mu_);
    bool got = changed_.wait_until(lk, Clock::now() + timeout,
                                   [&] { return bus_.events_pending() || interrupted_; });
    return got ? 0 : 1;
}

void Emulator::interrupt_events()
{
    Lock lk(mu_);
    interrupted_ = true;
    changed_.notify_all();
}

int Emulator::set_alt_setting(libusb_device_handle *handle, int iface, int alt)
{
    Lock lk(mu_);
    if (!bus_.valid(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (module_gone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (iface != 0 || !handle->claimed0 || alt != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    return LIBUSB_SUCCESS;
}

} // namespace tirvane::emu
