// Device model and persistence: the device record, its status model, the
// fingerprint list store, the driver configuration and device initialisation.
#pragma once

#include <atomic>
#include <cstdint>
#include <libusb.h>
#include <vector>

// ---- Operation types and the three status enumerations ----------------------

enum {
    OPS_TYPE_COMM = 0,
    OPS_TYPE_OPEN,
    OPS_TYPE_ENROLL,
    OPS_TYPE_VERIFY,
    OPS_TYPE_IDENTIFY,
    OPS_TYPE_CAPTURE,
    OPS_TYPE_SEARCH,
    OPS_TYPE_CLEAN,
    OPS_TYPE_GET_FLIST,
    OPS_TYPE_RENAME,
    OPS_TYPE_CLOSE,
    OPS_TYPE_ENROLL_PROCESS,
};

typedef enum {
    DEVS_COMM_IDLE = OPS_TYPE_COMM * 100,
    DEVS_COMM_DOING,
    DEVS_COMM_STOP_BY_USER,
    DEVS_COMM_DISABLE,
    DEVS_COMM_MAX,
    DEVS_OPEN_DOING = OPS_TYPE_OPEN * 100 + 1,
    DEVS_OPEN_STOP_BY_USER,
    DEVS_OPEN_MAX,
    DEVS_ENROLL_DOING = OPS_TYPE_ENROLL * 100 + 1,
    DEVS_ENROLL_STOP_BY_USER,
    DEVS_ENROLL_MAX,
    DEVS_VERIFY_DOING = OPS_TYPE_VERIFY * 100 + 1,
    DEVS_VERIFY_STOP_BY_USER,
    DEVS_VERIFY_MAX,
    DEVS_IDENTIFY_DOING = OPS_TYPE_IDENTIFY * 100 + 1,
    DEVS_IDENTIFY_STOP_BY_USER,
    DEVS_IDENTIFY_MAX,
    DEVS_CAPTURE_DOING = OPS_TYPE_CAPTURE * 100 + 1,
    DEVS_CAPTURE_STOP_BY_USER,
    DEVS_CAPTURE_MAX,
    DEVS_SEARCH_DOING = OPS_TYPE_SEARCH * 100 + 1,
    DEVS_SEARCH_STOP_BY_USER,
    DEVS_SEARCH_MAX,
    DEVS_CLEAN_DOING = OPS_TYPE_CLEAN * 100 + 1,
    DEVS_CLEAN_STOP_BY_USER,
    DEVS_CLEAN_MAX,
    DEVS_GET_FLIST_DOING = OPS_TYPE_GET_FLIST * 100 + 1,
    DEVS_GET_FLIST_STOP_BY_USER,
    DEVS_GET_FLIST_MAX,
    DEVS_RENAME_DOING = OPS_TYPE_RENAME * 100 + 1,
    DEVS_RENAME_STOP_BY_USER,
    DEVS_RENAME_MAX,
    DEVS_CLOSE_DOING = OPS_TYPE_CLOSE * 100 + 1,
    DEVS_CLOSE_STOP_BY_USER,
    DEVS_CLOSE_MAX,
} DevStatus;

typedef enum {
    OPS_COMM_SUCCESS = OPS_TYPE_COMM * 100,
    OPS_COMM_FAIL = 1,
    OPS_COMM_NO_MATCH = 1,
    OPS_COMM_ERROR = 2,
    OPS_COMM_STOP_BY_USER = 3,
    OPS_COMM_TIMEOUT = 4,
    OPS_COMM_OUT_OF_MEM = 5,
    OPS_COMM_MAX = 6,
    OPS_OPEN_SUCCESS = OPS_TYPE_OPEN * 100,
    OPS_OPEN_FAIL,
    OPS_OPEN_ERROR,
    OPS_OPEN_MAX,
    OPS_ENROLL_SUCCESS = OPS_TYPE_ENROLL * 100,
    OPS_ENROLL_FAIL,
    OPS_ENROLL_ERROR,
    OPS_ENROLL_STOP_BY_USER,
    OPS_ENROLL_TIMEOUT,
    OPS_ENROLL_MAX,
    OPS_VERIFY_MATCH = OPS_TYPE_VERIFY * 100,
    OPS_VERIFY_NO_MATCH,
    OPS_VERIFY_ERROR,
    OPS_VERIFY_STOP_BY_USER,
    OPS_VERIFY_TIMEOUT,
    OPS_VERIFY_MAX,
    OPS_IDENTIFY_MATCH = OPS_TYPE_IDENTIFY * 100,
    OPS_IDENTIFY_NO_MATCH,
    OPS_IDENTIFY_ERROR,
    OPS_IDENTIFY_STOP_BY_USER,
    OPS_IDENTIFY_TIMEOUT,
    OPS_IDENTIFY_MAX,
    OPS_CAPTURE_SUCCESS = OPS_TYPE_CAPTURE * 100,
    OPS_CAPTURE_FAIL,
    OPS_CAPTURE_ERROR,
    OPS_CAPTURE_STOP_BY_USER,
    OPS_CAPTURE_TIMEOUT,
    OPS_CAPTURE_MAX,
    OPS_SEARCH_MATCH = OPS_TYPE_SEARCH * 100,
    OPS_SEARCH_NO_MATCH,
    OPS_SEARCH_ERROR,
    OPS_SEARCH_STOP_BY_USER,
    OPS_SEARCH_TIMEOUT,
    OPS_SEARCH_MAX,
    OPS_CLEAN_SUCCESS = OPS_TYPE_CLEAN * 100,
    OPS_CLEAN_FAIL,
    OPS_CLEAN_ERROR,
    OPS_CLEAN_STOP_BY_USER,
    OPS_CLEAN_TIMEOUT,
    OPS_CLEAN_MAX,
    OPS_GET_FLIST_SUCCESS = OPS_TYPE_GET_FLIST * 100,
    OPS_GET_FLIST_FAIL,
    OPS_GET_FLIST_ERROR,
    OPS_GET_FLIST_STOP_BY_USER,
    OPS_GET_FLIST_TIMEOUT,
    OPS_GET_FLIST_MAX,
    OPS_RENAME_SUCCESS = OPS_TYPE_RENAME * 100,
    OPS_RENAME_FAIL,
    OPS_RENAME_ERROR,
    OPS_RENAME_STOP_BY_USER,
    OPS_RENAME_TIMEOUT,
    OPS_RENAME_MAX,
    OPS_CLOSE_SUCCESS = OPS_TYPE_CLOSE * 100,
    OPS_CLOSE_FAIL,
    OPS_CLOSE_ERROR,
    OPS_CLOSE_MAX,
} OpsResult;

typedef enum {
    NOTIFY_COMM_IDLE = OPS_TYPE_COMM * 100,
    NOTIFY_COMM_SUCCESS = 0,
    NOTIFY_COMM_FAIL = 1,
    NOTIFY_COMM_NO_MATCH = 1,
    NOTIFY_COMM_ERROR = 2,
    NOTIFY_COMM_STOP_BY_USER = 3,
    NOTIFY_COMM_TIMEOUT = 4,
    NOTIFY_COMM_DISABLE = 5,
    NOTIFY_COMM_OUT_OF_MEM = 6,
    NOTIFY_COMM_UNSUPPORTED_OPS = 7,
    NOTIFY_COMM_MAX = 8,
    NOTIFY_OPEN_SUCCESS = OPS_TYPE_OPEN * 100,
    NOTIFY_OPEN_FAIL,
    NOTIFY_OPEN_ERROR,
    NOTIFY_OPEN_MAX,
    NOTIFY_ENROLL_SUCCESS = OPS_TYPE_ENROLL * 100,
    NOTIFY_ENROLL_FAIL,
    NOTIFY_ENROLL_ERROR,
    NOTIFY_ENROLL_STOP_BY_USER,
    NOTIFY_ENROLL_TIMEOUT,
    NOTIFY_ENROLL_MAX,
    NOTIFY_VERIFY_MATCH = OPS_TYPE_VERIFY * 100,
    NOTIFY_VERIFY_NO_MATCH,
    NOTIFY_VERIFY_ERROR,
    NOTIFY_VERIFY_STOP_BY_USER,
    NOTIFY_VERIFY_TIMEOUT,
    NOTIFY_VERIFY_MAX,
    NOTIFY_IDENTIFY_MATCH = OPS_TYPE_IDENTIFY * 100,
    NOTIFY_IDENTIFY_NO_MATCH,
    NOTIFY_IDENTIFY_ERROR,
    NOTIFY_IDENTIFY_STOP_BY_USER,
    NOTIFY_IDENTIFY_TIMEOUT,
    NOTIFY_IDENTIFY_MAX,
    NOTIFY_CAPTURE_SUCCESS = OPS_TYPE_CAPTURE * 100,
    NOTIFY_CAPTURE_FAIL,
    NOTIFY_CAPTURE_ERROR,
    NOTIFY_CAPTURE_STOP_BY_USER,
    NOTIFY_CAPTURE_TIMEOUT,
    NOTIFY_CAPTURE_MAX,
    NOTIFY_SEARCH_MATCH = OPS_TYPE_SEARCH * 100,
    NOTIFY_SEARCH_NO_MATCH,
    NOTIFY_SEARCH_ERROR,
    NOTIFY_SEARCH_STOP_BY_USER,
    NOTIFY_SEARCH_TIMEOUT,
    NOTIFY_SEARCH_MAX,
    NOTIFY_CLEAN_SUCCESS = OPS_TYPE_CLEAN * 100,
    NOTIFY_CLEAN_FAIL,
    NOTIFY_CLEAN_ERROR,
    NOTIFY_CLEAN_STOP_BY_USER,
    NOTIFY_CLEAN_TIMEOUT,
    NOTIFY_CLEAN_MAX,
    NOTIFY_GET_FLIST_SUCCESS = OPS_TYPE_GET_FLIST * 100,
    NOTIFY_GET_FLIST_FAIL,
    NOTIFY_GET_FLIST_ERROR,
    NOTIFY_GET_FLIST_STOP_BY_USER,
    NOTIFY_GET_FLIST_TIMEOUT,
    NOTIFY_GET_FLIST_MAX,
    NOTIFY_RENAME_SUCCESS = OPS_TYPE_RENAME * 100,
    NOTIFY_RENAME_FAIL,
    NOTIFY_RENAME_ERROR,
    NOTIFY_RENAME_INCOMPLETE,
    NOTIFY_CLOSE_SUCCESS = OPS_TYPE_CLOSE * 100,
    NOTIFY_CLOSE_FAIL,
    NOTIFY_CLOSE_ERROR,
    NOTIFY_CLOSE_MAX,
} NotifyMID;

// ---- Records -----------------------------------------------------------------

#define TVP_FPRINT_LIST_SIZE 50
#define TVP_TEXT_FIELD_SIZE 100

typedef struct {
    int enable;
    char user_id[TVP_TEXT_FIELD_SIZE];
    char fprint_name[TVP_TEXT_FIELD_SIZE];
    uint16_t fprint_id;
} fprint_info;

typedef enum {
    FORCE_UPGRADE = 1,
    DONT_UPGRADE = 2,
    AUTO_UPGRADE = 3,
    SMART_UPGRADE = 4,
} UPGRADE_MODE_TYPE;

typedef struct {
    UPGRADE_MODE_TYPE upgrade_mode;
    unsigned char autosuspend_flag;
    int upgrade_flag;
    // The lock-out after failed touches: LockoutFailures, LockoutSeconds and
    // LockoutMaxSeconds (defaults 5, 30 and 600; 0 failures or seconds: off).
    int lockout_failures;
    int lockout_seconds;
    int lockout_max_seconds;
    // DesktopInterface: 1 serves the desktop's standard fingerprint interface
    // beside our own (default), 0 does not.
    int desktop_interface;
} DRIVER_CONFIG_STRUCT;

typedef struct usb_id {
    uint16_t idVendor;
    uint16_t idProduct;
    const char *description;
} usb_id;

typedef struct {
    const usb_id *id_table;
    libusb_hotplug_callback_handle callback_handle[2];
    unsigned long driver_data;
} USB_INFO;

typedef struct {
    int major;
    int minor;
    int function;
} api_version;

typedef struct {
    int timeoutMS;
    std::atomic<int> ctrlFlag;
    char extra_info[1024];
    std::atomic<unsigned char> dev_state;
    int mode_flag;
    int reboot_flag;
    fprint_info fprint_list[TVP_FPRINT_LIST_SIZE];
    char user_id[TVP_TEXT_FIELD_SIZE];
    DRIVER_CONFIG_STRUCT config;
    int (*set_dev_state)(unsigned char state);
} driver_info;

typedef struct tvp_dev {
    int driver_id;
    const char *device_name;
    const char *full_name;
    api_version drv_api_version;
    int enable;
    std::atomic<int> dev_num;
    USB_INFO usb_info;
    void *dev_priv;
    int max_user;
    int max_sample;
    int sample_times;
    std::atomic<int> dev_status;
    std::atomic<int> ops_result;
    std::atomic<int> notify_mid;
    void *plugin_handle;
    void (*ops_free)(struct tvp_dev *dev);
    int (*ops_discover)(struct tvp_dev *dev);
} tvp_dev;

extern tvp_dev *dev_tirvane;
extern const usb_id tvp1234_id_table[];

static inline driver_info *tvp_priv(tvp_dev *dev)
{
    return static_cast<driver_info *>(dev->dev_priv);
}

// ---- Status model --------------------------------------------------------------

int tvp_get_dev_status(tvp_dev *dev);
void tvp_set_dev_status(tvp_dev *dev, int status);
void tvp_set_dev_abs_status(tvp_dev *dev, int status);
// Atomically moves the device from idle to `status`; false when it was not idle.
bool tvp_try_claim_dev_status(tvp_dev *dev, int status);
int tvp_get_ops_result(tvp_dev *dev);
void tvp_set_ops_result(tvp_dev *dev, int result);
void tvp_set_ops_abs_result(tvp_dev *dev, int result);
int tvp_get_notify_mid(tvp_dev *dev);
void tvp_set_notify_mid(tvp_dev *dev, int mid);
void tvp_set_notify_abs_mid(tvp_dev *dev, int mid);
void tvp_set_all_status(tvp_dev *dev, int dev_status, int ops_result, int notify_mid);
void tvp_set_all_abs_status(tvp_dev *dev, int dev_status, int ops_result, int notify_mid);
bool tvp_is_stop_by_user(tvp_dev *dev);
const char *tvp_get_dev_status_mesg(tvp_dev *dev);
const char *tvp_get_ops_result_mesg(tvp_dev *dev);
const char *tvp_get_notify_mid_mesg(tvp_dev *dev);
void tvp_set_ops_timeout_ms(int t);
int tvp_get_ops_timeout_ms(void);
int tvp_ops_stop_ops(tvp_dev *dev, int waiting_sec);
int bio_init(void);
int bio_close(void);
int tvp_common_detect_usb_device(tvp_dev *dev);
void tvp_status_changed_common_callback(int drvid, int type);
void tvp_usb_device_hot_plug_common_callbak(int drvid, int action, int dev_num_now);
void tvp_ops_free(tvp_dev *dev);
int tvp_ops_discover(tvp_dev *dev);
// Looks for the module on the bus and reports the verdict to the presence unit
// (`why` names the prober in the log); 1 when the module is present afterwards,
// which a hot-plug arrival during the probe decides over what the probe saw.
int tvp_discover(tvp_dev *dev, const char *why);
tvp_dev *tvp_dev_new(void);
void tvp_dev_free(tvp_dev *dev);

// ---- Fingerprint list store ----------------------------------------------------

typedef struct _GKeyFile GKeyFile;

int tvp_conf_init(void);
int tvp_conf_open(GKeyFile **key_file);
void tvp_conf_free(GKeyFile **key_file);
int tvp_get_fprint_list(tvp_dev *dev);
// Loads the table from the file whether or not the module is present: the
// start-up load and the reload after a late arrival. 0 or -1.
int tvp_load_fprint_list(tvp_dev *dev);
// Whether the file still is the one the table was last loaded from or saved to.
bool tvp_fprint_list_is_current(void);
// The finds hand out pointers into the table, valid only while nothing else
// changes it; the service's threads use the copies and whole operations below.
int tvp_find_fprint_info(tvp_dev *dev, const char *user_id, const char *fprint_name, fprint_info **found);
int tvp_find_fprint_info_byfprintid(tvp_dev *dev, uint16_t fprintid, fprint_info **found);
int tvp_get_empty_fprint_info(tvp_dev *dev);
// The writers below change the table only once the file holds the change: -1
// (logged) when the file could not be written, with file and table as they were.
int tvp_set_fprint_info(tvp_dev *dev, int index, fprint_info *xfprint_info);
int tvp_add_fprint_info(tvp_dev *dev, fprint_info *xfprint_info);
// 0 when deleted or when nothing matched, -1 when the deletion could not be saved
// (the entry then stays in use).
int tvp_del_fprint_info(tvp_dev *dev, const char *user_id, const char *fprint_name);

// Whole operations, each found and stored under one hold of the store's lock.
// Deletes entry `index` if it still is `expected`: 0, -1 not saved, -2 the entry
// at `index` is no longer `expected` (nothing changed).
int tvp_del_fprint_info_at(tvp_dev *dev, int index, const fprint_info *expected);
// Puts a deleted entry back in use at `index` (at the first free index, logged,
// when `index` was taken meanwhile); a name the user has again is no refusal.
// 0 or -1.
int tvp_restore_fprint_info_at(tvp_dev *dev, int index, const fprint_info *entry);
// Renames the user's finger; an empty new name changes nothing. 0, -1 not saved,
// -2 no such finger.
int tvp_rename_fprint_info(tvp_dev *dev, const char *user_id, const char *fprint_name, const char *new_name);
// Frees every entry in use naming module slot `fprintid`, in one save. The
// number freed (each appended to `dropped` when given), or -1 when not saved.
int tvp_drop_fprint_info_byfprintid(tvp_dev *dev, uint16_t fprintid, std::vector<fprint_info> *dropped);

// Copies of list entries taken under the store's lock, for readers on other threads.
// The index of the user's finger (0 when none), its entry copied to `out`.
int tvp_copy_fprint_info(tvp_dev *dev, const char *user_id, const char *fprint_name, fprint_info *out);
bool tvp_copy_fprint_info_byfprintid(tvp_dev *dev, uint16_t fprintid, fprint_info *out);
void tvp_copy_fprint_list(tvp_dev *dev, fprint_info (&out)[TVP_FPRINT_LIST_SIZE]);

// ---- Driver configuration and upgrade flag -------------------------------------

int driver_config_init(DRIVER_CONFIG_STRUCT *config);
int tvp_param_config(tvp_dev *dev);
int read_fw_upgrade_flag(void);
int change_fw_upgrade_flag(void);

// ---- Device initialisation and hot-plug ----------------------------------------

int tvp_dev_init(void);
// Called on the hot-plug thread when a module arrives in its bootloader.
extern void (*tvp_bootloader_arrival_hook)(void);
// Called on the hot-plug thread when the module arrives in application mode.
extern void (*tvp_application_arrival_hook)(void);
int tvp_drv_init(tvp_dev *dev);
void *monitor_usb_hotplug(void *arg);

// Pause of the hot-plug monitor after a failing pass of the event loop: 100 ms
// after the first failure, doubled after each further one up to 5 s, back to
// none after a pass that succeeds. A persistent error thus costs one pass every
// 5 s instead of a whole core.
constexpr unsigned TVP_HOTPLUG_PAUSE_FIRST_MS = 100;
constexpr unsigned TVP_HOTPLUG_PAUSE_MAX_MS = 5000;

struct tvp_hotplug_backoff {
    unsigned pause_ms = 0; // pause before the next pass; 0 while the loop is healthy
    unsigned failures = 0; // failing passes in a row
    int logged_error = 0;  // error already logged in this run of failures (0: none)
};

// What one pass of the event loop leaves to log.
enum class TVP_HOTPLUG_LOG { NONE, ERROR, RECOVERED };

// Takes the result of one pass into `b` (new pause and failure count) and says
// what to log: an error once per run of failures (again only when the error
// changes), and the recovery when a run of failures ends.
TVP_HOTPLUG_LOG tvp_hotplug_backoff_note(tvp_hotplug_backoff *b, int result);
int LIBUSB_CALL tvp_usb_hotplug_callback_attach(libusb_context *ctx, libusb_device *usbdev,
                                                libusb_hotplug_event event, void *user_data);
int LIBUSB_CALL tvp_usb_hotplug_callback_detach(libusb_context *ctx, libusb_device *usbdev,
                                                libusb_hotplug_event event, void *user_data);
