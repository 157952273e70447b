#include "Ctl.h"

namespace tvb::ctl {

const VerbHelp kDetachHelp = {
    "detach",
    "detach DRIVE",
    "Unplugs a drive.",
    "Its registry entries are terminated and their interest watchers told so.\n",
};

int Detach(Context& context, const Args& args) {
    return SendToDrive<wire::DetachRequest>(context, args, kDetachHelp);
}

} // namespace tvb::ctl
