#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int Waits(Context& context, const Args& args) {
    const bool clear = args.size() == 1 && args[0] == "--clear";
    if (!args.empty() && !clear)
        return Usage("waits [--clear]");
    wire::PlistPtr request = wire::NewRequest("waits");
    wire::SetBool(request.get(), "clear", clear);
    if (clear)
        return Send(context, std::move(request));
    return PrintEach(context, std::move(request), "waits", [](plist_t wait) {
        std::string className, name, outcome;
        wire::GetString(wait, "class", className);
        wire::GetString(wait, "name", name);
        wire::GetString(wait, "outcome", outcome);
        std::printf("%s %s %s\n", className.c_str(), name.c_str(), outcome.c_str());
    });
}

} // namespace tvb::ctl
