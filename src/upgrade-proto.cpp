// Bootloader frames: building, block check, image checksum and the byte-wise
// receive parser. Nothing here touches USB.
#include "upgrade.h"

#include "common.h"

#include <array>
#include <cstring>

uint8_t Check_BCC(const uint8_t *data, int len)
{
    if (data == nullptr || len == 0) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\n");
        return 0xFF;
    }
    uint8_t bcc = 0;
    for (int i = 0; i < len; ++i) {
        bcc ^= data[i];
    }
    return bcc;
}

void InvertUint8(uint8_t *dst, const uint8_t *src)
{
    uint8_t value = *src;
    uint8_t inverted = 0;
    for (int i = 0; i < 8; ++i) {
        inverted = static_cast<uint8_t>((inverted << 1) | (value & 1));
        value >>= 1;
    }
    *dst = inverted;
}

void InvertUint16(uint16_t *dst, const uint16_t *src)
{
    uint16_t value = *src;
    uint16_t inverted = 0;
    for (int i = 0; i < 16; ++i) {
        inverted = static_cast<uint16_t>((inverted << 1) | (value & 1));
        value >>= 1;
    }
    *dst = inverted;
}

namespace
{

// CRC-16/X-25 is CRC-16/CCITT with reflected input and output. Reflecting the
// polynomial (0x1021 -> 0x8408) lets the register shift right and skips the
// per-byte and final bit reversal; a 256-entry table handles a byte at a time,
// which matters for images of up to 2 MiB.
constexpr uint16_t kCrcX25PolyReflected = 0x8408;

constexpr std::array<uint16_t, 256> make_crc_x25_table()
{
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ kCrcX25PolyReflected)
                            : static_cast<uint16_t>(crc >> 1);
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcX25Table = make_crc_x25_table();

} // namespace

uint16_t CRC16_X25(const uint8_t *data, uint32_t datalen)
{
    uint16_t crc = 0xFFFF;
    if (data != nullptr) {
        for (uint32_t i = 0; i < datalen; ++i) {
            crc = static_cast<uint16_t>((crc >> 8) ^ kCrcX25Table[(crc ^ data[i]) & 0xFF]);
        }
    }
    return static_cast<uint16_t>(crc ^ 0xFFFF);
}

int boot_build_frame(uint8_t *frame, int frame_size, uint8_t type, const uint8_t *data, uint16_t len)
{
    const int frame_len = len + UP_FRAME_OVERHEAD;
    if (frame == nullptr || frame_len > frame_size || (len > 0 && data == nullptr)) {
        return -1;
    }
    frame[0] = UP_FRAME_HEAD;
    frame[1] = type;
    frame[2] = static_cast<uint8_t>(len & 0xFF);
    frame[3] = static_cast<uint8_t>(len >> 8);
    if (len > 0) {
        std::memcpy(frame + 4, data, len);
    }
    frame[4 + len] = 0;
    frame[5 + len] = UP_FRAME_END;
    // The BCC makes the exclusive-or of the whole frame 0; computed with its own position still 0.
    frame[4 + len] = Check_BCC(frame, frame_len);
    return frame_len;
}

namespace
{

void parser_fail(UP_PROT_PACKET &packet)
{
    packet.prot_state = UP_PACKET_ERROR;
}

// Keeps one accepted byte of the frame under way. The frame buffer is never
// written past its end: a frame that would not fit is a broken frame.
bool recv_append(uint8_t byte)
{
    if (upgrade_param.usb_recv_cnt >= UP_RECV_BUF_SIZE) {
        TVP_LOG(ERR_LOG_GRADE, "frame longer than %d bytes, error!!!\n", UP_RECV_BUF_SIZE);
        parser_fail(upgrade_param.prot_packet_usb);
        return false;
    }
    upgrade_param.usb_recv_data[upgrade_param.usb_recv_cnt++] = byte;
    return true;
}

} // namespace

int parseProtocal(const uint8_t *data, int len)
{
    if (data == nullptr || len <= 0) {
        return -1;
    }
    UP_PROT_PACKET &packet = upgrade_param.prot_packet_usb;
    for (int i = 0; i < len; ++i) {
        const uint8_t byte = data[i];
        switch (packet.prot_state) {
        case UP_PACKET_IDLE:
            if (byte == UP_FRAME_HEAD) {
                packet.prot_head = byte;
                upgrade_param.usb_recv_data[0] = byte;
                upgrade_param.usb_recv_cnt = 1;
                packet.prot_state = UP_PACKET_TYPE;
            }
            break;
        case UP_PACKET_TYPE:
            if (recv_append(byte)) {
                packet.prot_type = byte;
                packet.prot_state = UP_PACKET_SIZE1;
            }
            break;
        case UP_PACKET_SIZE1:
            if (recv_append(byte)) {
                packet.prot_size = byte;
                packet.prot_state = UP_PACKET_SIZE2;
            }
            break;
        case UP_PACKET_SIZE2:
            if (!recv_append(byte)) {
                break;
            }
            packet.prot_size = static_cast<uint16_t>(packet.prot_size + 256 * byte);
            packet.prot_data_cnt = 0;
            // A frame announcing more data than the frame buffer can hold whole is
            // refused here, before any of its data is stored: the buffers stay intact
            // whatever the device sends.
            if (packet.prot_size > UP_FRAME_MAX_DATA) {
                TVP_LOG(ERR_LOG_GRADE, "frame data size %u exceeds %d bytes, error!!!\n",
                        static_cast<unsigned>(packet.prot_size), UP_FRAME_MAX_DATA);
                parser_fail(packet);
                break;
            }
            packet.prot_state = packet.prot_size == 0 ? UP_PACKET_BCC : UP_PACKET_DATA;
            break;
        case UP_PACKET_DATA:
            if (recv_append(byte)) {
                packet.prot_data[packet.prot_data_cnt++] = byte;
                if (packet.prot_data_cnt >= packet.prot_size) {
                    packet.prot_state = UP_PACKET_BCC;
                }
            }
            break;
        case UP_PACKET_BCC:
            if (recv_append(byte)) {
                packet.prot_bcc = byte;
                packet.prot_state = UP_PACKET_END;
            }
            break;
        case UP_PACKET_END:
            if (!recv_append(byte)) {
                break;
            }
            packet.prot_end = byte;
            if (byte == UP_FRAME_END &&
                Check_BCC(upgrade_param.usb_recv_data, upgrade_param.usb_recv_cnt) == 0) {
                packet.prot_respond = 0;
                upgrade_param.usb_recv_cnt = 0;
                packet.prot_state = UP_PACKET_RECV_SUCCESS;
                return 0;
            }
            TVP_LOG(ERR_LOG_GRADE, "Recv data from device error!!!\n");
            parser_fail(packet);
            break;
        default:
            // UP_PACKET_HEAD is never entered; a finished or broken frame ignores what follows.
            break;
        }
    }
    return -1;
}
