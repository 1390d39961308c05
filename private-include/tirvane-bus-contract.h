/*
 * The bus contract of the fingerprint service: the names its clients address
 * and the codes of the status signals they read. The service, tirvanectl and
 * pam_tirvane (plain C, built without GLib) all take them from here, so a
 * client and the service cannot drift apart on a number; the interface itself
 * (arguments and types) is data/nuvex.kal.Tirvane.xml.
 *
 * Valid C and C++. The names are macros so that C can paste them into match
 * rules ("...arg0='" TVP_BUS_NAME "'").
 */
#ifndef TIRVANE_BUS_CONTRACT_H
#define TIRVANE_BUS_CONTRACT_H

/* Where the service is. */
#define TVP_BUS_NAME "nuvex.kal.Tirvane"
#define TVP_BUS_OBJECT_PATH "/nuvex/kal/Tirvane"
#define TVP_BUS_INTERFACE "nuvex.kal.Tirvane"

/* Members the clients address by name (the generated binding names the rest). */
#define TVP_METHOD_VERIFY "verify"
#define TVP_METHOD_VERIFY_STOP "verifyStop"
#define TVP_METHOD_ENROLL "enroll"
#define TVP_METHOD_STOP_ENROLL "stopEnroll"
#define TVP_METHOD_LISTFINGERS "listfingers"
#define TVP_METHOD_GET_DEVICE_COUNT "getDeviceCount"
#define TVP_SIGNAL_ENROLL_STATUS_CHANGED "enrollStatusChanged"
#define TVP_SIGNAL_VERIFY_STATUS_CHANGED "verifyStatusChanged"

/* The payload of a status signal is a small JSON object: {} or one integer
 * under one of these keys, sometimes followed by a newline. */
#define TVP_MSG_KEY_SUBCODE "subcode"
#define TVP_MSG_KEY_PROGRESS "progress"
#define TVP_MSG_EMPTY "{}"
#define TVP_MSG_PROGRESS "{\"" TVP_MSG_KEY_PROGRESS "\":%d}"
#define TVP_MSG_SUBCODE "{\"" TVP_MSG_KEY_SUBCODE "\":%d}"
#define TVP_MSG_SUBCODE_NL "{\"" TVP_MSG_KEY_SUBCODE "\":%d}\n"

/* Codes of enrollStatusChanged. SUCCESS, FAILED and DISCONNECTED end the
 * enrolment; PASSED reports progress; RETRY asks for another touch. */
enum _TVP_ENROLL_STATUS_ENUM_ {
    TVP_ENROLL_STATUS_SUCCESS = 0,
    TVP_ENROLL_STATUS_FAILED = 1,
    TVP_ENROLL_STAGE_PASSED = 2,
    TVP_ENROLL_STAGE_RETRY = 3,
    TVP_ENROLL_STAGE_DISCONNECTED = 4,
};

/* Sub-codes of TVP_ENROLL_STATUS_FAILED. */
enum tvp_enroll_failed_subcode {
    TVP_ENROLL_FAILED_BUSY = 1,    /* another operation holds the module, or the module failed */
    TVP_ENROLL_FAILED_STOPPED = 3, /* stopped by a caller, or timed out */
    TVP_ENROLL_FAILED_STORAGE_FULL = 4,
};

/* Sub-codes of TVP_ENROLL_STAGE_RETRY: why the touch was not taken. */
enum tvp_enroll_retry_subcode {
    TVP_ENROLL_RETRY_AREA_TOO_SMALL = 1,
    TVP_ENROLL_RETRY_QUALITY_BAD = 2,
    TVP_ENROLL_RETRY_POSITION_REPEATED = 3,
    TVP_ENROLL_RETRY_ALREADY_ENROLLED = 4,
    TVP_ENROLL_RETRY_TOUCH_FAILED = 6,
};

/* Codes of verifyStatusChanged. MATCH, STAGE_ERROR and DISCONNECTED end the
 * verification (the service may still wait for a departed module to return);
 * NOMATCH and RETRY await the next touch. */
enum _TVP_VERIFY_STATUS_ENUM_ {
    TVP_VERIFY_STATUS_MATCH = 0,
    TVP_VERIFY_STATUS_NOMATCH = 1,
    TVP_VERIFY_STAGE_ERROR = 2,
    TVP_VERIFY_STAGE_RETRY = 3,
    TVP_VERIFY_STAGE_DISCONNECTED = 4,
};

/* The sub-code of TVP_VERIFY_STATUS_NOMATCH: the next touch is awaited. */
enum tvp_verify_nomatch_subcode {
    TVP_VERIFY_NOMATCH_TOUCH_AGAIN = 3,
};

/* Sub-codes of TVP_VERIFY_STAGE_ERROR. A client ends its attempt on code 2
 * whatever the sub-code; the sub-code only says why. */
enum tvp_verify_error_subcode {
    TVP_VERIFY_ERROR_BUSY = 1,       /* another operation holds the module, or the module failed */
    TVP_VERIFY_ERROR_LOCKED_OUT = 5, /* too many failed touches; see the lock-out */
};

/* Sub-codes of TVP_VERIFY_STAGE_RETRY. */
enum _TVP_VERIFY_RETRY_SUBCODE_ENUM_ {
    TVP_VERIFY_TOUCH_TOO_SHORT = 1,
    TVP_VERIFY_FINGER_NOT_CENTERED = 2,
    TVP_VERIFY_REMOVE_AND_RETRY = 3,
    TVP_VERIFY_QUALITY_BAD = 4,
};

#endif /* TIRVANE_BUS_CONTRACT_H */
