#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int Volumes(Context& context, const Args& args) {
    if (!args.empty())
        return Usage("volumes");
    wire::PlistPtr response = Call(context, NewRequest("volumes"));
    if (!response)
        return 1;
    plist_t volumes = wire::GetItem(response.get(), "volumes");
    for (uint32_t i = 0, n = volumes ? plist_array_get_size(volumes) : 0; i < n; ++i) {
        plist_t volume = plist_array_get_item(volumes, i);
        std::string name, bsdName = "-";
        uint64_t total = 0, free = 0;
        wire::GetString(volume, "name", name);
        wire::GetString(volume, "bsdName", bsdName);
        wire::GetUInt(volume, "totalBytes", total);
        wire::GetUInt(volume, "freeBytes", free);
        std::printf("%s %s %llu %llu\n", bsdName.c_str(), name.c_str(),
                    static_cast<unsigned long long>(total), static_cast<unsigned long long>(free));
    }
    return 0;
}

} // namespace tvb::ctl
