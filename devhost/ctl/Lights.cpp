#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int Lights(Context& context, const Args& args) {
    if (args.size() != 1)
        return Usage("lights SERIAL|BSD");
    wire::PlistPtr response = Call(context, DriveRequest("lights", args[0]));
    if (!response)
        return 1;
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
