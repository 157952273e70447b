#include "Ctl.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>

namespace tvb::ctl {

const VerbHelp kLedsHelp = {
    "leds",
    "leds [--json] DRIVE",
    "Shows the input bytes of every LED command the drive received.",
    "One command a line, oldest first, its 4 bytes in hex (01 2a 00 00).\n\n"
    "  --json  one JSON array of byte arrays ([[1,42,0,0]])\n",
};

int Leds(Context& context, const Args& args) {
    enum { kJson = 256 };
    bool json = false;
    VerbParser parser(kLedsHelp, {{"json", false, kJson}}, {"DRIVE"});
    const int parsed = ParseFlag(parser, args, json);
    if (parsed != VerbParser::kRun)
        return parsed;
    wire::LedsRequest request;
    request.drive = parser.Operands()[0];
    wire::LedsAnswer answer;
    if (!Call(context, request, answer))
        return context.failure;
    if (json) {
        nlohmann::json inputs = nlohmann::json::array();
        for (const wire::LedInput& input : answer.inputs)
            inputs.push_back(std::vector<uint8_t>(input.begin(), input.end()));
        PrintJson(inputs);
        return 0;
    }
    for (const wire::LedInput& input : answer.inputs) {
        for (size_t i = 0; i < input.size(); ++i)
            std::printf(i == 0 ? "%02x" : " %02x", static_cast<unsigned>(input[i]));
        std::printf("\n");
    }
    return 0;
}

} // namespace tvb::ctl
