#include "Ctl.h"

namespace tvb::ctl {

int Ping(Context& context, const Args& args) {
    if (!args.empty())
        return Usage("ping");
    return Call(context, NewRequest("ping")) ? 0 : 1;
}

} // namespace tvb::ctl
