#include <mach/mach.h>

#include "IOKitObjects_Internal.h"

mach_port_t mach_task_self(void) {
    return iokit::kTaskSelfPort;
}
