// The device host's program: the command line, the listening socket, the loop and the host.
// Threading: call once, from the main thread.
// Ownership: the loop, the listening socket and the host live for the call; a socket it
// bound itself is removed at the end.
#pragma once

namespace tvb::host {

// Parses the command line, listens (on the socket systemd handed over, if any), tells systemd
// it is ready, serves until SIGTERM, SIGINT or SIGHUP; returns the exit status.
int RunDeviceHost(int argc, char** argv);

} // namespace tvb::host
