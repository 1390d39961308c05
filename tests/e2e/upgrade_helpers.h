// Firmware-upgrade pieces shared by the end-to-end and fault-injection tests:
// an image the emulated bootloader accepts, and what the module and the driver
// configuration say afterwards.
#pragma once

#include "bus_fixture.h"

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>

namespace tvtest
{

// A firmware image of `size` bytes carrying its version text inside, as the
// module's build embeds it.
inline std::string image_with_version(int version, size_t size = 1000)
{
    std::string image(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        image[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    }
    char text[32];
    snprintf(text, sizeof(text), "acm32_btl_nuvex_pc_%06d", version);
    image.replace(size / 2, strlen(text), text);
    return image;
}

// The firmware version the emulated module runs; -1 when it does not say.
inline int module_version(ServiceHarness &h)
{
    int num = -1;
    sscanf(h.emu().command("version").c_str(), "OK %d", &num);
    return num;
}

// UpgradeFlag of the driver configuration; -100 when absent.
inline int upgrade_flag(ServiceHarness &h)
{
    std::smatch m;
    const std::string text = h.read_file("fp_driver.conf");
    if (std::regex_search(text, m, std::regex("UpgradeFlag=(-?\\d+)"))) {
        return std::stoi(m[1]);
    }
    return -100;
}

} // namespace tvtest
