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
    "Names are escaped: \\\\ for a backslash, \\xHH for a blank, a comma or a control\n"
    "character.\n",
};

int Waits(Context& context, const Args& args) {
    enum { kClear = 256 };
    bool clear = false;
    VerbParser parser(kWaitsHelp, {{"clear", false, kClear}}, {});
    const int parsed = parser.Parse(args, [&](int, const std::string&) {
        clear = true;
        return std::string();
    });
    if (parsed != VerbParser::kRun)
        return parsed;
    wire::PlistPtr request = wire::NewRequest("waits");
    wire::SetBool(request.get(), "clear", clear);
    if (clear)
        return Send(context, std::move(request));
    return PrintEach(context, std::move(request), "waits", [](plist_t wait) {
        std::string className, name, outcome;
        wire::GetString(wait, "class", className);
        wire::GetString(wait, "name", name);
        wire::GetString(wait, "outcome", outcome);
        std::printf("%s %s %s\n", EscapeName(className).c_str(), EscapeName(name).c_str(),
                    outcome.c_str());
    });
}

} // namespace tvb::ctl
