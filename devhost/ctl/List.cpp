#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int List(Context& context, const Args& args) {
    if (!args.empty())
        return Usage("list");
    wire::ListAnswer answer;
    if (!Call(context, wire::ListRequest{}, answer))
        return 1;
    for (const wire::DriveInfo& drive : answer.drives) {
        std::string names, separator;
        for (const std::string& volume : drive.volumes) {
            names += separator + volume;
            separator = ",";
        }
        std::printf("%s %s volumes=%s watchers=%llu\n", drive.serial.c_str(),
                    drive.bsdName.c_str(), names.c_str(),
                    static_cast<unsigned long long>(drive.watchers));
    }
    return 0;
}

} // namespace tvb::ctl
