// tirvane-emu [--socket PATH] [--wait MS] COMMAND [ARGS...]
// Sends one command to the module emulator's control socket and prints the reply. Connecting is
// retried for MS milliseconds (default 2000), since the daemon may still be starting.
// Exit status: 0 on OK, 1 on ERR, 2 when the socket cannot be reached.
#include "emu_client.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

int main(int argc, char **argv)
{
    std::string socket_path;
    if (const char *env = std::getenv("TIRVANE_EMU_SOCKET"))
        socket_path = env;
    long wait_ms = 2000;
    int i = 1;
    while (i < argc && (std::strcmp(argv[i], "--socket") == 0 || std::strcmp(argv[i], "--wait") == 0)) {
        if (i + 1 >= argc) {
            std::cerr << "tirvane-emu: " << argv[i] << " needs a value\n";
            return 2;
        }
        if (argv[i][2] == 's') {
            socket_path = argv[i + 1];
        } else {
            char *end = nullptr;
            wait_ms = std::strtol(argv[i + 1], &end, 10);
            if (end == argv[i + 1] || *end != '\0' || wait_ms < 0) {
                std::cerr << "tirvane-emu: --wait needs milliseconds\n";
                return 2;
            }
        }
        i += 2;
    }
    if (i >= argc || std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
        std::cerr
            << "usage: tirvane-emu [--socket PATH] COMMAND [ARGS...]   (tirvane-emu help lists commands)\n";
        return i >= argc ? 2 : 0;
    }
    if (socket_path.empty()) {
        std::cerr << "tirvane-emu: no socket (use --socket PATH or set TIRVANE_EMU_SOCKET)\n";
        return 2;
    }
    std::string line;
    for (; i < argc; ++i) {
        if (!line.empty())
            line += ' ';
        line += argv[i];
    }
    try {
        tirvane::emu::EmuClient client(socket_path, std::chrono::milliseconds(wait_ms));
        std::string reply = client.command(line);
        std::cout << reply << "\n";
        return reply.rfind("OK", 0) == 0 ? 0 : 1;
    } catch (const tirvane::emu::EmuConnectionError &e) {
        std::cerr << "tirvane-emu: " << e.what() << "\n";
        return 2;
    } catch (const std::exception &e) {
        std::cerr << "tirvane-emu: " << e.what() << "\n";
        return 2;
    }
}
