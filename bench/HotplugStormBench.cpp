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
        wire::PlistPtr sub = wire::NewRequest("subscribe-match");
        wire::SetString(sub.get(), "type", "IOServiceFirstMatch");
        wire::SetString(sub.get(), "class", "IOBlockStorageServices");
        return static_cast<bool>(mWatcher.Request(sub.get(), kTimeoutMs));
    }

    // Attaches a drive and waits until the watcher is told; returns its bridge entry.
    uint64_t Arrive(const std::string& serial) {
        wire::PlistPtr attach = wire::NewRequest("attach");
        wire::SetString(attach.get(), "serial", serial);
        plist_t list = plist_new_array();
        for (int v = 0; v < mVolumes; ++v) {
            plist_t volume = plist_new_dict();
            wire::SetString(volume, "name", "Volume " + std::to_string(v));
            wire::SetUInt(volume, "totalBytes", 1000);
            wire::SetUInt(volume, "freeBytes", 250);
            plist_array_append_item(list, volume);
        }
        plist_dict_set_item(attach.get(), "volumes", list);
        wire::PlistPtr reply = mControl.Request(attach.get(), kTimeoutMs);
        uint64_t bridge = 0;
        if (!reply || !wire::GetUInt(reply.get(), "service", bridge))
            return 0;
        wire::PlistPtr event = mWatcher.ReadEvent(kTimeoutMs);
        return event ? bridge : 0;
    }

    bool Watch(uint64_t bridge) {
        wire::PlistPtr sub = wire::NewRequest("subscribe-interest");
        wire::SetUInt(sub.get(), "entry", bridge);
        wire::SetString(sub.get(), "type", "IOGeneralInterest");
        return static_cast<bool>(mWatcher.Request(sub.get(), kTimeoutMs));
    }

    // Detaches and waits until the watcher hears the termination.
    bool Depart(const std::string& serial) {
        wire::PlistPtr detach = wire::NewRequest("detach");
        wire::SetString(detach.get(), "drive", serial);
        return mControl.Request(detach.get(), kTimeoutMs) && mWatcher.ReadEvent(kTimeoutMs);
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
