// The capacity-lights refresh of all listed drives, as a tick runs it when `updatePctFree` is
// set: for every drive in the list, the free share of its volumes, then the LED command. It is
// measured against a real tvb-devhost at N = 1, 4, 16, 64, 256 drives with V volumes each
// (`bench_refresh V`), with both processes pinned to one core, unpinned, and apart (one CPU
// each), and the exponent of growth is fitted over N; the walks alone, without the LED
// commands, show what the volume visits cost. The refresh runs on the daemon's run loop, so its
// wall time is the longest block of that loop. Each refresh is set against its floor in the
// same run and placement: the walks' own time, then the design's five round trips per drive on
// a bare socket pair.
//
// A series stops once a point takes longer than BENCH_REFRESH_BOUND seconds (default 30), or
// when the next point probably would; it says so. A refresh cannot be cut short, and the
// largest counts have grown faster than the smaller ones, so the next point is extrapolated
// from the last two at no less than quadratic growth and with half again as margin.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <Carbon/Carbon.h>

#include "BenchSupport.h"
#include "DeviceHost.h"
#include "TarvelleButtonPoller.h"

using namespace tvb::bench;

namespace {

// The loop PollButtonDevices runs when updatePctFree is set, through the daemon's functions.
void RefreshAllDrives(bool walksOnly) {
    service_serial* entry = NULL;
    for (long index = 1; pollButtonServices.FetchItemAt(index, entry); ++index) {
        const uint8 used = GetVolumeUsedValue(entry->service);
        if (!walksOnly)
            SetBlinkenLightsValue(entry->service, used);
    }
}

// Mounted volumes as a walk sees them: the machine's and the host's.
long CountVolumes() {
    long count = 0;
    FSVolumeRefNum actual = 0;
    while (FSGetVolumeInfo(kFSInvalidVolumeRefNum, static_cast<ItemCount>(count + 1), &actual,
                           kFSVolInfoNone, NULL, NULL, NULL) != nsvErr)
        ++count;
    return count;
}

long Listed() {
    return static_cast<long>(pollButtonServices.GetCount());
}

// Lets the daemon's notification source list arrivals until `n` drives are listed.
bool WaitListed(long n, double seconds) {
    const double deadline = Now() + seconds;
    while (Listed() != n) {
        if (Now() > deadline)
            return false;
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
    }
    return true;
}

// Where the two processes run: both on CPU 0; free on every CPU; or apart, the daemon on one CPU
// and the host on another, which is where the scheduler tends to put them when free (a request
// then wakes the other CPU from idle, both ways).
enum class Placement { OneCore, Unpinned, Apart };

struct Series {
    Series(const char* nameIn, Placement placementIn, bool walksOnlyIn = false)
        : name(nameIn), placement(placementIn), walksOnly(walksOnlyIn) {}
    const char* name;
    Placement placement;
    // The walks alone, without the LED commands: the volume visits' own cost and growth.
    bool walksOnly;
    bool stopped = false;
    std::string why;
    std::vector<double> drives, medianMs, cpuMs;
    double lastMaxMs = 0;
    long lastDrives = 0;
};

// The n-th CPU this process may use, or -1.
int AllowedCpu(int n) {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &StartMask()) && n-- == 0)
            return cpu;
    return -1;
}

void Place(Placement placement, pid_t hostPid) {
    switch (placement) {
    case Placement::OneCore:
        PinToCpu(0, 0);
        PinToCpu(hostPid, 0);
        break;
    case Placement::Unpinned:
        SetAffinity(0, StartMask());
        SetAffinity(hostPid, StartMask());
        break;
    case Placement::Apart:
        PinToCpu(0, AllowedCpu(0));
        PinToCpu(hostPid, AllowedCpu(1));
        break;
    }
}

// The messages of an LED exchange (open, selector 0, the LED command, selector 1, close) are
// all about this size; at this size the bytes hardly change a round trip.
constexpr size_t kExchangeBytesOut = 48, kExchangeBytesIn = 40;
constexpr int kRequestsPerExchange = 5;

// The refresh set against its floor in rounds of three, so that a machine whose speed drifts
// (this one's does, by a third from one minute to the next) moves all of them alike: the walks
// alone; the refresh; and the floor, in which for every drive this process works as long as
// that round's walks took per drive (the answering side idle meanwhile, as during a walk), then
// makes the exchange's five round trips on a bare socket pair. What the refresh costs above
// its floor is what the stand-ins and the host add to the design's requests. Ratios are the
// medians of the rounds' own.
void CompareWithFloor(const Series& s, long n, int volumes, PingPong& bare, double boundSeconds) {
    Place(s.placement, bare.Pid());
    std::vector<double> floors, ratios, requestRatios, requestUs;
    const double start = Now();
    while (ratios.size() < 3 || Now() - start < 1.0) {
        double t0 = Now();
        RefreshAllDrives(true);
        const double walks = (Now() - t0) * 1e3;
        t0 = Now();
        RefreshAllDrives(false);
        const double refresh = (Now() - t0) * 1e3;
        t0 = Now();
        for (long drive = 0; drive < n; ++drive) {
            const double until = Now() + walks * 1e-3 / static_cast<double>(n);
            while (Now() < until) {
            }
            for (int request = 0; request < kRequestsPerExchange; ++request)
                if (!bare.RoundTrip())
                    return;
        }
        const double floor = (Now() - t0) * 1e3;
        const double requests = std::max(refresh - walks, 0.0);
        floors.push_back(floor);
        ratios.push_back(refresh / floor);
        requestRatios.push_back(requests / std::max(floor - walks, 1e-6));
        requestUs.push_back(requests * 1e3 / static_cast<double>(n * kRequestsPerExchange));
        if (Now() - start > boundSeconds)
            break;
    }
    const double floor = Median(floors), ratio = Median(ratios);
    std::printf("  %-20s %3ld drives × %d: floor %9.2f ms (the walks, then %d bare round trips "
                "per drive), refresh / floor %.2f×, its requests / the bare ones %.2f×, %.1f µs "
                "each (%zu rounds)\n",
                s.name, n, volumes, floor, kRequestsPerExchange, ratio, Median(requestRatios),
                Median(requestUs), ratios.size());
    if (n == 64 || n == 256) {
        char what[160];
        std::snprintf(what, sizeof what,
                      "refresh %ld drives × %d, %s: the walks, then bare round trips", n, volumes,
                      s.name);
        Summary("floor", what, Format("%.2f ms", floor));
        std::snprintf(what, sizeof what, "refresh %ld drives × %d, %s / its floor", n, volumes,
                      s.name);
        Summary("ratio", what, Format("%.2f×", ratio));
        std::snprintf(what, sizeof what,
                      "refresh %ld drives × %d, %s: its requests / bare round trips", n, volumes,
                      s.name);
        Summary("ratio", what, Format("%.2f×", Median(requestRatios)));
    }
}

// The daemon's side: the poller's own functions in a process of one thread, against the host
// at `socket`.
int Measure(int volumes, double boundSeconds, const std::string& socket, pid_t hostPid) {
    if (InitializeDeviceMonitor() != 0) {
        std::fprintf(stderr, "device monitoring did not start\n");
        return 1;
    }

    std::printf("capacity-lights refresh of all drives, %d volume%s each\n", volumes,
                volumes == 1 ? "" : "s");
    std::vector<Series> series = {{"one core", Placement::OneCore},
                                  {"unpinned", Placement::Unpinned}};
    if (AllowedCpu(1) >= 0)
        series.emplace_back("apart", Placement::Apart);
    series.emplace_back("walks only, one core", Placement::OneCore, true);
    PingPong bare(kExchangeBytesOut, kExchangeBytesIn);
    if (!bare.Start()) {
        std::fprintf(stderr, "the floor's ping-pong did not start\n");
        return 1;
    }
    long attached = 0;
    for (long n : {1L, 4L, 16L, 64L, 256L}) {
        bool allStopped = true;
        for (const Series& s : series)
            allStopped = allStopped && s.stopped;
        if (allStopped)
            break;
        SetAffinity(0, StartMask());
        SetAffinity(hostPid, StartMask());
        for (; attached < n; ++attached) {
            std::vector<std::string> args = {"attach", "REFRESH-" + std::to_string(attached)};
            for (int v = 0; v < volumes; ++v) {
                args.push_back("--volume");
                args.push_back("V" + std::to_string(v) + ":" + std::to_string(4000 + v) + ":" +
                               std::to_string(1000 * (v + 1)));
            }
            Ctl(socket, args);
        }
        if (!WaitListed(n, 120)) {
            std::fprintf(stderr, "the daemon listed %ld of %ld drives\n", Listed(), n);
            return 1;
        }
        for (Series& s : series) {
            if (s.stopped)
                continue;
            Place(s.placement, hostPid);
            // At least three refreshes, or one second's worth, but one is enough if it is slow.
            // Wall time of each, and the CPU time of both processes over all of them (read once
            // around the batch, so reading it costs nothing per refresh), which other load
            // barely changes.
            std::vector<double> ms;
            auto bothCpu = [&] {
                return ReadCounters(getpid()).cpuSeconds + ReadCounters(hostPid).cpuSeconds;
            };
            const double cpuStart = bothCpu();
            const double start = Now();
            while (ms.size() < 3 || Now() - start < 1.0) {
                const double t0 = Now();
                RefreshAllDrives(s.walksOnly);
                ms.push_back((Now() - t0) * 1e3);
                if (ms.back() > 2000 || Now() - start > boundSeconds)
                    break;
            }
            const double cpuMs = (bothCpu() - cpuStart) * 1e3 / static_cast<double>(ms.size());
            const double median = Median(ms);
            double longest = 0;
            for (double m : ms)
                longest = std::max(longest, m);
            std::printf(
                "  %-20s %3ld drives × %d: median %9.2f ms, longest %9.2f ms, CPU %9.2f ms each "
                "(%zu runs)",
                s.name, n, volumes, median, longest, cpuMs, ms.size());
            // Each drive's walk visits every mounted volume.
            if (s.walksOnly)
                std::printf(", %.3f µs per volume visit",
                            median * 1e3 / static_cast<double>(n * CountVolumes()));
            std::printf("\n");
            if (!s.walksOnly)
                CompareWithFloor(s, n, volumes, bare, boundSeconds);
            s.cpuMs.push_back(cpuMs);
            s.drives.push_back(static_cast<double>(n));
            s.medianMs.push_back(median);
            s.lastMaxMs = longest;
            s.lastDrives = n;
            if (median > boundSeconds * 1e3) {
                s.stopped = true;
                s.why = "stopped after " + std::to_string(n) + " drives: one refresh took more " +
                        "than " + std::to_string(static_cast<int>(boundSeconds)) + " s";
            } else if (s.drives.size() >= 2 && n < 256) {
                const size_t k = s.drives.size();
                const double slope =
                    LogLogSlope({s.drives[k - 2], s.drives[k - 1]}, {s.medianMs[k - 2], median});
                const double next = 1.5 * median * std::pow(4.0, std::max(slope, 2.0));
                if (next > boundSeconds * 1e3) {
                    s.stopped = true;
                    char text[160];
                    std::snprintf(text, sizeof text,
                                  "stopped after %ld drives: %ld extrapolated to about %.0f s "
                                  "(bound %.0f s)",
                                  n, n * 4, next / 1e3, boundSeconds);
                    s.why = text;
                }
            }
            if (s.stopped)
                std::printf("  %-20s %s\n", s.name, s.why.c_str());
        }
    }
    // A drive that arrives while a refresh blocks the run loop, at the largest count reached,
    // unpinned: from the start of `tvbctl attach` until the daemon lists the drive. The poller
    // would list it as soon as its run loop runs again, in the same 3 s tick.
    {
        Place(Placement::Unpinned, hostPid);
        const long before = Listed();
        const double start = Now();
        tvbtest::Process arrival =
            StartCtl(socket, {"attach", "ARRIVAL", "--volume", "A:4000:1000"});
        const double refreshStart = Now();
        RefreshAllDrives(false);
        const double refreshMs = (Now() - refreshStart) * 1e3;
        const bool attachedOk = arrival.Wait(std::chrono::seconds(30)) == 0;
        const bool listed = attachedOk && WaitListed(before + 1, 30);
        const double listedMs = (Now() - start) * 1e3;
        if (!listed) {
            std::fprintf(stderr, "the drive attached during a refresh was not listed\n");
            return 1;
        }
        std::printf("  a drive attached during a refresh of %ld drives × %d (%.1f ms, unpinned): "
                    "listed %.1f ms after tvbctl attach started\n",
                    before, volumes, refreshMs, listedMs);
        char what[96], value[64];
        std::snprintf(what, sizeof what,
                      "drive attached during a refresh of %ld × %d, listed after", before, volumes);
        std::snprintf(value, sizeof value, "%.1f ms (refresh %.1f ms; a tick is 3 s)", listedMs,
                      refreshMs);
        Summary("block", what, value);
    }
    SetAffinity(0, StartMask());

    for (Series& s : series) {
        char what[96], value[160];
        for (size_t i = 0; i < s.drives.size(); ++i) {
            std::snprintf(what, sizeof what, "%.0f drives × %d, %s", s.drives[i], volumes, s.name);
            std::snprintf(value, sizeof value, "%.2f ms", s.medianMs[i]);
            // The table keeps the point the goal names; the output above has them all.
            if (s.drives[i] == 64)
                Summary("refresh", what, value);
        }
        const double slope = LogLogSlope(s.drives, s.medianMs);
        // Over the larger drive counts too, where fixed costs no longer hide the growth.
        std::vector<double> bigDrives, bigMs;
        for (size_t i = 0; i < s.drives.size(); ++i)
            if (s.drives[i] >= 16) {
                bigDrives.push_back(s.drives[i]);
                bigMs.push_back(s.medianMs[i]);
            }
        std::snprintf(what, sizeof what, "refresh growth, %d volume%s, %s", volumes,
                      volumes == 1 ? "" : "s", s.name);
        if (bigDrives.size() >= 2)
            std::snprintf(value, sizeof value, "N^%.2f (N ≥ 16: N^%.2f)%s%s", slope,
                          LogLogSlope(bigDrives, bigMs), s.stopped ? "; " : "", s.why.c_str());
        else
            std::snprintf(value, sizeof value, "N^%.2f%s%s", slope, s.stopped ? "; " : "",
                          s.why.c_str());
        std::printf("  %-20s exponent of growth: %s\n", s.name, value);
        Summary("exponent", what, value);
        std::snprintf(what, sizeof what, "refresh growth in CPU time, %d volume%s, %s", volumes,
                      volumes == 1 ? "" : "s", s.name);
        std::snprintf(value, sizeof value, "N^%.2f", LogLogSlope(s.drives, s.cpuMs));
        Summary("exponent", what, value);
        std::snprintf(what, sizeof what, "longest run-loop block, %ld drives × %d, %s",
                      s.lastDrives, volumes, s.name);
        std::snprintf(value, sizeof value, "%.2f ms", s.lastMaxMs);
        Summary("block", what, value);
    }
    // As the daemon does after its event loop: the list's entries are ours to delete.
    service_serial* entry = NULL;
    while (pollButtonServices.RemoveLastItem(entry))
        delete entry;
    return 0;
}

} // namespace

// The poller is a process of one thread, and the stand-ins take cheaper paths while a process
// has only one (no locked instructions). The device host below drains the host's standard error
// on a thread of its own, so the daemon's side runs in a child process of one thread.
int main(int argc, char** argv) {
    const int volumes = argc > 1 ? std::atoi(argv[1]) : 4;
    const char* boundText = std::getenv("BENCH_REFRESH_BOUND");
    const double boundSeconds = boundText ? std::atof(boundText) : 30.0;
    if (volumes < 1) {
        std::fprintf(stderr, "usage: bench_refresh VOLUMES\n");
        return 2;
    }
    if (const char* hostPid = std::getenv("TVB_BENCH_HOST_PID"))
        return Measure(volumes, boundSeconds, std::getenv("TVB_DEVHOST_SOCKET"),
                       static_cast<pid_t>(std::atol(hostPid)));

    const std::string home = MakeTempDir("tvb-bench-refresh");
    setenv("HOME", home.c_str(), 1);
    int status = 1;
    {
        tvbtest::DeviceHost host;
        std::string error;
        if (!host.Start(&error)) {
            std::fprintf(stderr, "cannot start the device host: %s\n", error.c_str());
            return 1;
        }
        tvbtest::Environment env = tvbtest::InheritedEnvironment();
        env["TVB_DEVHOST_SOCKET"] = host.SocketPath();
        env["TVB_BENCH_HOST_PID"] = std::to_string(host.Pid());
        std::fflush(stdout);
        tvbtest::Process measurer({"/proc/self/exe", std::to_string(volumes)}, env,
                                  tvbtest::Stdio{});
        status = measurer.Wait(std::chrono::hours(2));
        if (status < 0)
            measurer.Kill();
    }
    RemoveTree(home);
    return status == 0 ? 0 : 1;
}
