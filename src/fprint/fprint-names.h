// The desktop's fingerprint interface in the core's terms, without I/O: the
// standard finger names, whose fingers a user name stands for, and what each
// status of the core's verification and enrolment is called there.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace fprint
{

// The ten standard finger names, in the interface's order.
const std::vector<std::string> &standard_fingers();
bool is_standard_finger(const std::string &name);

// Whose fingers a call means. The store keeps a user's fingers under the user
// name or under the decimal uid, as our own interface lets them be enrolled;
// both are searched, and new ones are stored under `store_id`.
struct UserIds {
    std::string name;     // the user name; empty when the uid has none
    std::string uid_text; // the decimal uid; empty when the name has no uid
    bool uid_known = false;
    uid_t uid = 0;

    // The id a new finger is stored under: the name, or else the uid.
    const std::string &store_id() const
    {
        return name.empty() ? uid_text : name;
    }
    // The second id searched, or empty.
    const std::string &other_id() const
    {
        static const std::string none;
        return name.empty() ? none : uid_text;
    }
};

// NSS as the resolution sees it; the real one waits, so it runs off the main loop.
struct UserLookup {
    std::function<std::string(uid_t)> name_of;                // "" when the uid has no name
    std::function<bool(const std::string &, uid_t *)> uid_of; // false when no such user
};

// The user a `username` argument names: "" is the caller itself; digits alone
// are a uid (a user named "1001" does not own uid 1001's fingers); anything
// else a user name, with its uid when it has one. False when it names no one
// whose fingers could be stored (an unknown uid without a name).
bool resolve_user(const std::string &username, uid_t caller_uid, const UserLookup &lookup, UserIds *out);
// Whether the user is the caller's own.
bool is_callers_own(const UserIds &user, uid_t caller_uid);

// Fingers listed under both ids, each once: the store id's first, in list order.
std::vector<std::string> merge_finger_lists(const std::vector<std::string> &by_name,
                                            const std::vector<std::string> &by_uid);

// A status in the interface's terms: its result string (empty: nothing is
// said), whether the operation is done, and whether the core must be asked to
// stop because the interface ends here while the core would go on.
struct Status {
    std::string result;
    bool done = false;
    bool stop_core = false;
};
// The core's verifyStatusChanged (code, sub-code) as VerifyStatus.
Status verify_status(int code, int subcode);
// The core's enrollStatusChanged (code, value: progress or sub-code) as EnrollStatus.
Status enroll_status(int code, int value);

} // namespace fprint
