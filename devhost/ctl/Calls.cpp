#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int Calls(Context& context, const Args& args) {
    wire::CallsRequest request;
    for (const std::string& arg : args) {
        if (arg == "--clear")
            request.clear = true;
        else if (request.drive.empty())
            request.drive = arg;
        else
            return Usage("calls [--clear] SERIAL|BSD");
    }
    if (request.drive.empty())
        return Usage("calls [--clear] SERIAL|BSD");
    wire::CallsAnswer answer;
    if (!Call(context, request, answer))
        return 1;
    if (!request.clear)
        for (const std::string& call : answer.calls)
            std::printf("%s\n", call.c_str());
    return 0;
}

} // namespace tvb::ctl
