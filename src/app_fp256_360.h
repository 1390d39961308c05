// Sensor protocol driver of the 256 x 360 fingerprint module: the framed
// command/response protocol (frames, checksum, byte-wise receive machine,
// response decoding) and the module commands built on it.
//
// All protocol state lives in two process-wide records, `prot_packet_usb` and
// `fp_device_param`. The driver serves one module operation at a time; the only
// members touched from other threads while a wait runs are the control flag
// (`ctrlFlag`, atomic) and the one-key identification result (flags and count
// atomic, writers serialised inside the driver, see `FP_ONEKEY_POWERUP_STRUCT`).
//
// Files: -proto (frames, checksum, pairing, schedules, records), -parser (the
// receive machine), -decode (answers), -onekey (the one-key result) and -clock
// (time seams) are pure: bytes in, values out, no transport call, so they link
// and are fuzzed on their own. -exchange holds every transport call: sending a
// frame, read-and-parse, the drain and the send-and-check step. -info, -enroll,
// -identify and -control are the module commands, built on the exchange.
#pragma once

#include "common.h"

#include <atomic>
#include <cstdint>
#include <sys/time.h>

// ---- Frame layout ----------------------------------------------------------------

#define FP_PKG_HEAD 0xEF01
#define FP_DEFAULT_CHIP_ADDR 0xFFFFFFFFu
#define FP_MSG_HEAD_SIZE 9
// Payload area of one frame (command code or confirm code plus data).
#define FP_MSG_DATA_SIZE 93160
// Largest number of parameter bytes the payload area can carry.
#define FP_MAX_CMD_PARAM_LEN (FP_MSG_DATA_SIZE - 1)
// Largest number of parameter bytes one command frame can carry: its length
// field (P + 3) is 16 bits wide and must not wrap.
#define FP_MAX_FRAME_PARAM_LEN (0xFFFF - 3)
#define FP_IMG_WIDTH 256
#define FP_IMG_HEIGHT 360
#define FP_IMG_SIZE (FP_IMG_WIDTH * FP_IMG_HEIGHT)
// Length field of an image data packet (the field cannot express 92,162).
#define FP_IMG_PKG_SIZE_FIELD 0xFFFF
// Checksum field that is accepted for an image data packet whatever the sum.
#define FP_IMG_PKG_CHECKSUM_MAGIC 0x55AA
// Size of the buffer one transport read lands in.
#define FP_READ_BUFFER_SIZE 93171
// Largest length field the receive machine follows outside an image transfer.
// The longest packet the driver receives besides the image is the information
// page's end-of-data packet (128 bytes, length field 130); every answer is
// shorter (the index table and 32-byte serial number: 35). 1,024 leaves room for
// a longer page or id list of another firmware, while a length built from a
// misplaced head (EF 01 read as 0xEF01, any high byte 0xEF) lies far above it,
// so such a length is dropped at once instead of swallowing up to 64 KB of
// later answers; and a packet that is followed costs at most 1,033 bytes.
#define FP_MAX_PKG_SIZE_FIELD 1024

// Enrolment slot window: the only slots the driver allocates or deletes.
#define FP_ENROLL_ID_MIN 90
#define FP_ENROLL_ID_MAX 119
#define FP_ENROLL_ID_NONE 0xFFFF

#define FP_INDEX_TABLE_PAGES 4
#define FP_INDEX_TABLE_PAGE_SIZE 32
#define FP_FLASH_INFO_PAGE_SIZE 128
#define FP_CHIP_SN_MAX_LEN 32
#define FP_FW_VERSION_SIZE 64
// Length of the version text inside a firmware version answer.
#define FP_FW_VERSION_TEXT_LEN 25
#define FP_ENROLL_TIMES_MAX 8
#define FP_SEARCH_ID_MAX 30
#define FP_SEARCH_ID_NONE 0xFFFF

// Package types.
enum {
    PROT_TYPE_CMD = 0x01,
    PROT_TYPE_DATA = 0x02,
    PROT_TYPE_RESPOND = 0x07,
    PROT_TYPE_END = 0x08,
};

// Command codes (some members are spelled with PORT_).
enum {
    PROT_CMD_GETIMAGE = 0x01,
    PROT_CMD_GENCHAR = 0x02,
    PROT_CMD_MATCH = 0x03,
    PROT_CMD_SEARCH = 0x04,
    PROT_CMD_REGMODEL = 0x05,
    PROT_CMD_STORECHAR = 0x06,
    PROT_CMD_LOADCHAR = 0x07,
    PROT_CMD_UPCHAR = 0x08,
    PROT_CMD_DOWNCHAR = 0x09,
    PROT_CMD_UPIMAGE = 0x0A,
    PROT_CMD_DOWNIMAGE = 0x0B,
    PROT_CMD_DELCHAR = 0x0C,
    PROT_CMD_EMPTY = 0x0D,
    PROT_CMD_READSYSPARA = 0x0F,
    PROT_CMD_SETPWD = 0x12,
    PROT_CMD_VFYPWD = 0x13,
    PROT_CMD_SETCHIPADDR = 0x15,
    PROT_CMD_READINFOPAGE = 0x16,
    PROT_CMD_HIGHSPEEDSEARCH = 0x1B,
    PROT_CMD_VALIDTEMPLATENUM = 0x1D,
    PROT_CMD_READINDEXTABLE = 0x1F,
    PROT_CMD_GETENROLLIMAGE = 0x29,
    PROT_CMD_CANCEL = 0x30,
    PROT_CMD_AUTOENROLL = 0x31,
    PROT_CMD_AUTOIDENTIFY = 0x32,
    PROT_CMD_SLEEP = 0x33,
    PROT_CMD_GETCHIPSN = 0x34,
    PROT_CMD_HANDSHAKE = 0x35,
    PROT_CMD_CHECKSENSOR = 0x36,
    PROT_CMD_IIC_LED_CONTROL = 0x40,
    PROT_CMD_PS_PC_STATE = 0x50,
    PROT_CMD_TEST_TYPE = 0xAF,
    PORT_CMD_SET_BRIGHTNESS = 0xB0,
    PORT_CMD_GET_BRIGHTNESS = 0xB1,
    PORT_CMD_SET_CONTRAST = 0xB2,
    PORT_CMD_GET_CONTRAST = 0xB3,
    PORT_CMD_GET_MAXSIZEOFIMAGE = 0xB4,
    PORT_CMD_SET_SIZEOFIMAGE = 0xB5,
    PORT_CMD_GET_SIZEOFIMAGE = 0xB6,
    PORT_CMD_READYCAPIMAGE = 0xB7,
    PORT_CMD_STARTCAPIMAGE = 0xB8,
    PORT_CMD_ENDCAPIMAGE = 0xB9,
    // Never sent: the expected command while an image data packet is read.
    PORT_CMD_ACQUIRE_IMAGEDATA = 0xF0,
    PROT_CMD_RTBOOT = 0xFF,
};

// Sub-commands of PROT_CMD_TEST_TYPE (first parameter byte).
enum {
    PROT_SUBCMD_READ_FW = 0x10,
    PROT_SUBCMD_RW_REG = 0x11,
    PROT_SUBCMD_FP_DOWN = 0x13,
    PROT_SUBCMD_SIMFP_DOWN = 0x14,
    PROT_SUBCMD_DEADPIXEL = 0x18,
    PROT_SUBCMD_CLEAR_IRQ = 0x19,
    PROT_SUBCMD_SENSORINIT = 0x22,
    PROT_SUBCMD_SELFCHECK = 0x31,
    PROT_SUBCMD_SPI_TEST = 0x32,
    PROT_SUBCMD_OTP_WRITE = 0x34,
    PROT_SUBCMD_OTP_READ = 0x35,
    PROT_SUBCMD_SPI_INT = 0x36,
    PROT_SUBCMD_I2C_INT = 0x37,
    PROT_SUBCMD_RECOVER_FACTORY = 0x38,
    PROT_SUBCMD_EXFLASH_ID = 0x39,
    PROT_SUBCMD_SET_MODE = 0xBD,
};

// Confirm codes of the module's answers (first payload byte).
enum {
    PROT_RESP_OK = 0,
    PROT_RESP_DATA_RECV_ERR = 1,
    PROT_RESP_NO_FINGER = 2,
    PROT_RESP_ENROLL_FAULT = 3,
    PROT_RESP_IMG_TOO_DRY = 4,
    PROT_RESP_IMG_TOO_WET = 5,
    PROT_RESP_IMG_TOO_CHAOTIC = 6,
    PROT_RESP_FEATURE_TOO_LOW = 7,
    PROT_RESP_FPRINT_MISMATCH = 8,
    PROT_RESP_FPRINT_NOT_FIND = 9,
    PROT_RESP_FEATURE_MERGE_FAULT = 10,
    PROT_RESP_ADDR_OUT_RANGE = 11,
    PROT_RESP_READ_TEMPLATE_FAULT = 12,
    PROT_RESP_UPLOAD_FEATURE_FAULT = 13,
    PROT_RESP_CANT_RECV_PKG = 14,
    PROT_RESP_UPLOAD_IMG_FAULT = 15,
    PROT_RESP_DEL_TEMPLATE_FAULT = 16,
    PROT_RESP_CLEAN_FPRINTLIB_FAULT = 17,
    PROT_RESP_CANTBE_LOWPOWER_STATE = 18,
    PROT_RESP_CMD_ERR = 19,
    PROT_RESP_RESET_FAULT = 20,
    PROT_RESP_NO_RAWIMG_IN_BUFFER = 21,
    PROT_RESP_UPGRADE_FAULT = 22,
    PROT_RESP_FINGER_NO_MOVE = 23,
    PROT_RESP_WR_FLASH_FAULT = 24,
    PROT_RESP_CREATE_RANDOM_NUM_FAULT = 25,
    PROT_RESP_NOT_VALID_REG_NUM = 26,
    PROT_RESP_REG_VALUE_ERR = 27,
    PROT_RESP_NOTEPAD_PAGE_NUM_ERR = 28,
    PROT_RESP_OPT_PORT_FAULT = 29,
    PROT_RESP_AUTO_REGISTER_FAULT = 30,
    PROT_RESP_FPRINTLIB_FULL = 31,
    PROT_RESP_DEV_ADDR_ERR = 32,
    PROT_RESP_PASSWORD_ERR = 33,
    PROT_RESP_TEMPLATE_NOT_EMPTY = 34,
    PROT_RESP_TEMPLATE_EMPTY = 35,
    PROT_RESP_FPRINTLIB_EMPTY = 36,
    PROT_RESP_ENROLL_TIMES_ERR = 37,
    PROT_RESP_TIMEOUT = 38,
    PROT_RESP_FPRINT_EXIST = 39,
    PROT_RESP_TEMPLATE_RELATED = 40,
    PROT_RESP_SENSOR_INIT_FAULT = 41,
    PROT_RESP_POSITION_REPEATED = 48,
    PROT_RESP_FPRINT_QUALITY_BAD = 49,
    PROT_RESP_FPRINT_AREA_TOO_SMALL = 50,
    PROT_RESP_DATA_RECV_OK = 240,
    PROT_RESP_DATA_CMD_RECV_OK = 241,
    PROT_RESP_PROG_FLASH_CHECKSUM_ERR = 242,
    PROT_RESP_PROG_FLASH_PKGTYPE_ERR = 243,
    PROT_RESP_PROG_FLASH_PKGLEN_ERR = 244,
    PROT_RESP_PROG_FLASH_PKGLEN_TOO_LANG = 245,
    PROT_RESP_PROG_FLASH_FAULT = 246,
};

// Driver marker for "no answer received yet" in result fields.
#define FP_RESP_NONE 0xFF

// Generic confirm values.
enum {
    CONFIRM_CODE_SUCCESS = 0,
    CONFIRM_CODE_CMD_ERROR = 1,
    CONFIRM_CODE_EXECUTE_FAILED = 2,
};

// Stage bytes (data[1]) of automatic enrolment and identification reports.
enum {
    FP_ENROLL_STAGE_CHECK = 0,
    FP_ENROLL_STAGE_CAPTURE = 1,
    FP_ENROLL_STAGE_FEATURE = 2,
    FP_ENROLL_STAGE_ENROLL = 3,
    FP_ENROLL_STAGE_MERGE = 4,
    FP_ENROLL_STAGE_CONFLICT = 5,
    FP_ENROLL_STAGE_STORE = 6,
};
enum {
    FP_IDENTIFY_STAGE_CHECK = 0x00,
    FP_IDENTIFY_STAGE_CAPTURE = 0x01,
    FP_IDENTIFY_STAGE_SINGLE = 0x05,
    FP_IDENTIFY_STAGE_LIST = 0xF5,
};

// States of the byte-wise receive machine (`prot_state`).
enum {
    PACKET_IDLE = 0,
    PACKET_HEAD = 1,
    PACKET_ADDRESS1 = 2,
    PACKET_ADDRESS2 = 3,
    PACKET_ADDRESS3 = 4,
    PACKET_ADDRESS4 = 5,
    PACKET_TYPE = 6,
    PACKET_SIZE1 = 7,
    PACKET_SIZE2 = 8,
    PACKET_DATA = 9,
    PACKET_CHECKSUM1 = 10,
    PACKET_CHECKSUM2 = 11,
    PACKET_ERROR = 100,
};

// Values of the control flag `ctrlFlag`.
enum {
    FP_CONTROL_FLAG_IDLE = 0,
    FP_CONTROL_FLAG_STOPPED = 1,
    FP_CONTROL_FLAG_TIMEOUT = 2,
    FP_CONTROL_FLAG_DEV_NOT_EXIST = 3,
    FP_CONTROL_FLAG_ENROLLID_OUT_RANGE = 4,
};

// ---- Records ---------------------------------------------------------------------

// The 9-byte frame header, byte for byte as on the wire (values big-endian).
typedef struct __attribute__((packed)) {
    uint16_t pkg_head;
    uint32_t chip_addr;
    uint8_t pkg_flag;
    uint16_t pkg_len;
} MSG_HEAD_STRUCT;
static_assert(sizeof(MSG_HEAD_STRUCT) == FP_MSG_HEAD_SIZE, "frame header is 9 bytes");

// Send buffer. The checksum of a command is written right behind its last
// payload byte inside `data`, so the frame is contiguous; `check_sum` is unused.
typedef struct __attribute__((packed)) {
    MSG_HEAD_STRUCT head;
    uint8_t data[FP_MSG_DATA_SIZE];
    uint16_t check_sum;
} MSG_STRUCT;

// Receive schedule of one command.
typedef struct {
    int recv_len;         // bytes requested by each transport read
    uint16_t wait_ms;     // pause after sending, before the first read
    uint16_t cycle_times; // largest number of read attempts
    uint16_t cycle_ms;    // pause after each attempt without a complete packet
} RECV_DATA_STRUCT;

// Receive record: the machine's state and the packet being received, plus the
// pairing of answers with the command that is awaited.
typedef struct {
    uint8_t prot_state;
    uint16_t prot_head;
    uint32_t prot_addr;
    uint8_t prot_type;
    uint16_t prot_size;
    uint8_t prot_data[FP_MSG_DATA_SIZE];
    uint32_t prot_data_cnt;
    uint16_t prot_checksum;
    uint8_t prot_respond;
    uint8_t prot_source;
    uint8_t current_cmd_code;
    uint8_t current_resp_cmd;
    uint8_t current_resp_type;
    uint8_t current_sub_cmd_code;
} PROT_PACKET;

typedef struct {
    uint16_t sensor_type;
    uint16_t fp_database_size;
    uint16_t security_level;
    uint32_t device_addr;
} FP_SYS_PARAM_STRUCT;

typedef struct {
    uint16_t enroll_id;
    uint8_t auto_enroll_times;
    uint8_t validity_check_result;
    uint8_t current_enroll_time;
    uint8_t current_enroll_flag;
    uint8_t capture_result[FP_ENROLL_TIMES_MAX + 1];
    uint8_t create_feature_result[FP_ENROLL_TIMES_MAX + 1];
    uint8_t enroll_result[FP_ENROLL_TIMES_MAX + 1];
    uint8_t merge_template_result;
    uint8_t enroll_conflict_result;
    uint8_t store_template_result;
    uint8_t enroll_finish_flag;
} FP_AUTOENROLL_PARAM_STRUCT;

typedef struct {
    uint8_t security_level;
    uint16_t identify_id;
    uint16_t param;
    uint8_t validity_check_result;
    uint8_t capture_result;
    uint8_t search_result;
    int search_num;
    uint16_t search_id[FP_SEARCH_ID_MAX];
    uint16_t score;
    uint8_t identify_finish_flag;
} FP_AUTOIDENTIFY_PARAM_STRUCT;

// One-key identification result, written by the thread that collects it and read
// by the verification worker. Publication protocol: a writer stores `search_id`,
// `search_num` and the times first and the flags last (release); a reader that
// sees `onekey_powerup_flag` set (acquire) then sees the matching ids and time.
// Writers are serialised by a lock inside the driver.
typedef struct {
    std::atomic<uint8_t> onekey_powerup_flag;
    std::atomic<int> search_num;
    uint16_t search_id[FP_SEARCH_ID_MAX];
    struct timeval tv_current_time;
    std::atomic<uint8_t> onekey_restart_flag;
    uint8_t continue_read_fw_version_flag;
    struct timeval tv_restart_begin;
} FP_ONEKEY_POWERUP_STRUCT;

typedef struct {
    uint8_t img_data[FP_IMG_SIZE];
    FP_SYS_PARAM_STRUCT sys_param;
    uint32_t chip_addr;
    uint8_t flash_info_page[FP_FLASH_INFO_PAGE_SIZE];
    uint8_t index_table_page;
    uint8_t index_table_info[FP_INDEX_TABLE_PAGES][FP_INDEX_TABLE_PAGE_SIZE];
    uint8_t chip_serial_num_len;
    uint8_t chip_serial_num[FP_CHIP_SN_MAX_LEN];
    uint8_t handshake_state;
    FP_AUTOENROLL_PARAM_STRUCT auto_enroll_param;
    FP_AUTOIDENTIFY_PARAM_STRUCT auto_identify_param;
    uint8_t delete_template_result;
    uint8_t empty_template_result;
    uint8_t cancel_result;
    uint8_t sleep_result;
    uint16_t valid_template_num;
    char firmware_version[FP_FW_VERSION_SIZE];
    uint32_t firmware_version_num;
    char firmware_version_new[FP_FW_VERSION_SIZE];
    // Written by the service's stop path while a driver wait polls it.
    std::atomic<int> ctrlFlag;
    FP_ONEKEY_POWERUP_STRUCT onekey_powerup;
} FP_DEVICE_PARAM_STRUCT;

// ---- Receive schedules -------------------------------------------------------------
// Schedule (recv_len/wait_ms/cycle_times/cycle_ms) of every command the driver
// sends; an exchange lasts at most about wait_ms + cycle_times x (1,000 ms read
// time-out + cycle_ms). The operations take their schedule from here.
typedef struct {
    uint8_t cmd_code;
    RECV_DATA_STRUCT recv;
} FP_CMD_SCHEDULE;

inline constexpr FP_CMD_SCHEDULE FP_CMD_SCHEDULES[] = {
    {PROT_CMD_HANDSHAKE, {230, 20, 3, 20}},
    {PROT_CMD_READSYSPARA, {64, 20, 3, 20}},
    {PROT_CMD_SETCHIPADDR, {64, 20, 3, 20}},
    {PROT_CMD_READINFOPAGE, {64, 20, 5, 20}},
    {PROT_CMD_READINDEXTABLE, {64, 20, 10, 20}},
    {PROT_CMD_GETCHIPSN, {64, 20, 3, 20}},
    {PROT_CMD_VALIDTEMPLATENUM, {64, 20, 3, 20}},
    {PORT_CMD_GET_BRIGHTNESS, {64, 20, 3, 20}},
    {PROT_CMD_GETIMAGE, {64, 100, 10, 20}},
    {PROT_CMD_UPIMAGE, {64, 20, 5, 20}},
    {PORT_CMD_STARTCAPIMAGE, {64, 100, 5, 20}},
    {PROT_CMD_TEST_TYPE, {64, 20, 10, 20}}, // firmware version and mode
    {PROT_CMD_AUTOENROLL, {64, 20, 3, 20}},
    {PROT_CMD_AUTOIDENTIFY, {64, 20, 3, 20}},
    {PROT_CMD_DELCHAR, {64, 20, 5, 20}},
    {PROT_CMD_EMPTY, {64, 20, 5, 20}},
    {PROT_CMD_CANCEL, {64, 20, 5, 20}},
    {PROT_CMD_SLEEP, {64, 20, 3, 20}},
    {PROT_CMD_RTBOOT, {64, 70, 1, 0}}, // a module that restarts first gives -1
    {PROT_CMD_PS_PC_STATE, {64, 20, 3, 20}},
};

// Reads that follow an exchange, one transport read each.
#define FP_INFO_PAGE_READ_LEN 148
#define FP_IMAGE_READ_LEN 92180 // the image packet is 9 + 92,160 + 2 bytes
#define FP_FW_FOLLOW_UP_READ_LEN 64
#define FP_ENROLL_WAIT_READ_LEN 128
#define FP_IDENTIFY_WAIT_READ_LEN 64
#define FP_DRAIN_READ_LEN 64

// Reads after a stop and the drain only look at what the module already has or
// is about to send, so each waits 200 ms for its data instead of the transport's
// 1,000 ms: a stopped operation lets go of the module well within the stop
// methods' 3 s (see fp_onekey_restart_identify and fp_cancel).
#define FP_SHORT_READ_TIMEOUT_MS 200

// The schedule of cmd_code; a code without one gets no read attempt, so its
// exchange fails.
RECV_DATA_STRUCT fp_cmd_schedule(uint8_t cmd_code);

extern PROT_PACKET prot_packet_usb;
extern FP_DEVICE_PARAM_STRUCT fp_device_param;
// Raw copy of the bytes of the packet being received (debug dump).
extern uint8_t usb_recv_data[FP_MSG_DATA_SIZE];
extern uint16_t usb_recv_cnt;

// ---- Time seams --------------------------------------------------------------------
// Every pause and every clock reading of the driver goes through these two, so
// that a test can count pauses and run the driver on a simulated clock. The real
// clock is CLOCK_MONOTONIC (seconds and microseconds since an arbitrary start):
// every age and time limit of the driver and the service is taken from it, so a
// step of the time of day changes none of them.
typedef void (*FP_SLEEP_HOOK)(unsigned int ms);
typedef void (*FP_CLOCK_HOOK)(struct timeval *now);
// A null hook restores the real sleep or the real monotonic clock.
void fp_set_time_hooks(FP_SLEEP_HOOK sleep_hook, FP_CLOCK_HOOK clock_hook);
void fp_delay_ms(unsigned int ms);
void fp_get_time_now(struct timeval *now);

// Time spent in a wait. Each reading adds the time since the previous one, and a
// clock that went back adds nothing: a wait neither ends early nor runs for ever
// when the hook's clock steps.
typedef struct {
    struct timeval last;
    long long elapsed_ms;
} FP_WAIT_CLOCK;
void fp_wait_clock_start(FP_WAIT_CLOCK *clock);
int fp_wait_clock_elapsed_ms(FP_WAIT_CLOCK *clock);

// ---- Framing and send path -----------------------------------------------------------

uint16_t get_check_sum(const uint8_t *buf, uint16_t len);
int fp_fill_msg_head(MSG_HEAD_STRUCT *head, uint8_t pkg_flag, uint16_t cmd_len);
int fp_fill_msg_checksum(uint8_t *buf, int len);
// Builds the command frame of cmd_code with param_len parameter bytes in msg;
// returns the frame length (param_len + 12), or -1 with "the param is error!!!\r\n"
// when the parameters do not fit one frame (length field would wrap).
int fp_build_cmd_frame(MSG_STRUCT *msg, uint8_t cmd_code, const uint8_t *buf, int param_len);
int fp_recv_param_init(RECV_DATA_STRUCT *recv_param, int recv_len, uint16_t wait_ms, uint16_t cycle_times,
                       uint16_t cycle_ms);
int fp_resp_init(uint8_t cmd_code);
uint8_t fp_resp_type_get(void);
int fp_send_cmd(uint8_t cmd_code, const uint8_t *buf, int len, RECV_DATA_STRUCT recv_param);
int fp_module_init(void);

// ---- Receive machine -------------------------------------------------------------------

int fp_deal_usb_data(uint8_t value);
int fp_parse_prot(const uint8_t *buf, int len);
int fp_read_and_parse_prot(int len);
// The same read with the data phase waiting at most timeout_ms; *read_len (may be
// null) receives the number of bytes that came, 0 when the read failed.
int fp_read_and_parse_prot_within(int len, unsigned timeout_ms, int32_t *read_len);
int fp_parse_prot_head(PROT_PACKET *packet, int size);
int fp_parse_prot_data_end(const uint8_t *buf, int len);
// Drain: up to `count` short reads (FP_SHORT_READ_TIMEOUT_MS), discarded; ends at
// the first read that fails.
int fp_read_invalid_pkg(int count);
// Back to PACKET_IDLE with the raw copy restarted: what an earlier exchange left
// unfinished is forgotten.
void fp_parse_prot_reset(void);

// ---- Response decoding -------------------------------------------------------------------

int fp_parse_prot_response(const uint8_t *buf, int len);

// ---- Device information -------------------------------------------------------------------

int fp_handshake(void);
int fp_read_sys_param(void);
int fp_set_chip_addr(uint32_t chip_addr);
int fp_read_flash_info_page(void);
int fp_read_index_table(uint8_t index_page);
int fp_get_chip_serial_num(void);
int fp_get_valid_template_num(void);
int fp_get_bright(void);
int fp_get_fprint_img(void);
int fp_upload_fprint_img(void);
int fp_force_get_fprint_img(void);
int fp_get_firmware_version(void);
char *fp_return_firmware_version(void);
uint32_t fp_return_firmware_version_num(void);
uint16_t fp_get_empty_enroll_id(void);
// True when the last fp_get_empty_enroll_id could not read the index table (its
// 0xFFFF then means "unknown", not "store full").
bool fp_empty_enroll_id_unread(void);
int fp_get_device_num(void);
int main_test(int argc, char *argv[]);

// ---- Automatic enrolment -------------------------------------------------------------------

int fp_auto_enroll_param_init(FP_AUTOENROLL_PARAM_STRUCT *enroll_param, uint16_t enroll_id,
                              uint8_t auto_enroll_times);
int fp_auto_enroll_start(uint16_t enroll_id, uint8_t enroll_times, uint16_t param);
int fp_auto_enroll(int timeout_ms);
uint8_t fp_get_current_enroll_time(void);
uint8_t fp_get_enroll_finish_flag(void);
uint8_t fp_get_store_template_result(void);
// Confirm codes of the merge (stage 4) and the duplicate-finger check (stage 5);
// 0xFF until that report arrived.
uint8_t fp_get_merge_template_result(void);
uint8_t fp_get_enroll_conflict_result(void);
uint8_t fp_get_enroll_create_feature_result(uint8_t enroll_time);
uint8_t fp_get_enroll_result(uint8_t enroll_time);
// Milliseconds from start to now; a start that lies after now (the clock went
// back) gives INT_MAX, so an age taken this way never looks fresh.
int fp_get_increment_of_time_ms(const struct timeval *start);

// ---- Automatic identification and one-key identify ---------------------------------------------

int fp_auto_identify_param_init(FP_AUTOIDENTIFY_PARAM_STRUCT *identify_param, uint8_t security_level,
                                uint16_t identify_id, uint16_t param);
int fp_auto_identify(uint8_t security_level, uint16_t identify_id, uint16_t param,
                     uint16_t *identify_result_id, int timeout_ms);
int fp_onekey_powerup_identify(uint8_t security_level, uint16_t identify_id, uint16_t param,
                               uint16_t *identify_result_id, int wait_ms);
int fp_onekey_restart_identify(uint16_t *identify_result_id, int wait_ms);
int fp_onekey_restart_identify_2(const uint16_t *identify_result_id);
uint8_t get_onekey_powerup_flag(void);
int set_onekey_powerup_flag(uint8_t flag);
uint8_t get_onekey_restart_flag(void);
int set_onekey_restart_flag(uint8_t flag);
uint16_t *get_onekey_powerup_search_id(void);
int get_onekey_powerup_search_num(void);
int init_onekey_powerup_search_id(void);
struct timeval *get_onekey_powerup_tv_time(void);
int get_restart_tv_begin_change_ms(void);

// ---- Template and device control ---------------------------------------------------------------

int fp_delete_template(uint16_t enroll_id, uint16_t num);
int fp_empty_template(void);
int fp_cancel(void);
int fp_sleep(void);
int fp_set_mode(const char *mode, int len);
int fp_reboot(void);
int fp_set_pc_state(uint8_t pc_state);
int fp_delete_invalid_template(const uint8_t *index_list);
int fp_set_ctrlFlag(int ctrlFlag);
int fp_get_ctrlFlag(void);

// ---- Shared between the driver's own source files ------------------------------------------

// Logs `len` bytes as "%02x " pieces without time stamp, a "\n" after every
// `break_every` bytes (0: none), then `tail`; formats nothing when `grade` is filtered.
void fp_log_hex(int grade, const uint8_t *buf, int len, int break_every, const char *tail);
// Records the one-key result that a module gave in place of its firmware version:
// `num` ids (at most FP_SEARCH_ID_MAX - 1) followed by 0xFFFF, the time, then the flag.
void fp_onekey_store_powerup_answer(const uint16_t *ids, int num);
// Number of ids of the last search result that fit a 30-entry buffer.
int fp_found_id_count(void);
// Records the search result of `auto_identify_param` as the one-key result: the
// found ids into identify_result_id (normally the one-key id array) and the
// count; when the search finished, also the time and the flags (`restart` sets
// the restart flag and time). One writer at a time.
void fp_onekey_record_search(uint16_t *identify_result_id, bool restart);

// Where a driver log line is written from: the operation on whose behalf a
// shared helper logs (FP_HERE in the operation).
typedef struct {
    const char *file;
    int line;
    const char *func;
} FP_LOG_SITE;
#define FP_HERE (FP_LOG_SITE{tvp_source_basename(__FILE__), __LINE__, __func__})

// Line end of an operation's failure line ("\r\n" or "\n"), or no line at all.
typedef enum {
    FP_LINE_NONE,
    FP_LINE_CRLF,
    FP_LINE_LF,
} FP_LINE_END;

// Logs "not received PROT_RESP_OK!!!" with the given line end (ERR_LOG_GRADE).
void fp_log_not_ok(FP_LOG_SITE site, FP_LINE_END end);
// One exchange of cmd_code with its schedule (FP_CMD_SCHEDULES); a failed
// exchange logs "fp_send_cmd failed!!!" with `send_failed`. fp_send_cmd's result.
int fp_exchange(FP_LOG_SITE site, uint8_t cmd_code, const uint8_t *buf, int len, FP_LINE_END send_failed);
// fp_exchange, then the confirm code: 0 only for PROT_RESP_OK; another code logs
// "not received PROT_RESP_OK!!!" with `not_ok` and gives -1.
int fp_exchange_ok(FP_LOG_SITE site, uint8_t cmd_code, const uint8_t *buf, int len, FP_LINE_END send_failed,
                   FP_LINE_END not_ok);
// Whether the transport has the module open.
bool fp_module_present(void);
