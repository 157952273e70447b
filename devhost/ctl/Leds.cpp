#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

// The four input bytes of every LED command the drive received, in hex, oldest first.
int Leds(Context& context, const Args& args) {
    if (args.size() != 1)
        return Usage("leds SERIAL|BSD");
    wire::LedsRequest request;
    request.drive = args[0];
    wire::LedsAnswer answer;
    if (!Call(context, request, answer))
        return 1;
    for (const wire::LedInput& input : answer.inputs) {
        for (size_t i = 0; i < input.size(); ++i)
            std::printf(i == 0 ? "%02x" : " %02x", static_cast<unsigned>(input[i]));
        std::printf("\n");
    }
    return 0;
}

} // namespace tvb::ctl
