// The module's application firmware: command frames in, answer and data packets out, a library of
// 256 template slots, automatic enrolment and identification driven by scripted touches, the one-key
// power-up result, and injectable faults.
#pragma once

#include "emu_module.h"
#include "emu_util.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

namespace tirvane::emu
{

enum class TouchOutcome { ok, quality, area, repeated, exists, enrolfail, capturefail };
std::optional<TouchOutcome> parse_touch_outcome(std::string_view text);

enum class Pending { none, enroll, identify };
const char *pending_name(Pending p);

// Confirm codes the module uses.
namespace confirm
{
inline constexpr uint8_t ok = 0;
inline constexpr uint8_t recv_error = 1;
inline constexpr uint8_t no_finger = 2;
inline constexpr uint8_t enroll_fault = 3;
inline constexpr uint8_t not_found = 9;
inline constexpr uint8_t out_of_range = 11;
inline constexpr uint8_t command_error = 19;
inline constexpr uint8_t library_full = 31;
inline constexpr uint8_t template_not_empty = 34;
inline constexpr uint8_t enroll_times_error = 37;
inline constexpr uint8_t already_stored = 39;
inline constexpr uint8_t position_repeated = 48;
inline constexpr uint8_t quality_bad = 49;
inline constexpr uint8_t area_too_small = 50;
} // namespace confirm

inline constexpr uint16_t match_score = 200;
inline constexpr size_t image_bytes = 256 * 360;

class AppFirmware
{
  public:
    explicit AppFirmware(ModulePort &port) : port_(port) {}

    // Delay between the last capture of an enrolment and the merge/check/store reports.
    void set_merge_delay(std::chrono::milliseconds d)
    {
        merge_delay_ = d;
    }

    // One OUT data phase from the host (one command frame).
    void receive(std::span<const uint8_t> data);

    Pending pending() const;
    // Acts as the finger on the sensor for the operation waiting for a touch. Empty on success,
    // otherwise why nothing happened.
    std::string touch(const std::string &finger, TouchOutcome outcome);
    // Identification made by the module at power-up; answered to the next identification or
    // firmware version request.
    void set_powerup_touch(const std::string &finger);
    bool powerup_pending() const
    {
        return powerup_.has_value();
    }

    // The module lost power or left the bus: running operations end.
    void power_off();
    // Back to factory behaviour: no operation, no pending result, no fault.
    void reset();

    void set_silence(bool on)
    {
        silence_ = on;
    }
    bool silence() const
    {
        return silence_;
    }
    void corrupt_next()
    {
        corrupt_next_ = true;
    }
    void split_next()
    {
        split_next_ = true;
    }
    void stray_next(Bytes payload)
    {
        stray_next_ = std::move(payload);
    }
    void fail_next(uint8_t command, uint8_t code)
    {
        fail_next_[command] = code;
    }
    // The next identification request is refused at its check stage with `code`.
    void refuse_next_identify(uint8_t code);
    // The next answer loses every byte after its first n.
    void cut_next(size_t n)
    {
        cut_next_ = n;
    }
    // The next answer (and so everything queued after it) becomes readable only after the delay.
    void late_next(std::chrono::milliseconds delay)
    {
        late_next_ = delay;
    }
    // A restart with the right code is acknowledged but the module stays in the application.
    void set_ignore_restart(bool on)
    {
        ignore_restart_ = on;
    }
    // A finger rests on the sensor: every touch an operation waits for is taken at once with it,
    // also for operations started later, until lift().
    void hold(const std::string &finger);
    void lift()
    {
        held_.reset();
    }
    // The next answer's length field carries this high byte.
    void corrupt_length_next(uint8_t high)
    {
        corrupt_length_next_ = high;
    }
    // The last capture's reports and the merge/check/store reports come at once, in one chunk.
    void set_enroll_burst(bool on)
    {
        enroll_burst_ = on;
    }
    // The next enrolment that reaches the merge reports CODE at stage 4, 5 or 6.
    void fail_stage(uint8_t stage, uint8_t code)
    {
        fail_stage_[stage] = code;
    }
    // The next index-table page answer carries only n bytes after its confirm code.
    void short_index_next(size_t n)
    {
        short_index_next_ = n;
    }
    // The next firmware version request is first answered with a two-id search list.
    void version_idlist_next(uint8_t a, uint8_t b)
    {
        version_idlist_next_ = {a, b};
    }
    // An enrolment into an occupied slot is refused at stage 0 (confirm 34).
    void set_refuse_overwrite(bool on)
    {
        refuse_overwrite_ = on;
    }

  private:
    struct EnrollOp {
        uint64_t id = 0;
        unsigned slot = 0;
        unsigned captures = 0;
        unsigned next_capture = 1;
        std::string finger; // of the first accepted touch
        bool merging = false;
    };
    struct IdentifyOp {
        uint64_t id = 0;
        uint16_t target = 0xffff; // one slot, or 0xffff for the whole library
    };

    void dispatch(uint8_t cmd, std::span<const uint8_t> params);
    void answer(Bytes payload, bool alone = false);
    void data_packet(Bytes payload, bool image);
    // One-shot faults applied to one outgoing frame.
    struct FrameFaults {
        bool corrupt = false;                          // wrong checksum
        bool split = false;                            // arrives in two reads
        std::optional<size_t> cut;                     // only the first n bytes are sent
        std::optional<uint8_t> length_high;            // replaces the length field's high byte
        std::optional<std::chrono::milliseconds> late; // readable only after this delay
        bool alone = false;                            // the next read does not go past it
    };
    void emit(uint8_t type, const Bytes &payload, bool checksum_55aa, const FrameFaults &faults);
    void take_held_touches();

    void start_enroll(std::span<const uint8_t> p);
    void start_identify(std::span<const uint8_t> p);
    void finish_enroll(uint64_t op_id);
    Bytes search(const std::string &finger, uint16_t target) const;
    void send_version();
    void send_image();
    void stop_operations();

    ModulePort &port_;
    std::chrono::milliseconds merge_delay_{100};
    uint32_t chip_addr_ = 0xffffffff;
    uint64_t next_op_id_ = 1;
    std::optional<EnrollOp> enroll_;
    std::optional<IdentifyOp> identify_;
    std::optional<Bytes> powerup_;
    std::string last_finger_;

    bool silence_ = false;
    bool corrupt_next_ = false;
    bool split_next_ = false;
    std::optional<Bytes> stray_next_;
    std::map<uint8_t, uint8_t> fail_next_;
    std::optional<size_t> cut_next_;
    std::optional<std::chrono::milliseconds> late_next_;
    bool ignore_restart_ = false;
    std::optional<std::string> held_;
    std::optional<uint8_t> corrupt_length_next_;
    bool enroll_burst_ = false;
    std::map<uint8_t, uint8_t> fail_stage_;
    std::optional<size_t> short_index_next_;
    std::optional<std::pair<uint8_t, uint8_t>> version_idlist_next_;
    bool refuse_overwrite_ = true;
};

} // namespace tirvane::emu
