#include "Ctl.h"

namespace tvb::ctl {

const VerbHelp kMessageHelp = {
    "message",
    "message DRIVE CODE",
    "Sends a message to the drive's interest watchers.",
    "CODE is the 32-bit message type in hex, 0x optional (e0000010).\n",
};

int Message(Context& context, const Args& args) {
    VerbParser parser(kMessageHelp, {}, {"DRIVE", "CODE"});
    if (const int status = parser.Parse(args); status != VerbParser::kRun)
        return status;
    const Args& operands = parser.Operands();
    uint64_t code = 0;
    if (!ParseHex(operands[1], code) || code > 0xffffffffu)
        return UsageError("message code must be 32-bit hex: " + operands[1], kMessageHelp.name);
    wire::MessageRequest request;
    request.drive = operands[0];
    request.messageType = code;
    return Send(context, request);
}

} // namespace tvb::ctl
