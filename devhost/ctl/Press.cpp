#include "Ctl.h"

namespace tvb::ctl {

int Press(Context& context, const Args& args) {
    return SendToDrive<wire::PressRequest>(context, args, "press");
}

} // namespace tvb::ctl
