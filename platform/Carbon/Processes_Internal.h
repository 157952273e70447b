// What the Process Manager asks of the operating system, one question per function;
// Processes_Linux.cpp answers from /proc.
// Threading: no shared state. Ownership: plain values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace tvb::process {

struct Facts {
    std::string executable; // absolute path of the running image
    std::string command;    // the kernel's short name of the process
    uid_t uid = 0;
    pid_t parent = 0;
    uint64_t startTicks = 0; // since boot, in 1/60 s
    uint64_t cpuTicks = 0;   // user + system time, in 1/60 s
    uint64_t virtualBytes = 0;
};

// Every process id, ascending.
std::vector<pid_t> ListProcessIDs();

// False when the process is gone, a zombie, or cannot be inspected.
bool ReadFacts(pid_t pid, Facts& facts);

} // namespace tvb::process
