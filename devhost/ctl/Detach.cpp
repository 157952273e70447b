#include "Ctl.h"

namespace tvb::ctl {

int Detach(Context& context, const Args& args) {
    return SendToDrive<wire::DetachRequest>(context, args, "detach");
}

} // namespace tvb::ctl
