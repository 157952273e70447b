// Shared by the benchmark programs: pinning processes to one core, reading a process's
// counters from /proc, driving the device host through tvbctl, simple statistics and the
// summary lines that bench/run.sh gathers into its closing table.
// The benchmarks reach the system only through its public faces (the Mac APIs, the daemon's
// functions, the tvb-devhost and tvbctl programs), never through the host's wire protocol.
// Threading: call from the main thread. Ownership: plain values only.
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "TestProcess.h"

namespace tvb::bench {

// Every thread of `pid` (0: this thread) on `cpu` only, or back on `mask`.
bool PinToCpu(pid_t pid, int cpu);
bool SetAffinity(pid_t pid, const cpu_set_t& mask);
// The mask this process started with (all CPUs it may use).
const cpu_set_t& StartMask();

struct ProcessCounters {
    long voluntarySwitches = 0; // every sleep that ended, summed over all threads
    long rssKiB = 0;
    double cpuSeconds = 0; // on a CPU, all threads
};
ProcessCounters ReadCounters(pid_t pid);

// tvbctl against the host at `socket`; standard output, or exits the program on failure.
std::string Ctl(const std::string& socket, const std::vector<std::string>& args);
// The same, started and left running with its output dropped: Wait on the result for its exit
// status.
tvbtest::Process StartCtl(const std::string& socket, const std::vector<std::string>& args);

double Median(std::vector<double> values);
double Mean(const std::vector<double>& values);
double Percentile(std::vector<double> values, double fraction);
// Least-squares slope of log(y) over log(x): the exponent of growth.
double LogLogSlope(const std::vector<double>& x, const std::vector<double>& y);

// One line of `strace -f -yy [-ttt] -o FILE`. An unfinished call is reported where it resumes.
struct TraceLine {
    std::string pid;
    double at = 0; // wall-clock seconds with -ttt
    std::string name;
    bool unixStream = false; // first argument is a Unix stream socket
    bool unfinished = false, resumed = false;
    long result = -1;
};
// False for lines that are no system call (signals, exits).
bool ParseTraceLine(const std::string& line, bool timestamps, TraceLine& out);
// Reads a trace's lines in order and gives back only finished calls: an unfinished line is kept
// per pid, and the call that resumes it takes over its `unixStream`.
class TraceReader {
public:
    explicit TraceReader(bool timestamps) : mTimestamps(timestamps) {}
    // True when `line` finishes a system call, then filled into `out`.
    bool Next(const std::string& line, TraceLine& out);

private:
    bool mTimestamps;
    std::map<std::string, bool> mPending; // pid -> its unfinished call is on a stream socket
};
bool IsSend(const std::string& name);
bool IsReceive(const std::string& name);

// The floor of a request: a child answers `out` bytes with `in` bytes on a Unix stream pair,
// blocking on both sides. With `busyUs`, the child works that long after each answer before
// it waits again, as a server that tidies up after replying does.
class PingPong {
public:
    // At least one byte each way, whatever the call put on its socket.
    PingPong(size_t out, size_t in, double busyUs = 0);
    ~PingPong();
    PingPong(const PingPong&) = delete;
    PingPong& operator=(const PingPong&) = delete;
    bool Start();
    pid_t Pid() const { return mChild; }
    bool RoundTrip();

private:
    size_t mOut, mIn;
    double mBusyUs;
    int mSocket = -1;
    pid_t mChild = -1;
    std::vector<char> mRequest, mReply;
};

// A fresh private directory under /tmp; removed by RemoveTree.
std::string MakeTempDir(const char* prefix);
void RemoveTree(const std::string& path);

// Seconds on the monotonic clock.
double Now();

// `value` printed with a printf format of one number.
std::string Format(const char* format, double value);

// One line for bench/run.sh's closing table: section, what, value (already formatted).
void Summary(const std::string& section, const std::string& what, const std::string& value);

} // namespace tvb::bench
