#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int List(Context& context, const Args& args) {
    if (!args.empty())
        return Usage("list");
    return PrintEach(context, wire::NewRequest("list"), "drives", [](plist_t drive) {
        std::string serial, bsdName, names, separator;
        uint64_t watchers = 0;
        wire::GetString(drive, "serial", serial);
        wire::GetString(drive, "bsdName", bsdName);
        wire::GetUInt(drive, "watchers", watchers);
        for (plist_t volume : Items(drive, "volumes")) {
            names += separator + Text(volume);
            separator = ",";
        }
        std::printf("%s %s volumes=%s watchers=%llu\n", serial.c_str(), bsdName.c_str(),
                    names.c_str(), static_cast<unsigned long long>(watchers));
    });
}

} // namespace tvb::ctl
