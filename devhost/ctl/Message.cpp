#include "Ctl.h"

namespace tvb::ctl {

int Message(Context& context, const Args& args) {
    if (args.size() != 2)
        return Usage("message SERIAL|BSD CODE (hex, e.g. e0000010)");
    uint64_t code = 0;
    if (!ParseHex(args[1], code) || code > 0xffffffffu)
        return Fail("message code must be 32-bit hex: " + args[1]);
    wire::MessageRequest request;
    request.drive = args[0];
    request.messageType = code;
    return Send(context, request);
}

} // namespace tvb::ctl
