#include "emu_app.h"

#include <algorithm>
#include <utility>

namespace tirvane::emu
{

namespace
{

constexpr uint8_t head0 = 0xef;
constexpr uint8_t head1 = 0x01;
constexpr uint8_t type_command = 0x01;
constexpr uint8_t type_answer = 0x07;
constexpr uint8_t type_end = 0x08;

// Command codes the firmware knows.
enum : uint8_t {
    cmd_get_image = 0x01,
    cmd_upload_image = 0x0a,
    cmd_delete = 0x0c,
    cmd_empty = 0x0d,
    cmd_read_sys_param = 0x0f,
    cmd_set_chip_addr = 0x15,
    cmd_read_info_page = 0x16,
    cmd_valid_template_count = 0x1d,
    cmd_read_index_table = 0x1f,
    cmd_cancel = 0x30,
    cmd_auto_enroll = 0x31,
    cmd_auto_identify = 0x32,
    cmd_sleep = 0x33,
    cmd_chip_serial = 0x34,
    cmd_handshake = 0x35,
    cmd_pc_state = 0x50,
    cmd_test = 0xaf,
    cmd_get_brightness = 0xb1,
    cmd_start_capture_image = 0xb8,
    cmd_restart = 0xff,
};

constexpr uint8_t sub_read_version = 0x10;
constexpr uint8_t sub_set_mode = 0xbd;

constexpr uint8_t restart_code[8] = {0x3c, 0xc3, 0x69, 0x96, 0x51, 0x52, 0x58, 0x4b};

// Parameter bytes each command takes; -1: variable (checked by the handler).
int expected_params(uint8_t cmd)
{
    switch (cmd) {
    case cmd_delete:
    case cmd_set_chip_addr:
        return 4;
    case cmd_read_index_table:
    case cmd_pc_state:
        return 1;
    case cmd_auto_enroll:
    case cmd_auto_identify:
        return 5;
    case cmd_restart:
        return 8;
    case cmd_test:
        return -1;
    case cmd_get_image:
    case cmd_upload_image:
    case cmd_empty:
    case cmd_read_sys_param:
    case cmd_read_info_page:
    case cmd_valid_template_count:
    case cmd_cancel:
    case cmd_sleep:
    case cmd_chip_serial:
    case cmd_handshake:
    case cmd_get_brightness:
    case cmd_start_capture_image:
        return 0;
    default:
        return -1;
    }
}

std::string hex2(unsigned v)
{
    static constexpr char d[] = "0123456789abcdef";
    return {d[(v >> 4) & 15], d[v & 15]};
}

uint8_t outcome_code(TouchOutcome o)
{
    switch (o) {
    case TouchOutcome::quality:
        return confirm::quality_bad;
    case TouchOutcome::area:
        return confirm::area_too_small;
    case TouchOutcome::repeated:
        return confirm::position_repeated;
    case TouchOutcome::exists:
        return confirm::already_stored;
    case TouchOutcome::enrolfail:
        return confirm::enroll_fault;
    case TouchOutcome::capturefail:
        return confirm::no_finger;
    case TouchOutcome::ok:
        break;
    }
    return confirm::ok;
}

} // namespace

std::optional<TouchOutcome> parse_touch_outcome(std::string_view t)
{
    if (t == "ok")
        return TouchOutcome::ok;
    if (t == "quality")
        return TouchOutcome::quality;
    if (t == "area")
        return TouchOutcome::area;
    if (t == "repeated")
        return TouchOutcome::repeated;
    if (t == "exists")
        return TouchOutcome::exists;
    if (t == "enrolfail")
        return TouchOutcome::enrolfail;
    if (t == "capturefail")
        return TouchOutcome::capturefail;
    return std::nullopt;
}

const char *pending_name(Pending p)
{
    switch (p) {
    case Pending::enroll:
        return "enroll";
    case Pending::identify:
        return "identify";
    case Pending::none:
        break;
    }
    return "none";
}

void AppFirmware::receive(std::span<const uint8_t> d)
{
    auto refuse = [&](const std::string &why) {
        port_.protocol_error("command frame: " + why + ": " +
                             hex_bytes(d.first(std::min<size_t>(d.size(), 64))));
        answer({confirm::recv_error});
    };
    if (d.size() < 12)
        return refuse("too short (" + std::to_string(d.size()) + " bytes)");
    if (d[0] != head0 || d[1] != head1)
        return refuse("bad head");
    uint32_t addr = get_be32(&d[2]);
    if (addr != 0xffffffff && addr != chip_addr_)
        return refuse("foreign chip address");
    if (d[6] != type_command)
        return refuse("package type " + hex2(d[6]) + " is not a command");
    size_t len = get_be16(&d[7]);
    if (len != d.size() - 9)
        return refuse("length field " + std::to_string(len) + " but " + std::to_string(d.size() - 9) +
                      " bytes follow it");
    uint16_t sum = 0;
    for (size_t i = 6; i < d.size() - 2; ++i)
        sum = static_cast<uint16_t>(sum + d[i]);
    uint16_t got = get_be16(&d[d.size() - 2]);
    if (sum != got)
        return refuse("checksum " + hex2(got >> 8) + hex2(got) + ", expected " + hex2(sum >> 8) + hex2(sum));

    uint8_t cmd = d[9];
    std::span<const uint8_t> params = d.subspan(10, d.size() - 12);
    int expected = expected_params(cmd);
    if ((expected >= 0 && params.size() != static_cast<size_t>(expected)) ||
        (cmd == cmd_test && params.empty()))
        return refuse("command " + hex2(cmd) + " with " + std::to_string(params.size()) + " parameter bytes");

    auto forced = fail_next_.find(cmd);
    if (forced != fail_next_.end()) {
        uint8_t code = forced->second;
        fail_next_.erase(forced);
        if (code != confirm::ok) {
            if (cmd == cmd_auto_enroll || cmd == cmd_auto_identify)
                answer({code, 0x00});
            else
                answer({code});
            return;
        }
    }
    dispatch(cmd, params);
}

void AppFirmware::dispatch(uint8_t cmd, std::span<const uint8_t> p)
{
    ModuleState &st = port_.state();
    switch (cmd) {
    case cmd_handshake:
    case cmd_pc_state:
        answer({confirm::ok});
        return;
    case cmd_get_image:
        answer({confirm::ok});
        return;
    case cmd_upload_image:
    case cmd_start_capture_image:
        answer({confirm::ok});
        send_image();
        return;
    case cmd_delete: {
        unsigned first = get_be16(&p[0]);
        unsigned count = get_be16(&p[2]);
        if (first + count > library_slots) {
            answer({confirm::out_of_range});
            return;
        }
        bool changed = false;
        for (unsigned s = first; s < first + count; ++s)
            changed |= st.templates.erase(s) != 0;
        if (changed)
            port_.state_changed();
        answer({confirm::ok});
        return;
    }
    case cmd_empty:
        if (!st.templates.empty()) {
            st.templates.clear();
            port_.state_changed();
        }
        answer({confirm::ok});
        return;
    case cmd_read_sys_param: {
        Bytes a{confirm::ok};
        put_be16(a, 0x0002);        // sensor type
        put_be16(a, library_slots); // library size
        put_be16(a, 0x0003);        // security level
        put_be16(a, static_cast<uint16_t>(chip_addr_ >> 16));
        put_be16(a, static_cast<uint16_t>(chip_addr_));
        answer(std::move(a));
        return;
    }
    case cmd_set_chip_addr:
        // The answer still carries the address the command was sent under.
        answer({confirm::ok});
        chip_addr_ = get_be32(&p[0]);
        return;
    case cmd_read_info_page: {
        answer({confirm::ok});
        Bytes page(128, 0xff);
        std::string text = version_text(st.version);
        std::copy(text.begin(), text.end(), page.begin());
        std::string sn = module_serial;
        std::copy(sn.begin(), sn.end(), page.begin() + 32);
        page[64] = static_cast<uint8_t>(st.templates.size() >> 8);
        page[65] = static_cast<uint8_t>(st.templates.size());
        data_packet(std::move(page), false);
        return;
    }
    case cmd_valid_template_count: {
        Bytes a{confirm::ok};
        put_be16(a, static_cast<uint16_t>(st.templates.size()));
        answer(std::move(a));
        return;
    }
    case cmd_read_index_table: {
        unsigned page = p[0];
        if (page > 3) {
            answer({confirm::out_of_range});
            return;
        }
        Bytes a(33, 0);
        a[0] = confirm::ok;
        for (const auto &entry : st.templates) {
            unsigned slot = entry.first;
            if (slot / 256 == page)
                a[1 + (slot % 256) / 8] |= static_cast<uint8_t>(1u << (slot % 8));
        }
        if (auto n = std::exchange(short_index_next_, std::nullopt); n && *n < 32)
            a.resize(1 + *n);
        answer(std::move(a));
        return;
    }
    case cmd_cancel:
    case cmd_sleep:
        stop_operations();
        answer({confirm::ok});
        return;
    case cmd_auto_enroll:
        start_enroll(p);
        return;
    case cmd_auto_identify:
        start_identify(p);
        return;
    case cmd_chip_serial: {
        Bytes a{confirm::ok};
        std::string sn = module_serial;
        a.insert(a.end(), sn.begin(), sn.end());
        answer(std::move(a));
        return;
    }
    case cmd_test:
        if (p[0] == sub_read_version && p.size() == 1) {
            send_version();
        } else if (p[0] == sub_set_mode && p.size() >= 2 && p.size() <= 100) {
            answer({confirm::ok});
        } else {
            answer({confirm::command_error});
        }
        return;
    case cmd_get_brightness:
        answer({confirm::ok, 0x80});
        return;
    case cmd_restart:
        if (!std::equal(p.begin(), p.end(), std::begin(restart_code))) {
            answer({confirm::command_error});
            return;
        }
        stop_operations();
        answer({confirm::ok});
        if (!ignore_restart_)
            port_.restart_into(true);
        return;
    default:
        answer({confirm::command_error});
        return;
    }
}

void AppFirmware::start_enroll(std::span<const uint8_t> p)
{
    const ModuleState &st = port_.state();
    unsigned slot = get_be16(&p[0]);
    unsigned captures = p[2];
    stop_operations();
    if (slot >= library_slots) {
        answer({confirm::out_of_range, 0x00});
        return;
    }
    if (st.templates.size() >= library_slots) {
        answer({confirm::library_full, 0x00});
        return;
    }
    if (captures == 0) {
        answer({confirm::enroll_times_error, 0x00});
        return;
    }
    if (refuse_overwrite_ && st.templates.count(slot) != 0) {
        answer({confirm::template_not_empty, 0x00});
        return;
    }
    enroll_ = EnrollOp{next_op_id_++, slot, captures, 1, {}, false};
    answer({confirm::ok, 0x00});
    take_held_touches();
    port_.wake();
}

void AppFirmware::start_identify(std::span<const uint8_t> p)
{
    uint16_t target = get_be16(&p[1]);
    stop_operations();
    if (target != 0xffff && target >= library_slots) {
        answer({confirm::out_of_range, 0x00});
        return;
    }
    answer({confirm::ok, 0x00});
    if (powerup_) {
        // The finger that powered the machine up was identified already.
        answer({confirm::ok, 0x01});
        answer(std::move(*powerup_));
        powerup_.reset();
        return;
    }
    identify_ = IdentifyOp{next_op_id_++, target};
    take_held_touches();
    port_.wake();
}

void AppFirmware::hold(const std::string &finger)
{
    held_ = finger;
    take_held_touches();
}

void AppFirmware::take_held_touches()
{
    if (!held_)
        return;
    // Each capture of an enrolment takes the resting finger at once; an identification matches it
    // at once, so its stage 1 report and result follow stage 0 in the same output.
    while (pending() != Pending::none)
        touch(*held_, TouchOutcome::ok);
}

Pending AppFirmware::pending() const
{
    if (enroll_ && !enroll_->merging)
        return Pending::enroll;
    if (identify_)
        return Pending::identify;
    return Pending::none;
}

std::string AppFirmware::touch(const std::string &finger, TouchOutcome outcome)
{
    last_finger_ = finger;
    uint8_t code = outcome_code(outcome);
    if (enroll_ && !enroll_->merging) {
        EnrollOp &op = *enroll_;
        auto n = static_cast<uint8_t>(op.next_capture);
        switch (outcome) {
        case TouchOutcome::ok:
            answer({confirm::ok, 0x01, n});
            answer({confirm::ok, 0x02, n});
            answer({confirm::ok, 0x03, n});
            if (op.finger.empty())
                op.finger = finger;
            if (++op.next_capture > op.captures) {
                op.merging = true;
                uint64_t id = op.id;
                // In a burst (or without a merge delay) the reports follow in the same output.
                if (enroll_burst_ || merge_delay_.count() == 0)
                    finish_enroll(id);
                else
                    port_.after(merge_delay_, [this, id] { finish_enroll(id); });
            }
            break;
        case TouchOutcome::quality:
        case TouchOutcome::area:
        case TouchOutcome::repeated:
        case TouchOutcome::exists:
            answer({confirm::ok, 0x01, n});
            answer({code, 0x02, n});
            answer({code, 0x03, n});
            break;
        case TouchOutcome::enrolfail:
            answer({confirm::ok, 0x01, n});
            answer({confirm::ok, 0x02, n});
            answer({code, 0x03, n});
            break;
        case TouchOutcome::capturefail:
            answer({code, 0x01, n});
            answer({code, 0x02, n});
            answer({code, 0x03, n});
            break;
        }
        return {};
    }
    if (identify_) {
        switch (outcome) {
        case TouchOutcome::ok:
            answer({confirm::ok, 0x01});
            answer(search(finger, identify_->target));
            break;
        case TouchOutcome::quality:
        case TouchOutcome::area:
        case TouchOutcome::capturefail:
            answer({code, 0x01});
            answer({code, 0x05, 0xff, 0xff, 0x00, 0x00});
            break;
        case TouchOutcome::repeated:
        case TouchOutcome::exists:
        case TouchOutcome::enrolfail:
            return "outcome applies to enrolment only";
        }
        identify_.reset();
        return {};
    }
    return "no operation waiting for a touch";
}

void AppFirmware::finish_enroll(uint64_t op_id)
{
    if (!enroll_ || enroll_->id != op_id)
        return;
    EnrollOp op = *enroll_;
    enroll_.reset();
    // Injected failures are taken by this enrolment. A failed merge or check ends the enrolment at
    // once, but the module still reports stage 6 with the same code, so the host sees the end; a
    // failed store leaves the slot as it was.
    auto take = [&](uint8_t stage) -> uint8_t {
        auto it = fail_stage_.find(stage);
        if (it == fail_stage_.end())
            return confirm::ok;
        uint8_t code = it->second;
        fail_stage_.erase(it);
        return code;
    };
    uint8_t merge = take(0x04), check = take(0x05), store = take(0x06);
    answer({merge, 0x04});
    if (merge != confirm::ok) {
        answer({merge, 0x06});
        return;
    }
    answer({check, 0x05});
    if (check != confirm::ok) {
        answer({check, 0x06});
        return;
    }
    if (store == confirm::ok) {
        ModuleState &st = port_.state();
        st.templates[op.slot] = op.finger;
        port_.state_changed();
    }
    answer({store, 0x06});
}

Bytes AppFirmware::search(const std::string &finger, uint16_t target) const
{
    std::vector<unsigned> hits;
    for (const auto &[slot, name] : port_.state().templates)
        if (name == finger && (target == 0xffff || slot == target))
            hits.push_back(slot);
    if (hits.empty())
        return {confirm::not_found, 0x05, 0xff, 0xff, 0x00, 0x00};
    if (hits.size() == 1) {
        Bytes a{confirm::ok, 0x05};
        put_be16(a, static_cast<uint16_t>(hits[0]));
        put_be16(a, match_score);
        return a;
    }
    size_t count = std::min<size_t>(hits.size(), 255);
    Bytes a{confirm::ok, 0xf5, static_cast<uint8_t>(count)};
    for (size_t i = 0; i < count; ++i)
        a.push_back(static_cast<uint8_t>(hits[i]));
    // An identification result is never shorter than the single-match form.
    while (a.size() < 6)
        a.push_back(0xff);
    return a;
}

void AppFirmware::refuse_next_identify(uint8_t code)
{
    fail_next(cmd_auto_identify, code);
}

void AppFirmware::set_powerup_touch(const std::string &finger)
{
    last_finger_ = finger;
    powerup_ = search(finger, 0xffff);
}

void AppFirmware::send_version()
{
    if (powerup_) {
        answer(std::move(*powerup_));
        powerup_.reset();
    }
    if (auto ids = std::exchange(version_idlist_next_, std::nullopt)) {
        // A search list where the version was expected; the version answer needs another read.
        answer({confirm::ok, 0xf5, 0x02, ids->first, ids->second, 0xff}, true);
    }
    Bytes a{confirm::ok};
    std::string text = version_text(port_.state().version);
    a.insert(a.end(), text.begin(), text.end());
    answer(std::move(a));
}

void AppFirmware::send_image()
{
    Bytes img(image_bytes);
    unsigned seed = 0;
    for (char c : last_finger_)
        seed = seed * 31 + static_cast<unsigned char>(c);
    for (unsigned y = 0; y < 360; ++y)
        for (unsigned x = 0; x < 256; ++x)
            img[y * 256 + x] = static_cast<uint8_t>(((x * 7 + y * 3) ^ seed) + ((x / 16 + y / 16) % 2) * 64);
    data_packet(std::move(img), true);
}

void AppFirmware::stop_operations()
{
    enroll_.reset();
    identify_.reset();
}

void AppFirmware::power_off()
{
    stop_operations();
}

void AppFirmware::reset()
{
    stop_operations();
    powerup_.reset();
    last_finger_.clear();
    chip_addr_ = 0xffffffff;
    silence_ = false;
    corrupt_next_ = false;
    split_next_ = false;
    stray_next_.reset();
    fail_next_.clear();
    cut_next_.reset();
    late_next_.reset();
    ignore_restart_ = false;
    held_.reset();
    corrupt_length_next_.reset();
    enroll_burst_ = false;
    fail_stage_.clear();
    short_index_next_.reset();
    version_idlist_next_.reset();
    refuse_overwrite_ = true;
}

void AppFirmware::answer(Bytes payload, bool alone)
{
    if (silence_)
        return;
    if (stray_next_) {
        Bytes stray = std::move(*stray_next_);
        stray_next_.reset();
        emit(type_answer, stray, false, {});
    }
    FrameFaults f;
    f.corrupt = std::exchange(corrupt_next_, false);
    f.split = std::exchange(split_next_, false);
    f.cut = std::exchange(cut_next_, std::nullopt);
    f.late = std::exchange(late_next_, std::nullopt);
    f.length_high = std::exchange(corrupt_length_next_, std::nullopt);
    f.alone = alone;
    emit(type_answer, payload, false, f);
}

void AppFirmware::data_packet(Bytes payload, bool image)
{
    if (silence_)
        return;
    emit(type_end, payload, image, {});
}

void AppFirmware::emit(uint8_t type, const Bytes &payload, bool image, const FrameFaults &faults)
{
    Bytes f;
    f.reserve(payload.size() + 11);
    f.push_back(head0);
    f.push_back(head1);
    f.push_back(static_cast<uint8_t>(chip_addr_ >> 24));
    f.push_back(static_cast<uint8_t>(chip_addr_ >> 16));
    f.push_back(static_cast<uint8_t>(chip_addr_ >> 8));
    f.push_back(static_cast<uint8_t>(chip_addr_));
    f.push_back(type);
    // An image does not fit the length field: it is sent with 0xffff there and 0x55aa as checksum.
    uint16_t len = image ? 0xffff : static_cast<uint16_t>(payload.size() + 2);
    put_be16(f, len);
    f.insert(f.end(), payload.begin(), payload.end());
    uint16_t sum = 0;
    for (size_t i = 6; i < f.size(); ++i)
        sum = static_cast<uint16_t>(sum + f[i]);
    if (image)
        sum = 0x55aa;
    if (faults.corrupt)
        sum ^= 0x5a5a;
    put_be16(f, sum);
    // Damage on the way: the checksum was right for the bytes as they left.
    if (faults.length_high)
        f[7] = *faults.length_high;
    if (faults.cut && *faults.cut < f.size())
        f.resize(*faults.cut);
    if (faults.late)
        port_.send_late(std::move(f), *faults.late);
    else if (faults.alone && !faults.split)
        port_.send_alone(std::move(f));
    else
        port_.send(std::move(f), faults.split);
}

} // namespace tirvane::emu
