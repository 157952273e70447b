#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int List(Context& context, const Args& args) {
    if (!args.empty())
        return Usage("list");
    wire::PlistPtr response = Call(context, NewRequest("list"));
    if (!response)
        return 1;
    plist_t drives = wire::GetItem(response.get(), "drives");
    const uint32_t count = drives ? plist_array_get_size(drives) : 0;
    for (uint32_t i = 0; i < count; ++i) {
        plist_t drive = plist_array_get_item(drives, i);
        std::string serial, bsdName, names;
        uint64_t watchers = 0;
        wire::GetString(drive, "serial", serial);
        wire::GetString(drive, "bsdName", bsdName);
        wire::GetUInt(drive, "watchers", watchers);
        plist_t volumes = wire::GetItem(drive, "volumes");
        for (uint32_t v = 0, n = volumes ? plist_array_get_size(volumes) : 0; v < n; ++v) {
            const char* name = plist_get_string_ptr(plist_array_get_item(volumes, v), nullptr);
            names += (v ? "," : "") + std::string(name ? name : "");
        }
        std::printf("%s %s volumes=%s watchers=%llu\n", serial.c_str(), bsdName.c_str(),
                    names.c_str(), static_cast<unsigned long long>(watchers));
    }
    return 0;
}

} // namespace tvb::ctl
