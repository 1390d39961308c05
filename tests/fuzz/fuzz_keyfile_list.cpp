// Fuzz target: the fingerprint list file "tvplist.conf" as the service reads it
// at start-up: tvp_get_fprint_list, then tvp_param_config (group DeviceParam),
// which may write the file back.
//
// The input is the whole file. Checked: every loaded text field is terminated
// within its 100 bytes and is valid UTF-8 (the store cuts on a character
// boundary so that the text stays valid on the bus), enable is 0 or 1; and
// when tvp_param_config wrote the file back, reading the list again gives the
// same entries (the write-back must not change the fingers).
#include "fuzz_support.h"
#include "tirvane_common.h"

#include <glib.h>
#include <sys/stat.h>

namespace
{

struct Device {
    tvp_dev *dev;
    Device()
    {
        dev = tvp_dev_new();
        if (dev == nullptr) {
            tvp_fuzz::fail("tvp_dev_new failed");
        }
        dev->dev_priv = new driver_info{};
        dev->dev_num.store(1);
        dev->ops_free = tvp_ops_free;
    }
    ~Device()
    {
        tvp_dev_free(dev);
    }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;
    driver_info *priv() const
    {
        return tvp_priv(dev);
    }
};

void check_text(const char *field, int index, const char *name)
{
    if (!tvp_fuzz::terminated(field, TVP_TEXT_FIELD_SIZE)) {
        tvp_fuzz::fail("UserFprint-%d %s not terminated within %d bytes", index, name, TVP_TEXT_FIELD_SIZE);
    }
    if (!g_utf8_validate(field, -1, nullptr)) {
        tvp_fuzz::fail("UserFprint-%d %s is not valid UTF-8", index, name);
    }
}

void check_list(const driver_info *priv)
{
    for (int i = 0; i < TVP_FPRINT_LIST_SIZE; ++i) {
        const fprint_info &e = priv->fprint_list[i];
        if (e.enable != 0 && e.enable != 1) {
            tvp_fuzz::fail("UserFprint-%d enable = %d", i + 1, e.enable);
        }
        check_text(e.user_id, i + 1, "user_id");
        check_text(e.fprint_name, i + 1, "fprint_name");
    }
}

bool same_entry(const fprint_info &a, const fprint_info &b)
{
    return a.enable == b.enable && a.fprint_id == b.fprint_id &&
           std::memcmp(a.user_id, b.user_id, sizeof(a.user_id)) == 0 &&
           std::memcmp(a.fprint_name, b.fprint_name, sizeof(a.fprint_name)) == 0;
}

struct FileStamp {
    ino_t ino = 0;
    off_t size = -1;
    bool operator==(const FileStamp &) const = default;
};

FileStamp stamp(const std::string &path)
{
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0) {
        return {};
    }
    return {st.st_ino, st.st_size};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    tvp_fuzz::conf_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    tvp_fuzz::begin_run();
    tvp_fuzz::write_conf_file(TVP_LIST_FILE_NAME, data, size);
    const std::string path = tvp_fuzz::conf_path(TVP_LIST_FILE_NAME);

    Device first;
    const int listed = tvp_get_fprint_list(first.dev);
    check_list(first.priv());

    const FileStamp before = stamp(path);
    tvp_param_config(first.dev);
    if (first.dev->enable != 0 && first.dev->enable != 1) {
        tvp_fuzz::fail("DeviceParam enable = %d", first.dev->enable);
    }
    const FileStamp after = stamp(path);

    // A save replaces the file (new inode): read the list again from what was written.
    if (listed == 0 && !(before == after)) {
        Device second;
        if (tvp_get_fprint_list(second.dev) != 0) {
            tvp_fuzz::fail("the list file written back by tvp_param_config cannot be read");
        }
        check_list(second.priv());
        for (int i = 0; i < TVP_FPRINT_LIST_SIZE; ++i) {
            if (!same_entry(first.priv()->fprint_list[i], second.priv()->fprint_list[i])) {
                tvp_fuzz::fail("UserFprint-%d changed when tvp_param_config wrote the list file back", i + 1);
            }
        }
    }
    set_printf_log_grade(tvp_fuzz::configured_log_grade());
    return 0;
}
