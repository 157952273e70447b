// tvbctl: plug in, unplug and press simulated drives, and read back what the host saw.
#include "Ctl.h"

#include <cstdio>
#include <map>

using namespace tvb::ctl;

int main(int argc, char** argv) {
    static const std::map<std::string, int (*)(Context&, const Args&)> kVerbs = {
        {"attach", Attach}, {"detach", Detach},   {"message", Message}, {"list", List},
        {"press", Press},   {"lights", Lights},   {"calls", Calls},     {"fault", SetFault},
        {"waits", Waits},   {"volumes", Volumes}, {"ping", Ping},       {"leds", Leds},
    };
    Context context;
    Args args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--socket") {
            if (i + 1 >= argc)
                return Usage("--socket needs a path");
            context.socketPath = argv[++i];
        } else {
            args.push_back(arg);
        }
    }
    if (args.empty())
        return Usage(
            "attach|detach|message|list|press|lights|leds|calls|fault|waits|volumes|ping ...");
    auto verb = kVerbs.find(args.front());
    if (verb == kVerbs.end())
        return Fail("unknown verb " + args.front());
    if (context.socketPath.empty())
        context.socketPath = tvb::wire::DefaultSocketPath();
    args.erase(args.begin());
    return verb->second(context, args);
}
