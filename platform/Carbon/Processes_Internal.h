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
    std::string executable; // absolute path of the running image; empty when it is hidden
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
// The command, parent and times of /proc/PID/stat's text; false for a zombie or a malformed line.
bool ParseStat(const std::string& line, Facts& facts);

// The process's first `count` arguments (fewer when it has fewer), argv[0] first; empty when
// they cannot be read. Only count * (PATH_MAX + 1) bytes are read: one that ends past them is
// left out, with any after it.
std::vector<std::string> ReadArguments(pid_t pid, size_t count);
// The process's working folder; empty when it cannot be read.
std::string ReadWorkingFolder(pid_t pid);

// The application bundle a process belongs to: the Name.app around the path it was started
// by, when that leads to the program it runs (a bundle's executable may be a symbolic link);
// else around its executable or, when it is an interpreter running a script (#!) that lies
// in a bundle, around that script; empty for any other process.
std::string ApplicationBundleOf(pid_t pid, const Facts& facts);

} // namespace tvb::process
