#include "Ctl.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace tvb::ctl {

const VerbHelp kListHelp = {
    "list",
    "list [--json]",
    "Lists the attached drives.",
    "One a line: SERIAL BSD volumes=NAME,NAME watchers=N (interest subscriptions).\n"
    "\n"
    "  --json  one JSON array of {\"serial\", \"bsdName\", \"volumes\": [NAME...], \"watchers\"}\n"
    "\n"
    "Serials and names are escaped: \\\\ for a backslash, \\xHH for a blank, a comma or a\n"
    "control character.\n",
};

int List(Context& context, const Args& args) {
    enum { kJson = 256 };
    bool json = false;
    VerbParser parser(kListHelp, {{"json", false, kJson}}, {});
    const int parsed = parser.Parse(args, [&](int, const std::string&) {
        json = true;
        return std::string();
    });
    if (parsed != VerbParser::kRun)
        return parsed;
    if (json)
        return PrintJsonArray(context, wire::NewRequest("list"), "drives", [](plist_t drive) {
            std::string serial, bsdName;
            uint64_t watchers = 0;
            wire::GetString(drive, "serial", serial);
            wire::GetString(drive, "bsdName", bsdName);
            wire::GetUInt(drive, "watchers", watchers);
            nlohmann::json names = nlohmann::json::array();
            for (plist_t volume : Items(drive, "volumes"))
                names.push_back(Text(volume));
            return nlohmann::json{{"serial", serial},
                                  {"bsdName", bsdName},
                                  {"volumes", names},
                                  {"watchers", watchers}};
        });
    return PrintEach(context, wire::NewRequest("list"), "drives", [](plist_t drive) {
        std::string serial, bsdName, names, separator;
        uint64_t watchers = 0;
        wire::GetString(drive, "serial", serial);
        wire::GetString(drive, "bsdName", bsdName);
        wire::GetUInt(drive, "watchers", watchers);
        for (plist_t volume : Items(drive, "volumes")) {
            names += separator + EscapeName(Text(volume));
            separator = ",";
        }
        std::printf("%s %s volumes=%s watchers=%llu\n", EscapeName(serial).c_str(),
                    EscapeName(bsdName).c_str(), names.c_str(),
                    static_cast<unsigned long long>(watchers));
    });
}

} // namespace tvb::ctl
