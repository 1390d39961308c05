// The firmware description file, one complete upgrade attempt over the bootloader
// link, and the upgrade-under-way state.
#include "upgrade.h"

#include "common.h"
#include "tirvane_common.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

UPGRADE_PARAM upgrade_param{};

char new_firmware_name[UP_FW_NAME_SIZE] = "";
char new_firmware_version[UP_FW_VERSION_SIZE] = "";
uint32_t new_firmware_version_num = 0;

int (*upgrade_write_hold)(void) = nullptr;

namespace
{

struct FileClose {
    void operator()(FILE *file) const
    {
        std::fclose(file);
    }
};
using File = std::unique_ptr<FILE, FileClose>;

// Closes the bootloader link on every way out of an attempt once it was opened.
struct LinkCloser {
    LinkCloser() = default;
    LinkCloser(const LinkCloser &) = delete;
    LinkCloser &operator=(const LinkCloser &) = delete;
    ~LinkCloser()
    {
        boot_close_dev();
    }
};

// The write hold of one attempt, let go on every way out of the write.
class WriteHold
{
  public:
    WriteHold() : fd_(upgrade_write_hold != nullptr ? upgrade_write_hold() : -1) {}
    WriteHold(const WriteHold &) = delete;
    WriteHold &operator=(const WriteHold &) = delete;
    ~WriteHold()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }

  private:
    int fd_;
};

int32_t open_file_size(FILE *file)
{
    struct stat st = {};
    if (fstat(fileno(file), &st) != 0 || st.st_size < 0) {
        return 0;
    }
    return st.st_size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(st.st_size);
}

bool image_size_ok(int32_t size)
{
    return size > 0 && size <= UP_FW_IMAGE_MAX_SIZE;
}

// Writes the image block by block, each block confirmed before the next goes out.
int download_image(const uint8_t *image, uint32_t size)
{
    uint32_t addr = 0;
    for (; addr + UP_DOWNLOAD_BLOCK_SIZE <= size; addr += UP_DOWNLOAD_BLOCK_SIZE) {
        if (downloadCodeToEFlash(addr, image + addr, UP_DOWNLOAD_BLOCK_SIZE) != 0) {
            return -1;
        }
    }
    if (addr < size) {
        if (downloadCodeToEFlash(addr, image + addr, static_cast<uint16_t>(size - addr)) != 0) {
            return -1;
        }
    }
    return 0;
}

// Erase, write, verify and seal the image in the bootloader. A failure is logged
// and ends the sequence: nothing later is sent.
int write_image(const uint8_t *image, uint32_t size)
{
    if (eraseEFlash() != 0) {
        TVP_LOG(ERR_LOG_GRADE, "eraseEFlash failed!!!\n");
        return -1;
    }
    if (download_image(image, size) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "downloadCodeToEFlash: failed!!!\n");
        return -1;
    }
    if (readCRC(0, size) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "readCRC: failed!!!\n");
        return -1;
    }
    if (upgrade_param.crc_value_dev != upgrade_param.crc_value_file) {
        TVP_LOG(DBG_LOG_GRADE, "crc of the device 0x%04x, crc of the image 0x%04x\n",
                upgrade_param.crc_value_dev, upgrade_param.crc_value_file);
        TVP_LOG(ERR_LOG_GRADE, "check CRC: error!!!\n");
        return -1;
    }
    if (downloadCRCValue(size, upgrade_param.crc_value_file, 0) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "downloadCRC: failed!!!\n");
        return -1;
    }
    if (securityCode() != 0) {
        TVP_LOG(ERR_LOG_GRADE, "securityCode failed!!!\n");
        return -1;
    }
    return 0;
}

} // namespace

int upgrade_module_init(void)
{
    upgrade_param.upgrade_state = 0;
    upgrade_param.udev.vid = UP_BOOT_VID;
    upgrade_param.udev.pid = UP_BOOT_PID;
    upgrade_param.usb_recv_cnt = 0;
    upgrade_param.usb_handle = nullptr;
    boot_link_forget_replies();
    return 0;
}

int read_fw_version(void)
{
    // Until a description has been read completely no image is known.
    new_firmware_name[0] = '\0';
    new_firmware_version[0] = '\0';
    new_firmware_version_num = 0;

    if (read_fw_upgrade_flag() != 0) {
        return -1;
    }
    const std::string path = tvp_conf_file(TVP_FW_CONF_FILE_NAME);
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return -1;
    }
    const int32_t file_size = get_file_size(path.c_str());
    if (file_size <= 0 || file_size > UP_FW_DESC_MAX_SIZE) {
        TVP_LOG(ERR_LOG_GRADE, "%s file_size = %d, error!\n", path.c_str(), file_size);
        return -1;
    }
    char text[UP_FW_DESC_MAX_SIZE + 1] = {};
    const size_t read_size = std::fread(text, 1, static_cast<size_t>(file_size), file.get());
    if (read_size < static_cast<size_t>(file_size)) {
        TVP_LOG(ERR_LOG_GRADE, "file_size = %d, read_size = %d, read file failed!\n", file_size,
                static_cast<int>(read_size));
        return -1;
    }
    // The last byte is the line end; a CR before it belongs to a CRLF line end.
    text[file_size - 1] = '\0';
    if (file_size >= 2 && text[file_size - 2] == '\r') {
        text[file_size - 2] = '\0';
    }

    std::snprintf(new_firmware_name, sizeof(new_firmware_name), "%s%s.bin", tvp_conf_dir().c_str(), text);
    TVP_LOG(DBG_LOG_GRADE, "new_firmware_name = %s\n", new_firmware_name);

    // The number after "ACM32FP_V": plain decimal digits only, so a sign or an
    // overflowing number never turns into a huge unsigned version.
    int fw_version = 0;
    static constexpr char kPrefix[] = "ACM32FP_V";
    if (std::strncmp(text, kPrefix, sizeof(kPrefix) - 1) == 0) {
        long long value = 0;
        for (const char *p = text + sizeof(kPrefix) - 1; *p >= '0' && *p <= '9' && value <= INT32_MAX; ++p) {
            value = value * 10 + (*p - '0');
        }
        fw_version = value <= INT32_MAX ? static_cast<int>(value) : 0;
    }
    TVP_LOG(DBG_LOG_GRADE, "fw_version = %d\n", fw_version);

    std::snprintf(new_firmware_version, sizeof(new_firmware_version), "acm32_btl_nuvex_pc_%06d", fw_version);
    TVP_LOG(DBG_LOG_GRADE, "new_firmware_version = %s\n", new_firmware_version);

    new_firmware_version_num = static_cast<uint32_t>(fw_version);
    TVP_LOG(DBG_LOG_GRADE, "new_firmware_version_num = %d\n", static_cast<int>(new_firmware_version_num));
    return 0;
}

const char *upgrade_new_firmware_name(void)
{
    return new_firmware_name;
}

const char *upgrade_new_firmware_version(void)
{
    return new_firmware_version;
}

uint32_t upgrade_new_firmware_version_num(void)
{
    return new_firmware_version_num;
}

int32_t get_file_size(const char *filename)
{
    if (filename == nullptr || filename[0] == '\0') {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!\n");
        return 0;
    }
    struct stat st = {};
    if (stat(filename, &st) != 0 || st.st_size < 0) {
        return 0;
    }
    return st.st_size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(st.st_size);
}

int check_file_exit(void)
{
    const int32_t file_size = get_file_size(new_firmware_name);
    if (image_size_ok(file_size)) {
        return 0;
    }
    TVP_LOG(ERR_LOG_GRADE, "%s file_size = %d, error!\n", new_firmware_name, file_size);
    boot_close_dev();
    return -1;
}

int upgrade_and_run(void)
{
    if (boot_open_dev() != 0) {
        TVP_LOG(DBG_LOG_GRADE, "open_dev failed!!!\n");
        return -1;
    }
    LinkCloser link;

    File file(std::fopen(new_firmware_name, "rb"));
    if (!file) {
        TVP_LOG(ERR_LOG_GRADE, "%s open failed!\n", new_firmware_name);
        return -2;
    }
    // The size is checked before anything reaches the bootloader: an empty or
    // oversized image never causes an erase.
    const int32_t file_size = open_file_size(file.get());
    if (!image_size_ok(file_size)) {
        TVP_LOG(ERR_LOG_GRADE, "%s file_size = %d, error!\n", new_firmware_name, file_size);
        return -1;
    }
    const uint32_t size = static_cast<uint32_t>(file_size);
    std::vector<uint8_t> image(size, 0);
    const size_t read_size = std::fread(image.data(), 1, size, file.get());
    if (read_size < size) {
        TVP_LOG(ERR_LOG_GRADE, "file_size = %d, read_size = %d, read file failed!\n", file_size,
                static_cast<int>(read_size));
        return -1;
    }

    set_upgrade_state(1);
    upgrade_param.crc_value_file = CRC16_X25(image.data(), size);
    upgrade_param.crc_value_dev = 0;

    {
        // Until the module runs the new image: a sleep in between leaves it with
        // a half-written flash or still in its bootloader.
        const WriteHold hold;
        // After a failure here the flash is partly written and the state stays 1;
        // the next attempt starts again with the erase.
        if (write_image(image.data(), size) != 0) {
            return -1;
        }
        TVP_LOG(LOG_LOG_GRADE, "downloadCodeToEFlash: success.\n");
        if (runAPP() == 0) {
            TVP_LOG(LOG_LOG_GRADE, "runAPP: success.\n");
        }
    }
    change_fw_upgrade_flag();
    set_upgrade_state(0);
    return 0;
}

int set_upgrade_state(uint8_t state)
{
    TVP_LOG(LOG_LOG_GRADE, "state %d\n", state);
    upgrade_param.upgrade_state = state;
    return 0;
}

uint8_t get_upgrade_state(void)
{
    return upgrade_param.upgrade_state;
}
