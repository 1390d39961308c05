#include "test_env.h"

#include "common.h"
#include "tirvane_common.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace upgrade_test
{
namespace
{
std::vector<LogLine> g_logs;
int g_read_flag_result = 0;
int g_change_flag_calls = 0;
} // namespace

const std::vector<LogLine> &logs()
{
    return g_logs;
}

int count_log(int grade, const std::string &text)
{
    int n = 0;
    for (const LogLine &line : g_logs) {
        n += (line.grade == grade && line.text == text) ? 1 : 0;
    }
    return n;
}

int count_log_any(const std::string &text)
{
    int n = 0;
    for (const LogLine &line : g_logs) {
        n += line.text == text ? 1 : 0;
    }
    return n;
}

void set_read_fw_upgrade_flag_result(int result)
{
    g_read_flag_result = result;
}

int change_fw_upgrade_flag_calls()
{
    return g_change_flag_calls;
}

void reset_env()
{
    g_logs.clear();
    g_read_flag_result = 0;
    g_change_flag_calls = 0;
}

} // namespace upgrade_test

void tvp_log_at(LOG_GRADE_ENUM grade, const char *, int, const char *, const char *fmt, ...)
{
    char buf[2048];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof(buf), fmt, args);
    va_end(args);
    upgrade_test::g_logs.push_back({grade, buf});
}

std::string tvp_conf_dir()
{
    const char *dir = std::getenv("TIRVANE_CONF_DIR");
    std::string result = (dir != nullptr && dir[0] != '\0') ? dir : "/opt/apps/nuvex.kal.Tirvane/files/conf/";
    if (result.back() != '/') {
        result.push_back('/');
    }
    return result;
}

std::string tvp_conf_file(std::string_view name)
{
    return tvp_conf_dir() + std::string(name);
}

int read_fw_upgrade_flag(void)
{
    return upgrade_test::g_read_flag_result;
}

int change_fw_upgrade_flag(void)
{
    ++upgrade_test::g_change_flag_calls;
    return 0;
}
