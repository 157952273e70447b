#include "Ctl.h"

namespace tvb::ctl {

int Ping(Context& context, const Args& args) {
    if (!args.empty())
        return Usage("ping");
    return Send(context, wire::HelloRequest{});
}

} // namespace tvb::ctl
