#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

const VerbHelp kLightsHelp = {
    "lights",
    "lights DRIVE",
    "Shows the drive's capacity lights.",
    "One line: value=0..255|none shown=on|off|unset commands=N (LED commands received).\n",
};

int Lights(Context& context, const Args& args) {
    VerbParser parser(kLightsHelp, {}, {"DRIVE"});
    if (const int status = parser.Parse(args); status != VerbParser::kRun)
        return status;
    wire::LightsRequest request;
    request.drive = parser.Operands()[0];
    wire::LightsAnswer answer;
    if (!Call(context, request, answer))
        return context.failure;
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
