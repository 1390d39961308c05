// Puts the emulated module into its bootloader for the upgrade benchmark.
#include "emu_client.h"

#include <cstdlib>

extern "C" bool upgrade_bench_enter_bootloader(void)
{
    const char *socket = getenv("TIRVANE_EMU_SOCKET");
    if (socket == nullptr) {
        return false;
    }
    try {
        tirvane::emu::EmuClient emu(socket);
        if (emu.command("mode") != "OK boot") {
            emu.command("unplug");
            emu.command("plug boot");
        }
        return emu.wait_mode("boot", 5000);
    } catch (...) {
        return false;
    }
}
