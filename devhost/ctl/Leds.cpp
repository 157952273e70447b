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

namespace {

std::vector<uint8_t> InputBytes(plist_t input) {
    char* bytes = nullptr;
    uint64_t length = 0;
    plist_get_data_val(input, &bytes, &length);
    std::vector<uint8_t> out(bytes, bytes + length);
    free(bytes);
    return out;
}

} // namespace

int Leds(Context& context, const Args& args) {
    enum { kJson = 256 };
    bool json = false;
    VerbParser parser(kLedsHelp, {{"json", false, kJson}}, {"DRIVE"});
    const int parsed = parser.Parse(args, [&](int, const std::string&) {
        json = true;
        return std::string();
    });
    if (parsed != VerbParser::kRun)
        return parsed;
    wire::PlistPtr request = DriveRequest("leds", parser.Operands()[0]);
    if (json)
        return PrintJsonArray(context, std::move(request), "inputs",
                              [](plist_t input) { return nlohmann::json(InputBytes(input)); });
    return PrintEach(context, std::move(request), "inputs", [](plist_t input) {
        const std::vector<uint8_t> bytes = InputBytes(input);
        for (size_t i = 0; i < bytes.size(); ++i)
            std::printf(i == 0 ? "%02x" : " %02x", bytes[i]);
        std::printf("\n");
    });
}

} // namespace tvb::ctl
