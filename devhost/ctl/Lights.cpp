#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int Lights(Context& context, const Args& args) {
    if (args.size() != 1)
        return Usage("lights SERIAL|BSD");
    wire::LightsRequest request;
    request.drive = args[0];
    wire::LightsAnswer answer;
    if (!Call(context, request, answer))
        return 1;
    const auto shown = static_cast<wire::LightsShown>(answer.shown);
    std::printf("value=%s shown=%s commands=%llu\n",
                answer.hasValue ? std::to_string(answer.value).c_str() : "none",
                shown == wire::LightsShown::On    ? "on"
                : shown == wire::LightsShown::Off ? "off"
                                                  : "unset",
                static_cast<unsigned long long>(answer.commands));
    return 0;
}

} // namespace tvb::ctl
