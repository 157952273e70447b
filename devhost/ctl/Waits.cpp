#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int Waits(Context& context, const Args& args) {
    const bool clear = args.size() == 1 && args[0] == "--clear";
    if (!args.empty() && !clear)
        return Usage("waits [--clear]");
    wire::PlistPtr request = NewRequest("waits");
    wire::SetBool(request.get(), "clear", clear);
    wire::PlistPtr response = Call(context, std::move(request));
    if (!response)
        return 1;
    if (clear)
        return 0;
    plist_t waits = wire::GetItem(response.get(), "waits");
    for (uint32_t i = 0, n = waits ? plist_array_get_size(waits) : 0; i < n; ++i) {
        plist_t wait = plist_array_get_item(waits, i);
        std::string className, name, outcome;
        wire::GetString(wait, "class", className);
        wire::GetString(wait, "name", name);
        wire::GetString(wait, "outcome", outcome);
        std::printf("%s %s %s\n", className.c_str(), name.c_str(), outcome.c_str());
    }
    return 0;
}

} // namespace tvb::ctl
