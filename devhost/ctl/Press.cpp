#include "Ctl.h"

namespace tvb::ctl {

const VerbHelp kPressHelp = {
    "press",
    "press DRIVE",
    "Presses the drive's backup button.",
    "The drive's next button-map query answers with the button pressed.\n",
};

int Press(Context& context, const Args& args) {
    return SendToDrive<wire::PressRequest>(context, args, kPressHelp);
}

} // namespace tvb::ctl
