#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int Volumes(Context& context, const Args& args) {
    if (!args.empty())
        return Usage("volumes");
    wire::VolumesAnswer answer;
    if (!Call(context, wire::VolumesRequest{}, answer))
        return 1;
    for (const wire::VolumeInfo& volume : answer.volumes)
        std::printf("%s %s %llu %llu\n", volume.bsdName.empty() ? "-" : volume.bsdName.c_str(),
                    volume.name.c_str(), static_cast<unsigned long long>(volume.totalBytes),
                    static_cast<unsigned long long>(volume.freeBytes));
    return 0;
}

} // namespace tvb::ctl
