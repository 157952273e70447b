// tvb-devhost's command line: options through getopt_long, help and version on stdout, and one
// policy for usage errors (status 2, the problem on one line of stderr, then where help is).
// Threading: call from the main thread at start-up (getopt keeps global state).
#pragma once

#include "Host.h"

#include <string>

namespace tvb::host {

struct HostCommandLine {
    std::string socketPath; // empty: the socket systemd hands over, else the default path
    HostLimits limits;
};

constexpr size_t kMinMaxOutput = 1024;
constexpr size_t kMaxMaxOutput = size_t(1) << 30;

// Returns kRunHost when the host should start, else the exit status: 0 after --help or
// --version (1 when that could not be written), 2 after a usage error.
constexpr int kRunHost = -1;
int ParseHostCommandLine(int argc, char** argv, HostCommandLine& out);

} // namespace tvb::host
