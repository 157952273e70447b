#include "Ctl.h"

namespace tvb::ctl {

int SetFault(Context& context, const Args& args) {
    static const char* kSynopsis = "fault SERIAL|BSD "
                                   "refuse-open|refuse-selector0|fail-command|short-answer|"
                                   "slow-answer|none";
    if (args.size() != 2)
        return Usage(kSynopsis);
    static const char* kKinds[] = {"refuse-open",  "refuse-selector0", "fail-command",
                                   "short-answer", "slow-answer",      "none"};
    bool known = false;
    for (const char* kind : kKinds)
        known = known || args[1] == kind;
    if (!known)
        return Fail("unknown fault " + args[1]);
    wire::FaultRequest request;
    request.drive = args[0];
    request.kind = args[1];
    return Send(context, request);
}

} // namespace tvb::ctl
