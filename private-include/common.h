// Log grades, the log call and the service's file locations, shared by every unit.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

typedef enum {
    ERR_LOG_GRADE = 1,
    LOG_LOG_GRADE = 2,
    DBG_LOG_GRADE = 3,
} LOG_GRADE_ENUM;

int set_printf_log_grade(int flag);
int get_printf_log_grade(void);
int tvp_print_log_time(char *buf, int len, LOG_GRADE_ENUM grade);
int tvp_print_log(char *buf, int len, LOG_GRADE_ENUM grade);
int check_log_file_size(void);
int tvp_vprint_by_level(int print_level, FILE *stream, const char *format, va_list args);
int tvp_print_info(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Backend of TVP_LOG: "[file:line:func] " then the message, time-stamped.
void tvp_log_at(LOG_GRADE_ENUM grade, const char *file, int line, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
// Continues a log line without a time stamp (hex dumps and the like).
void tvp_log_raw(LOG_GRADE_ENUM grade, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

constexpr const char *tvp_source_basename(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}

#define TVP_LOG(grade, ...)                                                                                  \
    tvp_log_at((grade), tvp_source_basename(__FILE__), __LINE__, __func__, __VA_ARGS__)

// The position of a log call's origin. A helper that logs on behalf of its
// caller takes one as its last parameter, defaulted to `tvp_log_origin::here()`:
// the default is evaluated at the helper's call site, so the line names the
// caller's file, line and function, not the helper's.
struct tvp_log_origin {
    const char *file;
    int line;
    const char *func;

    static constexpr tvp_log_origin here(const char *file = __builtin_FILE(), int line = __builtin_LINE(),
                                         const char *func = __builtin_FUNCTION())
    {
        return {tvp_source_basename(file), line, func};
    }
};

// TVP_LOG with the position of `origin` instead of its own.
#define TVP_LOG_FROM(origin, grade, ...)                                                                     \
    tvp_log_at((grade), (origin).file, (origin).line, (origin).func, __VA_ARGS__)

// Configuration directory, always ending in '/'. Production default
// "/opt/apps/nuvex.kal.Tirvane/files/conf/", overridden by TIRVANE_CONF_DIR.
std::string tvp_conf_dir();
// Full path of a file of the configuration directory.
std::string tvp_conf_file(std::string_view name);
// A sysfs path ("/sys/...") with its leading "/sys" replaced by TIRVANE_SYSFS_ROOT when set.
std::string tvp_sysfs_path(std::string_view sys_path);

#define TVP_LIST_FILE_NAME "tvplist.conf"
#define TVP_DRIVER_CONF_FILE_NAME "fp_driver.conf"
#define TVP_FW_CONF_FILE_NAME "kal_fw.conf"
#define TVP_LOG_FILE_NAME "log_tvp.txt"
