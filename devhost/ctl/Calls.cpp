#include "Ctl.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace tvb::ctl {

const VerbHelp kCallsHelp = {
    "calls",
    "calls [--clear] [--json] DRIVE",
    "Shows the calls the drive's user client received.",
    "One a line, oldest first: open, selector N or close (refused ones included).\n\n"
    "  --clear  forget them instead (prints nothing)\n"
    "  --json   one JSON array of those lines as strings\n",
};

int Calls(Context& context, const Args& args) {
    enum { kClear = 256, kJson };
    bool clear = false, json = false;
    VerbParser parser(kCallsHelp, {{"clear", false, kClear}, {"json", false, kJson}}, {"DRIVE"});
    const int parsed = parser.Parse(args, [&](int key, const std::string&) {
        (key == kClear ? clear : json) = true;
        return std::string();
    });
    if (parsed != VerbParser::kRun)
        return parsed;
    wire::PlistPtr request = DriveRequest("calls", parser.Operands()[0]);
    wire::SetBool(request.get(), "clear", clear);
    if (clear)
        return Send(context, std::move(request));
    if (json)
        return PrintJsonArray(context, std::move(request), "calls",
                              [](plist_t call) { return nlohmann::json(Text(call)); });
    return PrintEach(context, std::move(request), "calls",
                     [](plist_t call) { std::printf("%s\n", Text(call).c_str()); });
}

} // namespace tvb::ctl
