// tirvanectl list USER: the user's fingers, one per line.
#include "tirvanectl.h"

namespace tirvanectl
{

int run_list(Tirvane *proxy, const Args &args, const Options &options)
{
    (void)options;
    std::vector<std::string> fingers;
    int status = kExitOk;
    if (!list_fingers(proxy, args[0], &fingers, &status)) {
        return status;
    }
    for (const auto &finger : fingers) {
        print_line("%s", finger.c_str());
    }
    return kExitOk;
}

} // namespace tirvanectl
