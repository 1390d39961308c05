// Device initialisation, driver binding to the USB library, and USB hot-plug.
#include "tirvane_common.h"

#include "common.h"
#include "tirvane-server.h"
#include "tirvane_common-presence.h"
#include "usb_device.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <glib.h>
#include <new>
#include <pthread.h>

const usb_id tvp1234_id_table[] = {
    {0x1234, 0xABCD, "KAL TVP1234"},
    {0x33A7, 0x2303, "KAL TVP2303"},
    {0x33A7, 0x2388, "KAL TVP2388"},
    {0, 0, nullptr},
};

void (*tvp_bootloader_arrival_hook)(void) = nullptr;
void (*tvp_application_arrival_hook)(void) = nullptr;

namespace
{

constexpr uint16_t kBootloaderVendor = 0x1234;
constexpr uint16_t kBootloaderProduct = 0xABCE;

// A module found waiting in its bootloader is handed to the firmware upgrade.
int LIBUSB_CALL bootloader_arrived(libusb_context *ctx, libusb_device *usbdev, libusb_hotplug_event event,
                                   void *user_data)
{
    (void)ctx;
    (void)usbdev;
    (void)event;
    (void)user_data;
    TVP_LOG(LOG_LOG_GRADE, "Device attached: %04x:%04x\n", kBootloaderVendor, kBootloaderProduct);
    if (tvp_bootloader_arrival_hook != nullptr) {
        tvp_bootloader_arrival_hook();
    }
    return 0;
}

// Whether the event's ids belong to the table. An event whose descriptor could
// not be read matches no row.
bool is_known(const tvp_dev *dev, const libusb_device_descriptor *desc)
{
    if (desc == nullptr) {
        return false;
    }
    for (const usb_id *row = dev->usb_info.id_table; row->idVendor != 0; ++row) {
        if (row->idVendor == desc->idVendor && row->idProduct == desc->idProduct) {
            return true;
        }
    }
    return false;
}

} // namespace

int tvp_dev_init(void)
{
    tvp_dev *dev = tvp_dev_new();
    driver_info *priv = new (std::nothrow) driver_info{};
    if (dev == nullptr || priv == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "tvp_dev_init: out of memory!!!\n");
        delete priv;
        delete dev;
        return -1;
    }
    dev_tirvane = dev;
    // Counted until the start-up discovery says otherwise.
    tvp_presence_init(true);
    dev->driver_id = 0;
    dev->device_name = "tvp2388";
    dev->full_name = "KAL TVP2388";
    dev->drv_api_version = {1, 0, 6};
    dev->enable = 1;
    dev->usb_info.id_table = tvp1234_id_table;
    dev->max_user = 1;
    dev->max_sample = TVP_FPRINT_LIST_SIZE;
    dev->sample_times = 6;
    dev->dev_priv = priv;
    priv->timeoutMS = 30000;
    priv->set_dev_state = tvp_set_dev_state;
    tvp_set_dev_status(dev, DEVS_COMM_IDLE);
    tvp_set_ops_result(dev, 0);
    tvp_set_notify_mid(dev, 0);
    dev->ops_free = tvp_ops_free;
    dev->ops_discover = tvp_ops_discover;
    driver_config_init(&priv->config);
    tvp_param_config(dev);
    return 0;
}

TVP_HOTPLUG_LOG tvp_hotplug_backoff_note(tvp_hotplug_backoff *b, int result)
{
    if (result >= 0) {
        const bool recovered = b->failures > 0;
        *b = tvp_hotplug_backoff{};
        return recovered ? TVP_HOTPLUG_LOG::RECOVERED : TVP_HOTPLUG_LOG::NONE;
    }
    b->pause_ms =
        b->failures == 0 ? TVP_HOTPLUG_PAUSE_FIRST_MS : std::min(b->pause_ms * 2, TVP_HOTPLUG_PAUSE_MAX_MS);
    if (b->failures < UINT_MAX) {
        ++b->failures;
    }
    if (b->logged_error == result) {
        return TVP_HOTPLUG_LOG::NONE;
    }
    b->logged_error = result;
    return TVP_HOTPLUG_LOG::ERROR;
}

void *monitor_usb_hotplug(void *arg)
{
    (void)arg;
    tvp_hotplug_backoff backoff;
    for (;;) {
        const int ret = libusb_handle_events(nullptr);
        const unsigned failures = backoff.failures;
        switch (tvp_hotplug_backoff_note(&backoff, ret)) {
        case TVP_HOTPLUG_LOG::ERROR:
            TVP_LOG(ERR_LOG_GRADE, "libusb_handle_events failed: %s\n", libusb_error_name(ret));
            break;
        case TVP_HOTPLUG_LOG::RECOVERED:
            TVP_LOG(LOG_LOG_GRADE, "libusb_handle_events works again after %u failures\n", failures);
            break;
        case TVP_HOTPLUG_LOG::NONE:
            break;
        }
        if (backoff.pause_ms > 0) {
            g_usleep(static_cast<gulong>(backoff.pause_ms) * 1000);
        }
    }
    return nullptr;
}

int tvp_drv_init(tvp_dev *dev)
{
    TVP_LOG(LOG_LOG_GRADE, "%s driver DRV_API version: %d.%d.%d\n", dev->device_name,
            dev->drv_api_version.major, dev->drv_api_version.minor, dev->drv_api_version.function);
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        TVP_LOG(LOG_LOG_GRADE, "this libusb doesn't support hotplug.");
        dev->ops_discover(dev);
        return 0;
    }
    const usb_id *table = dev->usb_info.id_table;
    for (int i = 0; table[i].idVendor != 0; ++i) {
        TVP_LOG(DBG_LOG_GRADE, "i = %d, idVendor = 0x%x, idProduct = 0x%x\n", i, table[i].idVendor,
                table[i].idProduct);
        int ret = libusb_hotplug_register_callback(
            nullptr, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, static_cast<libusb_hotplug_flag>(0),
            table[i].idVendor, table[i].idProduct, LIBUSB_HOTPLUG_MATCH_ANY, tvp_usb_hotplug_callback_attach,
            nullptr, &dev->usb_info.callback_handle[0]);
        if (ret != LIBUSB_SUCCESS) {
            TVP_LOG(ERR_LOG_GRADE, "Error: Can not register attach callback error\n");
        }
        ret = libusb_hotplug_register_callback(
            nullptr, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, static_cast<libusb_hotplug_flag>(0), table[i].idVendor,
            table[i].idProduct, LIBUSB_HOTPLUG_MATCH_ANY, tvp_usb_hotplug_callback_detach, nullptr,
            &dev->usb_info.callback_handle[1]);
        if (ret != LIBUSB_SUCCESS) {
            TVP_LOG(ERR_LOG_GRADE, "Error: Can not register detach callback error\n");
        }
    }
    libusb_hotplug_callback_handle boot_handle = 0;
    if (libusb_hotplug_register_callback(nullptr, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                                         static_cast<libusb_hotplug_flag>(0), kBootloaderVendor,
                                         kBootloaderProduct, LIBUSB_HOTPLUG_MATCH_ANY, bootloader_arrived,
                                         nullptr, &boot_handle) != LIBUSB_SUCCESS) {
        TVP_LOG(ERR_LOG_GRADE, "Error: Can not register attach callback error\n");
    }
    pthread_t thread;
    int err = pthread_create(&thread, nullptr, monitor_usb_hotplug, nullptr);
    if (err != 0) {
        TVP_LOG(ERR_LOG_GRADE, "Can't create thread: %s\n", strerror(err));
    } else {
        pthread_detach(thread);
    }
    TVP_LOG(DBG_LOG_GRADE, "end\n");
    return 0;
}

int LIBUSB_CALL tvp_usb_hotplug_callback_attach(libusb_context *ctx, libusb_device *usbdev,
                                                libusb_hotplug_event event, void *user_data)
{
    (void)ctx;
    (void)event;
    (void)user_data;
    tvp_dev *dev = dev_tirvane;
    TVP_LOG(DBG_LOG_GRADE, "start *************\r\n");
    libusb_device_descriptor desc{};
    const bool have_desc = libusb_get_device_descriptor(usbdev, &desc) == 0;
    if (!have_desc) {
        TVP_LOG(ERR_LOG_GRADE, "Error: Can not get device descriptor\n");
    }
    TVP_LOG(LOG_LOG_GRADE, "Device attached: %04x:%04x\n", have_desc ? desc.idVendor : 0,
            have_desc ? desc.idProduct : 0);
    if (dev == nullptr || dev->enable == 0) {
        return 0;
    }
    // The event is the bus's own word: it stands against any probe still under way.
    const bool known = is_known(dev, have_desc ? &desc : nullptr);
    if (known) {
        tvp_presence_arrived("hotplug");
    }
    driver_info *priv = tvp_priv(dev);
    if (tvp_module_present()) {
        priv->dev_state |= 0x01;
        priv->set_dev_state(priv->dev_state.load());
        // The table must agree with the file whatever happened while the module
        // was away (a start-up load that failed, an edit of the file).
        if (!tvp_fprint_list_is_current()) {
            tvp_load_fprint_list(dev);
        }
        if (known && tvp_application_arrival_hook != nullptr) {
            tvp_application_arrival_hook();
        }
    }
    if (tvp_get_dev_status(dev) != DEVS_COMM_IDLE && usb_get_dev_handle() == nullptr) {
        // The running operation finds an open handle when it next talks to the module.
        usb_dev_open(dev);
    }
    usb_dev_get_port_path();
    usb_dev_enable_autosuspend();
    TVP_LOG(DBG_LOG_GRADE, "end *************\r\n");
    return 0;
}

int LIBUSB_CALL tvp_usb_hotplug_callback_detach(libusb_context *ctx, libusb_device *usbdev,
                                                libusb_hotplug_event event, void *user_data)
{
    (void)ctx;
    (void)event;
    (void)user_data;
    tvp_dev *dev = dev_tirvane;
    TVP_LOG(DBG_LOG_GRADE, "start *************\r\n");
    usb_dev_set_port_path_valid_flag(0);
    libusb_device_descriptor desc{};
    const bool have_desc = libusb_get_device_descriptor(usbdev, &desc) == 0;
    if (!have_desc) {
        TVP_LOG(DBG_LOG_GRADE, "Error getting device descriptor");
    }
    TVP_LOG(LOG_LOG_GRADE, "Device detached: %04x:%04x\n", have_desc ? desc.idVendor : 0,
            have_desc ? desc.idProduct : 0);
    if (dev == nullptr || dev->enable == 0) {
        return 0;
    }
    if (is_known(dev, have_desc ? &desc : nullptr)) {
        tvp_presence_left("hotplug");
    }
    if (!tvp_module_present()) {
        tvp_priv(dev)->dev_state &= static_cast<unsigned char>(~0x01);
    }
    usb_dev_set_null();
    TVP_LOG(DBG_LOG_GRADE, "end *************\r\n");
    return 0;
}
