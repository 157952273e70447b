#include "Ctl.h"

#include <cstdio>
#include <cstdlib>

namespace tvb::ctl {

// The four input bytes of every LED command the drive received, in hex, oldest first.
int Leds(Context& context, const Args& args) {
    if (args.size() != 1)
        return Usage("leds SERIAL|BSD");
    return PrintEach(context, DriveRequest("leds", args[0]), "inputs", [](plist_t input) {
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(input, &bytes, &length);
        for (uint64_t i = 0; i < length; ++i)
            std::printf(i == 0 ? "%02x" : " %02x", static_cast<unsigned char>(bytes[i]));
        std::printf("\n");
        free(bytes);
    });
}

} // namespace tvb::ctl
