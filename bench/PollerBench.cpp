// The poller's hot paths through the real device host: one button poll of N listed
// drives, one lights refresh, one whole tick, set against the bare socket round trip
// that every user-client call costs (a button poll needs five: open, selector 0,
// selector 2, selector 1, close).
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "HostProcess.h"
#include "TarvelleButtonPoller.h"
#include "TvbWire.h"

namespace {

tvb::hostkit::HostProcess* gHost = nullptr;
int gAttached = 0;

void Ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"--socket", gHost->SocketPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    tvb::hostkit::ProgramResult result = tvb::hostkit::RunProgram(TVB_CTL_PATH, argv);
    if (result.exitCode != 0) {
        std::fprintf(stderr, "tvbctl failed: %s\n", result.err.c_str());
        std::exit(1);
    }
}

// Drives BENCH-0 … BENCH-(n-1), four volumes each, listed by the poller.
void EnsureDrives(int n) {
    for (; gAttached < n; ++gAttached)
        Ctl({"attach", "BENCH-" + std::to_string(gAttached), "--volume", "A:4000:1000", "--volume",
             "B:4000:2000", "--volume", "C:4000:3000", "--volume", "D:4000:4000"});
    CFAbsoluteTime deadline = CFAbsoluteTimeGetCurrent() + 60;
    while (static_cast<int>(pollButtonServices.GetCount()) < n &&
           CFAbsoluteTimeGetCurrent() < deadline)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
}

std::vector<io_service_t> Services(int n) {
    EnsureDrives(n);
    std::vector<io_service_t> services;
    service_serial* entry = nullptr;
    for (long index = 1;
         static_cast<int>(services.size()) < n && pollButtonServices.FetchItemAt(index, entry);
         ++index)
        services.push_back(entry->service);
    return services;
}

void BM_WireRoundTrip(benchmark::State& state) {
    tvb::wire::Connection connection;
    if (!connection.Connect(gHost->SocketPath())) {
        state.SkipWithError("no host");
        return;
    }
    tvb::wire::HelloAnswer answer;
    for (auto _ : state)
        benchmark::DoNotOptimize(connection.Call(tvb::wire::HelloRequest{}, answer, 1000));
}
BENCHMARK(BM_WireRoundTrip)->UseRealTime();

// A whole tick as the timer runs it: lights refresh of every drive, then a button poll.
// Registered before the 64-drive runs so that only its own drives' volumes are mounted.
void BM_Tick(benchmark::State& state) {
    EnsureDrives(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        updatePctFree = true;
        PollButtonDevices(NULL, NULL);
    }
    state.counters["drives"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_Tick)->Arg(16)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ButtonPoll(benchmark::State& state) {
    std::vector<io_service_t> services = Services(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        for (io_service_t service : services) {
            ButtonMapResponse response;
            benchmark::DoNotOptimize(QueryButtonMap(service, response));
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(services.size()));
    state.counters["drives"] = static_cast<double>(services.size());
}
BENCHMARK(BM_ButtonPoll)->Arg(1)->Arg(8)->Arg(64)->UseRealTime();

void BM_LightsRefresh(benchmark::State& state) {
    std::vector<io_service_t> services = Services(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        for (io_service_t service : services)
            benchmark::DoNotOptimize(SetBlinkenLightsValue(service, GetVolumeUsedValue(service)));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(services.size()));
}
BENCHMARK(BM_LightsRefresh)->Arg(1)->Arg(8)->Arg(64)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    char home[] = "/tmp/tvb-bench-XXXXXX";
    setenv("HOME", mkdtemp(home), 1);
    gHost = new tvb::hostkit::HostProcess(TVB_DEVHOST_PATH);
    std::string error;
    if (!gHost->Start(&error)) {
        std::fprintf(stderr, "cannot start the device host: %s\n", error.c_str());
        return 1;
    }
    setenv("TVB_DEVHOST_SOCKET", gHost->SocketPath().c_str(), 1);
    if (InitializeDeviceMonitor() != 0) {
        std::fprintf(stderr, "device monitoring did not start\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete gHost;
    return 0;
}
