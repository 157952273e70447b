#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int Volumes(Context& context, const Args& args) {
    if (!args.empty())
        return Usage("volumes");
    return PrintEach(context, wire::NewRequest("volumes"), "volumes", [](plist_t volume) {
        std::string name, bsdName = "-";
        uint64_t total = 0, free = 0;
        wire::GetString(volume, "name", name);
        wire::GetString(volume, "bsdName", bsdName);
        wire::GetUInt(volume, "totalBytes", total);
        wire::GetUInt(volume, "freeBytes", free);
        std::printf("%s %s %llu %llu\n", bsdName.c_str(), name.c_str(),
                    static_cast<unsigned long long>(total), static_cast<unsigned long long>(free));
    });
}

} // namespace tvb::ctl
