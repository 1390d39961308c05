// The service log: one append-only file, a process-wide grade threshold, and a
// small console printer.
#include "common.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// 0 at start: nothing reaches the file until the configuration sets a grade.
int PRINTF_LOG_GRADE = 0;

constexpr size_t kLineBufferSize = 2500;
constexpr size_t kMessageBufferSize = 1200;
constexpr off_t kLogFileLimit = 0x9FFFFF; // 10 MiB - 1 is still kept

bool grade_passes(unsigned grade)
{
    return !(static_cast<unsigned>(PRINTF_LOG_GRADE) < grade);
}

// Writes all of `len` bytes in one call, reporting a short write as the log's
// own error. With O_APPEND one call lands whole at the end of the file, so lines
// of two threads never interleave.
void write_logged(int fd, const char *path, const char *buf, size_t len)
{
    ssize_t written = write(fd, buf, len);
    if (written < 0 || static_cast<size_t>(written) < len) {
        printf("write logfile %s: ERROR!!!\n", path);
    }
}

constexpr size_t kStampSize = 100;

int append_to_log(const char *buf, int len, LOG_GRADE_ENUM grade, bool with_time)
{
    if (buf == nullptr || len <= 0 || !grade_passes(static_cast<unsigned>(grade))) {
        return -1;
    }
    const std::string path = tvp_conf_file(TVP_LOG_FILE_NAME);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        printf("open logfile %s: failed!!!\n", path.c_str());
        return -1;
    }
    const size_t body = static_cast<size_t>(len);
    if (!with_time) {
        write_logged(fd, path.c_str(), buf, body);
        close(fd);
        return 0;
    }
    char stamp[kStampSize] = {0};
    time_t now = time(nullptr);
    struct tm local {
    };
    localtime_r(&now, &local);
    const int stamp_len =
        snprintf(stamp, sizeof(stamp), "%04d%02d%02d_%02d:%02d:%02d ", local.tm_year + 1900, local.tm_mon + 1,
                 local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    const size_t head = stamp_len > 0 ? std::min(static_cast<size_t>(stamp_len), sizeof(stamp) - 1) : 0;
    // Stamp and text go out as one write; a line of the log call fits the
    // stack buffer, a longer caller's buffer takes the heap.
    char line[kStampSize + kLineBufferSize];
    std::string spill;
    char *out = line;
    if (head + body > sizeof(line)) {
        spill.resize(head + body);
        out = spill.data();
    }
    memcpy(out, stamp, head);
    memcpy(out + head, buf, body);
    write_logged(fd, path.c_str(), out, head + body);
    close(fd);
    return 0;
}

} // namespace

int set_printf_log_grade(int flag)
{
    PRINTF_LOG_GRADE = flag;
    return 0;
}

int get_printf_log_grade(void)
{
    return PRINTF_LOG_GRADE;
}

int tvp_print_log_time(char *buf, int len, LOG_GRADE_ENUM grade)
{
    return append_to_log(buf, len, grade, true);
}

int tvp_print_log(char *buf, int len, LOG_GRADE_ENUM grade)
{
    return append_to_log(buf, len, grade, false);
}

int check_log_file_size(void)
{
    const std::string path = tvp_conf_file(TVP_LOG_FILE_NAME);
    struct stat st {
    };
    off_t size = (stat(path.c_str(), &st) == 0) ? st.st_size : 0;
    if (size <= kLogFileLimit) {
        return 0;
    }
    // Removed directly, no shell involved; the command text stays in the log as
    // the record of what was done.
    char cmd[500] = {0};
    snprintf(cmd, sizeof(cmd), "rm %s", path.c_str());
    TVP_LOG(DBG_LOG_GRADE, "%s\n", cmd);
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        TVP_LOG(ERR_LOG_GRADE, "exec failed!\n");
    }
    return 0;
}

int tvp_vprint_by_level(int print_level, FILE *stream, const char *format, va_list args)
{
    static const char *const tags[] = {"[EMERG] ", "[ALERT] ", "[ CRIT] ", "[ERROR] ",
                                       "[ WARN] ", "[ NOTE] ", "[ INFO] ", "[DEBUG] "};
    const bool known = print_level >= 0 && print_level <= 7;
    const char *tag = known ? tags[print_level] : "[UKNOW] ";
    FILE *tag_stream = (known && print_level <= 3) ? stderr : stdout;
    fwrite(tag, 1, 8, tag_stream);
    int count = vfprintf(stream, format, args);
    fflush(stream);
    return count;
}

int tvp_print_info(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int count = tvp_vprint_by_level(6, stdout, format, args);
    va_end(args);
    return count;
}

void tvp_log_at(LOG_GRADE_ENUM grade, const char *file, int line, const char *func, const char *fmt, ...)
{
    // A filtered grade costs no formatting.
    if (!grade_passes(static_cast<unsigned>(grade))) {
        return;
    }
    char dbg_msg_log[kLineBufferSize] = {0};
    char dbg_info[kMessageBufferSize] = {0};
    snprintf(dbg_msg_log, kMessageBufferSize, "[%s:%d:%s] ", file, line, func);
    va_list args;
    va_start(args, fmt);
    vsnprintf(dbg_info, sizeof(dbg_info), fmt, args);
    va_end(args);
    strncat(dbg_msg_log, dbg_info, kLineBufferSize - strlen(dbg_msg_log) - 1);
    tvp_print_log_time(dbg_msg_log, static_cast<int>(strlen(dbg_msg_log)), grade);
}

void tvp_log_raw(LOG_GRADE_ENUM grade, const char *fmt, ...)
{
    if (!grade_passes(static_cast<unsigned>(grade))) {
        return;
    }
    char piece[kMessageBufferSize] = {0};
    va_list args;
    va_start(args, fmt);
    vsnprintf(piece, sizeof(piece), fmt, args);
    va_end(args);
    tvp_print_log(piece, static_cast<int>(strlen(piece)), grade);
}
