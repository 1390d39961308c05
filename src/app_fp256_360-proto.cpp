// Frames, checksum, pairing and receive schedules of the module protocol, and
// the driver's process-wide records. Pure: bytes in, values out; the exchange
// that sends a frame lives in app_fp256_360-exchange.cpp.
#include "app_fp256_360.h"

#include "common.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

PROT_PACKET prot_packet_usb;
FP_DEVICE_PARAM_STRUCT fp_device_param;

static_assert(FP_MAX_FRAME_PARAM_LEN <= FP_MAX_CMD_PARAM_LEN, "a frame's parameters fit the payload area");

uint16_t get_check_sum(const uint8_t *buf, uint16_t len)
{
    if (buf == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "the point buf is null, error!!!\r\n");
        return 0;
    }
    // Image checksums cover 26,624 bytes, which a byte loop would crawl through.
    uint32_t sum = 0;
    uint32_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time into two 64-bit partial sums (each below 2^24 here).
    const __m128i zero = _mm_setzero_si128();
    __m128i partial = zero;
    for (; len - i >= 16; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + i));
        partial = _mm_add_epi64(partial, _mm_sad_epu8(v, zero));
    }
    sum += static_cast<uint32_t>(_mm_cvtsi128_si32(partial)) +
           static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(partial, partial)));
#endif
    // Eight bytes at a time: the bytes of a word are added pairwise into four
    // 16-bit lanes, flushed before a lane can overflow (128 words x 2 x 255 < 65,536).
    constexpr uint64_t kLaneMask = 0x00FF00FF00FF00FFull;
    while (len - i >= 8) {
        uint64_t lanes = 0;
        for (int words = 0; words < 128 && len - i >= 8; ++words, i += 8) {
            uint64_t w;
            memcpy(&w, buf + i, sizeof(w));
            lanes += (w & kLaneMask) + ((w >> 8) & kLaneMask);
        }
        sum += static_cast<uint32_t>((lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) +
                                     (lanes >> 48));
    }
    for (; i < len; ++i) {
        sum += buf[i];
    }
    return static_cast<uint16_t>(sum);
}

int fp_fill_msg_head(MSG_HEAD_STRUCT *head, uint8_t pkg_flag, uint16_t cmd_len)
{
    if (head == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return -1;
    }
    uint8_t *p = reinterpret_cast<uint8_t *>(head);
    p[0] = static_cast<uint8_t>(FP_PKG_HEAD >> 8);
    p[1] = static_cast<uint8_t>(FP_PKG_HEAD & 0xFF);
    p[2] = static_cast<uint8_t>(FP_DEFAULT_CHIP_ADDR >> 24);
    p[3] = static_cast<uint8_t>(FP_DEFAULT_CHIP_ADDR >> 16);
    p[4] = static_cast<uint8_t>(FP_DEFAULT_CHIP_ADDR >> 8);
    p[5] = static_cast<uint8_t>(FP_DEFAULT_CHIP_ADDR);
    p[6] = pkg_flag;
    p[7] = static_cast<uint8_t>(cmd_len >> 8);
    p[8] = static_cast<uint8_t>(cmd_len & 0xFF);
    return 0;
}

int fp_fill_msg_checksum(uint8_t *buf, int len)
{
    if (buf == nullptr || len < 1) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return -1;
    }
    const uint16_t sum = get_check_sum(buf, static_cast<uint16_t>(len));
    buf[len] = static_cast<uint8_t>(sum >> 8);
    buf[len + 1] = static_cast<uint8_t>(sum & 0xFF);
    return 0;
}

int fp_recv_param_init(RECV_DATA_STRUCT *recv_param, int recv_len, uint16_t wait_ms, uint16_t cycle_times,
                       uint16_t cycle_ms)
{
    if (recv_param == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "the point recv_param is null, error!!!\r\n");
        return -1;
    }
    recv_param->recv_len = recv_len;
    recv_param->wait_ms = wait_ms;
    recv_param->cycle_times = cycle_times;
    recv_param->cycle_ms = cycle_ms;
    return 0;
}

int fp_resp_init(uint8_t cmd_code)
{
    prot_packet_usb.current_cmd_code = cmd_code;
    prot_packet_usb.current_resp_cmd = 0;
    prot_packet_usb.current_resp_type = FP_RESP_NONE;
    return 0;
}

uint8_t fp_resp_type_get(void)
{
    return prot_packet_usb.current_resp_type;
}

int fp_build_cmd_frame(MSG_STRUCT *msg, uint8_t cmd_code, const uint8_t *buf, int param_len)
{
    // The length field carries P + 3: more parameters would wrap it and the
    // module would read a different, shorter frame.
    if (msg == nullptr || param_len < 0 || param_len > FP_MAX_FRAME_PARAM_LEN ||
        (param_len > 0 && buf == nullptr)) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return -1;
    }
    memset(msg, 0, sizeof(*msg));
    fp_fill_msg_head(&msg->head, PROT_TYPE_CMD, static_cast<uint16_t>(param_len + 3));
    msg->data[0] = cmd_code;
    if (param_len > 0) {
        memcpy(&msg->data[1], buf, static_cast<size_t>(param_len));
    }
    // Sum from the type byte to the last parameter, written right behind it.
    fp_fill_msg_checksum(reinterpret_cast<uint8_t *>(msg) + 6, param_len + 4);
    return param_len + 12;
}

RECV_DATA_STRUCT fp_cmd_schedule(uint8_t cmd_code)
{
    for (const FP_CMD_SCHEDULE &s : FP_CMD_SCHEDULES) {
        if (s.cmd_code == cmd_code) {
            return s.recv;
        }
    }
    return RECV_DATA_STRUCT{64, 0, 0, 0};
}

namespace
{

void reset_onekey(FP_ONEKEY_POWERUP_STRUCT &k)
{
    k.onekey_powerup_flag.store(0);
    k.search_num.store(0);
    memset(k.search_id, 0, sizeof(k.search_id));
    k.tv_current_time = {};
    k.onekey_restart_flag.store(0);
    k.continue_read_fw_version_flag = 0;
    k.tv_restart_begin = {};
}

} // namespace

int fp_module_init(void)
{
    memset(&prot_packet_usb, 0, sizeof(prot_packet_usb));

    // The record holds atomics, so it is cleared member by member.
    FP_DEVICE_PARAM_STRUCT &d = fp_device_param;
    memset(d.img_data, 0, sizeof(d.img_data));
    d.sys_param = {};
    d.chip_addr = 0;
    memset(d.flash_info_page, 0, sizeof(d.flash_info_page));
    d.index_table_page = 0;
    memset(d.index_table_info, 0, sizeof(d.index_table_info));
    d.chip_serial_num_len = 0;
    memset(d.chip_serial_num, 0, sizeof(d.chip_serial_num));
    d.handshake_state = 0;
    d.auto_enroll_param = {};
    d.auto_identify_param = {};
    d.delete_template_result = 0;
    d.empty_template_result = 0;
    d.cancel_result = 0;
    d.sleep_result = 0;
    d.valid_template_num = 0;
    memset(d.firmware_version, 0, sizeof(d.firmware_version));
    d.firmware_version_num = 0;
    memset(d.firmware_version_new, 0, sizeof(d.firmware_version_new));
    d.ctrlFlag.store(FP_CONTROL_FLAG_IDLE);
    reset_onekey(d.onekey_powerup);

    TVP_LOG(DBG_LOG_GRADE, "success.\r\n");
    return 0;
}
