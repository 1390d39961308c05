#include "emu_client.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace tirvane::emu
{

namespace
{

class Socket
{
  public:
    explicit Socket(int fd) : fd_(fd) {}
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    ~Socket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const
    {
        return fd_;
    }

  private:
    int fd_;
};

bool multi_line_command(const std::string &line)
{
    std::string word = line.substr(0, line.find_first_of(" \t"));
    return word == "templates" || word == "trace" || word == "errors" || word == "help";
}

class LineReader
{
  public:
    explicit LineReader(int fd) : fd_(fd) {}
    std::string next()
    {
        for (;;) {
            auto nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return line;
            }
            char chunk[8192];
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw EmuConnectionError("emulator control connection closed before the reply ended");
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }

  private:
    int fd_;
    std::string buf_;
};

int connect_once(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string join_lines(const std::vector<std::string> &v)
{
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (i != 0)
            out += '\n';
        out += v[i];
    }
    return out;
}

} // namespace

EmuClient::EmuClient(std::string socket_path, std::chrono::milliseconds connect_patience)
    : path_(std::move(socket_path)), patience_(connect_patience)
{
}

std::string EmuClient::command(const std::string &line)
{
    if (path_.empty())
        throw EmuConnectionError("no emulator control socket given");
    auto deadline = std::chrono::steady_clock::now() + patience_;
    int fd;
    while ((fd = connect_once(path_)) < 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            throw EmuConnectionError("cannot connect to the emulator control socket " + path_ + ": " +
                                     std::strerror(errno));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Socket sock(fd);
    std::string out = line + "\n";
    std::string_view rest = out;
    while (!rest.empty()) {
        ssize_t n = ::send(sock.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw EmuConnectionError("cannot send to the emulator control socket " + path_);
        rest.remove_prefix(static_cast<size_t>(n));
    }
    LineReader reader(sock.get());
    std::vector<std::string> reply{reader.next()};
    const std::string &first = reply[0];
    if (multi_line_command(line) && first.rfind("OK ", 0) == 0) {
        size_t n = std::stoul(first.substr(3));
        for (size_t i = 0; i < n; ++i)
            reply.push_back(reader.next());
    }
    return join_lines(reply);
}

bool EmuClient::ok(const std::string &line)
{
    return command(line).rfind("OK", 0) == 0;
}

std::vector<std::string> EmuClient::lines(const std::string &line)
{
    std::string r = command(line);
    if (r.rfind("OK", 0) != 0)
        throw std::runtime_error("emulator: " + line + ": " + r);
    std::vector<std::string> out;
    size_t pos = r.find('\n');
    while (pos != std::string::npos) {
        size_t next = r.find('\n', pos + 1);
        out.push_back(r.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1));
        pos = next;
    }
    return out;
}

std::string EmuClient::value(const std::string &line)
{
    std::string r = command(line);
    if (r.rfind("OK", 0) != 0)
        throw std::runtime_error("emulator: " + line + ": " + r);
    return r.size() > 3 ? r.substr(3) : std::string();
}

void EmuClient::expect_ok(const std::string &line)
{
    value(line);
}

void EmuClient::ping()
{
    expect_ok("ping");
}

void EmuClient::plug(const std::string &what)
{
    expect_ok(what.empty() ? "plug" : "plug " + what);
}

void EmuClient::unplug()
{
    expect_ok("unplug");
}

std::string EmuClient::mode()
{
    return value("mode");
}

bool EmuClient::wait_mode(const std::string &mode, int timeout_ms)
{
    return ok("wait-mode " + mode + " " + std::to_string(timeout_ms));
}

bool EmuClient::touch(const std::string &finger, const std::string &outcome, int wait_ms)
{
    return ok("touch " + finger + " " + outcome + " " + std::to_string(wait_ms));
}

void EmuClient::powerup_touch(const std::string &finger)
{
    expect_ok("powerup-touch " + finger);
}

std::string EmuClient::pending()
{
    return value("pending");
}

std::map<unsigned, std::string> EmuClient::templates()
{
    std::map<unsigned, std::string> out;
    for (const auto &l : lines("templates")) {
        auto sp = l.find(' ');
        out[static_cast<unsigned>(std::stoul(l.substr(0, sp)))] = l.substr(sp + 1);
    }
    return out;
}

void EmuClient::store(unsigned slot, const std::string &finger)
{
    expect_ok("store " + std::to_string(slot) + " " + finger);
}

void EmuClient::erase(unsigned slot)
{
    expect_ok("erase " + std::to_string(slot));
}

void EmuClient::clear()
{
    expect_ok("clear");
}

std::pair<unsigned, std::string> EmuClient::version()
{
    std::string v = value("version");
    auto sp = v.find(' ');
    return {static_cast<unsigned>(std::stoul(v.substr(0, sp))), v.substr(sp + 1)};
}

void EmuClient::set_version(unsigned version)
{
    expect_ok("set-version " + std::to_string(version));
}

FlashInfoReply EmuClient::flash()
{
    std::string v = value("flash");
    FlashInfoReply f;
    unsigned size = 0, crc = 0;
    int stored = 0;
    if (std::sscanf(v.c_str(), "size=%u crc=%x stored=%d", &size, &crc, &stored) != 3)
        throw std::runtime_error("emulator: unexpected flash reply: " + v);
    f.size = size;
    f.crc = static_cast<uint16_t>(crc);
    f.stored = stored != 0;
    return f;
}

std::vector<std::string> EmuClient::trace()
{
    return lines("trace");
}

void EmuClient::clear_trace()
{
    expect_ok("trace-clear");
}

std::vector<std::string> EmuClient::errors()
{
    return lines("errors");
}

void EmuClient::clear_errors()
{
    expect_ok("errors-clear");
}

StatsReply EmuClient::stats()
{
    std::string v = value("stats");
    StatsReply s;
    unsigned long long o = 0, c = 0, n = 0, r = 0, w = 0, x = 0;
    if (std::sscanf(v.c_str(), "opens=%llu closes=%llu open=%llu reads=%llu writes=%llu clears=%llu", &o, &c,
                    &n, &r, &w, &x) != 6)
        throw std::runtime_error("emulator: unexpected stats reply: " + v);
    s = {o, c, n, r, w, x};
    return s;
}

void EmuClient::reset()
{
    expect_ok("reset");
}

void EmuClient::stall_out(const std::string &what)
{
    expect_ok("stall-out " + what);
}

void EmuClient::halt(unsigned endpoint)
{
    char ep[8];
    std::snprintf(ep, sizeof ep, "%02x", endpoint & 0xffu);
    expect_ok(std::string("halt ") + ep);
}

void EmuClient::unhalt()
{
    expect_ok("halt off");
}

void EmuClient::cut_next(unsigned bytes)
{
    expect_ok("cut-next " + std::to_string(bytes));
}

void EmuClient::late_next(int ms)
{
    expect_ok("late-next " + std::to_string(ms));
}

void EmuClient::ignore_restart(bool on)
{
    expect_ok(std::string("ignore-restart ") + (on ? "on" : "off"));
}

void EmuClient::hold(const std::string &finger)
{
    expect_ok("hold " + finger);
}

void EmuClient::lift()
{
    expect_ok("lift");
}

void EmuClient::corrupt_length_next(unsigned high)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x", high & 0xffu);
    expect_ok(std::string("corrupt-length-next ") + hex);
}

void EmuClient::enroll_burst(bool on)
{
    expect_ok(std::string("enroll-burst ") + (on ? "on" : "off"));
}

void EmuClient::fail_stage(unsigned stage, unsigned code)
{
    expect_ok("fail-stage " + std::to_string(stage) + " " + std::to_string(code));
}

void EmuClient::short_index_next(unsigned bytes)
{
    expect_ok("short-index-next " + std::to_string(bytes));
}

void EmuClient::version_idlist_next(unsigned first, unsigned second)
{
    expect_ok("version-idlist-next " + std::to_string(first) + " " + std::to_string(second));
}

void EmuClient::refuse_overwrite(bool on)
{
    expect_ok(std::string("refuse-overwrite ") + (on ? "on" : "off"));
}

} // namespace tirvane::emu
