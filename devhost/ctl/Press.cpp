#include "Ctl.h"

namespace tvb::ctl {

int Press(Context& context, const Args& args) {
    if (args.size() != 1)
        return Usage("press SERIAL|BSD");
    return Call(context, DriveRequest("press", args[0])) ? 0 : 1;
}

} // namespace tvb::ctl
