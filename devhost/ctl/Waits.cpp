#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

const VerbHelp kWaitsHelp = {
    "waits",
    "waits [--clear]",
    "Shows the host's answers to wait-quiet requests.",
    "One a line, oldest first: CLASS NAME quiet|timeout|gone.\n\n"
    "  --clear  forget them instead (prints nothing)\n"
    "\n"
    "Names are escaped: \\\\ for a backslash, \\xHH for a blank, a comma, a control\n"
    "character or a byte that is not UTF-8.\n",
};

int Waits(Context& context, const Args& args) {
    enum { kClear = 256 };
    bool clear = false;
    VerbParser parser(kWaitsHelp, {{"clear", false, kClear}}, {});
    const int parsed = ParseFlag(parser, args, clear);
    if (parsed != VerbParser::kRun)
        return parsed;
    wire::WaitsRequest request;
    request.clear = clear;
    wire::WaitsAnswer answer;
    if (!Call(context, request, answer))
        return context.failure;
    static const char* const kOutcomes[] = {"quiet", "timeout", "gone"};
    if (!clear)
        for (const wire::WaitInfo& wait : answer.waits)
            std::printf("%s %s %s\n", EscapeName(wait.className).c_str(),
                        EscapeName(wait.name).c_str(),
                        wait.outcome < 3 ? kOutcomes[wait.outcome] : "unknown");
    return 0;
}

} // namespace tvb::ctl
