// Shared by the fuzz targets: a private configuration directory for the whole
// process, the log threshold of every run and the failure report of the
// targets' own checks.
//
// Environment:
//   TIRVANE_FUZZ_LOG_GRADE  log threshold set before every run (default 0: the
//                           service logs nothing). Inputs that set a grade
//                           themselves (PrintfLogFlag) only affect their own run.
//   TMPDIR                  where the configuration directory is created.
#pragma once

#include "common.h"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace tvp_fuzz
{

// Reports a broken expectation of a target and aborts, so that libFuzzer keeps
// the input as a crash.
[[noreturn]] inline void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline void fail(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::fputs("tirvane fuzz check failed: ", stderr);
    std::vfprintf(stderr, fmt, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

inline void remove_tree(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    while (const dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            unlink((dir + "/" + e->d_name).c_str());
        }
    }
    closedir(d);
    rmdir(dir.c_str());
}

// The configuration directory of this process, created on first use and
// removed when the process exits normally. TIRVANE_CONF_DIR points at it.
inline const std::string &conf_dir()
{
    // The exit handler gets its own copy: it runs after static strings are gone.
    static char removed_at_exit[4096];
    static const std::string dir = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tirvane-fuzz-XXXXXX";
        if (tmpl.size() >= sizeof(removed_at_exit) || mkdtemp(tmpl.data()) == nullptr) {
            fail("cannot create a configuration directory under %s: %s", tmpl.c_str(), std::strerror(errno));
        }
        setenv("TIRVANE_CONF_DIR", tmpl.c_str(), 1);
        std::memcpy(removed_at_exit, tmpl.c_str(), tmpl.size() + 1);
        std::atexit([] { remove_tree(removed_at_exit); });
        return tmpl;
    }();
    return dir;
}

inline std::string conf_path(const char *name)
{
    return conf_dir() + "/" + name;
}

// Replaces a file of the configuration directory with exactly `size` bytes.
inline void write_conf_file(const char *name, const uint8_t *data, size_t size)
{
    const std::string path = conf_path(name);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail("cannot write %s: %s", path.c_str(), std::strerror(errno));
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            fail("short write to %s", path.c_str());
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
}

inline void write_conf_file(const char *name, const char *text)
{
    write_conf_file(name, reinterpret_cast<const uint8_t *>(text), std::strlen(text));
}

inline int configured_log_grade()
{
    static const int grade = [] {
        const char *env = std::getenv("TIRVANE_FUZZ_LOG_GRADE");
        return env != nullptr ? std::atoi(env) : 0;
    }();
    return grade;
}

// Start of every run: the configured threshold (a previous input may have set
// another one through a configuration file) and no log file, so that it cannot grow
// from run to run.
inline void begin_run()
{
    set_printf_log_grade(configured_log_grade());
    unlink(conf_path(TVP_LOG_FILE_NAME).c_str());
}

// True when `field` holds a NUL within its `size` bytes.
inline bool terminated(const char *field, size_t size)
{
    return std::memchr(field, '\0', size) != nullptr;
}

} // namespace tvp_fuzz
