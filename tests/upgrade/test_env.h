// Stand-ins for the neighbouring units the upgrade unit calls: the log backend
// (captured for inspection), the configuration directory and the upgrade counter.
#pragma once

#include <string>
#include <vector>

namespace upgrade_test
{

struct LogLine {
    int grade;
    std::string text;
};

// Every line logged since the last reset, in order.
const std::vector<LogLine> &logs();
// Number of lines logged at `grade` whose text is exactly `text`.
int count_log(int grade, const std::string &text);
// Number of lines, at any grade, whose text is exactly `text`.
int count_log_any(const std::string &text);

// What read_fw_upgrade_flag answers, and how often change_fw_upgrade_flag was called.
void set_read_fw_upgrade_flag_result(int result);
int change_fw_upgrade_flag_calls();

// Clears the captured log, the counter calls and the flag answer (0).
void reset_env();

} // namespace upgrade_test
