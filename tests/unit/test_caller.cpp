// The caller's identity and the gate's answers that depend on it, over a
// peer-to-peer connection (a call without a sender is taken as the service's
// own uid), with a user database of our own.
//
// getuid, getpwuid_r and getpwnam_r are interposed by this executable: the
// service's objects are linked into it, so their calls land here. GDBus
// authenticates with geteuid, which is left alone.
#include "peer_pair.h"
#include "tirvane-generated.h"
#include "tirvane-server-auth.h"
#include "tirvane-server-bus.h"
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

using tvunit::PeerPair;

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

gboolean answer_enroll(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *, const gchar *)
{
    tirvane_complete_enroll(skeleton, invocation);
    return TRUE;
}

gboolean answer_rename(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *, const gchar *,
                       const gchar *)
{
    tirvane_complete_renamefinger_name(skeleton, invocation);
    return TRUE;
}

gboolean answer_delete(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *, const gchar *)
{
    tirvane_complete_delete_finger_by_name(skeleton, invocation);
    return TRUE;
}

gboolean answer_delete_all(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *)
{
    tirvane_complete_delete_all_feature_by_user_id(skeleton, invocation);
    return TRUE;
}

// The gate in front of stand-in handlers of the finger methods, exported on
// the server side of a peer pair; the caller's uid is faked.
class GateOverPeer : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_NE(peers_.server(), nullptr);
        skeleton_ = tirvane_skeleton_new();
        const struct {
            const char *signal;
            GCallback handler;
        } handlers[] = {
            {"handle-enroll", G_CALLBACK(answer_enroll)},
            {"handle-renamefinger-name", G_CALLBACK(answer_rename)},
            {"handle-delete-finger-by-name", G_CALLBACK(answer_delete)},
            {"handle-delete-all-feature-by-user-id", G_CALLBACK(answer_delete_all)},
        };
        for (const auto &h : handlers) {
            tvp_connect_method_gate(skeleton_, h.signal);
            g_signal_connect(skeleton_, h.signal, h.handler, nullptr);
        }
        g_autoptr(GError) error = nullptr;
        ASSERT_TRUE(g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(skeleton_), peers_.server(),
                                                     TVP_BUS_OBJECT_PATH, &error))
            << error->message;
        fake_lookups.store(0);
        looked_up_on_main.store(false);
    }
    void TearDown() override
    {
        fake_uid.store(static_cast<uid_t>(-1));
        if (skeleton_ != nullptr) {
            g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(skeleton_));
            g_clear_object(&skeleton_);
        }
    }

    PeerPair peers_;
    Tirvane *skeleton_ = nullptr;
};

TEST_F(GateOverPeer, UserIdsOfCallersOtherThanRoot)
{
    fake_uid.store(1000); // dora
    constexpr const char *kDenied = "org.freedesktop.DBus.Error.AccessDenied";
    struct Case {
        const char *method;
        GVariant *(*args)();
        const char *error; // null: the handler answers
    };
    const Case cases[] = {
        {"enroll", [] { return g_variant_new("(ss)", "dora", "f"); }, nullptr},
        {"enroll", [] { return g_variant_new("(ss)", "1000", "f"); }, nullptr},
        {"enroll", [] { return g_variant_new("(ss)", "bob", "f"); }, kDenied},
        {"enroll", [] { return g_variant_new("(ss)", "01000", "f"); }, kDenied},
        {"enroll", [] { return g_variant_new("(ss)", "2001", "f"); }, kDenied},
        {"renamefingerName", [] { return g_variant_new("(sss)", "dora", "f", "g"); }, nullptr},
        {"renamefingerName", [] { return g_variant_new("(sss)", "root", "f", "g"); }, kDenied},
        {"deleteFingerByName", [] { return g_variant_new("(ss)", "dora", "f"); }, nullptr},
        {"deleteFingerByName", [] { return g_variant_new("(ss)", "bob", "f"); }, kDenied},
        {"deleteAllFeatureByUserId", [] { return g_variant_new("(s)", "dora"); }, nullptr},
        {"deleteAllFeatureByUserId", [] { return g_variant_new("(s)", ""); }, kDenied},
    };
    for (const auto &c : cases) {
        g_autoptr(GVariant) args = g_variant_ref_sink(c.args());
        g_autofree gchar *shown = g_variant_print(args, FALSE);
        const auto [name, message] = peers_.call(TVP_BUS_OBJECT_PATH, TVP_BUS_INTERFACE, c.method, args);
        if (c.error == nullptr) {
            EXPECT_EQ(name, "") << c.method << shown << ": " << message;
        } else {
            EXPECT_EQ(name, c.error) << c.method << shown;
            EXPECT_EQ(message,
                      std::string(c.method) + ": callers other than root may only act on their own user id")
                << c.method << shown;
        }
    }
    // The names were looked up, and never where the calls are served.
    EXPECT_GT(fake_lookups.load(), 0);
    EXPECT_FALSE(looked_up_on_main.load());
}

TEST_F(GateOverPeer, RootAsksNoOne)
{
    fake_uid.store(0);
    const auto [name, message] =
        peers_.call(TVP_BUS_OBJECT_PATH, TVP_BUS_INTERFACE, "enroll", g_variant_new("(ss)", "dora", "f"));
    EXPECT_EQ(name, "") << message;
    EXPECT_EQ(fake_lookups.load(), 0);
}

} // namespace
