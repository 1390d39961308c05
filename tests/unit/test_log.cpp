// The service log: grade threshold, line shape, size check, console printer.
#include "common.h"
#include "tirvane-server.h"
#include "unit_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

class LogTest : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        set_printf_log_grade(0);
    }
    std::string log() const
    {
        return tvunit::read_file(conf.file("log_tvp.txt"));
    }
    tvunit::TempConfDir conf;
};

struct GradeCase {
    int threshold;
    LOG_GRADE_ENUM grade;
    bool written;
};

} // namespace

TEST_F(LogTest, GradeIsWrittenOnlyUpToTheThreshold)
{
    const GradeCase cases[] = {
        {0, ERR_LOG_GRADE, false}, {0, DBG_LOG_GRADE, false}, {2, ERR_LOG_GRADE, true},
        {2, LOG_LOG_GRADE, true},  {2, DBG_LOG_GRADE, false}, {3, DBG_LOG_GRADE, true},
        {-1, DBG_LOG_GRADE, true}, {1, LOG_LOG_GRADE, false},
    };
    for (const auto &c : cases) {
        unlink(conf.file("log_tvp.txt").c_str());
        set_printf_log_grade(c.threshold);
        char text[] = "line\n";
        const int result = tvp_print_log_time(text, 5, c.grade);
        EXPECT_EQ(result, c.written ? 0 : -1) << "threshold " << c.threshold << " grade " << c.grade;
        EXPECT_EQ(log().find("line\n") != std::string::npos, c.written)
            << "threshold " << c.threshold << " grade " << c.grade;
    }
}

TEST_F(LogTest, EmptyOrNullBufferWritesNothing)
{
    set_printf_log_grade(3);
    char text[] = "x";
    EXPECT_EQ(tvp_print_log_time(text, 0, ERR_LOG_GRADE), -1);
    EXPECT_EQ(tvp_print_log(nullptr, 5, ERR_LOG_GRADE), -1);
    EXPECT_FALSE(tvunit::file_exists(conf.file("log_tvp.txt")));
}

TEST_F(LogTest, LogCallCarriesTimeStampAndSourcePosition)
{
    set_printf_log_grade(3);
    const int line = __LINE__ + 1;
    TVP_LOG(DBG_LOG_GRADE, "value %d.\n", 42);
    const std::regex shape(R"(^\d{8}_\d{2}:\d{2}:\d{2} \[test_log\.cpp:(\d+):TestBody\] value 42\.\n$)");
    std::smatch m;
    const std::string text = log();
    ASSERT_TRUE(std::regex_match(text, m, shape)) << text;
    EXPECT_EQ(std::stoi(m[1]), line);
}

namespace
{

// Shaped like the service's log helpers: the position comes from the call site.
void log_on_behalf(int value, tvp_log_origin at = tvp_log_origin::here())
{
    TVP_LOG_FROM(at, ERR_LOG_GRADE, "helper value %d.\n", value);
}

// A helper that hands its own caller's position on to another helper.
void relay_on_behalf(int value, tvp_log_origin at = tvp_log_origin::here())
{
    log_on_behalf(value, at);
}

int caller_line = 0;

void a_caller_of_the_helper()
{
    caller_line = __LINE__ + 1;
    log_on_behalf(7);
}

} // namespace

TEST_F(LogTest, HelperLineNamesTheCallersFileLineAndFunction)
{
    set_printf_log_grade(3);
    a_caller_of_the_helper();
    const int relay_line = __LINE__ + 1;
    relay_on_behalf(8);
    const std::regex shape(
        R"(^\d{8}_\d{2}:\d{2}:\d{2} \[test_log\.cpp:(\d+):a_caller_of_the_helper\] helper value 7\.\n)"
        R"(\d{8}_\d{2}:\d{2}:\d{2} \[test_log\.cpp:(\d+):TestBody\] helper value 8\.\n$)");
    std::smatch m;
    const std::string text = log();
    ASSERT_TRUE(std::regex_match(text, m, shape)) << text;
    EXPECT_EQ(std::stoi(m[1]), caller_line);
    EXPECT_EQ(std::stoi(m[2]), relay_line);
}

TEST_F(LogTest, LinesOfConcurrentThreadsNeverInterleave)
{
    set_printf_log_grade(3);
    constexpr int kThreads = 4;
    constexpr int kLines = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string body(600, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                TVP_LOG(DBG_LOG_GRADE, "%d %s\n", t, body.c_str());
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    const std::regex line_shape(
        R"(^\d{8}_\d{2}:\d{2}:\d{2} \[test_log\.cpp:\d+:operator\(\)\] ([0-3]) ([a-d])\2{599}$)");
    std::istringstream in(log());
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, line_shape)) << "line " << lines << ": " << line.substr(0, 80);
        EXPECT_EQ(m[2].str()[0], 'a' + std::stoi(m[1]));
        ++lines;
    }
    EXPECT_EQ(lines, kThreads * kLines);
}

TEST_F(LogTest, ContinuationHasNoTimeStamp)
{
    set_printf_log_grade(3);
    tvp_log_raw(DBG_LOG_GRADE, "%02x ", 0xab);
    tvp_log_raw(DBG_LOG_GRADE, "\r\n");
    EXPECT_EQ(log(), "ab \r\n");
}

TEST_F(LogTest, LongMessagesAreCutNotOverrun)
{
    set_printf_log_grade(3);
    const std::string big(5000, 'z');
    TVP_LOG(ERR_LOG_GRADE, "%s", big.c_str());
    const std::string text = log();
    const size_t zs = std::count(text.begin(), text.end(), 'z');
    EXPECT_EQ(zs, 1199u);
}

TEST_F(LogTest, MissingDirectoryReportsFailure)
{
    set_printf_log_grade(3);
    setenv("TIRVANE_CONF_DIR", "/nonexistent-dir-for-tirvane", 1);
    char text[] = "x\n";
    EXPECT_EQ(tvp_print_log_time(text, 2, ERR_LOG_GRADE), -1);
    setenv("TIRVANE_CONF_DIR", conf.path().c_str(), 1);
}

TEST_F(LogTest, SizeCheckRemovesTheFileFrom10MiB)
{
    struct SizeCase {
        off_t size;
        bool kept;
    };
    for (const SizeCase c : {SizeCase{10485759, true}, SizeCase{10485760, false}, SizeCase{0, true}}) {
        const std::string path = conf.file("log_tvp.txt");
        tvunit::write_file(path, "");
        ASSERT_EQ(truncate(path.c_str(), c.size), 0);
        EXPECT_EQ(check_log_file_size(), 0);
        EXPECT_EQ(tvunit::file_exists(path), c.kept) << c.size;
    }
    unlink(conf.file("log_tvp.txt").c_str());
    EXPECT_EQ(check_log_file_size(), 0) << "a missing file counts as empty";
}

TEST_F(LogTest, SizeCheckRemovesAFileWhosePathAShellWouldSplit)
{
    // Spaces and shell syntax in the directory name: the file itself goes, and
    // nothing beside it (a shell would have split the command at the space).
    const std::string dir = conf.path() + "/conf dir;x";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const std::string decoy = conf.path() + "/conf";
    tvunit::write_file(decoy, "kept");
    setenv("TIRVANE_CONF_DIR", dir.c_str(), 1);
    const std::string path = dir + "/log_tvp.txt";
    tvunit::write_file(path, "");
    ASSERT_EQ(truncate(path.c_str(), 10485760), 0);
    EXPECT_EQ(check_log_file_size(), 0);
    EXPECT_FALSE(tvunit::file_exists(path));
    EXPECT_TRUE(tvunit::file_exists(decoy));
    setenv("TIRVANE_CONF_DIR", conf.path().c_str(), 1);
    rmdir(dir.c_str());
}

namespace
{

int print_at(int level, FILE *stream, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int n = tvp_vprint_by_level(level, stream, fmt, args);
    va_end(args);
    return n;
}

} // namespace

TEST(ConsolePrinter, TagsGoToTheirStreamTextToTheGivenOne)
{
    struct TagCase {
        int level;
        const char *tag;
        bool on_stderr;
    };
    const TagCase cases[] = {{0, "[EMERG] ", true},  {3, "[ERROR] ", true},  {4, "[ WARN] ", false},
                             {6, "[ INFO] ", false}, {7, "[DEBUG] ", false}, {9, "[UKNOW] ", false},
                             {-1, "[UKNOW] ", false}};
    for (const auto &c : cases) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        char buf[64] = {0};
        FILE *mem = fmemopen(buf, sizeof(buf), "w");
        const int n = print_at(c.level, mem, "hello %d", 7);
        fclose(mem);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(n, 7);
        EXPECT_STREQ(buf, "hello 7");
        EXPECT_EQ(c.on_stderr ? err : out, c.tag) << c.level;
        EXPECT_EQ(c.on_stderr ? out : err, "") << c.level;
    }
}

TEST(NewString, CopiesAndAllocatesSeparately)
{
    char abc[] = "abc";
    char *copy = tvp_new_string(abc);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "abc");
    EXPECT_NE(copy, abc);
    free(copy);
    char *empty = tvp_new_string(nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    free(empty);
}
