// Small helpers shared by the unit tests.
#pragma once

#include <string>

namespace tvunit
{

// A fresh temporary directory, removed when the object goes; TIRVANE_CONF_DIR
// points at it meanwhile.
class TempConfDir
{
  public:
    TempConfDir();
    ~TempConfDir();
    const std::string &path() const
    {
        return path_;
    }
    std::string file(const std::string &name) const
    {
        return path_ + "/" + name;
    }

  private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
bool file_exists(const std::string &path);

} // namespace tvunit
