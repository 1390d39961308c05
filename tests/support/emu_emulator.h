// The emulated machine: one USB bus with the fingerprint module on it, behind the libusb API.
//
// One mutex guards everything; `changed_` wakes whoever waits for the module (blocked reads, the
// hot-plug event loop, the control channel) and `timer_cv_` drives the timer thread that carries out
// delayed work (re-enumeration, enrolment merge). Hot-plug callbacks run without the lock held.
//
// The object lives for the whole process: threads of the program under test may be blocked inside it
// until the process ends, so it is created on first use and never destroyed.
#pragma once

#include "emu_app.h"
#include "emu_boot.h"
#include "emu_bus.h"
#include "emu_envelope.h"
#include "emu_module.h"
#include "emu_output.h"
#include "emu_state.h"
#include "emu_trace.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

namespace tirvane::emu
{

struct Config {
    enum class Presence { absent, app, boot };
    Identity app_id;
    Topology topology;
    Presence presence = Presence::app;
    unsigned fw_version = 1500;
    std::chrono::milliseconds reenum{200};
    std::chrono::milliseconds merge{100};
    // A bootloader fault in force from the first byte, for faults a test cannot set in time.
    std::string boot_fault;
    // A finger that pressed the power button: the module starts holding its identification result.
    std::string powerup_touch;
    // Without a power-up finger the module's first identification waits for a touch like any
    // other (the host's start-up collection then reads until its time-out); when set, the module
    // refuses that first identification at once with "no finger" instead.
    bool refuse_first_identify = false;
    std::string state_path;
    std::string trace_path;
    std::string socket_path;

    // Reads the TIRVANE_EMU_* variables; values that cannot be read keep their default and are
    // reported in `problems`.
    static Config from_env(std::vector<std::string> &problems);
};

class ControlServer;

class Emulator final : public ModulePort
{
  public:
    static Emulator &instance();

    Emulator(const Emulator &) = delete;
    Emulator &operator=(const Emulator &) = delete;

    // ---- libusb side ----------------------------------------------------------------------------
    void init();
    void exit();
    void unsupported(const char *call, int result);
    bool hotplug_supported() const;

    ssize_t device_list(libusb_device ***list);
    void free_device_list(libusb_device **list, bool unref);
    libusb_device *ref_device(libusb_device *dev);
    void unref_device(libusb_device *dev);
    int device_descriptor(libusb_device *dev, libusb_device_descriptor *desc);
    int config_descriptor(libusb_device *dev, int index, libusb_config_descriptor **config);
    void free_config_descriptor(libusb_config_descriptor *config);
    int bus_number(libusb_device *dev);
    int device_address(libusb_device *dev);
    int port_numbers(libusb_device *dev, uint8_t *ports, int len);
    int max_packet_size(libusb_device *dev, unsigned char endpoint);

    int open(libusb_device *dev, libusb_device_handle **handle);
    libusb_device_handle *open_vid_pid(uint16_t vid, uint16_t pid);
    void close(libusb_device_handle *handle);
    libusb_device *device_of(libusb_device_handle *handle);
    int claim_interface(libusb_device_handle *handle, int iface);
    int release_interface(libusb_device_handle *handle, int iface);
    int kernel_driver(libusb_device_handle *handle, int iface, int op); // 0 active?, 1 detach, 2 attach
    int set_configuration(libusb_device_handle *handle, int configuration);
    int get_configuration(libusb_device_handle *handle, int *configuration);
    int simple_handle_call(libusb_device_handle *handle, const char *call); // checks handle only
    int clear_halt(libusb_device_handle *handle, unsigned char endpoint);
    int reset_device(libusb_device_handle *handle);

    int bulk_transfer(libusb_device_handle *handle, unsigned char endpoint, unsigned char *data, int length,
                      int *transferred, unsigned int timeout_ms);
    int interrupt_transfer(libusb_device_handle *handle, unsigned char endpoint, unsigned char *data,
                           int length, int *transferred);
    int control_transfer(libusb_device_handle *handle, uint8_t request_type, uint8_t request, uint16_t value,
                         uint16_t index, uint16_t length);

    int register_hotplug(libusb_context *ctx, int events, int flags, int vid, int pid, int dev_class,
                         libusb_hotplug_callback_fn fn, void *user_data,
                         libusb_hotplug_callback_handle *handle);
    void deregister_hotplug(int handle);
    void *hotplug_user_data(int handle);
    // Waits up to `timeout` (nullopt: 60 s) for hot-plug events and delivers them.
    int handle_events(std::optional<std::chrono::milliseconds> timeout, int *completed);
    // Waits up to `timeout` for a hot-plug event without delivering it; 1 on time-out.
    int wait_for_event(std::chrono::milliseconds timeout);
    // Makes a thread inside handle_events return early.
    void interrupt_events();
    int set_alt_setting(libusb_device_handle *handle, int iface, int alt);

    // ---- control side -----------------------------------------------------------------------------
    // Runs one control command line and returns the full reply ("OK ...\n" or "ERR ...\n", multi-line
    // replies as "OK <n>\n" followed by n lines). Never throws.
    std::string command(const std::string &line);

    // ---- ModulePort (called with the lock held) -------------------------------------------------
    void send(Bytes bytes, bool split) override;
    void send_alone(Bytes bytes) override;
    void send_late(Bytes bytes, std::chrono::milliseconds delay) override;
    void protocol_error(std::string what) override;
    void after(std::chrono::milliseconds delay, std::function<void()> action) override;
    void restart_into(bool bootloader) override;
    void pull_cable(bool after_output) override;
    ModuleState &state() override
    {
        return state_;
    }
    void state_changed() override;
    void wake() override
    {
        changed_.notify_all();
    }

  private:
    Emulator();
    ~Emulator() override;

    using Lock = std::unique_lock<std::mutex>;

    void load();      // configuration and state from the environment and state file
    void reset_all(); // back to the state of a fresh process
    void timer_loop();
    void attach(bool bootloader);
    void leave_bus();
    const char *mode_name() const;
    bool module_gone(const libusb_device_handle *h) const;
    int app_transfer(Lock &lk, libusb_device_handle *h, unsigned char ep, unsigned char *data, int length,
                     int *transferred, unsigned int timeout_ms);
    int boot_transfer(Lock &lk, libusb_device_handle *h, unsigned char ep, unsigned char *data, int length,
                      int *transferred, unsigned int timeout_ms);
    // The OUT endpoint NAKs this transfer (stall-out fault).
    bool out_naks(const libusb_device_handle *h, std::span<const uint8_t> bytes) const;
    // Holds a NAKed OUT transfer until the NAK ends (then LIBUSB_SUCCESS: the transfer goes on), its
    // time-out passes (0: none), the endpoint halts, the device is reset or the module leaves.
    // Failures are traced here.
    int nak_out(Lock &lk, libusb_device_handle *h, unsigned char ep, std::span<const uint8_t> bytes,
                unsigned int timeout_ms);
    bool halted(unsigned char ep) const
    {
        return halted_.count(ep) != 0;
    }

    // Control command handlers (emu_control.cpp).
    struct Reply;
    Reply run_command(Lock &lk, const std::vector<std::string> &w);

    mutable std::mutex mu_;
    std::condition_variable changed_;
    std::condition_variable timer_cv_;

    Config cfg_;
    ModuleState state_;
    Bus bus_;
    Envelope envelope_;
    OutputQueue output_;
    AppFirmware app_{*this};
    Bootloader boot_{*this};
    Trace trace_;

    int init_count_ = 0;
    uint64_t epoch_ = 0;              // bumped when the world is reset or the cable is handled by hand
    bool reenumerating_ = false;      // between leaving and coming back after a restart
    bool leave_when_drained_ = false; // pull the cable once the host read all output
    bool interrupted_ = false;        // libusb_interrupt_event_handler was called
    enum class StallOut { off, data, all };
    StallOut stall_out_ = StallOut::off; // the OUT endpoint NAKs (data phases only, or everything)
    std::set<uint8_t> halted_;           // endpoints that fail with PIPE until libusb_clear_halt
    uint64_t device_resets_ = 0;         // libusb_reset_device calls (end NAKed transfers)
    std::multimap<Clock::time_point, std::function<void()>> timers_;
    std::unordered_set<libusb_device **> device_lists_;
    std::unordered_set<const libusb_config_descriptor *> config_descriptors_;
    std::unique_ptr<ControlServer> control_;
};

} // namespace tirvane::emu
