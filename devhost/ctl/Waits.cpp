#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int Waits(Context& context, const Args& args) {
    wire::WaitsRequest request;
    request.clear = args.size() == 1 && args[0] == "--clear";
    if (!args.empty() && !request.clear)
        return Usage("waits [--clear]");
    wire::WaitsAnswer answer;
    if (!Call(context, request, answer))
        return 1;
    static const char* const kOutcomes[] = {"quiet", "timeout", "gone"};
    if (!request.clear)
        for (const wire::WaitInfo& wait : answer.waits)
            std::printf("%s %s %s\n", wait.className.c_str(), wait.name.c_str(),
                        wait.outcome < 3 ? kOutcomes[wait.outcome] : "unknown");
    return 0;
}

} // namespace tvb::ctl
