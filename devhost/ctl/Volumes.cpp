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
    "Names are escaped: \\\\ for a backslash, \\xHH for a blank, a comma, a control\n"
    "character or a byte that is not UTF-8.\n",
};

int Volumes(Context& context, const Args& args) {
    enum { kJson = 256 };
    bool json = false;
    VerbParser parser(kVolumesHelp, {{"json", false, kJson}}, {});
    const int parsed = ParseFlag(parser, args, json);
    if (parsed != VerbParser::kRun)
        return parsed;
    wire::VolumesAnswer answer;
    if (!Call(context, wire::VolumesRequest{}, answer))
        return context.failure;
    if (json) {
        nlohmann::json volumes = nlohmann::json::array();
        for (const wire::VolumeInfo& volume : answer.volumes)
            volumes.push_back(nlohmann::json{
                {"bsdName", volume.bsdName.empty() ? nullptr : nlohmann::json(volume.bsdName)},
                {"name", volume.name},
                {"totalBytes", volume.totalBytes},
                {"freeBytes", volume.freeBytes},
                {"unreadable", volume.unreadable}});
        PrintJson(volumes);
        return 0;
    }
    for (const wire::VolumeInfo& volume : answer.volumes)
        std::printf(
            "%s %s %llu %llu\n", volume.bsdName.empty() ? "-" : EscapeName(volume.bsdName).c_str(),
            EscapeName(volume.name).c_str(), static_cast<unsigned long long>(volume.totalBytes),
            static_cast<unsigned long long>(volume.freeBytes));
    return 0;
}

} // namespace tvb::ctl
