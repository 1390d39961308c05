// Helpers shared by the end-to-end flow tests.
#pragma once

#include "bus_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace tvtest
{

// A client program (argv[0] its full path) on the harness's bus, its output
// collected in a file; killed if it still runs when this ends.
class ClientProcess
{
  public:
    ClientProcess(ServiceHarness &h, const std::vector<std::string> &argv)
        : out_(h.dir() + "/client-" + std::to_string(++seq_))
    {
        pid_ = fork();
        if (pid_ == 0) {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", h.bus_address().c_str(), 1);
            setenv("LC_ALL", "C", 1);
            int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            std::vector<char *> args;
            for (const auto &a : argv) {
                args.push_back(const_cast<char *>(a.c_str()));
            }
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~ClientProcess()
    {
        if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    ClientProcess(const ClientProcess &) = delete;
    ClientProcess &operator=(const ClientProcess &) = delete;

    // Exit status once it ends; -1 when it had to be killed.
    int wait(ServiceHarness &h, int timeout_ms = 20000)
    {
        int status = 0;
        const bool ended = h.wait_for([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout_ms);
        ended_ = true;
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output() const
    {
        return slurp(out_);
    }

  private:
    static inline int seq_ = 0;
    std::string out_;
    pid_t pid_ = -1;
    bool ended_ = false;
};

inline std::string sig_str(const Signal &s)
{
    std::ostringstream out;
    out << "(" << s.code << ", " << s.msg << ")";
    return out.str();
}

inline std::vector<std::string> sig_strs(const std::vector<Signal> &list)
{
    std::vector<std::string> out;
    for (const auto &s : list) {
        out.push_back(sig_str(s));
    }
    return out;
}

// Frames the host sent to the module (data phases that start with EF 01), as
// lower-case hex text, in order.
inline std::vector<std::string> host_frames(EmuClient &emu)
{
    std::vector<std::string> frames;
    for (const auto &line : emu.lines("trace")) {
        const std::string prefix = "OUT 01 ef 01";
        if (line.rfind(prefix, 0) == 0) {
            frames.push_back(line.substr(7));
        }
    }
    return frames;
}

inline bool has_frame(EmuClient &emu, const std::string &hex)
{
    for (const auto &f : host_frames(emu)) {
        if (f.rfind(hex, 0) == 0) {
            return true;
        }
    }
    return false;
}

// Slot -> finger name as the emulated module holds them.
inline std::map<int, std::string> module_templates(EmuClient &emu)
{
    std::map<int, std::string> out;
    for (const auto &line : emu.lines("templates")) {
        std::istringstream in(line);
        int slot = -1;
        std::string finger;
        in >> slot >> finger;
        if (slot >= 0) {
            out[slot] = finger;
        }
    }
    return out;
}

inline std::string list_of(const std::vector<std::string> &v)
{
    std::string out;
    for (const auto &s : v) {
        out += s + ";";
    }
    return out;
}

// Starts an enrolment and plays six good touches; true when it succeeded.
inline bool enrol_finger(ServiceHarness &h, const std::string &user, const std::string &finger,
                         const std::string &touched)
{
    const size_t before = h.signals("enrollStatusChanged").size();
    g_autoptr(GError) error = nullptr;
    if (!tirvane_call_enroll_sync(h.proxy(), user.c_str(), finger.c_str(), nullptr, &error)) {
        return false;
    }
    // A person takes a moment per touch: wait for each report before the next.
    if (!h.wait_for([&] { return h.signals("enrollStatusChanged").size() >= before + 1; }, 10000)) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        const size_t seen = h.signals("enrollStatusChanged").size();
        if (!h.emu().ok("touch " + touched)) {
            return false;
        }
        h.wait_for([&] { return h.signals("enrollStatusChanged").size() > seen; }, 5000);
    }
    if (!h.wait_for(
            [&] {
                auto all = h.signals("enrollStatusChanged");
                for (size_t i = before; i < all.size(); ++i) {
                    if (all[i].code == 0 || all[i].code == 1 || all[i].code == 4) {
                        return true;
                    }
                }
                return false;
            },
            15000)) {
        return false;
    }
    auto all = h.signals("enrollStatusChanged");
    return all.back().code == 0;
}

// Touches once and waits for the enrolment's report of that touch.
inline bool touch_and_wait(ServiceHarness &h, const std::string &args)
{
    const size_t seen = h.signals("enrollStatusChanged").size();
    if (!h.emu().ok("touch " + args)) {
        return false;
    }
    return h.wait_for([&] { return h.signals("enrollStatusChanged").size() > seen; }, 5000);
}

// Waits that must end are bounded by what the service promises plus slack;
// the sanitizers slow the daemon down, so the bounds grow with them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kTimeScale = 3;
#else
constexpr int kTimeScale = 1;
#endif

inline int bound_ms(int ms)
{
    return ms * kTimeScale;
}

// Occurrences of `needle` in `text`.
inline size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
        ++n;
    }
    return n;
}

// The device count the service reports; -1 when the call failed.
inline int device_count(ServiceHarness &h)
{
    gint count = -1;
    tirvane_call_get_device_count_sync(h.proxy(), &count, nullptr, nullptr);
    return count;
}

// One value of the emulator's "stats" line ("key=value ...").
inline std::string stat_value(const std::string &stats, const std::string &key)
{
    auto pos = stats.find(key + "=");
    if (pos == std::string::npos) {
        return "";
    }
    pos += key.size() + 1;
    return stats.substr(pos, stats.find(' ', pos) - pos);
}

inline std::vector<std::string> verify_signals(ServiceHarness &h)
{
    return sig_strs(h.signals("verifyStatusChanged"));
}

// The module holds an identification request that waits for a touch.
inline bool identify_pending(ServiceHarness &h)
{
    return h.emu().command("pending").find("identify") != std::string::npos;
}

} // namespace tvtest
