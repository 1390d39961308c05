// Receive side of the module protocol: the byte-wise packet machine, packet
// dispatch and end-of-data decoding. Pure: bytes in, records out; the reads
// that feed it live in app_fp256_360-exchange.cpp.
//
// Resynchronisation. A packet cut short on the wire must not hold the machine:
// - every exchange and every drain starts from PACKET_IDLE (fp_parse_prot_reset);
// - outside an image transfer a length field above FP_MAX_PKG_SIZE_FIELD is
//   dropped at the length bytes, as lengths 0 and 1 are;
// - the bytes of a packet dropped at its length or rejected by its checksum are
//   examined once more from the byte after its head: an answer swallowed by a
//   cut packet is still found among the bytes already received. (A packet that
//   dies at its second byte, EF not followed by 01, is not re-examined: EF EF 01
//   does not start a packet.)
#include "app_fp256_360.h"

#include "common.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

uint8_t usb_recv_data[FP_MSG_DATA_SIZE];
uint16_t usb_recv_cnt;

// The raw copy is indexed by a 16-bit counter, so it can never leave its buffer.
static_assert(FP_MSG_DATA_SIZE > 0xFFFF, "raw copy index must stay inside usb_recv_data");
// The largest payload the machine can collect (a 0xFFFF image packet) fits the payload area.
static_assert(FP_IMG_SIZE <= FP_MSG_DATA_SIZE && 0xFFFF - 2 <= FP_MSG_DATA_SIZE,
              "payload must fit prot_data");

namespace
{

constexpr int kAcceptDumpLimit = 64;
// A packet that is followed is at most this long (head, payload and checksum).
constexpr size_t kFollowedPacketMax = FP_MAX_PKG_SIZE_FIELD + FP_MSG_HEAD_SIZE;
static_assert(kFollowedPacketMax < 0x10000, "a followed packet fits the raw copy without wrapping");
constexpr int kAcceptDumpLineLen = 32;

bool grade_enabled(int grade)
{
    return !(static_cast<unsigned>(get_printf_log_grade()) < static_cast<unsigned>(grade));
}

void append_raw(uint8_t value)
{
    usb_recv_data[usb_recv_cnt] = value;
    usb_recv_cnt = static_cast<uint16_t>(usb_recv_cnt + 1);
}

void append_raw_run(const uint8_t *src, uint32_t n)
{
    // Of a run longer than the 16-bit index space only its last 65,536 bytes
    // survive in the copy; the earlier ones would be overwritten anyway.
    if (n > 0x10000u) {
        const uint32_t skip = n - 0x10000u;
        usb_recv_cnt = static_cast<uint16_t>(usb_recv_cnt + skip);
        src += skip;
        n -= skip;
    }
    while (n > 0) {
        const uint32_t room = 0x10000u - usb_recv_cnt;
        const uint32_t chunk = std::min(n, room);
        memcpy(&usb_recv_data[usb_recv_cnt], src, chunk);
        usb_recv_cnt = static_cast<uint16_t>(usb_recv_cnt + chunk);
        src += chunk;
        n -= chunk;
    }
}

// Number of payload bytes the packet being received carries. Evaluated with the
// command awaited now: an image packet whose header arrived together with the
// answer to the upload request is completed in image mode.
uint32_t payload_target(const PROT_PACKET &p)
{
    if (p.current_cmd_code == PORT_CMD_ACQUIRE_IMAGEDATA && p.prot_size == FP_IMG_PKG_SIZE_FIELD) {
        return FP_IMG_SIZE;
    }
    return static_cast<uint32_t>(p.prot_size) - 2u;
}

// The image may follow: the image request's answer or the image itself is awaited.
bool image_awaited(const PROT_PACKET &p)
{
    return p.current_cmd_code == PORT_CMD_ACQUIRE_IMAGEDATA || p.current_cmd_code == PROT_CMD_UPIMAGE ||
           p.current_cmd_code == PORT_CMD_STARTCAPIMAGE;
}

// Whether a length field is followed. An image packet always carries 0xFFFF.
bool length_followed(const PROT_PACKET &p)
{
    if (p.prot_size < 2) {
        return false; // cannot hold a checksum
    }
    return p.prot_size <= FP_MAX_PKG_SIZE_FIELD || (p.prot_size == FP_IMG_PKG_SIZE_FIELD && image_awaited(p));
}

// Result of one byte.
enum class Step {
    More,     // the packet goes on (or no packet)
    Accepted, // a packet was accepted and dispatched
    Dropped,  // a packet was dropped at its length bytes
    Rejected, // a complete packet failed its checksum
};

Step advance(uint8_t value);

// Whether the bytes of a packet that ended this way are still all in the raw copy.
bool re_examinable(Step step)
{
    return step == Step::Dropped ||
           (step == Step::Rejected && prot_packet_usb.prot_size <= FP_MAX_PKG_SIZE_FIELD);
}

// Feeds `bytes` (those of a failed packet after its head byte) to the machine,
// re-examining every further failed packet from the byte after its own head.
// Terminates: each restart begins after the previous head.
int re_examine(const uint8_t *bytes, size_t n)
{
    int result = -1;
    size_t head = 0;
    for (size_t i = 0; i < n; ++i) {
        const Step step = advance(bytes[i]);
        if (prot_packet_usb.prot_state == PACKET_HEAD) {
            head = i; // PACKET_HEAD is entered only by the EF just taken
        }
        if (step == Step::Accepted) {
            result = 0;
        } else if (re_examinable(step)) {
            i = head; // continue after that packet's head
        }
    }
    return result;
}

__attribute__((noinline)) int re_examine_failed_packet()
{
    // The machine rewrites the raw copy as it goes: work on a copy of it.
    uint8_t again[kFollowedPacketMax];
    const size_t n = std::min<size_t>(usb_recv_cnt, kFollowedPacketMax);
    if (n < 2) {
        return -1;
    }
    memcpy(again, usb_recv_data + 1, n - 1);
    return re_examine(again, n - 1);
}

} // namespace

void fp_log_hex(int grade, const uint8_t *buf, int len, int break_every, const char *tail)
{
    if (!grade_enabled(grade) || buf == nullptr) {
        return;
    }
    const auto log_grade = static_cast<LOG_GRADE_ENUM>(grade);
    // Pieces are gathered into chunks well below the log call's 1200-byte cut.
    char piece[800];
    size_t used = 0;
    for (int i = 0; i < len; ++i) {
        used += static_cast<size_t>(snprintf(piece + used, sizeof(piece) - used, "%02x ", buf[i]));
        if (break_every > 0 && (i + 1) % break_every == 0) {
            piece[used++] = '\n';
            piece[used] = '\0';
        }
        if (used > sizeof(piece) - 8) {
            tvp_log_raw(log_grade, "%s", piece);
            used = 0;
        }
    }
    if (used > 0) {
        tvp_log_raw(log_grade, "%s", piece);
    }
    if (tail != nullptr && *tail != '\0') {
        tvp_log_raw(log_grade, "%s", tail);
    }
}

namespace
{

Step advance(uint8_t value)
{
    PROT_PACKET &p = prot_packet_usb;
    switch (p.prot_state) {
    case PACKET_IDLE:
        if (value == 0xEF) {
            usb_recv_data[0] = value;
            usb_recv_cnt = 1;
            p.prot_state = PACKET_HEAD;
        }
        return Step::More;
    case PACKET_HEAD:
        if (value == 0x01) {
            p.prot_head = FP_PKG_HEAD;
            append_raw(value);
            p.prot_state = PACKET_ADDRESS1;
        } else {
            // Not examined as a new head byte: EF EF 01 does not start a packet.
            p.prot_state = PACKET_IDLE;
        }
        return Step::More;
    case PACKET_ADDRESS1:
        p.prot_addr = value;
        append_raw(value);
        p.prot_state = PACKET_ADDRESS2;
        return Step::More;
    case PACKET_ADDRESS2:
    case PACKET_ADDRESS3:
    case PACKET_ADDRESS4:
        p.prot_addr = (p.prot_addr << 8) | value;
        append_raw(value);
        p.prot_state = static_cast<uint8_t>(p.prot_state + 1);
        return Step::More;
    case PACKET_TYPE:
        p.prot_type = value;
        append_raw(value);
        p.prot_state = PACKET_SIZE1;
        return Step::More;
    case PACKET_SIZE1:
        p.prot_size = static_cast<uint16_t>(value << 8);
        append_raw(value);
        p.prot_state = PACKET_SIZE2;
        return Step::More;
    case PACKET_SIZE2:
        p.prot_size = static_cast<uint16_t>(p.prot_size | value);
        p.prot_data_cnt = 0;
        append_raw(value);
        if (!length_followed(p)) {
            // Lengths 0 and 1 cannot hold a checksum; a longer one than any
            // answer is a cut packet or a misplaced head.
            p.prot_state = PACKET_IDLE;
            return Step::Dropped;
        }
        p.prot_state = p.prot_size > 2 ? PACKET_DATA : PACKET_CHECKSUM1;
        return Step::More;
    case PACKET_DATA: {
        const uint32_t target = payload_target(p);
        if (p.prot_data_cnt >= target) {
            // The image transfer ended while its packet was incomplete and the
            // packet has already outgrown what its length field allows: drop it
            // and look at this byte afresh.
            p.prot_state = PACKET_IDLE;
            return advance(value);
        }
        p.prot_data[p.prot_data_cnt++] = value;
        append_raw(value);
        if (p.prot_data_cnt >= target) {
            p.prot_state = PACKET_CHECKSUM1;
        }
        return Step::More;
    }
    case PACKET_CHECKSUM1:
        p.prot_checksum = static_cast<uint16_t>(value << 8);
        append_raw(value);
        p.prot_state = PACKET_CHECKSUM2;
        return Step::More;
    case PACKET_CHECKSUM2:
        p.prot_checksum = static_cast<uint16_t>(p.prot_checksum | value);
        append_raw(value);
        p.prot_state = PACKET_IDLE;
        break; // the packet is complete: checked below
    default:
        // Unknown state (PACKET_ERROR and above): every byte is ignored.
        return Step::More;
    }

    const uint32_t sum = static_cast<uint32_t>(p.prot_type) + (p.prot_size >> 8) + (p.prot_size & 0xFF) +
                         get_check_sum(p.prot_data, static_cast<uint16_t>(p.prot_data_cnt));
    const uint16_t checksum = static_cast<uint16_t>(sum);
    const bool image_magic =
        p.current_cmd_code == PORT_CMD_ACQUIRE_IMAGEDATA && p.prot_checksum == FP_IMG_PKG_CHECKSUM_MAGIC;
    if (p.prot_checksum != checksum && !image_magic) {
        TVP_LOG(ERR_LOG_GRADE, "p->prot_checksum = 0x%04x, checksum = 0x%04x, not equal!!!\r\n",
                p.prot_checksum, checksum);
        return Step::Rejected;
    }
    p.prot_respond = 0;
    TVP_LOG(DBG_LOG_GRADE, "Recv data from device: %d\n", usb_recv_cnt);
    fp_log_hex(DBG_LOG_GRADE, usb_recv_data, std::min<int>(usb_recv_cnt, kAcceptDumpLimit),
               kAcceptDumpLineLen, "\n");
    fp_parse_prot_head(&p, static_cast<int>(sizeof(PROT_PACKET)));
    usb_recv_cnt = 0;
    return Step::Accepted;
}

} // namespace

int fp_deal_usb_data(uint8_t value)
{
    const Step step = advance(value);
    if (step == Step::Accepted) {
        return 0;
    }
    return re_examinable(step) ? re_examine_failed_packet() : -1;
}

void fp_parse_prot_reset(void)
{
    prot_packet_usb.prot_state = PACKET_IDLE;
    usb_recv_cnt = 0;
}

int fp_parse_prot(const uint8_t *buf, int len)
{
    if (buf == nullptr || len <= 0) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return -1;
    }
    PROT_PACKET &p = prot_packet_usb;
    const uint8_t *const end = buf + len;
    int result = -1;
    while (buf < end) {
        // Fast paths with exactly the per-byte machine's effect: skip to the next
        // head byte while idle, and move payload runs in bulk.
        if (p.prot_state == PACKET_IDLE) {
            const void *head = memchr(buf, 0xEF, static_cast<size_t>(end - buf));
            if (head == nullptr) {
                break;
            }
            buf = static_cast<const uint8_t *>(head);
        } else if (p.prot_state == PACKET_DATA) {
            const uint32_t target = payload_target(p);
            if (p.prot_data_cnt < target) {
                const uint32_t run =
                    std::min<uint32_t>(target - p.prot_data_cnt, static_cast<uint32_t>(end - buf));
                memcpy(&p.prot_data[p.prot_data_cnt], buf, run);
                append_raw_run(buf, run);
                p.prot_data_cnt += run;
                buf += run;
                if (p.prot_data_cnt >= target) {
                    p.prot_state = PACKET_CHECKSUM1;
                }
                continue;
            }
        }
        if (fp_deal_usb_data(*buf) == 0) {
            result = 0;
        }
        ++buf;
    }
    return result;
}

int fp_parse_prot_head(PROT_PACKET *packet, int size)
{
    if (packet == nullptr || size != static_cast<int>(sizeof(PROT_PACKET))) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return -1;
    }
    const int data_len = static_cast<int>(std::min<uint32_t>(packet->prot_data_cnt, FP_MSG_DATA_SIZE));
    switch (packet->prot_type) {
    case PROT_TYPE_RESPOND:
        fp_parse_prot_response(packet->prot_data, data_len);
        return 0;
    case PROT_TYPE_CMD:
    case PROT_TYPE_DATA:
        // Intermediate data packets are not accumulated: every bulk transfer the
        // driver uses arrives as one end-of-data packet.
        return 0;
    case PROT_TYPE_END:
        fp_parse_prot_data_end(packet->prot_data, data_len);
        return 0;
    default:
        TVP_LOG(ERR_LOG_GRADE, "p->prot_type = 0x%02x is error!!!\r\n", packet->prot_type);
        return -1;
    }
}

int fp_parse_prot_data_end(const uint8_t *buf, int len)
{
    if (buf == nullptr || len <= 0) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return -1;
    }
    FP_DEVICE_PARAM_STRUCT &d = fp_device_param;
    switch (prot_packet_usb.current_cmd_code) {
    case PROT_CMD_READINFOPAGE:
        if (len != FP_FLASH_INFO_PAGE_SIZE) {
            TVP_LOG(ERR_LOG_GRADE, "len = %d, error!!!\r\n", len);
        }
        TVP_LOG(DBG_LOG_GRADE, "acquire flash_info_page data:\r\n");
        fp_log_hex(DBG_LOG_GRADE, buf, len, 0, "\r\n");
        // A longer page is not copied at all.
        if (len <= FP_FLASH_INFO_PAGE_SIZE) {
            memcpy(d.flash_info_page, buf, static_cast<size_t>(len));
        }
        return 0;
    case PORT_CMD_ACQUIRE_IMAGEDATA:
        if (len != FP_IMG_SIZE) {
            TVP_LOG(ERR_LOG_GRADE, "len = %d, error!!!\r\n", len);
        }
        // The machine never collects more than one image in image mode; a longer
        // payload from a caller is cut to the image size.
        memcpy(d.img_data, buf, static_cast<size_t>(std::min(len, FP_IMG_SIZE)));
        return 0;
    default:
        TVP_LOG(ERR_LOG_GRADE, "not find the current_cmd_code 0x%02x, error!!!\r\n",
                prot_packet_usb.current_cmd_code);
        return -1;
    }
}
