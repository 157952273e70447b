// The device host alone under a hot-plug storm: 100 drives attached and detached through the
// host, timing each arrival (attach request until a first-match subscriber hears of the new
// block-storage service) and each departure (detach request until an interest subscriber on
// the bridge hears the termination). The poller's side of the storm is in
// PollerProcessBench.cpp.
#include "HostProcess.h"
#include "TvbWire.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

using namespace tvb;

constexpr int kStorm = 100;
constexpr int kTimeoutMs = 5000;

// A host plus the two peers a poller would be: one that controls, one that watches.
class Storm {
public:
    bool Start(int volumes) {
        std::string error;
        if (!mHost.Start(&error) || !mControl.Connect(mHost.SocketPath(), &error) ||
            !mWatcher.Connect(mHost.SocketPath(), &error)) {
            std::fprintf(stderr, "hotplug storm: %s\n", error.c_str());
            return false;
        }
        mVolumes = volumes;
        wire::SubscribeMatchRequest sub;
        sub.type = wire::kFirstMatchType;
        sub.criteria.hasClass = true;
        sub.criteria.className = "IOBlockStorageServices";
        wire::SubscribeMatchAnswer answer;
        return mWatcher.Call(sub, answer, kTimeoutMs).Ok();
    }

    // Attaches a drive and waits until the watcher is told; returns its bridge entry.
    uint64_t Arrive(const std::string& serial) {
        wire::AttachRequest attach;
        attach.serial = serial;
        for (int v = 0; v < mVolumes; ++v)
            attach.volumes.push_back(
                wire::VolumeSpec{"Volume " + std::to_string(v), 1000, 250, false, false});
        wire::AttachAnswer reply;
        if (!mControl.Call(attach, reply, kTimeoutMs).Ok())
            return 0;
        wire::Event event;
        return mWatcher.NextEvent(event, kTimeoutMs) ? reply.service : 0;
    }

    bool Watch(uint64_t bridge) {
        wire::SubscribeInterestRequest sub;
        sub.entry = bridge;
        sub.type = wire::kGeneralInterestType;
        wire::SubscribeInterestAnswer answer;
        return mWatcher.Call(sub, answer, kTimeoutMs).Ok();
    }

    // Detaches and waits until the watcher hears the termination.
    bool Depart(const std::string& serial) {
        wire::DetachRequest detach;
        detach.drive = serial;
        wire::DetachAnswer answer;
        wire::Event event;
        return mControl.Call(detach, answer, kTimeoutMs).Ok() &&
               mWatcher.NextEvent(event, kTimeoutMs);
    }

private:
    hostkit::HostProcess mHost{TVB_DEVHOST_PATH};
    wire::Connection mControl, mWatcher;
    int mVolumes = 0;
};

// One drive in and out per iteration; only its arrival or only its departure is timed.
void RunStorm(benchmark::State& state, bool timeArrival) {
    Storm storm;
    if (!storm.Start(static_cast<int>(state.range(0)))) {
        state.SkipWithError("no host");
        return;
    }
    int drive = 0;
    for (auto _ : state) {
        const std::string serial = "STORM-" + std::to_string(drive++);
        bool ok;
        if (timeArrival) {
            const uint64_t bridge = storm.Arrive(serial);
            state.PauseTiming();
            ok = bridge != 0 && storm.Watch(bridge) && storm.Depart(serial);
            state.ResumeTiming();
        } else {
            state.PauseTiming();
            const uint64_t bridge = storm.Arrive(serial);
            ok = bridge != 0 && storm.Watch(bridge);
            state.ResumeTiming();
            ok = ok && storm.Depart(serial);
        }
        if (!ok) {
            state.SkipWithError("a drive was not announced or not removed");
            break;
        }
    }
    state.counters[timeArrival ? "arrivals" : "departures"] = drive;
}

void BM_HotplugArrival(benchmark::State& state) {
    RunStorm(state, true);
}
BENCHMARK(BM_HotplugArrival)->Arg(0)->Arg(4)->Iterations(kStorm)->Unit(benchmark::kMicrosecond);

void BM_HotplugDeparture(benchmark::State& state) {
    RunStorm(state, false);
}
BENCHMARK(BM_HotplugDeparture)->Arg(0)->Arg(4)->Iterations(kStorm)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
