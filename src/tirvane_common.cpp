// The device record and its status model.
#include "tirvane_common.h"

#include "tirvane_common-presence.h"
#include "usb_device.h"

#include <new>

tvp_dev *dev_tirvane = nullptr;

namespace
{

int tvp_ops_timeout_ms = 30000;

int type_base(int value)
{
    return (value / 100) * 100;
}

struct StatusText {
    int value;
    const char *text;
};

const StatusText kDevStatusTexts[] = {
    {0, "Device idle"},
    {1, "Device is in process"},
    {2, "Terminating current operation"},
    {3, "Device is disabled"},
    {101, "Opening device"},
    {102, "Terminating open operation"},
    {201, "Enrolling"},
    {202, "Terminating enroll operation"},
    {301, "Verifying"},
    {302, "Terminating Verify operation"},
    {401, "Identifying"},
    {402, "Terminating identify operation"},
    {501, "Capturing"},
    {502, "Terminating capture operation"},
    {601, "Searching"},
    {602, "Terminating search operation"},
    {701, "Cleaning"},
    {702, "Terminating clean operation"},
    {801, "Getting feature list"},
    {802, "Terminating get feature list operation"},
    {901, "Renaming feature"},
    {902, "Terminating feature rename operation"},
    {1001, "Closing"},
    {1002, "Terminating close operation"},
};

// Texts shared by operation results and notification message ids.
const StatusText kSharedResultTexts[] = {
    {1, "Operation failed"},
    {2, "An error was encountered during the operation"},
    {3, "The operation was interrupted by the user"},
    {4, "Operation timeout"},
    {100, "Open device completion"},
    {101, "Open device failed"},
    {102, "An error was encountered during the opening"},
    {200, "Enroll feature successful"},
    {201, "Enroll feature failed"},
    {202, "An error was encountered during enrolling"},
    {203, "Enroll operation was interrupted by the user"},
    {204, "Enroll operation timeout"},
    {300, "Verify feature match"},
    {301, "Verify feature no match"},
    {302, "An error was encountered during verifying"},
    {303, "Verify operation was interrupted by the user"},
    {304, "Verify operation timeout"},
    {400, "Identify feature match"},
    {401, "Identify feature no match"},
    {402, "An error was encountered during identifying"},
    {403, "Identify operation was interrupted by the user"},
    {404, "Identify operation timeout"},
    {500, "Capture feature successful"},
    {501, "Capture feature failed"},
    {502, "An error was encountered during capturing"},
    {503, "Capture operation was interrupted by the user"},
    {504, "Capture operation timeout"},
    {600, "Find the specified features"},
    {601, "No specified features were found"},
    {602, "An error was encountered during searching"},
    {603, "Search operation was interrupted by the user"},
    {604, "Search operation timeout"},
    {700, "Clean feature successful"},
    {701, "Clean feature failed"},
    {702, "An error was encountered during cleaning"},
    {703, "Clean operation was interrupted by the user"},
    {704, "Clean operation timeout"},
    {800, "Get feature list completion"},
    {801, "Get feature list failed"},
    {802, "An error was encountered during getting feature list"},
    {900, "Rename feature successful"},
    {901, "Rename feature failed"},
    {902, "An error was encountered during renaming"},
    {1000, "Close device completion"},
    {1001, "Close device failed"},
    {1002, "An error was encountered during closing"},
};

const StatusText kResultOnlyTexts[] = {
    {0, "Operation successful"},
    {5, "Out of memory"},
};

const StatusText kNotifyOnlyTexts[] = {
    {0, "Device idle"},
    {5, "Device is disable"},
    {6, "Out of memory"},
    {7, "The device or driver does not support this operation"},
    {903, "Feature renaming is not complete, please try again"},
};

template <size_t N> const char *lookup(const StatusText (&table)[N], int value)
{
    for (const auto &row : table) {
        if (row.value == value) {
            return row.text;
        }
    }
    return nullptr;
}

} // namespace

int tvp_get_dev_status(tvp_dev *dev)
{
    return dev->dev_status.load();
}

void tvp_set_dev_status(tvp_dev *dev, int status)
{
    dev->dev_status.store(status);
}

void tvp_set_dev_abs_status(tvp_dev *dev, int status)
{
    dev->dev_status.store(status);
}

bool tvp_try_claim_dev_status(tvp_dev *dev, int status)
{
    int expected = DEVS_COMM_IDLE;
    return dev->dev_status.compare_exchange_strong(expected, status);
}

int tvp_get_ops_result(tvp_dev *dev)
{
    return dev->ops_result.load();
}

void tvp_set_ops_result(tvp_dev *dev, int result)
{
    dev->ops_result.store(type_base(dev->dev_status.load()) + result % 100);
}

void tvp_set_ops_abs_result(tvp_dev *dev, int result)
{
    dev->ops_result.store(result);
}

int tvp_get_notify_mid(tvp_dev *dev)
{
    return dev->notify_mid.load();
}

void tvp_set_notify_mid(tvp_dev *dev, int mid)
{
    dev->notify_mid.store(type_base(dev->dev_status.load()) + mid % 100);
}

void tvp_set_notify_abs_mid(tvp_dev *dev, int mid)
{
    dev->notify_mid.store(mid);
}

void tvp_set_all_status(tvp_dev *dev, int dev_status, int ops_result, int notify_mid)
{
    const int base = type_base(dev->dev_status.load());
    dev->dev_status.store(base + dev_status % 100);
    dev->ops_result.store(base + ops_result % 100);
    dev->notify_mid.store(base + notify_mid % 100);
}

void tvp_set_all_abs_status(tvp_dev *dev, int dev_status, int ops_result, int notify_mid)
{
    dev->dev_status.store(dev_status);
    dev->ops_result.store(ops_result);
    dev->notify_mid.store(notify_mid);
}

bool tvp_is_stop_by_user(tvp_dev *dev)
{
    return dev->dev_status.load() % 100 == 2;
}

const char *tvp_get_dev_status_mesg(tvp_dev *dev)
{
    const char *text = lookup(kDevStatusTexts, dev->dev_status.load());
    return text != nullptr ? text : "Device is in an unknown status...";
}

const char *tvp_get_ops_result_mesg(tvp_dev *dev)
{
    const int value = dev->ops_result.load();
    const char *text = lookup(kResultOnlyTexts, value);
    if (text == nullptr) {
        text = lookup(kSharedResultTexts, value);
    }
    return text != nullptr ? text : "Operation is in an unknown status......";
}

const char *tvp_get_notify_mid_mesg(tvp_dev *dev)
{
    const int value = dev->notify_mid.load();
    const char *text = lookup(kNotifyOnlyTexts, value);
    if (text == nullptr) {
        text = lookup(kSharedResultTexts, value);
    }
    return text != nullptr ? text : "Device internal error";
}

void tvp_set_ops_timeout_ms(int t)
{
    tvp_ops_timeout_ms = t;
}

int tvp_get_ops_timeout_ms(void)
{
    return tvp_ops_timeout_ms;
}

int tvp_ops_stop_ops(tvp_dev *dev, int waiting_sec)
{
    (void)dev;
    (void)waiting_sec;
    return 0;
}

int bio_init(void)
{
    return 0;
}

int bio_close(void)
{
    return 0;
}

int tvp_common_detect_usb_device(tvp_dev *dev)
{
    (void)dev;
    return 0;
}

void tvp_status_changed_common_callback(int drvid, int type)
{
    (void)drvid;
    (void)type;
}

void tvp_usb_device_hot_plug_common_callbak(int drvid, int action, int dev_num_now)
{
    (void)drvid;
    (void)action;
    (void)dev_num_now;
}

void tvp_ops_free(tvp_dev *dev)
{
    if (dev != nullptr && dev->dev_priv != nullptr) {
        delete static_cast<driver_info *>(dev->dev_priv);
    }
}

int tvp_discover(tvp_dev *dev, const char *why)
{
    const TvpPresenceProbe probe = tvp_presence_probe_begin();
    // A handle that is held already answers; only without one is the module probed.
    const bool found = usb_get_dev_handle() != nullptr || usb_dev_probe(dev) == 0;
    return tvp_presence_probe_end(probe, found, why) ? 1 : 0;
}

int tvp_ops_discover(tvp_dev *dev)
{
    return tvp_discover(dev, "probe");
}

tvp_dev *tvp_dev_new(void)
{
    return new (std::nothrow) tvp_dev{};
}

void tvp_dev_free(tvp_dev *dev)
{
    if (dev == nullptr) {
        return;
    }
    if (dev->ops_free != nullptr) {
        dev->ops_free(dev);
    }
    delete dev;
}
