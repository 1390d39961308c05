// The user-name lookups of the caller unit, against a user database of our own.
//
// getuid, getpwuid_r and getpwnam_r are interposed by this executable: the
// service's objects are linked into it, so their calls land here. GDBus
// authenticates with geteuid, which is left alone.
#include "tirvane-server-caller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <pwd.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

struct FakeUser {
    uid_t uid;
    const char *name;
};
// A user, and one whose name is all digits (a login of "2001" is uid 2000).
const FakeUser kFakeUsers[] = {{1000, "dora"}, {2000, "2001"}};

std::atomic<uid_t> fake_uid{static_cast<uid_t>(-1)}; // -1: the real uid
std::atomic<int> fake_lookups{0};
std::atomic<bool> looked_up_on_main{false};
pthread_t main_thread = pthread_self();

const FakeUser *fake_by_uid(uid_t uid)
{
    for (const auto &user : kFakeUsers) {
        if (user.uid == uid) {
            return &user;
        }
    }
    return nullptr;
}

const FakeUser *fake_by_name(const char *name)
{
    for (const auto &user : kFakeUsers) {
        if (strcmp(user.name, name) == 0) {
            return &user;
        }
    }
    return nullptr;
}

int fill(const FakeUser &user, passwd *pwd, char *buf, size_t size, passwd **result)
{
    const size_t length = strlen(user.name) + 1;
    if (length > size) {
        *result = nullptr;
        return ERANGE;
    }
    memcpy(buf, user.name, length);
    *pwd = passwd{};
    pwd->pw_name = buf;
    pwd->pw_uid = user.uid;
    *result = pwd;
    return 0;
}

void note_lookup()
{
    fake_lookups.fetch_add(1);
    if (pthread_equal(pthread_self(), main_thread) != 0) {
        looked_up_on_main.store(true);
    }
}

} // namespace

extern "C" uid_t getuid(void) noexcept
{
    const uid_t uid = fake_uid.load();
    return uid != static_cast<uid_t>(-1) ? uid : static_cast<uid_t>(syscall(SYS_getuid));
}

extern "C" int getpwuid_r(uid_t uid, passwd *pwd, char *buf, size_t size, passwd **result)
{
    if (const FakeUser *user = fake_by_uid(uid)) {
        note_lookup();
        return fill(*user, pwd, buf, size, result);
    }
    using Real = int (*)(uid_t, passwd *, char *, size_t, passwd **);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getpwuid_r"));
    return real(uid, pwd, buf, size, result);
}

extern "C" int getpwnam_r(const char *name, passwd *pwd, char *buf, size_t size, passwd **result)
{
    if (const FakeUser *user = fake_by_name(name)) {
        note_lookup();
        return fill(*user, pwd, buf, size, result);
    }
    using Real = int (*)(const char *, passwd *, char *, size_t, passwd **);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getpwnam_r"));
    return real(name, pwd, buf, size, result);
}

namespace
{

// No user has this uid.
constexpr uid_t kNamelessUid = 3999999999u;

TEST(UserLookups, NamesAndUids)
{
    EXPECT_EQ(tvp_user_name_of(0), "root");
    EXPECT_EQ(tvp_user_name_of(1000), "dora");
    EXPECT_EQ(tvp_user_name_of(kNamelessUid), "");

    struct Case {
        const char *name;
        bool known;
        uid_t uid;
    };
    const Case cases[] = {
        {"root", true, 0},
        {"dora", true, 1000},
        {"2001", true, 2001}, // digits are a uid, though a user has that name
        {"1000", true, 1000},
        {"0", true, 0},
        {"4294967294", true, 4294967294u},
        {"4294967295", false, 0}, // (uid_t)-1 is no uid
        {"99999999999999999999", false, 0},
        {"no-such-user", false, 0},
        {"", false, 0},
        {"-1", false, 0},
    };
    for (const auto &c : cases) {
        uid_t uid = 12345;
        EXPECT_EQ(tvp_user_uid_of(c.name, &uid), c.known) << c.name;
        if (c.known) {
            EXPECT_EQ(uid, c.uid) << c.name;
        }
    }
    uid_t untouched = 12345;
    EXPECT_FALSE(tvp_user_uid_of(nullptr, &untouched));
}

TEST(UserLookups, WhoseUserIdItIs)
{
    struct Case {
        const char *user_id;
        uid_t uid;
        bool own;
    };
    const Case cases[] = {
        {"1000", 1000, true},  {"dora", 1000, true},      {"01000", 1000, false}, {"1000 ", 1000, false},
        {"dora", 2000, false}, {"2001", 2000, false},     {"2000", 2000, true},   {"root", 0, true},
        {"0", 0, true},        {"", kNamelessUid, false}, {"", 1000, false},      {"1000", 0, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(tvp_user_id_is_callers(c.user_id, c.uid), c.own) << c.user_id << " for uid " << c.uid;
    }
}

} // namespace
