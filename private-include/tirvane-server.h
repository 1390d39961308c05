// Service core: status callback types, signal codes and the device-state values.
#pragma once

typedef void (*TVP_ENROLL_STATUS_CHANGED_CALLBACK)(char *id, int code, char *msg);
typedef void (*TVP_VERIFY_STATUS_CHANGED_CALLBACK)(char *id, int code, char *msg);
typedef void (*TVP_DATA_EXPORT_STATUS_CALLBACK)(char *id, int code, char *msg);
typedef void (*TVP_DATA_IMPORT_STATUS_CALLBACK)(char *id, int code, char *msg);
typedef void (*TVP_REST_STATUS_CALLBACK)(char *id, int code, char *msg);

extern TVP_ENROLL_STATUS_CHANGED_CALLBACK tvp_enroll_status_changed_callback;
extern TVP_VERIFY_STATUS_CHANGED_CALLBACK tvp_verify_status_changed_callback;
extern TVP_DATA_EXPORT_STATUS_CALLBACK tvp_data_export_status_callback;
extern TVP_DATA_IMPORT_STATUS_CALLBACK tvp_data_import_status_callback;
extern TVP_REST_STATUS_CALLBACK tvp_rest_status_callback;

enum _TVP_ENROLL_STATUS_ENUM_ {
    TVP_ENROLL_STATUS_SUCCESS = 0,
    TVP_ENROLL_STATUS_FAILED = 1,
    TVP_ENROLL_STAGE_PASSED = 2,
    TVP_ENROLL_STAGE_RETRY = 3,
    TVP_ENROLL_STAGE_DISCONNECTED = 4,
};

enum _TVP_VERIFY_STATUS_ENUM_ {
    TVP_VERIFY_STATUS_MATCH = 0,
    TVP_VERIFY_STATUS_NOMATCH = 1,
    TVP_VERIFY_STAGE_ERROR = 2,
    TVP_VERIFY_STAGE_RETRY = 3,
    TVP_VERIFY_STAGE_DISCONNECTED = 4,
};

enum _TVP_VERIFY_RETRY_SUBCODE_ENUM_ {
    TVP_VERIFY_TOUCH_TOO_SHORT = 1,
    TVP_VERIFY_FINGER_NOT_CENTERED = 2,
    TVP_VERIFY_REMOVE_AND_RETRY = 3,
    TVP_VERIFY_QUALITY_BAD = 4,
};

enum _TVP_DEV_STATE_ENUM_ {
    DeviceStateNormal = 1,
    DeviceStateClaimed = 2,
};

// Signal payload forms.
#define TVP_MSG_EMPTY "{}"
#define TVP_MSG_PROGRESS "{\"progress\":%d}"
#define TVP_MSG_SUBCODE "{\"subcode\":%d}"
#define TVP_MSG_SUBCODE_NL "{\"subcode\":%d}\n"
#define TVP_MSG_SIZE 1024

char *tvp_new_string(char *old_str);
int tvp_set_dev_state(unsigned char state);
