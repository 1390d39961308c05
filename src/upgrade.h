// Firmware upgrade: the link to the module's bootloader, its frame protocol and
// command set, the firmware description file and one complete upgrade attempt.
#pragma once

#include <atomic>
#include <cstdint>
#include <libusb.h>

// ---- Bootloader identity and link --------------------------------------------

#define UP_BOOT_VID 0x1234
#define UP_BOOT_PID 0xABCE
#define UP_BOOT_INTERFACE 0
#define UP_BOOT_EP_OUT 0x04
#define UP_BOOT_EP_IN 0x84
#define UP_BOOT_READ_TIMEOUT_MS 1000
// A request is at most 250 bytes, a fraction of a millisecond at full speed; the
// bootloader takes a request at once and does its work (erase, flash write)
// before it replies, so a write it has not taken within a second never will be.
#define UP_BOOT_WRITE_TIMEOUT_MS 1000
#define UP_BOOT_IO_PAUSE_MS 2

// ---- Frame format --------------------------------------------------------------

#define UP_FRAME_HEAD 0xAA
#define UP_FRAME_END 0x55
// Head, type, two size bytes, BCC and end byte around the data.
#define UP_FRAME_OVERHEAD 6
// Received frames are kept whole (head to end byte) in a buffer of this size...
#define UP_RECV_BUF_SIZE 1024
// ...and their data bytes in one of this size.
#define UP_PROT_DATA_SIZE 1024
// Largest data length a received frame may announce: the whole frame must fit.
#define UP_FRAME_MAX_DATA (UP_RECV_BUF_SIZE - UP_FRAME_OVERHEAD)
// Requests that are not sent as their bare frame go out as a zero-padded transfer of this size.
#define UP_PADDED_REQUEST_SIZE 250
// Image bytes carried by one download frame (240 + 4 address bytes + 6 frame bytes = 250).
#define UP_DOWNLOAD_BLOCK_SIZE 240
// One reply is read with one bulk read of at most this many bytes.
#define UP_REPLY_READ_SIZE 64
#define UP_DEV_SN_SIZE 64

// ---- Firmware files ---------------------------------------------------------------

#define UP_FW_IMAGE_MAX_SIZE 2097152
#define UP_FW_DESC_MAX_SIZE 256
#define UP_FW_NAME_SIZE 512
#define UP_FW_VERSION_SIZE 256

// Command codes of the bootloader (the type byte of a request frame).
enum {
    UP_CMD_READ_SN = 0xA0,
    UP_CMD_READ_CRC = 0xA6,
    UP_CMD_SECURITY_CODE = 0xCC,
    UP_CMD_READ_EFLASH = 0xD0,
    UP_CMD_ERASE_EFLASH = 0xD3,
    UP_CMD_DOWNLOAD_CODE = 0xD7,
    UP_CMD_DOWNLOAD_CRC = 0xD9,
    UP_CMD_RUN_APP = 0xE3,
};

// States of the receive parser (kept in one byte).
enum {
    UP_PACKET_IDLE = 0,
    UP_PACKET_HEAD = 1,
    UP_PACKET_TYPE = 2,
    UP_PACKET_SIZE1 = 3,
    UP_PACKET_SIZE2 = 4,
    UP_PACKET_DATA = 5,
    UP_PACKET_BCC = 6,
    UP_PACKET_END = 7,
    UP_PACKET_RECV_SUCCESS = 8,
    UP_PACKET_ERROR = 100,
};

// Identity and interface of the bootloader device. Only pid, vid, bInterfaceNumber,
// dev and devs are used: the endpoints are fixed.
typedef struct usb_dev {
    uint32_t pid;
    uint32_t vid;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bmAttributes;
    uint8_t bInEndpointAddress;
    uint8_t bOutEndpointAddress;
    uint8_t bInterfaceNumber;
    // The device found, and the device list it belongs to. The list is held from
    // the moment the device is found until the link is closed (or the open fails).
    libusb_device *dev;
    libusb_device **devs;
} usb_dev;

// Receive parser state and the fields of the last frame.
typedef struct {
    uint8_t prot_state;
    uint8_t prot_head;
    uint8_t prot_type;
    uint16_t prot_size;
    uint8_t prot_data[UP_PROT_DATA_SIZE];
    uint32_t prot_data_cnt;
    uint8_t prot_bcc;
    uint8_t prot_end;
    uint8_t prot_respond;
    uint8_t prot_source;
    uint8_t current_cmd_code;
    uint8_t current_resp_cmd;
    uint8_t current_resp_type;
} UP_PROT_PACKET;

typedef struct {
    libusb_device_handle *usb_handle;
    usb_dev udev;
    UP_PROT_PACKET prot_packet_usb;
    uint8_t usb_recv_data[UP_RECV_BUF_SIZE];
    uint16_t usb_recv_cnt;
    uint8_t dev_sn[UP_DEV_SN_SIZE];
    uint16_t crc_value_dev;
    uint16_t crc_value_file;
    // Read by the verification worker and at bus acquisition while the upgrade thread writes it.
    std::atomic<uint8_t> upgrade_state;
} UPGRADE_PARAM;

extern UPGRADE_PARAM upgrade_param;

extern char new_firmware_name[UP_FW_NAME_SIZE];
extern char new_firmware_version[UP_FW_VERSION_SIZE];
extern uint32_t new_firmware_version_num;

// ---- Frames, checksums and the receive parser (no I/O) ----------------------------

// Exclusive-or of `len` bytes; 0xFF (logged) for a null pointer or a length of 0, 0 for a negative length.
uint8_t Check_BCC(const uint8_t *data, int len);
// CRC-16/X-25 of `datalen` bytes ("123456789" gives 0x906E, no bytes 0x0000).
uint16_t CRC16_X25(const uint8_t *data, uint32_t datalen);
void InvertUint8(uint8_t *dst, const uint8_t *src);
void InvertUint16(uint16_t *dst, const uint16_t *src);
// Writes the frame of `type` with `len` data bytes into `frame` (its BCC computed);
// returns the frame length, or -1 when it does not fit in `frame_size` bytes.
int boot_build_frame(uint8_t *frame, int frame_size, uint8_t type, const uint8_t *data, uint16_t len);
// Feeds received bytes to the parser in upgrade_param; 0 as soon as a frame completes, else -1.
int parseProtocal(const uint8_t *data, int len);

// ---- Bootloader link ---------------------------------------------------------------

int boot_open_dev(void);
int boot_close_dev(void);
// Forgets that a reply may still be on its way (the link starts in step).
void boot_link_forget_replies(void);
int boot_write_usb(const uint8_t *data, int len);
int boot_read_usb(uint8_t *data, int len);
int get_device_descriptor(struct libusb_device_descriptor *dev_desc, usb_dev *user_device);
int get_device_endpoint(struct libusb_device_descriptor *dev_desc, usb_dev *user_device);

// ---- Bootloader commands (0 success, -1 failure) ----------------------------------

int eraseEFlash(void);
int downloadCodeToEFlash(uint32_t addr, const uint8_t *data, uint16_t len);
int readCRC(uint32_t addr, uint32_t len);
int downloadCRCValue(uint32_t len, uint16_t crc, uint32_t addr);
int securityCode(void);
int runAPP(void);
int readSN(void);
int readEFlash(uint32_t addr, uint8_t len);
int checkCRC(void);
int selfTest(void);

// ---- Firmware description, upgrade attempt and upgrade state ----------------------

int upgrade_module_init(void);
int read_fw_version(void);
const char *upgrade_new_firmware_name(void);
const char *upgrade_new_firmware_version(void);
uint32_t upgrade_new_firmware_version_num(void);
int32_t get_file_size(const char *filename);
int check_file_exit(void);
int upgrade_and_run(void);
// Taken before the image is written and let go once the module has it (or the
// write failed): the service sets this to a block inhibitor for sleep. Returns a
// file descriptor that the attempt closes, or -1 for none.
extern int (*upgrade_write_hold)(void);
int set_upgrade_state(uint8_t state);
uint8_t get_upgrade_state(void);
