#include "fprint-names.h"

#include "tirvane-server.h"

#include <algorithm>
#include <cstdlib>

namespace fprint
{

const std::vector<std::string> &standard_fingers()
{
    static const std::vector<std::string> kFingers = {
        "left-thumb",         "left-index-finger",   "left-middle-finger", "left-ring-finger",
        "left-little-finger", "right-thumb",         "right-index-finger", "right-middle-finger",
        "right-ring-finger",  "right-little-finger",
    };
    return kFingers;
}

bool is_standard_finger(const std::string &name)
{
    const auto &fingers = standard_fingers();
    return std::find(fingers.begin(), fingers.end(), name) != fingers.end();
}

namespace
{

bool all_digits(const std::string &text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool parse_uid(const std::string &text, uid_t *uid)
{
    if (text.size() > 10) {
        return false;
    }
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (value > static_cast<unsigned long long>(static_cast<uid_t>(-1)) - 1) {
        return false;
    }
    *uid = static_cast<uid_t>(value);
    return true;
}

} // namespace

bool resolve_user(const std::string &username, uid_t caller_uid, const UserLookup &lookup, UserIds *out)
{
    UserIds user;
    if (username.empty() || all_digits(username)) {
        uid_t uid = caller_uid;
        if (!username.empty() && !parse_uid(username, &uid)) {
            return false;
        }
        user.uid = uid;
        user.uid_known = true;
        user.uid_text = std::to_string(uid);
        user.name = lookup.name_of(uid);
        // A name of digits alone would be taken for a uid by every other path.
        if (all_digits(user.name)) {
            user.name.clear();
        }
    } else {
        user.name = username;
        uid_t uid = 0;
        if (lookup.uid_of(username, &uid)) {
            user.uid = uid;
            user.uid_known = true;
            user.uid_text = std::to_string(uid);
        }
    }
    *out = user;
    return true;
}

bool is_callers_own(const UserIds &user, uid_t caller_uid)
{
    return user.uid_known && user.uid == caller_uid;
}

std::vector<std::string> merge_finger_lists(const std::vector<std::string> &by_name,
                                            const std::vector<std::string> &by_uid)
{
    std::vector<std::string> merged;
    for (const auto *list : {&by_name, &by_uid}) {
        for (const std::string &finger : *list) {
            if (std::find(merged.begin(), merged.end(), finger) == merged.end()) {
                merged.push_back(finger);
            }
        }
    }
    return merged;
}

Status verify_status(int code, int subcode)
{
    switch (code) {
    case TVP_VERIFY_STATUS_MATCH:
        return {"verify-match", true, false};
    case TVP_VERIFY_STATUS_NOMATCH:
        return {"verify-no-match", true, false};
    case TVP_VERIFY_STAGE_RETRY:
        switch (subcode) {
        case TVP_VERIFY_TOUCH_TOO_SHORT:
            return {"verify-swipe-too-short", false, false};
        case TVP_VERIFY_FINGER_NOT_CENTERED:
            return {"verify-finger-not-centered", false, false};
        case TVP_VERIFY_REMOVE_AND_RETRY:
            return {"verify-remove-and-retry", false, false};
        default:
            return {"verify-retry-scan", false, false};
        }
    case TVP_VERIFY_STAGE_DISCONNECTED:
        // The core waits a while for the module to come back; the interface
        // says the device is gone for this verification, so it stops there.
        return {"verify-disconnected", true, true};
    case TVP_VERIFY_STAGE_ERROR:
    default:
        // Busy, locked out after failed touches, or anything unforeseen: the
        // client gives up on the reader for this attempt.
        return {"verify-unknown-error", true, true};
    }
}

Status enroll_status(int code, int value)
{
    switch (code) {
    case TVP_ENROLL_STATUS_SUCCESS:
        return {"enroll-completed", true, false};
    case TVP_ENROLL_STAGE_PASSED:
        // Progress 0 is the start of the enrolment, not a capture.
        return value > 0 ? Status{"enroll-stage-passed", false, false} : Status{};
    case TVP_ENROLL_STAGE_RETRY:
        switch (value) {
        case 1:
            return {"enroll-swipe-too-short", false, false};
        case 3:
            return {"enroll-remove-and-retry", false, false};
        case 4:
            // The module already holds this finger (for someone): the
            // interface ends the enrolment there, the core would go on.
            return {"enroll-duplicate", true, true};
        default:
            return {"enroll-retry-scan", false, false};
        }
    case TVP_ENROLL_STAGE_DISCONNECTED:
        return {"enroll-disconnected", true, false};
    case TVP_ENROLL_STATUS_FAILED:
    default:
        return value == 4 ? Status{"enroll-data-full", true, false} : Status{"enroll-failed", true, false};
    }
}

} // namespace fprint
