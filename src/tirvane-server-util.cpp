// Small helpers of the service core: file locations and string copies.
#include "common.h"
#include "tirvane-server.h"

#include <cstdlib>
#include <cstring>

namespace
{
constexpr std::string_view kDefaultConfDir = "/opt/apps/nuvex.kal.Tirvane/files/conf/";
constexpr std::string_view kSysfsPrefix = "/sys";
} // namespace

std::string tvp_conf_dir()
{
    const char *env = getenv("TIRVANE_CONF_DIR");
    if (env == nullptr || *env == '\0') {
        return std::string(kDefaultConfDir);
    }
    std::string dir(env);
    if (dir.back() != '/') {
        dir.push_back('/');
    }
    return dir;
}

std::string tvp_conf_file(std::string_view name)
{
    std::string path = tvp_conf_dir();
    path.append(name);
    return path;
}

std::string tvp_sysfs_path(std::string_view sys_path)
{
    const char *root = getenv("TIRVANE_SYSFS_ROOT");
    if (root == nullptr || *root == '\0' || sys_path.substr(0, kSysfsPrefix.size()) != kSysfsPrefix) {
        return std::string(sys_path);
    }
    std::string path(root);
    path.append(sys_path.substr(kSysfsPrefix.size()));
    return path;
}

char *tvp_new_string(char *old_str)
{
    const size_t len = (old_str != nullptr) ? strlen(old_str) : 0;
    char *copy = static_cast<char *>(calloc(len + 1, 1));
    if (copy != nullptr && old_str != nullptr) {
        memcpy(copy, old_str, len + 1);
    }
    return copy;
}

int tvp_set_dev_state(unsigned char state)
{
    (void)state;
    return 0;
}
