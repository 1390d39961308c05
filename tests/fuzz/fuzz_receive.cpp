// Fuzz target: the application receive machine of the sensor driver
// (fp_parse_prot, and through it fp_deal_usb_data, fp_parse_prot_response and
// fp_parse_prot_data_end), fed the way the driver feeds it: reads of arbitrary
// size, with the awaited command possibly changing between two reads. It links
// the driver's pure framing and parsing code alone, without any transport.
//
// Input layout:
//   byte 0      awaited command: index (modulo 20) into kCommands
//   byte 1      bit 0: TEST_TYPE sub-command 0x10 (clear) or 0xBD (set)
//               bits 1-2: number k of step records that follow (0..3)
//   k x 4 bytes step records; step i starts read i + 1 of the stream:
//               [0] where the read starts, as a fraction (/255) of the stream
//               [1] command change before the read: value % 64 below 20 starts
//                   an exchange for kCommands[v] as the send path does (machine
//                   back to idle, fp_resp_init), 20..39 only switches the awaited
//                   command to kCommands[v - 20] as the image read does, 40..47
//                   returns the machine to idle as a drain does and keeps the
//                   command, 48 and above keeps everything
//               [2] filler: [2] x 512 bytes of value [3] arrive before the read
//                   (long payloads such as a 92,160-byte image stay cheap)
//               [3] filler byte value
//   the rest    the byte stream the module sends
//
// Every input runs twice on freshly cleared records: once through
// fp_parse_prot in the reads above, once byte by byte through fp_deal_usb_data
// (the middle of a filler longer than 1 KiB as one read).
// fp_parse_prot's bulk paths promise exactly the per-byte machine's effect, so
// both runs must leave the same records; a difference aborts. The records must
// also keep the limits the decoder promises (terminated version text, id counts
// within their arrays, capture numbers within 0..8, a known machine state).
#include "app_fp256_360.h"
#include "fuzz_support.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace
{

constexpr uint8_t kCommands[] = {
    PROT_CMD_GETIMAGE,       PROT_CMD_UPIMAGE,       PROT_CMD_DELCHAR,      PROT_CMD_EMPTY,
    PROT_CMD_READSYSPARA,    PROT_CMD_SETCHIPADDR,   PROT_CMD_READINFOPAGE, PROT_CMD_VALIDTEMPLATENUM,
    PROT_CMD_READINDEXTABLE, PROT_CMD_CANCEL,        PROT_CMD_AUTOENROLL,   PROT_CMD_AUTOIDENTIFY,
    PROT_CMD_SLEEP,          PROT_CMD_GETCHIPSN,     PROT_CMD_HANDSHAKE,    PROT_CMD_PS_PC_STATE,
    PROT_CMD_TEST_TYPE,      PORT_CMD_STARTCAPIMAGE, PROT_CMD_RTBOOT,       PORT_CMD_ACQUIRE_IMAGEDATA,
};
constexpr size_t kCommandCount = sizeof(kCommands) / sizeof(kCommands[0]);
static_assert(kCommandCount == 20, "the layout comment counts 20 commands");

constexpr size_t kStepRecordSize = 4;
constexpr size_t kFillerUnit = 512;

struct Step {
    size_t start;      // offset of the read in the stream
    uint8_t command;   // raw command byte of the record
    size_t filler_len; // bytes of filler before the read
    uint8_t filler;
};

struct Plan {
    uint8_t command;
    uint8_t sub_command;
    std::vector<Step> steps; // the first read starts at 0 with no step record
    const uint8_t *stream;
    size_t stream_len;
};

bool make_plan(const uint8_t *data, size_t size, Plan &plan)
{
    if (size < 2) {
        return false;
    }
    plan.command = kCommands[data[0] % kCommandCount];
    plan.sub_command = (data[1] & 1) != 0 ? PROT_SUBCMD_SET_MODE : PROT_SUBCMD_READ_FW;
    const size_t k = (data[1] >> 1) & 3;
    const size_t header = 2 + k * kStepRecordSize;
    if (size < header) {
        return false;
    }
    plan.stream = data + header;
    plan.stream_len = size - header;
    plan.steps.clear();
    size_t previous = 0;
    for (size_t i = 0; i < k; ++i) {
        const uint8_t *r = data + 2 + i * kStepRecordSize;
        const size_t start = std::max(previous, plan.stream_len * r[0] / 255);
        plan.steps.push_back({start, r[1], static_cast<size_t>(r[2]) * kFillerUnit, r[3]});
        previous = start;
    }
    return true;
}

void apply_command_change(uint8_t raw)
{
    const unsigned v = raw % 64u;
    if (v < kCommandCount) {
        fp_parse_prot_reset();
        fp_resp_init(kCommands[v]);
    } else if (v < 2 * kCommandCount) {
        prot_packet_usb.current_cmd_code = kCommands[v - kCommandCount];
    } else if (v < 2 * kCommandCount + 8) {
        fp_parse_prot_reset();
    }
}

void reset_records(const Plan &plan)
{
    fp_module_init();
    usb_recv_cnt = 0;
    // Its 16-bit index keeps the raw copy within the first 64 KiB.
    std::memset(usb_recv_data, 0, 0x10000);
    fp_resp_init(plan.command);
    prot_packet_usb.current_sub_cmd_code = plan.sub_command;
}

// Feeds `len` bytes either as one read or byte by byte; true when a packet completed.
bool feed(const uint8_t *buf, size_t len, bool bytewise)
{
    if (len == 0) {
        return false;
    }
    if (!bytewise) {
        return fp_parse_prot(buf, static_cast<int>(len)) == 0;
    }
    bool completed = false;
    for (size_t i = 0; i < len; ++i) {
        completed = (fp_deal_usb_data(buf[i]) == 0) || completed;
    }
    return completed;
}

// A long filler is fed byte by byte only at its ends, its middle as one read:
// any mixture of reads must give the per-byte machine's result, and this keeps
// a 92,160-byte image cheap.
bool feed_filler(const std::vector<uint8_t> &filler, bool bytewise)
{
    constexpr size_t kEnds = 512;
    if (!bytewise || filler.size() <= 2 * kEnds) {
        return feed(filler.data(), filler.size(), bytewise);
    }
    bool completed = feed(filler.data(), kEnds, true);
    completed = feed(filler.data() + kEnds, filler.size() - 2 * kEnds, false) || completed;
    completed = feed(filler.data() + filler.size() - kEnds, kEnds, true) || completed;
    return completed;
}

bool run(const Plan &plan, bool bytewise, std::vector<uint8_t> &filler)
{
    reset_records(plan);
    bool completed = false;
    for (size_t i = 0; i <= plan.steps.size(); ++i) {
        const size_t begin = i == 0 ? 0 : plan.steps[i - 1].start;
        const size_t end = i < plan.steps.size() ? plan.steps[i].start : plan.stream_len;
        if (i > 0) {
            const Step &s = plan.steps[i - 1];
            apply_command_change(s.command);
            if (s.filler_len > 0) {
                filler.assign(s.filler_len, s.filler);
                completed = feed_filler(filler, bytewise) || completed;
            }
        }
        completed = feed(plan.stream + begin, end - begin, bytewise) || completed;
    }
    return completed;
}

// The receive record without its payload area.
struct PacketHead {
    uint8_t prot_state;
    uint16_t prot_head;
    uint32_t prot_addr;
    uint8_t prot_type;
    uint16_t prot_size;
    uint32_t prot_data_cnt;
    uint16_t prot_checksum;
    uint8_t prot_respond;
    uint8_t current_cmd_code;
    uint8_t current_resp_cmd;
    uint8_t current_resp_type;
    uint8_t current_sub_cmd_code;
};

// What a run leaves behind, without the clock readings.
struct Outcome {
    bool completed;
    PacketHead packet_head; // prot_data is compared separately, up to prot_data_cnt
    uint16_t raw_cnt;
    std::vector<uint8_t> raw;
    std::vector<uint8_t> data;
    FP_SYS_PARAM_STRUCT sys_param;
    uint8_t flash_info_page[FP_FLASH_INFO_PAGE_SIZE];
    uint8_t index_table_info[FP_INDEX_TABLE_PAGES][FP_INDEX_TABLE_PAGE_SIZE];
    uint8_t chip_serial_num_len;
    uint8_t chip_serial_num[FP_CHIP_SN_MAX_LEN];
    uint8_t handshake_state;
    FP_AUTOENROLL_PARAM_STRUCT enroll;
    FP_AUTOIDENTIFY_PARAM_STRUCT identify;
    uint8_t results[4];
    uint16_t valid_template_num;
    char firmware_version[FP_FW_VERSION_SIZE];
    uint32_t firmware_version_num;
    uint8_t onekey_flag;
    int onekey_num;
    uint16_t onekey_ids[FP_SEARCH_ID_MAX];
    uint8_t continue_read_fw;
    std::vector<uint8_t> image;
};

void capture(Outcome &o, bool completed)
{
    const PROT_PACKET &p = prot_packet_usb;
    const FP_DEVICE_PARAM_STRUCT &d = fp_device_param;
    o.completed = completed;
    o.packet_head.prot_state = p.prot_state;
    o.packet_head.prot_head = p.prot_head;
    o.packet_head.prot_addr = p.prot_addr;
    o.packet_head.prot_type = p.prot_type;
    o.packet_head.prot_size = p.prot_size;
    o.packet_head.prot_data_cnt = p.prot_data_cnt;
    o.packet_head.prot_checksum = p.prot_checksum;
    o.packet_head.prot_respond = p.prot_respond;
    o.packet_head.current_cmd_code = p.current_cmd_code;
    o.packet_head.current_resp_cmd = p.current_resp_cmd;
    o.packet_head.current_resp_type = p.current_resp_type;
    o.packet_head.current_sub_cmd_code = p.current_sub_cmd_code;
    const size_t cnt = std::min<size_t>(p.prot_data_cnt, sizeof(p.prot_data));
    o.data.assign(p.prot_data, p.prot_data + cnt);
    o.raw_cnt = usb_recv_cnt;
    o.raw.assign(usb_recv_data, usb_recv_data + 0x10000);
    o.sys_param = d.sys_param;
    std::memcpy(o.flash_info_page, d.flash_info_page, sizeof(o.flash_info_page));
    std::memcpy(o.index_table_info, d.index_table_info, sizeof(o.index_table_info));
    o.chip_serial_num_len = d.chip_serial_num_len;
    std::memcpy(o.chip_serial_num, d.chip_serial_num, sizeof(o.chip_serial_num));
    o.handshake_state = d.handshake_state;
    o.enroll = d.auto_enroll_param;
    o.identify = d.auto_identify_param;
    o.results[0] = d.delete_template_result;
    o.results[1] = d.empty_template_result;
    o.results[2] = d.cancel_result;
    o.results[3] = d.sleep_result;
    o.valid_template_num = d.valid_template_num;
    std::memcpy(o.firmware_version, d.firmware_version, sizeof(o.firmware_version));
    o.firmware_version_num = d.firmware_version_num;
    o.onekey_flag = d.onekey_powerup.onekey_powerup_flag.load();
    o.onekey_num = d.onekey_powerup.search_num.load();
    std::memcpy(o.onekey_ids, d.onekey_powerup.search_id, sizeof(o.onekey_ids));
    o.continue_read_fw = d.onekey_powerup.continue_read_fw_version_flag;
    o.image.assign(d.img_data, d.img_data + sizeof(d.img_data));
}

// Compares two records member by member (the structs have padding).
#define TVP_SAME(field) (std::memcmp(&a.field, &b.field, sizeof(a.field)) == 0)

void compare(const Outcome &a, const Outcome &b)
{
    const struct {
        bool same;
        const char *what;
    } checks[] = {
        {a.completed == b.completed, "packet completion"},
        {a.packet_head.prot_state == b.packet_head.prot_state, "prot_state"},
        {a.packet_head.prot_head == b.packet_head.prot_head, "prot_head"},
        {a.packet_head.prot_addr == b.packet_head.prot_addr, "prot_addr"},
        {a.packet_head.prot_type == b.packet_head.prot_type, "prot_type"},
        {a.packet_head.prot_size == b.packet_head.prot_size, "prot_size"},
        {a.packet_head.prot_data_cnt == b.packet_head.prot_data_cnt, "prot_data_cnt"},
        {a.packet_head.prot_checksum == b.packet_head.prot_checksum, "prot_checksum"},
        {a.packet_head.prot_respond == b.packet_head.prot_respond, "prot_respond"},
        {a.packet_head.current_cmd_code == b.packet_head.current_cmd_code, "current_cmd_code"},
        {a.packet_head.current_resp_cmd == b.packet_head.current_resp_cmd, "current_resp_cmd"},
        {a.packet_head.current_resp_type == b.packet_head.current_resp_type, "current_resp_type"},
        {a.packet_head.current_sub_cmd_code == b.packet_head.current_sub_cmd_code, "current_sub_cmd_code"},
        {a.data == b.data, "prot_data"},
        {a.raw_cnt == b.raw_cnt, "usb_recv_cnt"},
        {a.raw == b.raw, "usb_recv_data"},
        {TVP_SAME(sys_param.sensor_type) && TVP_SAME(sys_param.fp_database_size) &&
             TVP_SAME(sys_param.security_level) && TVP_SAME(sys_param.device_addr),
         "sys_param"},
        {TVP_SAME(flash_info_page), "flash_info_page"},
        {TVP_SAME(index_table_info), "index_table_info"},
        {TVP_SAME(chip_serial_num_len) && TVP_SAME(chip_serial_num), "chip serial number"},
        {TVP_SAME(handshake_state), "handshake_state"},
        {TVP_SAME(enroll.enroll_id) && TVP_SAME(enroll.auto_enroll_times) &&
             TVP_SAME(enroll.validity_check_result) && TVP_SAME(enroll.current_enroll_time) &&
             TVP_SAME(enroll.current_enroll_flag) && TVP_SAME(enroll.capture_result) &&
             TVP_SAME(enroll.create_feature_result) && TVP_SAME(enroll.enroll_result) &&
             TVP_SAME(enroll.merge_template_result) && TVP_SAME(enroll.enroll_conflict_result) &&
             TVP_SAME(enroll.store_template_result) && TVP_SAME(enroll.enroll_finish_flag),
         "auto_enroll_param"},
        {TVP_SAME(identify.validity_check_result) && TVP_SAME(identify.capture_result) &&
             TVP_SAME(identify.search_result) && TVP_SAME(identify.search_num) &&
             TVP_SAME(identify.search_id) && TVP_SAME(identify.score) &&
             TVP_SAME(identify.identify_finish_flag),
         "auto_identify_param"},
        {TVP_SAME(results), "delete/empty/cancel/sleep results"},
        {TVP_SAME(valid_template_num), "valid_template_num"},
        {TVP_SAME(firmware_version) && TVP_SAME(firmware_version_num), "firmware version"},
        {TVP_SAME(onekey_flag) && TVP_SAME(onekey_num) && TVP_SAME(onekey_ids) && TVP_SAME(continue_read_fw),
         "one-key result"},
        {a.image == b.image, "img_data"},
    };
    for (const auto &c : checks) {
        if (!c.same) {
            tvp_fuzz::fail("reads through fp_parse_prot and byte-wise fp_deal_usb_data differ in %s", c.what);
        }
    }
}

#undef TVP_SAME

// Limits the decoder promises whatever the module sends.
void check_limits()
{
    const PROT_PACKET &p = prot_packet_usb;
    const FP_DEVICE_PARAM_STRUCT &d = fp_device_param;
    if (p.prot_state > PACKET_CHECKSUM2) {
        tvp_fuzz::fail("receive machine in unknown state %u", p.prot_state);
    }
    if (p.prot_data_cnt > static_cast<uint32_t>(std::max(FP_IMG_SIZE, 0xFFFF - 2))) {
        tvp_fuzz::fail("prot_data_cnt %u beyond the largest payload", p.prot_data_cnt);
    }
    if (!tvp_fuzz::terminated(d.firmware_version, sizeof(d.firmware_version))) {
        tvp_fuzz::fail("firmware_version not terminated within %zu bytes", sizeof(d.firmware_version));
    }
    const FP_AUTOIDENTIFY_PARAM_STRUCT &a = d.auto_identify_param;
    if (a.search_num < 0 || a.search_num > FP_SEARCH_ID_MAX) {
        tvp_fuzz::fail("auto_identify_param.search_num = %d", a.search_num);
    }
    const FP_AUTOENROLL_PARAM_STRUCT &e = d.auto_enroll_param;
    if (e.current_enroll_time > FP_ENROLL_TIMES_MAX) {
        tvp_fuzz::fail("current_enroll_time = %u", e.current_enroll_time);
    }
    if (d.chip_serial_num_len != 0 && d.chip_serial_num_len != 16 && d.chip_serial_num_len != 32) {
        tvp_fuzz::fail("chip_serial_num_len = %u", d.chip_serial_num_len);
    }
    const FP_ONEKEY_POWERUP_STRUCT &k = d.onekey_powerup;
    if (k.onekey_powerup_flag.load() != 0) {
        const int num = k.search_num.load();
        if (num < 0 || num > FP_SEARCH_ID_MAX - 1) {
            tvp_fuzz::fail("one-key search_num = %d", num);
        }
        if (k.search_id[num] != FP_SEARCH_ID_NONE) {
            tvp_fuzz::fail("one-key id list of %d ids not closed by 0xFFFF", num);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    tvp_fuzz::conf_dir(); // the log file, when a grade is set, goes there
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Plan plan;
    if (!make_plan(data, size, plan)) {
        return -1; // too short to say what is awaited: not worth keeping
    }
    tvp_fuzz::begin_run();
    static std::vector<uint8_t> filler;
    static Outcome chunked;
    static Outcome bytewise;

    const bool completed_chunked = run(plan, false, filler);
    check_limits();
    capture(chunked, completed_chunked);

    const bool completed_bytewise = run(plan, true, filler);
    check_limits();
    capture(bytewise, completed_bytewise);

    compare(chunked, bytewise);
    return 0;
}
