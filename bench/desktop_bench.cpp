// The desktop's standard fingerprint interface (net.reactivated.Fprint) of the
// service beside fprintd's own daemon with libfprint's virtual device, in one
// run, interleaved:
//   - Manager.GetDevices;
//   - Device.Claim + Device.Release (one sample is both calls);
//   - Device.ListEnrolledFingers of a user with one enrolled finger on each side;
//   - touch -> VerifyStatus: from the moment the touch is given to the device
//     (ours: the emulator's touch command; fprintd: the virtual device's SCAN
//     command) until the claiming client receives VerifyStatus verify-match.
//     VerifyStart before and VerifyStop after are outside the timed span.
// One bus name has one owner per bus, so the two cannot share a bus: each side
// has a private bus of its own, both of the same configuration (the harness's
// system-bus rules). One hosts fprintd with polkit and logind played by
// python3-dbusmock (our service is not started there); the other hosts our
// service with its desktop interface on. Every round calls both sides, and each
// side's figures are ratios to the Peer.Ping of its own bus daemon. Signals are
// stamped as they arrive from the bus (a connection filter on the bus reader
// thread). Prints figures and ratios; asserts nothing. Without fprintd it says
// why and ends.
//
//   desktop_bench [call rounds] [touch rounds]
#include "bench_support.h"

#include <array>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace tvbench;

namespace
{

constexpr const char *kFprintName = "net.reactivated.Fprint";
constexpr const char *kManagerPath = "/net/reactivated/Fprint/Manager";
constexpr const char *kManagerIface = "net.reactivated.Fprint.Manager";
constexpr const char *kDeviceIface = "net.reactivated.Fprint.Device";
constexpr const char *kUser = "alice";
constexpr const char *kFinger = "right-thumb";
// The finger's print: the emulator's finger name, the virtual device's print id.
constexpr const char *kPrint = "alice-thumb";
// The service's start-up threads look for a module in its bootloader for about
// 20 s; the figures are taken after they have ended.
constexpr int kStartupThreadsMs = 22000;
// The same pauses on both sides: between the device waiting for a finger and
// the touch (a touch at once would time the start of the verification as well),
// and after VerifyStop, while the device lets go.
constexpr int kBeforeTouchMs = 150;
constexpr int kAfterStopMs = 200;
constexpr int kStatusTimeoutMs = 5000;

struct Status {
    std::string member; // VerifyStatus or EnrollStatus
    std::string result;
    bool done = false;
    Clock::time_point when;
};

// One side's desktop client: a connection of its own that makes the calls,
// holds the claim, and sees the device's status signals the moment the bus
// delivers them.
class DesktopClient
{
  public:
    DesktopClient() = default;
    DesktopClient(const DesktopClient &) = delete;
    DesktopClient &operator=(const DesktopClient &) = delete;
    ~DesktopClient()
    {
        if (connection_ != nullptr) {
            g_dbus_connection_remove_filter(connection_, filter_);
            g_dbus_connection_close_sync(connection_, nullptr, nullptr);
            g_clear_object(&connection_);
        }
    }

    bool open(const std::string &address, std::string *why)
    {
        connection_ = tvtest::connect_to_bus(address, why);
        if (connection_ == nullptr) {
            return false;
        }
        filter_ = g_dbus_connection_add_filter(connection_, on_message, this, nullptr);
        // Statuses sent to this connection need no rule; broadcast ones do.
        return call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "AddMatch",
                    g_variant_new("(s)", "type='signal',interface='net.reactivated.Fprint.Device'"), nullptr,
                    why);
    }

    // A synchronous call; false when it failed, with the reason in `why`.
    bool call(const char *dest, const char *path, const char *iface, const char *method, GVariant *args,
              GVariant **reply = nullptr, std::string *why = nullptr)
    {
        g_autoptr(GError) err = nullptr;
        GVariant *r = g_dbus_connection_call_sync(connection_, dest, path, iface, method, args, nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &err);
        if (r == nullptr) {
            if (why != nullptr) {
                g_autofree gchar *remote = g_dbus_error_get_remote_error(err);
                *why = std::string(method) + ": " + (remote != nullptr ? remote : err->message);
            }
            return false;
        }
        if (reply != nullptr) {
            *reply = r;
        } else {
            g_variant_unref(r);
        }
        return true;
    }

    bool ping()
    {
        return call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer", "Ping",
                    nullptr);
    }

    bool manager(const char *method, GVariant **reply = nullptr, std::string *why = nullptr)
    {
        return call(kFprintName, kManagerPath, kManagerIface, method, nullptr, reply, why);
    }

    bool device(const char *method, GVariant *args = nullptr, std::string *why = nullptr)
    {
        return call(kFprintName, device_path_.c_str(), kDeviceIface, method, args, nullptr, why);
    }

    // The device's path from GetDefaultDevice; false when there is none.
    bool find_device(std::string *why)
    {
        GVariant *reply = nullptr;
        if (!manager("GetDefaultDevice", &reply, why)) {
            return false;
        }
        const gchar *path = nullptr;
        g_variant_get(reply, "(&o)", &path);
        device_path_ = path;
        g_variant_unref(reply);
        return true;
    }

    // The device's boolean property; nullopt when it cannot be read.
    std::optional<bool> device_flag(const char *property)
    {
        GVariant *reply = nullptr;
        if (!call(kFprintName, device_path_.c_str(), "org.freedesktop.DBus.Properties", "Get",
                  g_variant_new("(ss)", kDeviceIface, property), &reply)) {
            return std::nullopt;
        }
        g_autoptr(GVariant) value = nullptr;
        g_variant_get(reply, "(v)", &value);
        g_variant_unref(reply);
        if (!g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
            return std::nullopt;
        }
        return g_variant_get_boolean(value) != FALSE;
    }

    std::vector<std::string> fingers(std::string *why)
    {
        GVariant *reply = nullptr;
        std::vector<std::string> out;
        if (!call(kFprintName, device_path_.c_str(), kDeviceIface, "ListEnrolledFingers",
                  g_variant_new("(s)", kUser), &reply, why)) {
            return out;
        }
        g_autoptr(GVariantIter) iter = nullptr;
        g_variant_get(reply, "(as)", &iter);
        const gchar *finger = nullptr;
        while (g_variant_iter_next(iter, "&s", &finger)) {
            out.emplace_back(finger);
        }
        g_variant_unref(reply);
        return out;
    }

    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        statuses_.clear();
    }

    // The next status of `member` that arrives (or has arrived), within the time.
    std::optional<Status> next(const std::string &member, int timeout_ms)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            auto it = std::find_if(statuses_.begin(), statuses_.end(),
                                   [&](const Status &s) { return s.member == member; });
            if (it != statuses_.end()) {
                Status s = *it;
                statuses_.erase(statuses_.begin(), it + 1);
                return s;
            }
            if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout) {
                return std::nullopt;
            }
        }
    }

    // Waits for VerifyStatus `result`; the statuses before it are noted in `others`.
    std::optional<Status> wait_verify(const std::string &result, int timeout_ms, std::string *others)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const int left = static_cast<int>(millis(deadline - Clock::now()));
            auto s = left > 0 ? next("VerifyStatus", left) : std::nullopt;
            if (!s || s->result == result) {
                return s;
            }
            *others += " " + s->result + (s->done ? " (done)" : "");
        }
    }

  private:
    static GDBusMessage *on_message(GDBusConnection *, GDBusMessage *message, gboolean incoming,
                                    gpointer user_data)
    {
        const auto when = Clock::now();
        if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_SIGNAL ||
            g_strcmp0(g_dbus_message_get_interface(message), kDeviceIface) != 0) {
            return message;
        }
        const gchar *member = g_dbus_message_get_member(message);
        GVariant *body = g_dbus_message_get_body(message);
        if ((g_strcmp0(member, "VerifyStatus") == 0 || g_strcmp0(member, "EnrollStatus") == 0) &&
            body != nullptr && g_variant_is_of_type(body, G_VARIANT_TYPE("(sb)"))) {
            const gchar *result = nullptr;
            gboolean done = FALSE;
            g_variant_get(body, "(&sb)", &result, &done);
            auto *self = static_cast<DesktopClient *>(user_data);
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->statuses_.push_back({member, result, done != FALSE, when});
            self->arrived_.notify_all();
        }
        return message;
    }

    GDBusConnection *connection_ = nullptr;
    guint filter_ = 0;
    std::string device_path_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Status> statuses_;
};

// One command to libfprint's virtual device: each command is one connection to
// its socket, the text without a line end, read once.
bool virtual_device_command(const std::string &socket_path, const std::string &command)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof(addr.sun_path)) {
        return false;
    }
    std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool sent = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
                write(fd, command.data(), command.size()) == static_cast<ssize_t>(command.size());
    close(fd);
    return sent;
}

enum Measure { kPing, kDevices, kClaim, kList, kCalls };

const char *const kMeasureNames[kCalls] = {"Peer.Ping (bus daemon)", "Manager.GetDevices", "Claim + Release",
                                           "ListEnrolledFingers, 1 finger"};

// One side: its harness (bus), its client, how its device is touched.
struct Side {
    std::string name;
    tvtest::ServiceHarness *h = nullptr;
    DesktopClient client;
    std::function<bool()> waiting; // the device waits for a finger (polled)
    std::function<bool()> touch;   // gives the touch; false when it was not taken
    std::array<std::vector<double>, kCalls> calls_us;
    std::array<size_t, kCalls> failures{};
    std::vector<double> touch_us;
    size_t touch_failures = 0;
    std::string last_failure;

    bool call(Measure m)
    {
        switch (m) {
        case kPing:
            return client.ping();
        case kDevices:
            return client.manager("GetDevices");
        case kClaim: {
            const bool claimed = client.device("Claim", g_variant_new("(s)", kUser), &last_failure);
            return claimed && client.device("Release", nullptr, &last_failure);
        }
        case kList:
            return client.device("ListEnrolledFingers", g_variant_new("(s)", kUser), &last_failure);
        default:
            return false;
        }
    }

    bool wait_waiting(int timeout_ms)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < deadline) {
            if (waiting()) {
                return true;
            }
            g_usleep(2 * 1000);
        }
        return false;
    }

    // One verification: VerifyStart, the touch, VerifyStatus verify-match,
    // VerifyStop. The sample is the touch to the match; false (with the
    // reason in last_failure) when there was none.
    bool verify_round(bool keep)
    {
        client.clear();
        if (!client.device("VerifyStart", g_variant_new("(s)", "any"), &last_failure)) {
            return false;
        }
        bool matched = false;
        if (!wait_waiting(kStatusTimeoutMs)) {
            last_failure = "the device never waited for a finger";
        } else {
            g_usleep(kBeforeTouchMs * 1000);
            const auto touched = Clock::now();
            std::string others;
            const auto match =
                touch() ? client.wait_verify("verify-match", kStatusTimeoutMs, &others) : std::nullopt;
            if (match) {
                matched = true;
                if (keep) {
                    touch_us.push_back(micros(match->when - touched));
                }
            } else {
                last_failure = "no verify-match; statuses:" + (others.empty() ? " none" : others);
            }
        }
        std::string stop_failure;
        if (!client.device("VerifyStop", nullptr, &stop_failure) && matched) {
            last_failure = stop_failure;
        }
        g_usleep(kAfterStopMs * 1000);
        return matched;
    }
};

// fprintd's print of the user's finger, enrolled through its own interface: as
// many SCANs of the same id as the virtual device has stages.
bool enrol_on_peer(Side &side, const FprintdPeer &peer, std::string *why)
{
    if (!side.client.device("Claim", g_variant_new("(s)", kUser), why)) {
        return false;
    }
    bool completed = false;
    side.client.clear();
    if (side.client.device("EnrollStart", g_variant_new("(s)", kFinger), why)) {
        for (int stage = 0; stage < 20 && !completed; ++stage) {
            if (!virtual_device_command(peer.device_socket(), std::string("SCAN ") + kPrint)) {
                *why = "the virtual device's socket " + peer.device_socket() + " took no command";
                break;
            }
            const auto status = side.client.next("EnrollStatus", kStatusTimeoutMs);
            if (!status) {
                *why = "no EnrollStatus after SCAN";
                break;
            }
            completed = status->result == "enroll-completed";
            if (status->done && !completed) {
                *why = "enrolment ended with " + status->result;
                break;
            }
        }
        std::string ignored;
        side.client.device("EnrollStop", nullptr, &ignored);
    }
    std::string release_failure;
    if (!side.client.device("Release", nullptr, &release_failure) && completed) {
        *why = release_failure;
        return false;
    }
    return completed;
}

std::string installed_version(const char *package)
{
    std::string out;
    const std::string cmd = std::string("dpkg-query -W -f='${Version}' ") + package + " 2>/dev/null";
    if (FILE *pipe = popen(cmd.c_str(), "r")) {
        char buf[128];
        while (fgets(buf, sizeof(buf), pipe) != nullptr) {
            out += buf;
        }
        pclose(pipe);
    }
    return out.empty() ? "?" : out;
}

// One side's half of a row: median and p90 of the samples, the median as a
// ratio to Ping, and the median ratio of each half of the run (each against
// the same half of the Ping series), which shows how steady the machine was.
void print_side(const std::vector<double> &samples, const std::vector<double> &ping)
{
    const Figures f = figures_of(samples);
    printf("   %9.1f %9.1f %7.2fx %6.2fx %6.2fx", f.median, f.p90, f.median / figures_of(ping).median,
           half_median(samples, 0) / half_median(ping, 0), half_median(samples, 1) / half_median(ping, 1));
}

void print_row(const char *label, const Side &ours, const std::vector<double> &ours_samples,
               const Side &theirs, const std::vector<double> &their_samples)
{
    printf("  %-30s", label);
    print_side(ours_samples, ours.calls_us[kPing]);
    print_side(their_samples, theirs.calls_us[kPing]);
    printf("\n");
}

void print_verdict(const char *label, double ours_ratio, double peer_ratio)
{
    printf("%-32s ours %8.2fx  fprintd %8.2fx  (ours/fprintd %.2f): %s\n", label, ours_ratio, peer_ratio,
           ours_ratio / peer_ratio,
           ours_ratio <= peer_ratio ? "at or below fprintd's (goal met)" : "above fprintd's (goal missed)");
}

} // namespace

int main(int argc, char **argv)
{
    const int call_rounds = argc > 1 ? std::max(50, atoi(argv[1])) : 500;
    const int touch_rounds = argc > 2 ? std::max(5, atoi(argv[2])) : 30;

    // fprintd's bus: no service of ours on it.
    tvtest::ServiceHarness peer_bus;
    // Our bus: the service with its desktop interface.
    tvtest::ServiceHarness our_bus;
    if (peer_bus.connection() == nullptr || our_bus.connection() == nullptr) {
        fprintf(stderr, "cannot start the private buses: %s%s\n", peer_bus.error.c_str(),
                our_bus.error.c_str());
        return 1;
    }

    tvtest::DaemonOptions options;
    // Logging at the product default (errors only); one enrolled finger of
    // the user, its template in the module.
    options.driver_conf = "[BASIC_PARAM]\nPrintfLogFlag=1\nAutoSuspend=0\nUpgradeFlag=0\nLockoutFailures="
                          "0\nDesktopInterface=1\n";
    options.write_list_conf = true;
    options.list_conf = std::string("[UserFprint-1]\nenable=true\nuser_id=") + kUser +
                        "\nfprint_name=" + kFinger + "\nfprint_id=90\n";
    options.wait_ready = false; // the ready line is below the errors-only threshold
    tvtest::write_file(our_bus.dir() + "/emu.state", std::string("template 90 ") + kPrint + "\n");
    const auto started = Clock::now();
    if (!our_bus.start(options)) {
        fprintf(stderr, "cannot start the service: %s\n", our_bus.error.c_str());
        return 1;
    }

    // fprintd comes up and gets its print while our start-up threads run.
    FprintdPeer peer(peer_bus);
    std::string why;
    if (!peer.start(&why)) {
        printf("fprintd peer skipped, nothing to compare: %s\n", why.c_str());
        return 0;
    }
    Side ours;
    ours.name = "ours";
    ours.h = &our_bus;
    Side theirs;
    theirs.name = "fprintd";
    theirs.h = &peer_bus;
    if (!theirs.client.open(peer_bus.bus_address(), &why) || !theirs.client.find_device(&why)) {
        fprintf(stderr, "fprintd's bus: %s\n", why.c_str());
        return 1;
    }
    if (!enrol_on_peer(theirs, peer, &why)) {
        fprintf(stderr, "cannot enrol %s's %s on fprintd: %s\n(fprintd's output: %s/fprintd.out)\n", kUser,
                kFinger, why.c_str(), peer_bus.dir().c_str());
        return 1;
    }
    const std::string device_socket = peer.device_socket();
    theirs.touch = [device_socket] {
        return virtual_device_command(device_socket, std::string("SCAN ") + kPrint);
    };
    // fprintd says when its device wants a finger; without the property, the
    // pause before the touch is all there is.
    theirs.waiting = [&theirs] { return theirs.client.device_flag("finger-needed").value_or(true); };
    ours.touch = [&our_bus] { return our_bus.emu().ok(std::string("touch ") + kPrint); };
    ours.waiting = [&our_bus] {
        return our_bus.emu().command("pending").find("identify") != std::string::npos;
    };

    printf("waiting for the service's start-up threads to end (%d s)\n", kStartupThreadsMs / 1000);
    fflush(stdout);
    our_bus.pump(kStartupThreadsMs - static_cast<int>(millis(Clock::now() - started)));
    if (!ours.client.open(our_bus.bus_address(), &why)) {
        fprintf(stderr, "our bus: %s\n", why.c_str());
        return 1;
    }
    if (!our_bus.wait_for([&] { return ours.client.find_device(&why); }, 10000)) {
        fprintf(stderr, "our desktop interface has no device: %s\n", why.c_str());
        return 1;
    }

    // Both list the same finger of the user.
    for (Side *side : {&ours, &theirs}) {
        const auto fingers = side->client.fingers(&why);
        if (fingers != std::vector<std::string>{kFinger}) {
            fprintf(stderr, "%s: ListEnrolledFingers(%s) is not [%s] (%zu fingers; %s)\n", side->name.c_str(),
                    kUser, kFinger, fingers.size(), why.c_str());
            return 1;
        }
    }

    // Calls: warm-up, then rounds in which every measure is taken once on each
    // side, the two sides next to each other, the order turning each round.
    std::vector<std::pair<Side *, Measure>> order;
    for (int m = 0; m < kCalls; ++m) {
        order.emplace_back(&ours, static_cast<Measure>(m));
        order.emplace_back(&theirs, static_cast<Measure>(m));
    }
    for (int i = 0; i < 50; ++i) {
        for (auto &[side, m] : order) {
            side->call(m);
        }
    }
    for (int round = 0; round < call_rounds; ++round) {
        for (size_t k = 0; k < order.size(); ++k) {
            auto &[side, m] = order[(round + k) % order.size()];
            const auto begin = Clock::now();
            const bool ok = side->call(m);
            const double us = micros(Clock::now() - begin);
            if (ok) {
                side->calls_us[m].push_back(us);
            } else {
                ++side->failures[m];
            }
        }
    }

    // Touches: each side holds its claim; the side that goes first alternates.
    for (Side *side : {&ours, &theirs}) {
        if (!side->client.device("Claim", g_variant_new("(s)", kUser), &why)) {
            fprintf(stderr, "%s: %s\n", side->name.c_str(), why.c_str());
            return 1;
        }
        // One untimed verification each; ours retries while start-up work
        // still holds the module.
        bool warm = false;
        for (int i = 0; i < 5 && !warm; ++i) {
            warm = side->verify_round(false);
        }
        if (!warm) {
            fprintf(stderr, "%s never matched %s's %s: %s\n", side->name.c_str(), kUser, kFinger,
                    side->last_failure.c_str());
            return 1;
        }
    }
    for (int round = 0; round < touch_rounds; ++round) {
        for (Side *side :
             round % 2 == 0 ? std::array<Side *, 2>{&ours, &theirs} : std::array<Side *, 2>{&theirs, &ours}) {
            if (!side->verify_round(true)) {
                ++side->touch_failures;
                printf("  %s, touch round %d: %s\n", side->name.c_str(), round + 1,
                       side->last_failure.c_str());
            }
        }
    }
    for (Side *side : {&ours, &theirs}) {
        side->client.device("Release", nullptr, &why);
    }
    our_bus.pump(0);
    peer_bus.pump(0);

    const double ours_ping = figures_of(ours.calls_us[kPing]).median;
    const double peer_ping = figures_of(theirs.calls_us[kPing]).median;
    printf(
        "desktop interface net.reactivated.Fprint: ours (tirvane-serverd, emulated module) beside fprintd %s "
        "(libfprint %s, virtual_device)\n",
        installed_version("fprintd").c_str(), installed_version("libfprint-2-2").c_str());
    printf(
        "one run, interleaved; each side on a private bus of its own, both of the same configuration (one\n"
        "bus name, one owner per bus); every ratio is to the median Peer.Ping of that side's own bus "
        "daemon\n");
    printf("calls: %d rounds; touches: %d rounds (touch given -> VerifyStatus verify-match received); "
           "microseconds\n",
           call_rounds, touch_rounds);
    printf("  %-30s   %-44s   %s\n", "", "ours", "fprintd");
    printf("  %-30s", "measure");
    for (int i = 0; i < 2; ++i) {
        printf("   %9s %9s %8s %7s %7s", "median", "p90", "/Ping", "1st", "2nd");
    }
    printf("\n");
    std::array<double, kCalls> ours_ratio{};
    std::array<double, kCalls> peer_ratio{};
    for (int m = 0; m < kCalls; ++m) {
        ours_ratio[m] = figures_of(ours.calls_us[m]).median / ours_ping;
        peer_ratio[m] = figures_of(theirs.calls_us[m]).median / peer_ping;
        print_row(kMeasureNames[m], ours, ours.calls_us[m], theirs, theirs.calls_us[m]);
    }
    const double ours_touch = figures_of(ours.touch_us).median / ours_ping;
    const double peer_touch = figures_of(theirs.touch_us).median / peer_ping;
    print_row("touch -> VerifyStatus", ours, ours.touch_us, theirs, theirs.touch_us);
    for (Side *side : {&ours, &theirs}) {
        for (int m = 0; m < kCalls; ++m) {
            if (side->failures[m] != 0) {
                printf("  %s: %zu %s calls failed (last: %s)\n", side->name.c_str(), side->failures[m],
                       kMeasureNames[m], side->last_failure.c_str());
            }
        }
        if (side->touch_failures != 0) {
            printf("  %s: %zu of %d touch rounds without a match\n", side->name.c_str(), side->touch_failures,
                   touch_rounds);
        }
    }
    printf("  (1st, 2nd: the median's ratio to Ping in each half of the run, to show how steady it was)\n");
    printf("goal: each measure's ratio to Ping at or below fprintd's\n");
    for (int m = kDevices; m < kCalls; ++m) {
        print_verdict(kMeasureNames[m], ours_ratio[m], peer_ratio[m]);
    }
    print_verdict("touch -> VerifyStatus", ours_touch, peer_touch);
    if (!peer.running()) {
        printf("note: fprintd ended during the run (see %s/fprintd.out)\n", peer_bus.dir().c_str());
    }
    return 0;
}
