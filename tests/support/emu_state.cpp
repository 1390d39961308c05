#include "emu_state.h"

#include "emu_trace.h"
#include "emu_util.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace tirvane::emu
{

std::string version_text(unsigned version)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "acm32_btl_nuvex_pc_%06u", version % (max_version + 1));
    return buf;
}

std::optional<ModuleState> load_state(const std::string &path, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    ModuleState s;
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        auto w = split_words(line);
        if (w.empty() || w[0][0] == '#')
            continue;
        auto bad = [&] {
            error = path + ":" + std::to_string(lineno) + ": cannot read '" + line + "'";
            return std::nullopt;
        };
        if (w[0] == "version" && w.size() == 2) {
            auto v = parse_uint(w[1]);
            if (!v || *v > max_version)
                return bad();
            s.version = static_cast<unsigned>(*v);
        } else if (w[0] == "bootloader" && w.size() == 2 && (w[1] == "0" || w[1] == "1")) {
            s.in_bootloader = w[1] == "1";
        } else if (w[0] == "flash-size" && w.size() == 2) {
            auto v = parse_uint(w[1]);
            if (!v || *v > (2u << 20))
                return bad();
            s.flash.size = static_cast<uint32_t>(*v);
        } else if (w[0] == "flash-crc" && w.size() == 2) {
            auto v = parse_uint(w[1], 16);
            if (!v || *v > 0xffff)
                return bad();
            s.flash.crc = static_cast<uint16_t>(*v);
        } else if (w[0] == "flash-crc-stored" && w.size() == 2 && (w[1] == "0" || w[1] == "1")) {
            s.flash.crc_stored = w[1] == "1";
        } else if (w[0] == "flash-image-version" && w.size() == 2) {
            if (w[1] == "-") {
                s.flash.image_version.reset();
            } else {
                auto v = parse_uint(w[1]);
                if (!v || *v > max_version)
                    return bad();
                s.flash.image_version = static_cast<unsigned>(*v);
            }
        } else if (w[0] == "template" && w.size() == 3) {
            auto slot = parse_uint(w[1]);
            if (!slot || *slot >= library_slots)
                return bad();
            s.templates[static_cast<unsigned>(*slot)] = w[2];
        } else {
            return bad();
        }
    }
    return s;
}

bool save_state(const std::string &path, const ModuleState &s)
{
    std::ostringstream out;
    out << "# tirvane module emulator state\n";
    out << "version " << s.version << "\n";
    out << "bootloader " << (s.in_bootloader ? 1 : 0) << "\n";
    out << "flash-size " << s.flash.size << "\n";
    char crc[8];
    std::snprintf(crc, sizeof crc, "%04x", s.flash.crc);
    out << "flash-crc " << crc << "\n";
    out << "flash-crc-stored " << (s.flash.crc_stored ? 1 : 0) << "\n";
    out << "flash-image-version ";
    if (s.flash.image_version)
        out << *s.flash.image_version << "\n";
    else
        out << "-\n";
    for (const auto &[slot, finger] : s.templates)
        out << "template " << slot << " " << finger << "\n";

    std::string tmp = path + ".tmp." + std::to_string(::getpid());
    {
        UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd || !write_all(fd.get(), out.str())) {
            ::unlink(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace tirvane::emu
