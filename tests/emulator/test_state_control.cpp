// What survives a restart (the state file), the trace file, and the control channel itself.
#include "emu_test_support.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace emutest;

namespace
{

const Bytes cmd_handshake{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x03, 0x35, 0x00, 0x39};
const Bytes cmd_reboot{0xef, 0x01, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x0b, 0xff,
                       0x3c, 0xc3, 0x69, 0x96, 0x51, 0x52, 0x58, 0x4b, 0x04, 0x4f};

std::string state_file()
{
    return scratch_dir() + "/module.state";
}
std::string trace_file()
{
    return scratch_dir() + "/module.trace";
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class State : public EmuTest
{
  protected:
    Env environment() const override
    {
        return {{"TIRVANE_EMU_STATE", state_file()}};
    }
    void SetUp() override
    {
        std::filesystem::remove(state_file());
        EmuTest::SetUp();
    }
};

class TraceFile : public EmuTest
{
  protected:
    Env environment() const override
    {
        return {{"TIRVANE_EMU_TRACE", trace_file()}};
    }
    void SetUp() override
    {
        std::filesystem::remove(trace_file());
        EmuTest::SetUp();
    }
};

class Control : public EmuTest
{
};

// Runs the command-line tool; returns its exit status and standard output.
std::pair<int, std::string> run_cli(const std::string &args)
{
    std::string out = scratch_dir() + "/cli.out";
    std::string cmd = std::string(TIRVANE_EMU_CLI) + " " + args + " > " + out + " 2>/dev/null";
    int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out)};
}

} // namespace

TEST_F(State, ModuleIsFoundAsItWasLeftAfterARestart)
{
    emu.store(90, "thumb");
    emu.store(7, "index");
    emu.set_version(1600);
    auto *h = open();
    ASSERT_EQ(exchange(h, cmd_reboot, 12).size(), 12u);
    ASSERT_TRUE(emu.wait_mode("boot", 2000));

    std::string saved = read_file(state_file());
    EXPECT_NE(saved.find("template 90 thumb"), std::string::npos) << saved;
    EXPECT_NE(saved.find("bootloader 1"), std::string::npos) << saved;
    // Saved by rename: no temporary file is left beside it.
    for (const auto &e : std::filesystem::directory_iterator(scratch_dir()))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();

    emu.reset(); // a new process reading the same state file
    EXPECT_EQ(emu.mode(), "boot");
    EXPECT_EQ(emu.version().first, 1600u);
    EXPECT_EQ(emu.templates(), (std::map<unsigned, std::string>{{7, "index"}, {90, "thumb"}}));
}

TEST_F(State, UnreadableStateFileIsReportedAndDefaultsApply)
{
    {
        std::ofstream out(state_file());
        out << "version banana\n";
    }
    emu.reset();
    EXPECT_EQ(emu.version().first, 1500u);
    auto errors = emu.errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("state file"), std::string::npos) << errors[0];
}

TEST_F(TraceFile, TraceLinesAreAppendedToTheFile)
{
    auto *h = open();
    emu.clear_trace();
    ASSERT_EQ(exchange(h, cmd_handshake, 12).size(), 12u);
    auto lines = emu.trace();
    std::string expected;
    for (const auto &l : lines)
        expected += l + "\n";
    std::string file = read_file(trace_file());
    ASSERT_GE(file.size(), expected.size());
    EXPECT_EQ(file.substr(file.size() - expected.size()), expected);
    EXPECT_EQ(lines.front(), "OUT 01 55 53 42 43 00 0c 00 00");
}

TEST_F(Control, RepliesFollowTheLineProtocol)
{
    struct Case {
        const char *line;
        const char *reply;
    };
    const Case cases[] = {
        {"ping", "OK"},
        {"mode", "OK app"},
        {"pending", "OK none"},
        {"version", "OK 1500 acm32_btl_nuvex_pc_001500"},
        {"set-version 1000000", "ERR usage: set-version N (0 to 999999)"},
        {"set-version 12", "OK"},
        {"version", "OK 12 acm32_btl_nuvex_pc_000012"},
        {"flash", "OK size=0 crc=0000 stored=0"},
        {"store 256 thumb", "ERR slot out of range (0 to 255)"},
        {"store 5 thumb", "OK"},
        {"store 3 index", "OK"},
        {"templates", "OK 2\n3 index\n5 thumb"},
        {"erase 5", "OK"},
        {"templates", "OK 1\n3 index"},
        {"touch thumb ok 0", "ERR no operation waiting for a touch"},
        {"touch thumb sideways",
         "ERR usage: touch FINGER [ok|quality|area|repeated|exists|enrolfail|capturefail] "
         "[WAIT_MS]"},
        {"plug", "ERR already plugged"},
        {"unplug", "OK"},
        {"unplug", "ERR not plugged"},
        {"wait-mode app 50", "ERR timeout, mode is absent"},
        {"plug boot", "OK"},
        {"mode", "OK boot"},
        {"boot-fault sometimes", "ERR usage: boot-fault none|crc|silence|split|unplug-after N"},
        {"fail-next zz 1", "ERR usage: fail-next CMDHEX CODE"},
        {"silence maybe", "ERR usage: silence on|off"},
        {"frobnicate", "ERR unknown command or wrong arguments: frobnicate (try help)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(emu.command(c.line), c.reply) << c.line;
}

TEST_F(Control, OneConnectionCarriesSeveralCommands)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path().c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    std::string out = "ping\nstore 1 a\ntemplates\n";
    ASSERT_EQ(::write(fd, out.data(), out.size()), static_cast<ssize_t>(out.size()));
    std::string got;
    char buf[256];
    while (got != "OK\nOK\nOK 1\n1 a\n") {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    EXPECT_EQ(got, "OK\nOK\nOK 1\n1 a\n");
}

TEST_F(Control, StatsCountOpensClosesAndTransfers)
{
    auto *a = open();
    auto *b = open();
    forget(a);
    ASSERT_EQ(exchange(b, cmd_handshake, 12).size(), 12u);
    auto s = emu.stats();
    EXPECT_EQ(s.opens, 2u);
    EXPECT_EQ(s.closes, 1u);
    EXPECT_EQ(s.open, 1u);
    EXPECT_EQ(s.writes, 3u); // two wrappers and the frame
    EXPECT_EQ(s.reads, 3u);  // two statuses and the answer
}

TEST_F(Control, CommandLineToolExitStatus)
{
    struct Case {
        std::string args;
        int status;
        const char *output;
    };
    const Case cases[] = {
        {"--socket " + socket_path() + " ping", 0, "OK\n"},
        {"--socket " + socket_path() + " store 4 little", 0, "OK\n"},
        {"--socket " + socket_path() + " templates", 0, "OK 1\n4 little\n"},
        {"--socket " + socket_path() + " frobnicate", 1,
         "ERR unknown command or wrong arguments: frobnicate (try help)\n"},
        {"--wait 100 --socket " + scratch_dir() + "/nobody.sock ping", 2, ""},
        {"mode", 0, "OK app\n"}, // socket from TIRVANE_EMU_SOCKET
        {"stall-out data", 0, "OK\n"},
        {"stall-out off", 0, "OK\n"},
        {"halt 02", 1, "ERR usage: halt 01|81|04|84|off\n"},
        {"cut-next 3", 0, "OK\n"},
    };
    for (const auto &c : cases) {
        auto [status, output] = run_cli(c.args);
        EXPECT_EQ(status, c.status) << c.args;
        EXPECT_EQ(output, c.output) << c.args;
    }
}

TEST_F(Control, ClientRetriesUntilTheSocketAppears)
{
    std::string later = scratch_dir() + "/later.sock";
    tirvane::emu::EmuClient client(later, std::chrono::milliseconds(3000));
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    std::thread server([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", later.c_str());
        ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::listen(fd, 1);
        int c = ::accept(fd, nullptr, nullptr);
        char buf[64];
        (void)!::read(c, buf, sizeof buf);
        (void)!::write(c, "OK pong\n", 8);
        ::close(c);
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(client.command("ping"), "OK pong");
    EXPECT_GE(ms_since(t0), 250);
    server.join();
    ::close(fd);
}
