// Service core: status callback types and the device-state values. The signal
// codes and payload forms are the clients' too: tirvane-bus-contract.h.
#pragma once

#include "tirvane-bus-contract.h"

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

enum _TVP_DEV_STATE_ENUM_ {
    DeviceStateNormal = 1,
    DeviceStateClaimed = 2,
};

// The longest signal payload the service builds.
#define TVP_MSG_SIZE 1024

char *tvp_new_string(char *old_str);
int tvp_set_dev_state(unsigned char state);
