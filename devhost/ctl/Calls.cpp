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
    wire::CallsRequest request;
    request.drive = parser.Operands()[0];
    request.clear = clear;
    wire::CallsAnswer answer;
    if (!Call(context, request, answer))
        return context.failure;
    if (clear)
        return 0;
    if (json) {
        PrintJson(
            nlohmann::json(std::vector<std::string>(answer.calls.begin(), answer.calls.end())));
        return 0;
    }
    for (const std::string& call : answer.calls)
        std::printf("%s\n", call.c_str());
    return 0;
}

} // namespace tvb::ctl
