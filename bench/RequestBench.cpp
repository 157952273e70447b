// One user-client call against a real tvb-devhost, set against the floor: a bare Unix-stream
// ping-pong between two processes (blocking send, blocking receive) with the same number of
// bytes each way as the call puts on the socket. Both are measured with the two processes
// pinned to one core and unpinned, alternating in short rounds so that other load on the
// machine falls on both alike; the ratio of the two is the figure that matters.
//
// The bytes and system calls of a call are learnt by running this program again under strace
// (`--probe`), so nothing here depends on how the host's protocol encodes a call.
#include <IOKit/IOKitLib.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "DeviceHost.h"
#include "OstrelTVBUserClientCom.h"

using namespace tvb::bench;

namespace {

enum class Kind { Scalar, Struct };

const char* Name(Kind kind) {
    return kind == Kind::Scalar ? "IOConnectMethodScalarIScalarO (selector 0)"
                                : "IOConnectMethodStructureIStructureO (selector 2, 24 bytes out)";
}

const char* ShortName(Kind kind) {
    return kind == Kind::Scalar ? "scalar call" : "struct call";
}

// One open user-client connection to the first bridge drive, through the IOKit stand-in.
class UserClient {
public:
    bool Open() {
        io_service_t service = IOServiceGetMatchingService(kIOMasterPortDefault,
                                                           IOServiceMatching("com_ostrel_IOTVB"));
        if (service == 0)
            return false;
        const kern_return_t status = IOServiceOpen(service, mach_task_self(), 0, &mConnection);
        IOObjectRelease(service);
        return status == KERN_SUCCESS && Call(Kind::Scalar) && Call(Kind::Struct);
    }
    ~UserClient() {
        if (mConnection != 0) {
            IOConnectMethodScalarIScalarO(mConnection, kOstrelTVBClientClose, 0, 0);
            IOServiceClose(mConnection);
        }
    }
    bool Call(Kind kind) {
        if (kind == Kind::Scalar)
            return IOConnectMethodScalarIScalarO(mConnection, kOstrelTVBClientOpen, 0, 0) ==
                   KERN_SUCCESS;
        ButtonMapResponse response;
        IOByteCount size = sizeof response;
        return IOConnectMethodStructureIStructureO(mConnection, kOstrelTVBClientGetButtonMap, 0,
                                                   &size, NULL, &response) == KERN_SUCCESS &&
               size == sizeof response;
    }

private:
    io_connect_t mConnection = 0;
};

void Marker(const char* text) {
    // Seen by strace in the probe's trace; the bytes themselves go nowhere useful.
    ssize_t ignored = write(2, text, std::strlen(text));
    (void)ignored;
}

// Under strace: the same calls as the timed runs, between markers the parent looks for.
int Probe(int calls) {
    UserClient client;
    if (!client.Open())
        return 1;
    Marker("probe-scalar\n");
    for (int i = 0; i < calls; ++i)
        client.Call(Kind::Scalar);
    Marker("probe-struct\n");
    for (int i = 0; i < calls; ++i)
        client.Call(Kind::Struct);
    Marker("probe-end\n");
    return 0;
}

struct CallShape {
    double bytesOut = 0, bytesIn = 0, syscalls = 0;
};

// Bytes each way and system calls per call, from `strace -f -o` of the probe.
bool ReadShapes(const std::string& traceFile, int calls, std::map<Kind, CallShape>& shapes) {
    std::ifstream trace(traceFile);
    int phase = 0; // 1: scalar calls, 2: struct calls
    bool ended = false;
    TraceReader reader(false);
    for (std::string line; std::getline(trace, line);) {
        if (line.find("\"probe-scalar") != std::string::npos) {
            phase = 1;
            continue;
        }
        if (line.find("\"probe-struct") != std::string::npos) {
            phase = 2;
            continue;
        }
        if (line.find("\"probe-end") != std::string::npos) {
            ended = true;
            break;
        }
        if (phase == 0)
            continue;
        TraceLine call;
        if (!reader.Next(line, call))
            continue;
        CallShape& shape = shapes[phase == 1 ? Kind::Scalar : Kind::Struct];
        shape.syscalls += 1;
        if (call.unixStream && call.result > 0) {
            if (IsSend(call.name))
                shape.bytesOut += static_cast<double>(call.result);
            else if (IsReceive(call.name))
                shape.bytesIn += static_cast<double>(call.result);
        }
    }
    if (!ended)
        return false;
    for (auto& [kind, shape] : shapes) {
        shape.bytesOut /= calls;
        shape.bytesIn /= calls;
        shape.syscalls /= calls;
    }
    return shapes.size() == 2;
}

// Round trips for about `seconds`, each timed; microseconds appended to `samples`.
template <typename F> bool Time(F&& roundTrip, double seconds, std::vector<double>& samples) {
    const double end = Now() + seconds;
    for (;;) {
        const double start = Now();
        if (!roundTrip())
            return false;
        const double stop = Now();
        samples.push_back((stop - start) * 1e6);
        if (stop > end)
            return true;
    }
}

// CPU time of both ends of a round trip, which other load on the machine barely changes.
struct CpuMeter {
    pid_t peer;
    double seconds = 0;
    size_t roundTrips = 0;
    double Both() const {
        return ReadCounters(getpid()).cpuSeconds + ReadCounters(peer).cpuSeconds;
    }
    template <typename F>
    bool Measure(F&& roundTrip, double duration, std::vector<double>& samples) {
        const size_t before = samples.size();
        const double start = Both();
        const bool ok = Time(roundTrip, duration, samples);
        seconds += Both() - start;
        roundTrips += samples.size() - before;
        return ok;
    }
    double MicrosecondsEach() const { return roundTrips ? seconds * 1e6 / roundTrips : 0; }
};

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--probe") == 0)
        return Probe(std::atoi(argv[2]));
    const char* secondsText = std::getenv("BENCH_REQUEST_SECONDS");
    const double seconds = secondsText ? std::atof(secondsText) : 1.0;
    // Short rounds, so that where the scheduler happens to place the two processes (one CPU or
    // two, which changes a round trip fourfold here) falls on floor and call alike.
    const int rounds = 40;

    tvbtest::DeviceHost host;
    std::string error;
    if (!host.Start(&error)) {
        std::fprintf(stderr, "cannot start the device host: %s\n", error.c_str());
        return 1;
    }
    Ctl(host.SocketPath(), {"attach", "REQUEST-0", "--volume", "Data:1000000:250000"});
    setenv("TVB_DEVHOST_SOCKET", host.SocketPath().c_str(), 1);

    // What one call puts on the socket, and how many system calls the client makes for it.
    const int probeCalls = 2000;
    const std::string dir = MakeTempDir("tvb-bench-request");
    const std::string traceFile = dir + "/probe.trace";
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        std::perror("readlink /proc/self/exe");
        return 1;
    }
    const tvbtest::ProgramResult probe = tvbtest::RunProgram(
        "/usr/bin/strace",
        {"-f", "-qq", "-yy", "-o", traceFile, self, "--probe", std::to_string(probeCalls)}, 60000);
    std::map<Kind, CallShape> shapes;
    // The markers in the trace tell that the probe got through; its status may not (a leak
    // checker cannot work under a tracer and fails the probe's exit in sanitized builds).
    const bool traced = ReadShapes(traceFile, probeCalls, shapes);
    RemoveTree(dir);
    if (!traced) {
        std::fprintf(stderr, "could not trace a user-client call with strace: %s\n",
                     probe.err.c_str());
        return 1;
    }

    UserClient client;
    if (!client.Open()) {
        std::fprintf(stderr, "cannot open the drive's user client\n");
        return 1;
    }

    std::printf("one user-client call against tvb-devhost, and the bare Unix-stream ping-pong of "
                "the same size\n");
    for (Kind kind : {Kind::Scalar, Kind::Struct}) {
        const CallShape& shape = shapes[kind];
        std::printf("  %s: %.0f bytes out, %.0f bytes back, %.1f system calls by the client\n",
                    Name(kind), shape.bytesOut, shape.bytesIn, shape.syscalls);
        Summary("request", std::string("client system calls per ") + ShortName(kind),
                Format("%.1f", shape.syscalls));
    }

    for (bool pinned : {true, false}) {
        const char* where = pinned ? "one core" : "unpinned";
        if (pinned ? !PinToCpu(0, 0) || !PinToCpu(host.Pid(), 0)
                   : !SetAffinity(0, StartMask()) || !SetAffinity(host.Pid(), StartMask())) {
            std::fprintf(stderr, "cannot set the CPU affinity\n");
            return 1;
        }
        for (Kind kind : {Kind::Scalar, Kind::Struct}) {
            const CallShape& shape = shapes[kind];
            PingPong floor(static_cast<size_t>(std::lround(shape.bytesOut)),
                           static_cast<size_t>(std::lround(shape.bytesIn)));
            if (!floor.Start()) {
                std::fprintf(stderr, "cannot start the ping-pong\n");
                return 1;
            }
            std::vector<double> floorUs, callUs, warm;
            Time([&] { return floor.RoundTrip(); }, 0.05, warm);
            Time([&] { return client.Call(kind); }, 0.05, warm);
            CpuMeter floorCpu{floor.Pid()}, callCpu{host.Pid()};
            for (int round = 0; round < rounds; ++round) {
                if (!floorCpu.Measure([&] { return floor.RoundTrip(); }, seconds / rounds,
                                      floorUs) ||
                    !callCpu.Measure([&] { return client.Call(kind); }, seconds / rounds, callUs)) {
                    std::fprintf(stderr, "a round trip failed\n");
                    return 1;
                }
            }
            const double floorMedian = Median(floorUs), callMedian = Median(callUs);
            std::printf("  %-8s %s: floor median %.2f µs (mean %.2f, p99 %.2f), call median "
                        "%.2f µs (mean %.2f, p99 %.2f), ratio %.2f× (means %.2f×)\n",
                        where, ShortName(kind), floorMedian, Mean(floorUs),
                        Percentile(floorUs, 0.99), callMedian, Mean(callUs),
                        Percentile(callUs, 0.99), callMedian / floorMedian,
                        Mean(callUs) / Mean(floorUs));
            std::printf("  %-8s %s: CPU of both processes per round trip %.2f µs for the floor, "
                        "%.2f µs for the call, ratio %.2f×\n",
                        where, ShortName(kind), floorCpu.MicrosecondsEach(),
                        callCpu.MicrosecondsEach(),
                        callCpu.MicrosecondsEach() / floorCpu.MicrosecondsEach());
            const std::string label = std::string(ShortName(kind)) + ", " + where;
            Summary("floor", "ping-pong like a " + label,
                    Format("%.2f µs", floorMedian) + " (" +
                        std::to_string(std::lround(shape.bytesOut)) + "/" +
                        std::to_string(std::lround(shape.bytesIn)) + " bytes)");
            Summary("request", label, Format("%.2f µs", callMedian));
            Summary("ratio", label + " / floor (goal ≤ 1.5×)",
                    Format("%.2f×", callMedian / floorMedian));
            Summary("ratio", label + ", CPU of both ends / floor's",
                    Format("%.2f×", callCpu.MicrosecondsEach() / floorCpu.MicrosecondsEach()));
        }
    }

    // What waking an idle core costs, which is no floor: the same ping-pong, unpinned, with the
    // answering side busy for a few µs after each answer, so the asker sleeps on the other core
    // and each answer has to wake it.
    const CallShape& shape = shapes[Kind::Scalar];
    const double busyUs = 5;
    PingPong busy(static_cast<size_t>(std::lround(shape.bytesOut)),
                  static_cast<size_t>(std::lround(shape.bytesIn)), busyUs);
    std::vector<double> busyRoundTrips;
    if (!busy.Start() || !Time([&] { return busy.RoundTrip(); }, seconds / 2, busyRoundTrips)) {
        std::fprintf(stderr, "the busy ping-pong failed\n");
        return 1;
    }
    std::printf("  unpinned ping-pong, answering side busy %.0f µs after each answer: median "
                "%.2f µs (mean %.2f)\n",
                busyUs, Median(busyRoundTrips), Mean(busyRoundTrips));
    Summary("floor", "ping-pong, unpinned, answering side busy 5 µs after answering",
            Format("%.2f µs", Median(busyRoundTrips)));
    return 0;
}
