// Fuzz target: the firmware description "kal_fw.conf" read by read_fw_version
// (with an "fp_driver.conf" holding UpgradeFlag=1, so that the reader goes on
// to the description).
//
// The input is the whole file. Checked: the image name and version texts are
// terminated within their buffers; after a successful read the name lies in the
// configuration directory and the version text is "acm32_btl_nuvex_pc_"
// followed by the number read_fw_version reports; after a failed read no image
// is known (both texts empty, number 0).
#include "fuzz_support.h"
#include "upgrade.h"

#include <cinttypes>
#include <cstdlib>

namespace
{

constexpr const char kVersionPrefix[] = "acm32_btl_nuvex_pc_";

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    tvp_fuzz::conf_dir();
    tvp_fuzz::write_conf_file(TVP_DRIVER_CONF_FILE_NAME, "[BASIC_PARAM]\nUpgradeFlag=1\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    tvp_fuzz::begin_run();
    tvp_fuzz::write_conf_file(TVP_FW_CONF_FILE_NAME, data, size);

    const int ret = read_fw_version();
    const char *name = upgrade_new_firmware_name();
    const char *version = upgrade_new_firmware_version();
    const uint32_t num = upgrade_new_firmware_version_num();
    if (!tvp_fuzz::terminated(name, UP_FW_NAME_SIZE)) {
        tvp_fuzz::fail("new_firmware_name not terminated within %d bytes", UP_FW_NAME_SIZE);
    }
    if (!tvp_fuzz::terminated(version, UP_FW_VERSION_SIZE)) {
        tvp_fuzz::fail("new_firmware_version not terminated within %d bytes", UP_FW_VERSION_SIZE);
    }
    if (ret != 0) {
        if (name[0] != '\0' || version[0] != '\0' || num != 0) {
            tvp_fuzz::fail("failed read (%d) leaves name \"%s\", version \"%s\", number %" PRIu32, ret, name,
                           version, num);
        }
        return 0;
    }
    if (size == 0 || size > UP_FW_DESC_MAX_SIZE) {
        tvp_fuzz::fail("a description of %zu bytes was accepted", size);
    }
    const std::string dir = tvp_fuzz::conf_dir() + "/";
    if (std::strncmp(name, dir.c_str(), dir.size()) != 0) {
        tvp_fuzz::fail("image name \"%s\" outside the configuration directory %s", name, dir.c_str());
    }
    if (std::strncmp(version, kVersionPrefix, sizeof(kVersionPrefix) - 1) != 0) {
        tvp_fuzz::fail("version text \"%s\" without its prefix", version);
    }
    const long long printed = std::strtoll(version + sizeof(kVersionPrefix) - 1, nullptr, 10);
    if (static_cast<uint32_t>(printed) != num) {
        tvp_fuzz::fail("version text \"%s\" but number %" PRIu32, version, num);
    }
    return 0;
}
