#include "unit_support.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace tvunit
{

TempConfDir::TempConfDir()
{
    char tmpl[] = "/tmp/tirvane-unit-XXXXXX";
    path_ = mkdtemp(tmpl);
    setenv("TIRVANE_CONF_DIR", path_.c_str(), 1);
}

TempConfDir::~TempConfDir()
{
    unsetenv("TIRVANE_CONF_DIR");
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
        // Leftovers in /tmp are harmless.
    }
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool file_exists(const std::string &path)
{
    struct stat st {
    };
    return stat(path.c_str(), &st) == 0;
}

} // namespace tvunit
