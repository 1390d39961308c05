// Common ground of the upgrade unit's tests: a fresh upgrade record, a scripted
// link, a captured log and a configuration directory of its own for every test.
#pragma once

#include "fake_libusb.h"
#include "test_env.h"
#include "upgrade.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace upgrade_test
{

using Bytes = fake_usb::Bytes;

// Replies of the bootloader, written out byte for byte.
namespace reply
{
inline const Bytes kEraseOk = {0xAA, 0xD3, 0x01, 0x00, 0x00, 0x2D, 0x55};
inline const Bytes kEraseFail = {0xAA, 0xD3, 0x01, 0x00, 0x01, 0x2C, 0x55};
inline const Bytes kEraseNoData = {0xAA, 0xD3, 0x00, 0x00, 0x2C, 0x55};
inline const Bytes kEraseBadBcc = {0xAA, 0xD3, 0x01, 0x00, 0x00, 0x2E, 0x55};
inline const Bytes kDownloadOk = {0xAA, 0xD7, 0x01, 0x00, 0x00, 0x29, 0x55};
inline const Bytes kDownloadFail = {0xAA, 0xD7, 0x01, 0x00, 0x01, 0x28, 0x55};
inline const Bytes kDownloadCrcOk = {0xAA, 0xD9, 0x01, 0x00, 0x00, 0x27, 0x55};
inline const Bytes kDownloadCrcFail = {0xAA, 0xD9, 0x01, 0x00, 0x01, 0x26, 0x55};
inline const Bytes kSecurityOk = {0xAA, 0xCC, 0x01, 0x00, 0x00, 0x32, 0x55};
inline const Bytes kSecurityFail = {0xAA, 0xCC, 0x01, 0x00, 0x01, 0x33, 0x55};
inline const Bytes kRunOk = {0xAA, 0xE3, 0x01, 0x00, 0x00, 0x1D, 0x55};
inline const Bytes kRunFail = {0xAA, 0xE3, 0x01, 0x00, 0x01, 0x1C, 0x55};
inline const Bytes kSerial = {0xAA, 0xA0, 0x08, 0x00, 'S', 'N', '1', '2', '3', '4', '5', '6', 0x4D, 0x55};
// CRC replies for the pattern images below (0x6A2E, 0x9DFC, 0xF202, 0x598E).
inline const Bytes kCrc1000 = {0xAA, 0xA6, 0x02, 0x00, 0x2E, 0x6A, 0x1F, 0x55};
inline const Bytes kCrc240 = {0xAA, 0xA6, 0x02, 0x00, 0xFC, 0x9D, 0x3A, 0x55};
inline const Bytes kCrc239 = {0xAA, 0xA6, 0x02, 0x00, 0x02, 0xF2, 0xAB, 0x55};
} // namespace reply

// Image byte i is (7 i + 3) mod 256.
inline Bytes pattern_image(size_t size)
{
    Bytes image(size);
    for (size_t i = 0; i < size; ++i) {
        image[i] = static_cast<uint8_t>((i * 7 + 3) & 0xFF);
    }
    return image;
}

class UpgradeTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        fake_usb::reset();
        reset_env();
        upgrade_param.udev = usb_dev{};
        upgrade_param.prot_packet_usb = UP_PROT_PACKET{};
        std::memset(upgrade_param.usb_recv_data, 0, sizeof(upgrade_param.usb_recv_data));
        std::memset(upgrade_param.dev_sn, 0, sizeof(upgrade_param.dev_sn));
        upgrade_param.crc_value_dev = 0;
        upgrade_param.crc_value_file = 0;
        upgrade_module_init();
        new_firmware_name[0] = '\0';
        new_firmware_version[0] = '\0';
        new_firmware_version_num = 0;

        std::string templ = (std::filesystem::temp_directory_path() / "tvp-upgrade-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        conf_dir_ = templ + "/";
        setenv("TIRVANE_CONF_DIR", conf_dir_.c_str(), 1);
    }

    void TearDown() override
    {
        if (upgrade_param.usb_handle != nullptr) {
            ADD_FAILURE() << "the bootloader link was left open";
            boot_close_dev();
        }
        unsetenv("TIRVANE_CONF_DIR");
        std::filesystem::remove_all(conf_dir_);
        fake_usb::reset();
    }

    std::string conf_path(const std::string &name) const
    {
        return conf_dir_ + name;
    }

    void write_file(const std::string &name, const Bytes &bytes) const
    {
        std::ofstream out(conf_path(name), std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    void write_text(const std::string &name, const std::string &text) const
    {
        write_file(name, Bytes(text.begin(), text.end()));
    }

    // Puts an image file in place and names it as the new firmware.
    void install_image(const Bytes &image)
    {
        write_file("ACM32FP_V1502.bin", image);
        std::snprintf(new_firmware_name, sizeof(new_firmware_name), "%s",
                      conf_path("ACM32FP_V1502.bin").c_str());
    }

    static void attach_bootloader()
    {
        fake_usb::state().devices.push_back({0x1234, 0xABCE});
    }

    // The link and every device list it took are given back.
    static void expect_link_released()
    {
        const fake_usb::State &s = fake_usb::state();
        EXPECT_EQ(upgrade_param.usb_handle, nullptr);
        EXPECT_EQ(s.handles_closed, s.handles_opened);
        EXPECT_EQ(s.lists_freed, s.lists_taken);
        EXPECT_EQ(s.lists_freed_without_unref, 0);
        EXPECT_EQ(upgrade_param.udev.devs, nullptr);
    }

    std::string conf_dir_;
};

} // namespace upgrade_test
