// USB transport of the module's application firmware: wrapped bulk transfers,
// the module's sysfs directory and USB autosuspend.
#pragma once

#include <cstdint>
#include <libusb.h>

struct tvp_dev;

#define USB_DEV_PORT_PATH_SIZE 200

typedef struct {
    libusb_device_handle *usbdev_handle;
    uint8_t bulk_io_ack_state;
    uint8_t dev_port_path_valid_flag;
    char dev_port_path[USB_DEV_PORT_PATH_SIZE];
    uint8_t autosuspend_flag;
} USB_DEV_STRUCT;

typedef struct {
    uint8_t *buff;
    uint32_t write_len;
    uint32_t read_len;
    uint32_t timeout;
} DEV_CMD;

extern USB_DEV_STRUCT usb_dev_param;

int usb_dev_module_init(void);
int usb_dev_param_init(void);
int usb_dev_open(struct tvp_dev *dev);
int usb_dev_close(void);
// Opens and closes the module once without touching the transport's handle, so a
// presence probe never disturbs a running operation; 0 when it answered.
int usb_dev_probe(struct tvp_dev *dev);
int usb_dev_set_null(void);
libusb_device_handle *usb_get_dev_handle(void);
int usb_dev_ioctl(DEV_CMD *dev_cmd);
int usb_prepare_send(int32_t msg_len);
int usb_prepare_read(int32_t msg_len);
int usb_read_bulk_io_ack(void);
int usb_check_bulk_io_ack(const uint8_t *buf, int32_t len);
// One complete transaction each. Every transfer has a time-out, and a transaction
// first brings back in step what a failed one left behind; the bounds are listed
// at the top of usb_device.cpp (3.4 s for a read, 3.4 s + len / 100 ms for a send).
int usb_send_data(const uint8_t *buf, int32_t len, int32_t *write_len);
int usb_read_data(uint8_t *buf, int32_t len, int32_t *read_len);
// The same read with the data phase waiting at most timeout_ms (above 0) instead
// of 1,000 ms, for a short look at what the module still has to say; a data
// phase that ends without a byte leaves the envelope in step, as a 1,000 ms one does.
int usb_read_data_within(uint8_t *buf, int32_t len, int32_t *read_len, uint32_t timeout_ms);
int usb_test_handle(void);
int usb_test(void);
int usb_dev_get_port_path(void);
int usb_dev_set_port_path_valid_flag(uint8_t flag);
uint8_t usb_dev_get_port_path_valid_flag(void);
int usb_set_autosuspend_flag(uint8_t flag);
int usb_dev_enable_autosuspend(void);
int usb_dev_disable_autosuspend(void);
