#include "emu_trace.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

namespace tirvane::emu
{

const char *short_error_name(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS:
        return "SUCCESS";
    case LIBUSB_ERROR_IO:
        return "IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
        return "ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
        return "NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
        return "OVERFLOW";
    case LIBUSB_ERROR_PIPE:
        return "PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
        return "INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
        return "NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "NOT_SUPPORTED";
    default:
        return "OTHER";
    }
}

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void Trace::set_file(const std::string &path)
{
    file_ = UniqueFd();
    if (!path.empty())
        file_ = UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
}

void Trace::transfer(bool in, uint8_t endpoint, std::span<const uint8_t> bytes, int result)
{
    char head[16];
    std::snprintf(head, sizeof head, "%s %02x", in ? "IN" : "OUT", endpoint);
    std::string line = head;
    if (!bytes.empty()) {
        line += ' ';
        line += hex_bytes(bytes);
    }
    if (result < 0) {
        line += " !";
        line += short_error_name(result);
    }
    append(std::move(line));
}

void Trace::note(std::string line)
{
    append(std::move(line));
}

void Trace::append(std::string line)
{
    if (file_) {
        std::string out = line;
        out += '\n';
        write_all(file_.get(), out);
    }
    bytes_ += line.size();
    lines_.push_back(std::move(line));
    while (lines_.size() > max_lines || (bytes_ > max_bytes && lines_.size() > 1)) {
        bytes_ -= lines_.front().size();
        lines_.pop_front();
    }
}

std::vector<std::string> Trace::lines() const
{
    return {lines_.begin(), lines_.end()};
}

void Trace::clear()
{
    lines_.clear();
    bytes_ = 0;
}

void Trace::protocol_error(std::string what)
{
    errors_.push_back(std::move(what));
    if (errors_.size() > max_errors)
        errors_.pop_front();
}

std::vector<std::string> Trace::errors() const
{
    return {errors_.begin(), errors_.end()};
}

void Trace::clear_errors()
{
    errors_.clear();
}

} // namespace tirvane::emu
