// Fuzz target: the bootloader frame parser parseProtocal, started idle and fed
// the input in one or several pieces. As in the command layer, the parser is
// set idle again after each complete frame, so that one input can carry several
// replies.
//
// Input layout:
//   byte 0    piece length: 0 feeds the rest in one piece, n > 0 in pieces of n bytes
//   the rest  the bytes the bootloader sends
//
// Checked after every call: the frame buffer count and the data count stay
// within their buffers, the state is one the parser knows; after a complete
// frame: its data count equals its announced size (at most 1,018), it ended
// with 0x55 and its bytes exclusive-or to 0, and the frame buffer count was
// reset.
#include "fuzz_support.h"
#include "upgrade.h"

#include <algorithm>
#include <cstring>

namespace
{

uint8_t frame_copy[UP_RECV_BUF_SIZE];

void reset_parser()
{
    std::memset(&upgrade_param.prot_packet_usb, 0, sizeof(upgrade_param.prot_packet_usb));
    std::memset(upgrade_param.usb_recv_data, 0, sizeof(upgrade_param.usb_recv_data));
    upgrade_param.usb_recv_cnt = 0;
    upgrade_param.prot_packet_usb.prot_state = UP_PACKET_IDLE;
}

void check_after_call(int ret, uint16_t cnt_before_end)
{
    const UP_PROT_PACKET &p = upgrade_param.prot_packet_usb;
    if (upgrade_param.usb_recv_cnt > UP_RECV_BUF_SIZE) {
        tvp_fuzz::fail("usb_recv_cnt %u beyond the %d-byte frame buffer", upgrade_param.usb_recv_cnt,
                       UP_RECV_BUF_SIZE);
    }
    if (p.prot_data_cnt > UP_PROT_DATA_SIZE) {
        tvp_fuzz::fail("prot_data_cnt %u beyond the %d-byte data buffer", p.prot_data_cnt, UP_PROT_DATA_SIZE);
    }
    const bool known_state = p.prot_state == UP_PACKET_IDLE || p.prot_state == UP_PACKET_ERROR ||
                             (p.prot_state >= UP_PACKET_TYPE && p.prot_state <= UP_PACKET_RECV_SUCCESS);
    if (!known_state) {
        tvp_fuzz::fail("parser in unknown state %u", p.prot_state);
    }
    if (ret != 0) {
        if (p.prot_state == UP_PACKET_RECV_SUCCESS) {
            tvp_fuzz::fail("parser reports no frame but is in the success state");
        }
        return;
    }
    if (p.prot_state != UP_PACKET_RECV_SUCCESS) {
        tvp_fuzz::fail("frame reported complete in state %u", p.prot_state);
    }
    if (p.prot_size > UP_FRAME_MAX_DATA || p.prot_data_cnt != p.prot_size) {
        tvp_fuzz::fail("complete frame announces %u data bytes and holds %u", p.prot_size, p.prot_data_cnt);
    }
    if (p.prot_end != UP_FRAME_END || p.prot_head != UP_FRAME_HEAD) {
        tvp_fuzz::fail("complete frame with head 0x%02x and end byte 0x%02x", p.prot_head, p.prot_end);
    }
    if (upgrade_param.usb_recv_cnt != 0) {
        tvp_fuzz::fail("frame buffer count %u not reset after a complete frame", upgrade_param.usb_recv_cnt);
    }
    // The frame as kept: head, type, two size bytes, the data, BCC and end byte.
    const size_t frame_len = static_cast<size_t>(p.prot_size) + UP_FRAME_OVERHEAD;
    if (cnt_before_end + 1u != frame_len) {
        tvp_fuzz::fail("complete frame of %zu bytes but %u bytes were kept", frame_len, cnt_before_end + 1u);
    }
    uint8_t x = 0;
    for (size_t i = 0; i < frame_len; ++i) {
        x ^= frame_copy[i];
    }
    if (x != 0) {
        tvp_fuzz::fail("complete frame whose bytes do not exclusive-or to 0");
    }
    if (std::memcmp(frame_copy + 4, p.prot_data, p.prot_size) != 0) {
        tvp_fuzz::fail("prot_data differs from the data bytes of the frame");
    }
}

// Feeds one piece; after a complete frame the parser is set idle for the next
// reply, and the bytes of the piece after that frame's end byte are fed to it.
void feed_piece(const uint8_t *buf, size_t len)
{
    while (len > 0) {
        // Learn where a frame would end by feeding byte by byte up to the first
        // complete frame, then check that the same bytes in one call give the same.
        size_t used = 0;
        const UP_PROT_PACKET saved = upgrade_param.prot_packet_usb;
        const uint16_t saved_cnt = upgrade_param.usb_recv_cnt;
        uint8_t saved_buf[UP_RECV_BUF_SIZE];
        std::memcpy(saved_buf, upgrade_param.usb_recv_data, sizeof(saved_buf));
        uint16_t cnt_before_end = 0;
        bool frame = false;
        while (used < len) {
            cnt_before_end = upgrade_param.usb_recv_cnt;
            const bool done = parseProtocal(buf + used, 1) == 0;
            ++used;
            if (done) {
                frame = true;
                break;
            }
        }
        if (frame) {
            std::memcpy(frame_copy, upgrade_param.usb_recv_data, sizeof(frame_copy));
        }
        const UP_PROT_PACKET bytewise = upgrade_param.prot_packet_usb;
        const uint16_t bytewise_cnt = upgrade_param.usb_recv_cnt;

        // The same bytes again, as one call from the saved state.
        upgrade_param.prot_packet_usb = saved;
        upgrade_param.usb_recv_cnt = saved_cnt;
        std::memcpy(upgrade_param.usb_recv_data, saved_buf, sizeof(saved_buf));
        const int ret = parseProtocal(buf, static_cast<int>(len));
        if ((ret == 0) != frame) {
            tvp_fuzz::fail("one call %s a frame that byte-wise calls %s", ret == 0 ? "completes" : "misses",
                           frame ? "complete" : "do not complete");
        }
        const UP_PROT_PACKET &whole = upgrade_param.prot_packet_usb;
        if (whole.prot_state != bytewise.prot_state || whole.prot_data_cnt != bytewise.prot_data_cnt ||
            whole.prot_size != bytewise.prot_size || upgrade_param.usb_recv_cnt != bytewise_cnt) {
            tvp_fuzz::fail("one call and byte-wise calls leave the parser differently");
        }
        check_after_call(ret, cnt_before_end);
        if (!frame) {
            return;
        }
        // What the command layer does before the next reply.
        upgrade_param.prot_packet_usb.prot_state = UP_PACKET_IDLE;
        buf += used;
        len -= used;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    tvp_fuzz::conf_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return -1;
    }
    tvp_fuzz::begin_run();
    reset_parser();
    const size_t piece = data[0] == 0 ? size - 1 : data[0];
    const uint8_t *buf = data + 1;
    size_t left = size - 1;
    while (left > 0) {
        const size_t n = std::min(piece, left);
        feed_piece(buf, n);
        buf += n;
        left -= n;
    }
    return 0;
}
