// The bootloader's commands: one request frame, one reply frame each.
#include "upgrade.h"

#include "common.h"

#include <algorithm>
#include <cstring>

namespace
{

void put_u16(uint8_t *dst, uint16_t value)
{
    dst[0] = static_cast<uint8_t>(value & 0xFF);
    dst[1] = static_cast<uint8_t>(value >> 8);
}

void put_u32(uint8_t *dst, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        dst[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
    }
}

// Frames a request and writes it, either as the bare frame or as a zero-padded
// 250-byte transfer. The write's result is not examined: a request that did not
// go out shows as a missing reply.
int send_request(uint8_t type, const uint8_t *data, uint16_t len, bool padded)
{
    uint8_t request[UP_PADDED_REQUEST_SIZE] = {};
    const int frame_len = boot_build_frame(request, sizeof(request), type, data, len);
    if (frame_len < 0) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\n");
        return -1;
    }
    boot_write_usb(request, padded ? UP_PADDED_REQUEST_SIZE : frame_len);
    return 0;
}

// Reads one reply with one bulk read and runs it through the parser; true when a
// whole, intact frame came back. A reply split over several reads is not reassembled.
bool receive_reply()
{
    uint8_t reply[UP_REPLY_READ_SIZE] = {};
    const int got = boot_read_usb(reply, sizeof(reply));
    if (got <= 0) {
        TVP_LOG(ERR_LOG_GRADE, "read response failed!!!\n");
        return false;
    }
    upgrade_param.prot_packet_usb.prot_state = UP_PACKET_IDLE;
    const int ret = parseProtocal(reply, got);
    return ret == 0 && upgrade_param.prot_packet_usb.prot_state == UP_PACKET_RECV_SUCCESS;
}

bool status_ok()
{
    const UP_PROT_PACKET &packet = upgrade_param.prot_packet_usb;
    return packet.prot_data_cnt == 1 && packet.prot_data[0] == 0x00;
}

// Every command leaves the parser idle for the next reply.
int finish(bool ok)
{
    upgrade_param.prot_packet_usb.prot_state = UP_PACKET_IDLE;
    return ok ? 0 : -1;
}

// A command answered by a status reply: one data byte, 0x00 for success.
int status_command(uint8_t type, const uint8_t *data, uint16_t len, bool padded)
{
    if (send_request(type, data, len, padded) != 0) {
        return -1;
    }
    return finish(receive_reply() && status_ok());
}

} // namespace

int eraseEFlash(void)
{
    return status_command(UP_CMD_ERASE_EFLASH, nullptr, 0, false);
}

int downloadCodeToEFlash(uint32_t addr, const uint8_t *data, uint16_t len)
{
    if (len > UP_DOWNLOAD_BLOCK_SIZE || (len > 0 && data == nullptr)) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\n");
        return -1;
    }
    uint8_t payload[4 + UP_DOWNLOAD_BLOCK_SIZE] = {};
    put_u32(payload, addr);
    if (len > 0) {
        std::memcpy(payload + 4, data, len);
    }
    return status_command(UP_CMD_DOWNLOAD_CODE, payload, static_cast<uint16_t>(len + 4), true);
}

int readCRC(uint32_t addr, uint32_t len)
{
    uint8_t payload[8] = {};
    put_u32(payload, addr);
    put_u32(payload + 4, len);
    if (send_request(UP_CMD_READ_CRC, payload, sizeof(payload), true) != 0) {
        return -1;
    }
    upgrade_param.crc_value_dev = 0;
    if (!receive_reply()) {
        return finish(false);
    }
    // Little-endian in the first two data bytes; a shorter reply contributes only what it holds.
    const UP_PROT_PACKET &packet = upgrade_param.prot_packet_usb;
    const uint16_t lo = packet.prot_data_cnt > 0 ? packet.prot_data[0] : 0;
    const uint16_t hi = packet.prot_data_cnt > 1 ? packet.prot_data[1] : 0;
    upgrade_param.crc_value_dev = static_cast<uint16_t>(lo + 256 * hi);
    return finish(true);
}

int downloadCRCValue(uint32_t len, uint16_t crc, uint32_t addr)
{
    uint8_t payload[10] = {};
    put_u32(payload, len);
    put_u16(payload + 4, crc);
    put_u32(payload + 6, addr);
    if (send_request(UP_CMD_DOWNLOAD_CRC, payload, sizeof(payload), true) != 0) {
        return -1;
    }
    upgrade_param.crc_value_dev = 0;
    return finish(receive_reply() && status_ok());
}

int securityCode(void)
{
    return status_command(UP_CMD_SECURITY_CODE, nullptr, 0, false);
}

int runAPP(void)
{
    return status_command(UP_CMD_RUN_APP, nullptr, 0, false);
}

int readSN(void)
{
    if (send_request(UP_CMD_READ_SN, nullptr, 0, true) != 0) {
        return -1;
    }
    std::memset(upgrade_param.dev_sn, 0, 16);
    if (!receive_reply()) {
        return finish(false);
    }
    const UP_PROT_PACKET &packet = upgrade_param.prot_packet_usb;
    const size_t n = std::min<size_t>(packet.prot_data_cnt, sizeof(upgrade_param.dev_sn));
    std::memcpy(upgrade_param.dev_sn, packet.prot_data, n);
    return finish(true);
}

int readEFlash(uint32_t addr, uint8_t len)
{
    uint8_t payload[5] = {};
    put_u32(payload, addr);
    payload[4] = len;
    send_request(UP_CMD_READ_EFLASH, payload, sizeof(payload), false);
    // The flash contents are read to keep the link in step; nothing looks at them.
    uint8_t contents[UINT8_MAX + 10] = {};
    boot_read_usb(contents, len + 10);
    return 0;
}

int checkCRC(void)
{
    return 0;
}

int selfTest(void)
{
    return 0;
}
