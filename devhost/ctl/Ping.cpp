#include "Ctl.h"

namespace tvb::ctl {

const VerbHelp kPingHelp = {
    "ping",
    "ping",
    "Succeeds when a device host answers on the socket.",
    "",
};

int Ping(Context& context, const Args& args) {
    VerbParser parser(kPingHelp, {}, {});
    if (const int status = parser.Parse(args); status != VerbParser::kRun)
        return status;
    return Send(context, wire::HelloRequest{});
}

} // namespace tvb::ctl
