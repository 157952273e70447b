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
    wire::PlistPtr response = Call(context, std::move(request));
    if (!response)
        return 1;
    if (clear)
        return 0;
    plist_t calls = wire::GetItem(response.get(), "calls");
    for (uint32_t i = 0, n = calls ? plist_array_get_size(calls) : 0; i < n; ++i) {
        const char* call = plist_get_string_ptr(plist_array_get_item(calls, i), nullptr);
        std::printf("%s\n", call ? call : "");
    }
    return 0;
}

} // namespace tvb::ctl
