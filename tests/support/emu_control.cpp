#include "emu_control.h"

#include "emu_emulator.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace tirvane::emu
{

namespace
{

constexpr unsigned default_wait_ms = 10000;
constexpr size_t max_line = 64 * 1024;

// Removes the socket file when the process ends (the server itself lives as long as the process),
// unless another process has bound a new socket there meanwhile.
struct SocketFileRemover {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    ~SocketFileRemover()
    {
        struct stat st {
        };
        if (!path.empty() && ::lstat(path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino)
            ::unlink(path.c_str());
    }
};

bool send_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void serve_connection(UniqueFd fd, Emulator &emulator)
{
    std::string buffer;
    char chunk[4096];
    for (;;) {
        size_t nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!send_all(fd.get(), emulator.command(line)))
                return;
        }
        if (buffer.size() > max_line) {
            send_all(fd.get(), "ERR line too long\n");
            return;
        }
        ssize_t n = ::recv(fd.get(), chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A last command without its line end still counts.
            if (n == 0 && !buffer.empty())
                send_all(fd.get(), emulator.command(buffer));
            return;
        }
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

void accept_loop(int listen_fd, Emulator &emulator)
{
    for (;;) {
        int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE)
                continue;
            return;
        }
        UniqueFd conn(fd);
        try {
            std::thread([c = std::move(conn), &emulator]() mutable {
                try {
                    serve_connection(std::move(c), emulator);
                } catch (...) {
                    // The client is dropped; the server goes on.
                }
            }).detach();
        } catch (...) {
            // No thread for this client: it is dropped (the descriptor was moved into the failed
            // thread object and closed with it).
        }
    }
}

std::optional<unsigned> parse_number(std::string_view t)
{
    std::optional<uint64_t> v;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        v = parse_uint(t.substr(2), 16);
    else
        v = parse_uint(t);
    if (!v || *v > 0xffffffffu)
        return std::nullopt;
    return static_cast<unsigned>(*v);
}

std::optional<uint8_t> parse_hex_byte(std::string_view t)
{
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t.remove_prefix(2);
    auto v = parse_uint(t, 16);
    if (!v || *v > 0xff)
        return std::nullopt;
    return static_cast<uint8_t>(*v);
}

const char *const help_lines[] = {
    "ping",
    "plug [app|boot|VID:PID]",
    "unplug",
    "mode",
    "wait-mode app|boot|absent [TIMEOUT_MS]",
    "touch FINGER [ok|quality|area|repeated|exists|enrolfail|capturefail] [WAIT_MS]",
    "powerup-touch FINGER",
    "pending",
    "silence on|off",
    "corrupt-next",
    "split-next",
    "stray-next [PAYLOAD_HEX]",
    "fail-next CMDHEX CODE",
    "stall-out data|all|off",
    "halt 01|81|04|84|off",
    "cut-next N",
    "late-next MS",
    "ignore-restart on|off",
    "hold FINGER",
    "lift",
    "corrupt-length-next [HEX]",
    "enroll-burst on|off",
    "fail-stage 4|5|6 CODE",
    "short-index-next N",
    "version-idlist-next SLOT SLOT",
    "refuse-overwrite on|off",
    "templates",
    "store SLOT FINGER",
    "erase SLOT",
    "clear",
    "fill",
    "version",
    "set-version N",
    "boot-fault none|crc|silence|split|unplug-after N",
    "flash",
    "trace",
    "trace-clear",
    "errors",
    "errors-clear",
    "stats",
    "reset",
    "help",
};

} // namespace

std::unique_ptr<ControlServer> ControlServer::start(const std::string &path, Emulator &emulator,
                                                    std::string &error)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        error = "socket path too long: " + path;
        return nullptr;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    struct stat st {
    };
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        ::unlink(path.c_str());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        error = "bind " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (::listen(fd.get(), 16) != 0) {
        error = "listen " + path + ": " + std::strerror(errno);
        ::unlink(path.c_str());
        return nullptr;
    }
    static SocketFileRemover remover;
    if (::lstat(path.c_str(), &st) == 0) {
        remover.path = path;
        remover.dev = st.st_dev;
        remover.ino = st.st_ino;
    }
    int listen_fd = fd.get();
    std::unique_ptr<ControlServer> server(new ControlServer(std::move(fd)));
    try {
        std::thread([listen_fd, &emulator] { accept_loop(listen_fd, emulator); }).detach();
    } catch (const std::exception &e) {
        error = std::string("no control thread: ") + e.what();
        return nullptr;
    }
    return server;
}

ControlServer::~ControlServer() = default;

// ---- the command interpreter --------------------------------------------------------------------------

struct Emulator::Reply {
    bool ok = true;
    std::string text;               // after "OK " / "ERR "
    std::vector<std::string> lines; // multi-line answer
    bool multi = false;

    static Reply fine(std::string t = {})
    {
        return {true, std::move(t), {}, false};
    }
    static Reply fail(std::string t)
    {
        return {false, std::move(t), {}, false};
    }
    static Reply list(std::vector<std::string> l)
    {
        return {true, {}, std::move(l), true};
    }
};

std::string Emulator::command(const std::string &line)
{
    try {
        auto words = split_words(line);
        if (words.empty())
            return "ERR empty command\n";
        Lock lk(mu_);
        Reply r = run_command(lk, words);
        if (!r.ok)
            return "ERR " + r.text + "\n";
        if (r.multi) {
            std::string out = "OK " + std::to_string(r.lines.size()) + "\n";
            for (const auto &l : r.lines)
                out += l + "\n";
            return out;
        }
        return r.text.empty() ? "OK\n" : "OK " + r.text + "\n";
    } catch (const std::exception &e) {
        return std::string("ERR internal error: ") + e.what() + "\n";
    } catch (...) {
        return "ERR internal error\n";
    }
}

Emulator::Reply Emulator::run_command(Lock &lk, const std::vector<std::string> &w)
{
    const std::string &cmd = w[0];
    size_t argc = w.size() - 1;
    auto usage = [&](const char *form) { return Reply::fail(std::string("usage: ") + form); };

    if (cmd == "ping")
        return Reply::fine();
    if (cmd == "help")
        return Reply::list({std::begin(help_lines), std::end(help_lines)});

    if (cmd == "plug") {
        if (argc > 1)
            return usage("plug [app|boot|VID:PID]");
        if (bus_.present() != nullptr)
            return Reply::fail("already plugged");
        bool boot = state_.in_bootloader;
        if (argc == 1) {
            if (w[1] == "app") {
                boot = false;
            } else if (w[1] == "boot") {
                boot = true;
            } else if (auto id = Identity::parse(w[1])) {
                boot = id->bootloader();
                if (!boot)
                    cfg_.app_id = *id;
            } else {
                return usage("plug [app|boot|VID:PID]");
            }
        }
        ++epoch_;
        reenumerating_ = false;
        if (state_.in_bootloader != boot) {
            state_.in_bootloader = boot;
            state_changed();
        }
        attach(boot);
        return Reply::fine();
    }
    if (cmd == "unplug") {
        if (argc != 0)
            return usage("unplug");
        if (bus_.present() == nullptr && !reenumerating_)
            return Reply::fail("not plugged");
        ++epoch_;
        reenumerating_ = false;
        if (bus_.present() != nullptr)
            leave_bus();
        return Reply::fine();
    }
    if (cmd == "mode")
        return Reply::fine(mode_name());
    if (cmd == "wait-mode") {
        if (argc < 1 || argc > 2 || (w[1] != "app" && w[1] != "boot" && w[1] != "absent"))
            return usage("wait-mode app|boot|absent [TIMEOUT_MS]");
        unsigned timeout = default_wait_ms;
        if (argc == 2) {
            auto t = parse_number(w[2]);
            if (!t)
                return usage("wait-mode app|boot|absent [TIMEOUT_MS]");
            timeout = *t;
        }
        const std::string want = w[1];
        bool reached = changed_.wait_until(lk, Clock::now() + std::chrono::milliseconds(timeout),
                                           [&] { return want == mode_name(); });
        if (!reached)
            return Reply::fail(std::string("timeout, mode is ") + mode_name());
        return Reply::fine();
    }
    if (cmd == "touch") {
        const char *form = "touch FINGER [ok|quality|area|repeated|exists|enrolfail|capturefail] [WAIT_MS]";
        if (argc < 1 || argc > 3)
            return usage(form);
        TouchOutcome outcome = TouchOutcome::ok;
        unsigned wait_ms = default_wait_ms;
        size_t i = 2;
        if (i <= argc && !parse_number(w[i])) {
            auto o = parse_touch_outcome(w[i]);
            if (!o)
                return usage(form);
            outcome = *o;
            ++i;
        }
        if (i <= argc) {
            auto t = parse_number(w[i]);
            if (!t)
                return usage(form);
            wait_ms = *t;
            ++i;
        }
        if (i <= argc)
            return usage(form);
        changed_.wait_until(lk, Clock::now() + std::chrono::milliseconds(wait_ms),
                            [&] { return app_.pending() != Pending::none; });
        std::string why = app_.touch(w[1], outcome);
        changed_.notify_all();
        if (!why.empty())
            return Reply::fail(why);
        return Reply::fine();
    }
    if (cmd == "powerup-touch") {
        if (argc != 1)
            return usage("powerup-touch FINGER");
        app_.set_powerup_touch(w[1]);
        return Reply::fine();
    }
    if (cmd == "pending")
        return Reply::fine(pending_name(app_.pending()));
    if (cmd == "silence") {
        if (argc != 1 || (w[1] != "on" && w[1] != "off"))
            return usage("silence on|off");
        app_.set_silence(w[1] == "on");
        return Reply::fine();
    }
    if (cmd == "corrupt-next" && argc == 0) {
        app_.corrupt_next();
        return Reply::fine();
    }
    if (cmd == "split-next" && argc == 0) {
        app_.split_next();
        return Reply::fine();
    }
    if (cmd == "stray-next") {
        Bytes payload{0x00};
        if (argc > 0) {
            std::string joined;
            for (size_t i = 1; i <= argc; ++i)
                joined += w[i];
            auto p = parse_hex_bytes(joined);
            if (!p || p->empty())
                return usage("stray-next [PAYLOAD_HEX]");
            payload = *p;
        }
        app_.stray_next(std::move(payload));
        return Reply::fine();
    }
    if (cmd == "fail-next") {
        auto c = argc == 2 ? parse_hex_byte(w[1]) : std::nullopt;
        auto code = argc == 2 ? parse_number(w[2]) : std::nullopt;
        if (!c || !code || *code > 0xff)
            return usage("fail-next CMDHEX CODE");
        app_.fail_next(*c, static_cast<uint8_t>(*code));
        return Reply::fine();
    }
    if (cmd == "stall-out") {
        if (argc != 1 || (w[1] != "data" && w[1] != "all" && w[1] != "off"))
            return usage("stall-out data|all|off");
        stall_out_ = w[1] == "data" ? StallOut::data : w[1] == "all" ? StallOut::all : StallOut::off;
        changed_.notify_all(); // NAKed transfers look again
        return Reply::fine();
    }
    if (cmd == "halt") {
        const char *form = "halt 01|81|04|84|off";
        if (argc != 1)
            return usage(form);
        if (w[1] == "off") {
            halted_.clear();
        } else {
            auto ep = parse_hex_byte(w[1]);
            if (!ep || (*ep != app_out_endpoint && *ep != app_in_endpoint && *ep != boot_out_endpoint &&
                        *ep != boot_in_endpoint))
                return usage(form);
            halted_.insert(*ep);
        }
        changed_.notify_all(); // blocked transfers on the endpoint fail now
        return Reply::fine();
    }
    if (cmd == "cut-next") {
        auto n = argc == 1 ? parse_number(w[1]) : std::nullopt;
        if (!n)
            return usage("cut-next N");
        app_.cut_next(*n);
        return Reply::fine();
    }
    if (cmd == "late-next") {
        auto ms = argc == 1 ? parse_number(w[1]) : std::nullopt;
        if (!ms || *ms > 600000)
            return usage("late-next MS (0 to 600000)");
        app_.late_next(std::chrono::milliseconds(*ms));
        return Reply::fine();
    }
    if (cmd == "ignore-restart") {
        if (argc != 1 || (w[1] != "on" && w[1] != "off"))
            return usage("ignore-restart on|off");
        app_.set_ignore_restart(w[1] == "on");
        return Reply::fine();
    }
    if (cmd == "hold") {
        if (argc != 1)
            return usage("hold FINGER");
        app_.hold(w[1]);
        changed_.notify_all();
        return Reply::fine();
    }
    if (cmd == "lift" && argc == 0) {
        app_.lift();
        return Reply::fine();
    }
    if (cmd == "corrupt-length-next") {
        auto high = argc == 0   ? std::optional<uint8_t>(0xef)
                    : argc == 1 ? parse_hex_byte(w[1])
                                : std::nullopt;
        if (!high)
            return usage("corrupt-length-next [HEX]");
        app_.corrupt_length_next(*high);
        return Reply::fine();
    }
    if (cmd == "enroll-burst" || cmd == "refuse-overwrite") {
        if (argc != 1 || (w[1] != "on" && w[1] != "off"))
            return Reply::fail("usage: " + cmd + " on|off");
        if (cmd == "enroll-burst")
            app_.set_enroll_burst(w[1] == "on");
        else
            app_.set_refuse_overwrite(w[1] == "on");
        return Reply::fine();
    }
    if (cmd == "fail-stage") {
        auto stage = argc == 2 ? parse_number(w[1]) : std::nullopt;
        auto code = argc == 2 ? parse_number(w[2]) : std::nullopt;
        if (!stage || *stage < 4 || *stage > 6 || !code || *code > 0xff)
            return usage("fail-stage 4|5|6 CODE");
        app_.fail_stage(static_cast<uint8_t>(*stage), static_cast<uint8_t>(*code));
        return Reply::fine();
    }
    if (cmd == "short-index-next") {
        auto n = argc == 1 ? parse_number(w[1]) : std::nullopt;
        if (!n || *n > 31)
            return usage("short-index-next N (0 to 31)");
        app_.short_index_next(*n);
        return Reply::fine();
    }
    if (cmd == "version-idlist-next") {
        auto a = argc == 2 ? parse_number(w[1]) : std::nullopt;
        auto b = argc == 2 ? parse_number(w[2]) : std::nullopt;
        if (!a || !b || *a > 0xff || *b > 0xff)
            return usage("version-idlist-next SLOT SLOT");
        app_.version_idlist_next(static_cast<uint8_t>(*a), static_cast<uint8_t>(*b));
        return Reply::fine();
    }
    if (cmd == "templates") {
        std::vector<std::string> out;
        for (const auto &[slot, finger] : state_.templates)
            out.push_back(std::to_string(slot) + " " + finger);
        return Reply::list(std::move(out));
    }
    if (cmd == "store") {
        auto slot = argc == 2 ? parse_number(w[1]) : std::nullopt;
        if (!slot)
            return usage("store SLOT FINGER");
        if (*slot >= library_slots)
            return Reply::fail("slot out of range (0 to 255)");
        state_.templates[*slot] = w[2];
        state_changed();
        return Reply::fine();
    }
    if (cmd == "erase") {
        auto slot = argc == 1 ? parse_number(w[1]) : std::nullopt;
        if (!slot)
            return usage("erase SLOT");
        if (state_.templates.erase(*slot) != 0)
            state_changed();
        return Reply::fine();
    }
    if (cmd == "clear" && argc == 0) {
        state_.templates.clear();
        state_changed();
        return Reply::fine();
    }
    if (cmd == "fill" && argc == 0) {
        for (unsigned s = 0; s < library_slots; ++s)
            state_.templates.try_emplace(s, "fill-" + std::to_string(s));
        state_changed();
        return Reply::fine();
    }
    if (cmd == "version" && argc == 0)
        return Reply::fine(std::to_string(state_.version) + " " + version_text(state_.version));
    if (cmd == "set-version") {
        auto v = argc == 1 ? parse_number(w[1]) : std::nullopt;
        if (!v || *v > max_version)
            return usage("set-version N (0 to 999999)");
        state_.version = *v;
        state_changed();
        return Reply::fine();
    }
    if (cmd == "boot-fault") {
        const char *form = "boot-fault none|crc|silence|split|unplug-after N";
        if (argc == 2 && w[1] == "unplug-after") {
            auto n = parse_number(w[2]);
            if (!n)
                return usage(form);
            boot_.unplug_after(*n);
            return Reply::fine();
        }
        auto f = argc == 1 ? parse_boot_fault(w[1]) : std::nullopt;
        if (!f)
            return usage(form);
        if (*f == BootFault::none)
            boot_.clear_faults();
        else
            boot_.set_fault(*f);
        return Reply::fine();
    }
    if (cmd == "flash" && argc == 0) {
        char buf[80];
        std::snprintf(buf, sizeof buf, "size=%u crc=%04x stored=%d", state_.flash.size, state_.flash.crc,
                      state_.flash.crc_stored ? 1 : 0);
        return Reply::fine(buf);
    }
    if (cmd == "trace" && argc == 0)
        return Reply::list(trace_.lines());
    if (cmd == "trace-clear" && argc == 0) {
        trace_.clear();
        return Reply::fine();
    }
    if (cmd == "errors" && argc == 0)
        return Reply::list(trace_.errors());
    if (cmd == "errors-clear" && argc == 0) {
        trace_.clear_errors();
        return Reply::fine();
    }
    if (cmd == "stats" && argc == 0) {
        const Counters &c = trace_.counters;
        return Reply::fine("opens=" + std::to_string(c.opens) + " closes=" + std::to_string(c.closes) +
                           " open=" + std::to_string(bus_.open_handles()) +
                           " reads=" + std::to_string(c.reads) + " writes=" + std::to_string(c.writes) +
                           " clears=" + std::to_string(c.clears));
    }
    if (cmd == "reset" && argc == 0) {
        reset_all();
        return Reply::fine();
    }
    return Reply::fail("unknown command or wrong arguments: " + cmd + " (try help)");
}

} // namespace tirvane::emu
