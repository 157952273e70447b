// tvb-devhost: plays the kernel's I/O registry and the bridge driver for the stand-ins.
#include "HostMain.h"

int main(int argc, char** argv) {
    return tvb::host::RunDeviceHost(argc, argv);
}
