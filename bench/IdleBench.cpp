// The poller as a process, idling with four drives listed against a real tvb-devhost: per tick
// its system calls (strace), its wake-ups (voluntary context switches, without strace), the
// run loop's returns from epoll_wait, the user-client calls the host logged; then the resident
// memory of the poller and of the host. The poller's clock runs BENCH_CLOCK_SCALE (default 10)
// times faster, so its 3 s ticks come every 0.3 s; ticks are counted from the host's call log
// (one `open` per drive per tick), not assumed from the clock.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "DeviceHost.h"
#include "TestProcess.h"

using namespace tvb::bench;

namespace {

constexpr int kDrives = 4;

std::string Serial(int i) {
    return "IDLE-" + std::to_string(i);
}

void SleepFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// Waits (bounded, checking every `interval` seconds) until `ready` holds.
template <typename F> bool WaitUntil(F&& ready, double seconds, double interval = 0.02) {
    const double deadline = Now() + seconds;
    while (!ready()) {
        if (Now() > deadline)
            return false;
        SleepFor(interval);
    }
    return true;
}

int CountLines(const std::string& text, const std::string& exact) {
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line == exact ? 1 : 0;
    return count;
}

int CountAllLines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

double WallClock() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A window over which the host's call logs are read: ticks (opens of the first drive) and
// user-client calls per tick, each drive's calls over its own ticks (the logs are cleared and
// read one drive after the other).
struct Window {
    int ticks = 0;
    double callsPerTick = 0;
};

void ClearCalls(const std::string& socket) {
    for (int i = 0; i < kDrives; ++i)
        Ctl(socket, {"calls", "--clear", Serial(i)});
}

Window ReadCalls(const std::string& socket) {
    Window window;
    for (int i = 0; i < kDrives; ++i) {
        const std::string calls = Ctl(socket, {"calls", Serial(i)});
        const int opens = CountLines(calls, "open");
        if (i == 0)
            window.ticks = opens;
        if (opens > 0)
            window.callsPerTick += static_cast<double>(CountAllLines(calls)) / opens;
    }
    return window;
}

struct SyscallCounts {
    std::map<std::string, long> byName;
    long total = 0;
    long sends = 0; // send-type calls on Unix stream sockets
};

// Counts the calls that `strace -f -yy -ttt` logged between two wall-clock times.
SyscallCounts ReadTrace(const std::string& file, double from, double to) {
    SyscallCounts counts;
    std::ifstream trace(file);
    TraceReader reader(true);
    for (std::string line; std::getline(trace, line);) {
        TraceLine call;
        if (!reader.Next(line, call))
            continue;
        if (call.at < from || call.at > to)
            continue;
        ++counts.byName[call.name];
        ++counts.total;
        if (call.unixStream && IsSend(call.name))
            ++counts.sends;
    }
    return counts;
}

} // namespace

int main() {
    const char* scaleText = std::getenv("BENCH_CLOCK_SCALE");
    const double scale = scaleText ? std::atof(scaleText) : 10.0;
    const char* ticksText = std::getenv("BENCH_IDLE_TICKS");
    const int wantedTicks = ticksText ? std::atoi(ticksText) : 30;
    const double tickSeconds = 3.0 / scale;

    const std::string home = MakeTempDir("tvb-bench-idle");
    tvbtest::DeviceHost host;
    std::string error;
    if (!host.Start(&error)) {
        std::fprintf(stderr, "cannot start the device host: %s\n", error.c_str());
        return 1;
    }
    const std::string socket = host.SocketPath();
    for (int i = 0; i < kDrives; ++i)
        Ctl(socket, {"attach", Serial(i), "--volume", "Data:1000000:250000"});

    tvbtest::Process pollerProcess({TVB_POLLER_PATH},
                                   {{"HOME", home},
                                    {"TVB_DEVHOST_SOCKET", socket},
                                    {"TVB_CLOCK_SCALE", Format("%g", scale)},
                                    {"PATH", "/usr/bin:/bin"}},
                                   home + "/poller.out");
    const pid_t poller = pollerProcess.Pid();
    auto stopPoller = [&] {
        pollerProcess.Signal(SIGTERM);
        pollerProcess.Wait(std::chrono::seconds(30));
        RemoveTree(home);
    };
    const bool listed =
        poller > 0 && WaitUntil(
                          [&] {
                              return CountAllLines(Ctl(socket, {"list"})) == kDrives &&
                                     Ctl(socket, {"list"}).find("watchers=0") == std::string::npos;
                          },
                          30);
    // Steady state: the first tick (with its lights refresh) and one plain tick are over.
    const bool steady =
        listed && WaitUntil(
                      [&] {
                          return CountLines(Ctl(socket, {"calls", Serial(0)}), "open") >= 3;
                      },
                      30);
    if (!steady) {
        const bool ended = poller > 0 && !pollerProcess.Running();
        std::fprintf(stderr, "the poller did not list and poll the drives%s\n",
                     ended ? " (it ended at once: is another poller of this user running?)" : "");
        if (ended)
            RemoveTree(home);
        else
            stopPoller();
        return 1;
    }

    const double windowSeconds = wantedTicks * tickSeconds;
    std::printf("poller idle with %d drives listed, clock %gx (a tick every %.2f s), windows of "
                "%.1f s\n",
                kDrives, scale, tickSeconds, windowSeconds);

    // Wake-ups and CPU without a tracer in the way.
    ClearCalls(socket);
    const ProcessCounters before = ReadCounters(poller);
    SleepFor(windowSeconds);
    const ProcessCounters after = ReadCounters(poller);
    const Window plain = ReadCalls(socket);
    if (plain.ticks == 0) {
        std::fprintf(stderr, "no tick in the window\n");
        stopPoller();
        return 1;
    }
    const double ticks = plain.ticks;
    const double wakeUps =
        static_cast<double>(after.voluntarySwitches - before.voluntarySwitches) / ticks;
    std::printf("  %d ticks: %.1f user-client calls per tick, %.1f wake-ups (voluntary context "
                "switches) per tick, %.2f ms CPU per tick\n",
                plain.ticks, plain.callsPerTick, wakeUps,
                1e3 * (after.cpuSeconds - before.cpuSeconds) / ticks);
    Summary("idle", "user-client calls per tick (4 drives; the design's 20)",
            Format("%.1f", plain.callsPerTick));
    Summary("idle", "wake-ups per tick (voluntary context switches)", Format("%.1f", wakeUps));

    // System calls, under strace.
    const std::string traceFile = home + "/idle.trace", straceErr = home + "/strace.err";
    tvbtest::Process tracerProcess(
        {"/usr/bin/strace", "-f", "-yy", "-ttt", "-o", traceFile, "-p", std::to_string(poller)},
        tvbtest::InheritedEnvironment(), straceErr);
    const pid_t tracer = tracerProcess.Pid();
    auto attached = [&] {
        std::ifstream err(straceErr);
        std::string text((std::istreambuf_iterator<char>(err)), {});
        return text.find("attached") != std::string::npos;
    };
    if (tracer <= 0 || !WaitUntil(attached, 10)) {
        std::fprintf(stderr, "strace could not attach to the poller\n");
        tracerProcess.Kill();
        stopPoller();
        return 1;
    }
    SleepFor(tickSeconds); // let every thread be seized
    // The first drive's log, which counts the ticks, covers the same window as the trace.
    const double from = WallClock();
    ClearCalls(socket);
    SleepFor(windowSeconds);
    const double to = WallClock();
    const Window traced = ReadCalls(socket);
    tracerProcess.Signal(SIGINT);
    tracerProcess.Wait(std::chrono::seconds(30));
    const SyscallCounts counts = ReadTrace(traceFile, from, to);
    if (traced.ticks == 0 || counts.total == 0) {
        std::fprintf(stderr, "nothing traced in the window\n");
        stopPoller();
        return 1;
    }
    const double tracedTicks = traced.ticks;
    std::vector<std::pair<long, std::string>> byCount;
    for (const auto& [name, count] : counts.byName)
        byCount.push_back({count, name});
    std::sort(byCount.rbegin(), byCount.rend());
    std::printf("  %d ticks under strace: %.1f system calls per tick:", traced.ticks,
                static_cast<double>(counts.total) / tracedTicks);
    for (const auto& [count, name] : byCount)
        std::printf(" %s %.1f", name.c_str(), static_cast<double>(count) / tracedTicks);
    std::printf("\n");
    long epollWaits = 0;
    for (const auto& [name, count] : counts.byName)
        if (name.rfind("epoll_wait", 0) == 0 || name == "epoll_pwait" || name == "epoll_pwait2")
            epollWaits += count;
    Summary("idle", "system calls per tick (4 drives)",
            Format("%.1f", static_cast<double>(counts.total) / tracedTicks));
    Summary("idle", "run-loop wake-ups per tick (epoll_wait returns)",
            Format("%.1f", static_cast<double>(epollWaits) / tracedTicks));
    Summary("idle", "messages sent to the host per tick",
            Format("%.1f", static_cast<double>(counts.sends) / tracedTicks));
    for (const char* name : {"getpid", "timerfd_settime"})
        if (counts.byName.count(name))
            Summary("idle", std::string(name) + " per tick",
                    Format("%.1f", static_cast<double>(counts.byName.at(name)) / tracedTicks));

    const ProcessCounters pollerNow = ReadCounters(poller), hostNow = ReadCounters(host.Pid());
    std::printf("  resident memory: poller %ld KiB (idle, 4 drives), host %ld KiB\n",
                pollerNow.rssKiB, hostNow.rssKiB);
    Summary("memory", "poller RSS, idle with 4 drives", std::to_string(pollerNow.rssKiB) + " KiB");
    Summary("memory", "tvb-devhost RSS, 4 drives", std::to_string(hostNow.rssKiB) + " KiB");

    // Hot-plug: drives attached one after another while the poller idles, each timed until
    // the host sees the poller watching it (it is listed then), and detached again.
    const int storm = 20;
    std::vector<double> arrivalMs;
    for (int i = 0; i < storm; ++i) {
        const std::string serial = "STORM-" + std::to_string(i);
        const double start = Now();
        Ctl(socket, {"attach", serial, "--volume", "Data:1000000:250000"});
        auto watched = [&] {
            std::istringstream lines(Ctl(socket, {"list"}));
            for (std::string line; std::getline(lines, line);)
                if (line.rfind(serial + " ", 0) == 0)
                    return line.find("watchers=1") != std::string::npos;
            return false;
        };
        if (!WaitUntil(watched, 10, 0.001)) {
            std::fprintf(stderr, "the poller did not list %s\n", serial.c_str());
            stopPoller();
            return 1;
        }
        arrivalMs.push_back((Now() - start) * 1e3);
        Ctl(socket, {"detach", serial});
    }
    SleepFor(2 * tickSeconds);
    const long rssAfter = ReadCounters(poller).rssKiB;
    const double longest = *std::max_element(arrivalMs.begin(), arrivalMs.end());
    std::printf("  %d drives attached and detached: attach to listed median %.1f ms, longest "
                "%.1f ms (each look is a tvbctl run of a few ms); poller memory %ld KiB → %ld "
                "KiB\n",
                storm, Median(arrivalMs), longest, pollerNow.rssKiB, rssAfter);
    Summary("idle", "attach to listed by an idle poller (through tvbctl), median / longest",
            Format("%.1f ms", Median(arrivalMs)) + " / " + Format("%.1f ms", longest));
    Summary("memory", "poller RSS after 20 drives came and went",
            std::to_string(rssAfter) + " KiB (" + Format("%+.0f", rssAfter - pollerNow.rssKiB) +
                " KiB)");

    stopPoller();
    return 0;
}
