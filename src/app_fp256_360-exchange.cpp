// Every exchange of the driver with the module, and the only driver file that
// calls the transport: sending a frame, reading and feeding the receive
// machine, the drain, and the send-and-check step of the command operations.
#include "app_fp256_360.h"

#include "common.h"
#include "usb_device.h"

#include <algorithm>
#include <cstring>

namespace
{

// The transport's own read (usb_read_data) for its full time-out, a shorter
// read otherwise.
constexpr unsigned kTransportReadTimeoutMs = 1000;

int read_with_timeout(uint8_t *buf, int32_t len, int32_t *read_len, unsigned timeout_ms)
{
    if (timeout_ms >= kTransportReadTimeoutMs) {
        return usb_read_data(buf, len, read_len);
    }
    return usb_read_data_within(buf, len, read_len, timeout_ms);
}

// Builds one command frame and sends it; kept apart so that its 93 KB frame
// buffer is released before the receive loop runs.
int send_frame(uint8_t cmd_code, const uint8_t *buf, int param_len)
{
    MSG_STRUCT msg;
    // Parameters that would wrap the length field are refused here, unsent.
    const int frame_len = fp_build_cmd_frame(&msg, cmd_code, buf, param_len);
    if (frame_len < 0) {
        return -1;
    }
    int32_t written = 0;
    if (usb_send_data(reinterpret_cast<const uint8_t *>(&msg), frame_len, &written) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "usb_send_data failed!!!\r\n");
        return -1;
    }
    return 0;
}

const char *line_end(FP_LINE_END end)
{
    return end == FP_LINE_LF ? "\n" : "\r\n";
}

} // namespace

int fp_send_cmd(uint8_t cmd_code, const uint8_t *buf, int len, RECV_DATA_STRUCT recv_param)
{
    const int param_len = (buf != nullptr && len > 0) ? len : 0;
    // An answer is looked for from its head: whatever an earlier exchange left
    // half received (a packet cut on the wire) is forgotten.
    fp_parse_prot_reset();
    if (send_frame(cmd_code, buf, param_len) != 0) {
        return -1;
    }
    if (recv_param.wait_ms != 0) {
        fp_delay_ms(recv_param.wait_ms);
    }
    if (recv_param.cycle_times == 0) {
        return -1;
    }

    bool got_packet = false;
    for (unsigned attempt = 0; attempt < recv_param.cycle_times; ++attempt) {
        // Re-armed at every attempt: a stale answer can never satisfy this exchange.
        fp_resp_init(cmd_code);
        if (fp_read_and_parse_prot(recv_param.recv_len) == 0) {
            got_packet = true;
            break;
        }
        if (recv_param.cycle_ms != 0) {
            fp_delay_ms(recv_param.cycle_ms);
        }
    }
    if (!got_packet) {
        return -1;
    }
    // The first complete packet ends the polling, whether it answers this command or not.
    if (prot_packet_usb.current_resp_cmd == prot_packet_usb.current_cmd_code) {
        return 0;
    }
    TVP_LOG(ERR_LOG_GRADE, "current_cmd_code = 0x%02x, current_resp_cmd = 0x%02x, ERROR!!!\r\n",
            prot_packet_usb.current_cmd_code, prot_packet_usb.current_resp_cmd);
    return -1;
}

int fp_read_and_parse_prot(int len)
{
    return fp_read_and_parse_prot_within(len, kTransportReadTimeoutMs, nullptr);
}

int fp_read_and_parse_prot_within(int len, unsigned timeout_ms, int32_t *read_len)
{
    if (read_len != nullptr) {
        *read_len = 0;
    }
    if (len <= 0) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\r\n");
        return -1;
    }
    // Callers ask for at most 92,180 bytes; a larger request is cut to the buffer.
    len = std::min(len, FP_READ_BUFFER_SIZE);
    uint8_t buf[FP_READ_BUFFER_SIZE];
    memset(buf, 0, static_cast<size_t>(len));
    int32_t received = 0;
    if (read_with_timeout(buf, len, &received, timeout_ms) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "usb_read_data failed!!!\r\n");
        return -1;
    }
    received = std::clamp<int32_t>(received, 0, len);
    if (read_len != nullptr) {
        *read_len = received;
    }
    return fp_parse_prot(buf, received);
}

int fp_read_invalid_pkg(int count)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    // What arrives is discarded, not fed to the machine: the stage reports of an
    // operation that was stopped must not reach the next one. The machine starts
    // and ends the drain idle, so no packet is left half received across it.
    // What is drained is already waiting, so short reads lose nothing.
    fp_parse_prot_reset();
    uint8_t buf[FP_DRAIN_READ_LEN];
    int result = 0;
    for (int i = 0; i < count; ++i) {
        int32_t read_len = 0;
        if (usb_read_data_within(buf, FP_DRAIN_READ_LEN, &read_len, FP_SHORT_READ_TIMEOUT_MS) != 0) {
            result = -1;
            break;
        }
    }
    fp_parse_prot_reset();
    return result;
}

void fp_log_not_ok(FP_LOG_SITE site, FP_LINE_END end)
{
    if (end == FP_LINE_NONE) {
        return;
    }
    tvp_log_at(ERR_LOG_GRADE, site.file, site.line, site.func, "not received PROT_RESP_OK!!!%s",
               line_end(end));
}

int fp_exchange(FP_LOG_SITE site, uint8_t cmd_code, const uint8_t *buf, int len, FP_LINE_END send_failed)
{
    if (fp_send_cmd(cmd_code, buf, len, fp_cmd_schedule(cmd_code)) == 0) {
        return 0;
    }
    if (send_failed != FP_LINE_NONE) {
        tvp_log_at(ERR_LOG_GRADE, site.file, site.line, site.func, "fp_send_cmd failed!!!%s",
                   line_end(send_failed));
    }
    return -1;
}

int fp_exchange_ok(FP_LOG_SITE site, uint8_t cmd_code, const uint8_t *buf, int len, FP_LINE_END send_failed,
                   FP_LINE_END not_ok)
{
    if (fp_exchange(site, cmd_code, buf, len, send_failed) != 0) {
        return -1;
    }
    if (fp_resp_type_get() != PROT_RESP_OK) {
        fp_log_not_ok(site, not_ok);
        return -1;
    }
    return 0;
}

bool fp_module_present(void)
{
    return usb_get_dev_handle() != nullptr;
}

int fp_get_device_num(void)
{
    return fp_module_present() ? 1 : 0;
}

int main_test(int argc, char *argv[])
{
    (void)argc;
    (void)argv;
    if (fp_module_init() != 0) {
        TVP_LOG(ERR_LOG_GRADE, "fp_module_init failed.\n");
        return 0;
    }
    if (usb_dev_module_init() != 0) {
        TVP_LOG(ERR_LOG_GRADE, "usb_dev_module_init failed.\n");
        return 0;
    }
    for (;;) {
        fp_delay_ms(3000);
        fp_handshake();
        fp_delay_ms(3000);
    }
}
