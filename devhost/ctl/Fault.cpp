#include "Ctl.h"

namespace tvb::ctl {

const VerbHelp kFaultHelp = {
    "fault",
    "fault DRIVE refuse-open|refuse-selector0|fail-command|short-answer|slow-answer|none",
    "Makes the drive's driver misbehave from now on.",
    "  refuse-open       opening the user client is refused\n"
    "  refuse-selector0  selector 0 is refused\n"
    "  fail-command      every command fails without output\n"
    "  short-answer      the button-map query answers only 4 bytes\n"
    "  slow-answer       selectors 2 and 3 answer after 3 s\n"
    "  none              behave again\n",
};

int SetFault(Context& context, const Args& args) {
    VerbParser parser(kFaultHelp, {}, {"DRIVE", "FAULT"});
    if (const int status = parser.Parse(args); status != VerbParser::kRun)
        return status;
    const Args& operands = parser.Operands();
    static const char* kKinds[] = {"refuse-open",  "refuse-selector0", "fail-command",
                                   "short-answer", "slow-answer",      "none"};
    bool known = false;
    for (const char* kind : kKinds)
        known = known || operands[1] == kind;
    if (!known)
        return UsageError("unknown fault " + operands[1], kFaultHelp.name);
    wire::FaultRequest request;
    request.drive = operands[0];
    request.kind = operands[1];
    return Send(context, request);
}

} // namespace tvb::ctl
