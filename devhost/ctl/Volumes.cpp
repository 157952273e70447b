#include "Ctl.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace tvb::ctl {

const VerbHelp kVolumesHelp = {
    "volumes",
    "volumes [--json]",
    "Lists the simulated volumes.",
    "One a line: BSD|- NAME TOTAL FREE (sizes in bytes; - for a volume without a BSD name).\n"
    "\n"
    "  --json  one JSON array of {\"bsdName\" (null without one), \"name\", \"totalBytes\",\n"
    "          \"freeBytes\", \"unreadable\"}\n"
    "\n"
    "Names are escaped: \\\\ for a backslash, \\xHH for a blank, a comma or a control\n"
    "character.\n",
};

int Volumes(Context& context, const Args& args) {
    enum { kJson = 256 };
    bool json = false;
    VerbParser parser(kVolumesHelp, {{"json", false, kJson}}, {});
    const int parsed = parser.Parse(args, [&](int, const std::string&) {
        json = true;
        return std::string();
    });
    if (parsed != VerbParser::kRun)
        return parsed;
    if (json)
        return PrintJsonArray(context, wire::NewRequest("volumes"), "volumes", [](plist_t volume) {
            std::string name, bsdName;
            uint64_t total = 0, free = 0;
            bool unreadable = false;
            wire::GetString(volume, "name", name);
            const bool hasBsd = wire::GetString(volume, "bsdName", bsdName);
            wire::GetUInt(volume, "totalBytes", total);
            wire::GetUInt(volume, "freeBytes", free);
            wire::GetBool(volume, "unreadable", unreadable);
            return nlohmann::json{{"bsdName", hasBsd ? nlohmann::json(bsdName) : nullptr},
                                  {"name", name},
                                  {"totalBytes", total},
                                  {"freeBytes", free},
                                  {"unreadable", unreadable}};
        });
    return PrintEach(context, wire::NewRequest("volumes"), "volumes", [](plist_t volume) {
        std::string name, bsdName = "-";
        uint64_t total = 0, free = 0;
        wire::GetString(volume, "name", name);
        wire::GetString(volume, "bsdName", bsdName);
        wire::GetUInt(volume, "totalBytes", total);
        wire::GetUInt(volume, "freeBytes", free);
        std::printf("%s %s %llu %llu\n", EscapeName(bsdName).c_str(), EscapeName(name).c_str(),
                    static_cast<unsigned long long>(total), static_cast<unsigned long long>(free));
    });
}

} // namespace tvb::ctl
