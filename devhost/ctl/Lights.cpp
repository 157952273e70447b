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
    wire::PlistPtr response = Call(context, DriveRequest("lights", parser.Operands()[0]));
    if (!response)
        return kExitFailure;
    uint64_t value = 0, commands = 0;
    std::string shown = "unset";
    const bool hasValue = wire::GetUInt(response.get(), "value", value);
    wire::GetString(response.get(), "shown", shown);
    wire::GetUInt(response.get(), "commands", commands);
    std::printf("value=%s shown=%s commands=%llu\n",
                hasValue ? std::to_string(value).c_str() : "none", shown.c_str(),
                static_cast<unsigned long long>(commands));
    return 0;
}

} // namespace tvb::ctl
