// Control channel of the emulator: a Unix stream socket taking one command per line and answering
// "OK[ data]" / "ERR reason" (multi-line answers: "OK <n>" and n lines). Each connection is served
// by a thread of its own, so a command that waits (touch, wait-mode) blocks only its own client.
#pragma once

#include "emu_trace.h"

#include <memory>
#include <string>

namespace tirvane::emu
{

class Emulator;

class ControlServer
{
  public:
    // Listens on `path` (a stale socket file there is replaced). nullptr and `error` on failure.
    static std::unique_ptr<ControlServer> start(const std::string &path, Emulator &emulator,
                                                std::string &error);

    ControlServer(const ControlServer &) = delete;
    ControlServer &operator=(const ControlServer &) = delete;
    ~ControlServer();

  private:
    explicit ControlServer(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_; // the listening socket, served by a detached thread for the life of the process
};

} // namespace tirvane::emu
