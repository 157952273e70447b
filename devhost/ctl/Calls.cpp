#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int Calls(Context& context, const Args& args) {
    bool clear = false;
    std::string drive;
    for (const std::string& arg : args) {
        if (arg == "--clear")
            clear = true;
        else if (drive.empty())
            drive = arg;
        else
            return Usage("calls [--clear] SERIAL|BSD");
    }
    if (drive.empty())
        return Usage("calls [--clear] SERIAL|BSD");
    wire::PlistPtr request = DriveRequest("calls", drive);
    wire::SetBool(request.get(), "clear", clear);
    if (clear)
        return Send(context, std::move(request));
    return PrintEach(context, std::move(request), "calls",
                     [](plist_t call) { std::printf("%s\n", Text(call).c_str()); });
}

} // namespace tvb::ctl
