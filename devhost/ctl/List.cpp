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
    "Serials and names are escaped: \\\\ for a backslash, \\xHH for a blank, a comma, a\n"
    "control character or a byte that is not UTF-8.\n",
};

int List(Context& context, const Args& args) {
    enum { kJson = 256 };
    bool json = false;
    VerbParser parser(kListHelp, {{"json", false, kJson}}, {});
    const int parsed = ParseFlag(parser, args, json);
    if (parsed != VerbParser::kRun)
        return parsed;
    wire::ListAnswer answer;
    if (!Call(context, wire::ListRequest{}, answer))
        return context.failure;
    if (json) {
        nlohmann::json drives = nlohmann::json::array();
        for (const wire::DriveInfo& drive : answer.drives)
            drives.push_back(nlohmann::json{
                {"serial", drive.serial},
                {"bsdName", drive.bsdName},
                {"volumes", std::vector<std::string>(drive.volumes.begin(), drive.volumes.end())},
                {"watchers", drive.watchers}});
        PrintJson(drives);
        return 0;
    }
    for (const wire::DriveInfo& drive : answer.drives) {
        std::string names, separator;
        for (const std::string& volume : drive.volumes) {
            names += separator + EscapeName(volume);
            separator = ",";
        }
        std::printf("%s %s volumes=%s watchers=%llu\n", EscapeName(drive.serial).c_str(),
                    EscapeName(drive.bsdName).c_str(), names.c_str(),
                    static_cast<unsigned long long>(drive.watchers));
    }
    return 0;
}

} // namespace tvb::ctl
