#include "Ctl.h"

namespace tvb::ctl {

int Detach(Context& context, const Args& args) {
    if (args.size() != 1)
        return Usage("detach SERIAL|BSD");
    return Call(context, DriveRequest("detach", args[0])) ? 0 : 1;
}

} // namespace tvb::ctl
