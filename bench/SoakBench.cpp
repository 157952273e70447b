// A long life in a short time: a real poller and tvb-devhost through thousands of hot-plug
// cycles (fresh serials and volume names, every tenth drive back under an old serial), presses
// with whole backups by the sample application, and host restarts (stopped, or killed as in a
// crash) that make the poller's notification port reconnect. Every BENCH_SOAK_SAMPLE cycles it
// reads both processes' resident memory and open descriptors from /proc; at the end it reports
// their growth per thousand cycles, fitted over the samples after the first thousand (the
// host's within each of its runs).
// BENCH_SOAK_CYCLES (default 3000), BENCH_SOAK_PRESS_EVERY (20), BENCH_SOAK_RESTART_EVERY
// (1000), BENCH_SOAK_SAMPLE (250), BENCH_CLOCK_SCALE (20).
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "DeviceHost.h"
#include "ScratchWorld.h"
#include "TestProcess.h"

using namespace tvb::bench;
namespace fs = std::filesystem;

namespace {

int EnvInt(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

struct Footprint {
    long rssKiB = 0, hwmKiB = 0, fds = 0;
};

Footprint Measure(pid_t pid) {
    Footprint out;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            out.rssKiB = std::atol(line.c_str() + 6);
        else if (line.rfind("VmHWM:", 0) == 0)
            out.hwmKiB = std::atol(line.c_str() + 6);
    }
    if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* each = readdir(dir))
            out.fds += each->d_name[0] != '.' ? 1 : 0;
        closedir(dir);
    }
    return out;
}

// Least-squares slope of y over x.
double Slope(const std::vector<double>& x, const std::vector<double>& y) {
    const size_t n = x.size();
    if (n < 2)
        return 0;
    double mx = 0, my = 0;
    for (size_t i = 0; i < n; ++i)
        mx += x[i] / n, my += y[i] / n;
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < n; ++i)
        sxy += (x[i] - mx) * (y[i] - my), sxx += (x[i] - mx) * (x[i] - mx);
    return sxx > 0 ? sxy / sxx : 0;
}

class Soak {
public:
    Soak() : mHost(mWorld.Socket().string(), {}, mWorld.Env()) {}

    tvbtest::ScratchWorld mWorld{"soak"};
    tvbtest::DeviceHost mHost;

    bool Ok(const std::vector<std::string>& args, std::string* out = nullptr) {
        tvbtest::ProgramResult result = mHost.Ctl(args);
        if (out != nullptr)
            *out = result.out;
        if (result.exitCode != 0)
            std::fprintf(stderr, "tvbctl %s: %s", args.front().c_str(), result.err.c_str());
        return result.exitCode == 0;
    }

    // Until the host sees the poller watching `serial`: the poller has listed it.
    bool Watched(const std::string& serial) {
        const double deadline = Now() + 20;
        while (Now() < deadline) {
            std::string out;
            if (!Ok({"list"}, &out))
                return false;
            std::istringstream lines(out);
            for (std::string line; std::getline(lines, line);)
                if (line.rfind(serial + " ", 0) == 0 &&
                    line.find("watchers=1") != std::string::npos)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::string list;
        Ok({"list"}, &list);
        std::fprintf(stderr, "the poller did not list %s within 20 s; the host has:\n%s",
                     serial.c_str(), list.c_str());
        return false;
    }

    int StartedBackups() const {
        const std::string log = mWorld.BackupLog();
        int count = 0;
        for (size_t at = log.find("]: started"); at != std::string::npos;
             at = log.find("]: started", at + 1))
            ++count;
        return count;
    }

    // A press, the backup it launches, and its end seen by the poller (both files gone).
    bool PressAndBackUp(const std::string& serial, int expectedBackups) {
        if (!Ok({"press", serial}))
            return false;
        const double deadline = Now() + 30;
        const fs::path launch = mWorld.HandOffFolder() / "LaunchBackup";
        const fs::path end = mWorld.HandOffFolder() / "EndBackup";
        while (Now() < deadline) {
            std::error_code ec;
            if (StartedBackups() >= expectedBackups && !fs::exists(launch, ec) &&
                !fs::exists(end, ec))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::fprintf(stderr, "backup %d for %s did not end\n", expectedBackups, serial.c_str());
        return false;
    }
};

} // namespace

int main() {
    const int cycles = EnvInt("BENCH_SOAK_CYCLES", 3000);
    const int pressEvery = EnvInt("BENCH_SOAK_PRESS_EVERY", 20);
    const int restartEvery = EnvInt("BENCH_SOAK_RESTART_EVERY", 1000);
    const int sampleEvery = EnvInt("BENCH_SOAK_SAMPLE", 250);
    const int scale = EnvInt("BENCH_CLOCK_SCALE", 20);
    constexpr int kWindow = 3; // drives attached at once

    Soak soak;
    tvbtest::WriteFile(soak.mWorld.Home() / "ToBackUp" / "file.txt", "soak\n");
    soak.mWorld.UseSampleApplication("end", 0.02);
    std::string error;
    if (!soak.mHost.Start(&error)) {
        std::fprintf(stderr, "cannot start the device host: %s\n", error.c_str());
        return 1;
    }
    tvbtest::Process poller = soak.mWorld.StartPoller({{"TVB_CLOCK_SCALE", std::to_string(scale)}});
    if (poller.Pid() <= 0)
        return 1;

    std::printf("soak: %d cycles, a press every %d, a host restart every %d, clock %dx\n", cycles,
                pressEvery, restartEvery, scale);
    std::printf("%7s %8s | %9s %9s %4s | %9s %4s\n", "cycle", "seconds", "poller", "peak", "fds",
                "host", "fds");

    struct Sample {
        int cycle;
        int hostRun;
        Footprint poller, host;
    };
    std::vector<Sample> samples;
    std::vector<std::string> attached;
    int backups = 0, hostRun = 0, missed = 0;
    const double started = Now();
    bool failed = false;
    for (int cycle = 0; cycle <= cycles && !failed; ++cycle) {
        if (cycle % sampleEvery == 0) {
            // Let the last hot-plug and tick settle first.
            std::this_thread::sleep_for(std::chrono::milliseconds(3000 / scale * 2));
            Sample sample{cycle, hostRun, Measure(poller.Pid()), Measure(soak.mHost.Pid())};
            samples.push_back(sample);
            std::printf("%7d %8.1f | %6ld KiB %6ld KiB %4ld | %6ld KiB %4ld\n", cycle,
                        Now() - started, sample.poller.rssKiB, sample.poller.hwmKiB,
                        sample.poller.fds, sample.host.rssKiB, sample.host.fds);
            std::fflush(stdout);
        }
        if (cycle == cycles)
            break;
        if (!poller.Running()) {
            std::fprintf(stderr, "the poller ended\n");
            failed = true;
            break;
        }
        if (cycle > 0 && cycle % restartEvery == 0) {
            // Odd restarts are crashes: the socket file stays behind.
            if ((cycle / restartEvery) % 2 == 1)
                soak.mHost.Kill();
            else
                soak.mHost.Stop();
            attached.clear();
            if (!soak.mHost.Start(&error)) {
                std::fprintf(stderr, "cannot restart the device host: %s\n", error.c_str());
                failed = true;
                break;
            }
            ++hostRun;
        }
        // Every tenth drive comes back under the serial of one gone long ago.
        const int number = cycle % 10 == 9 ? cycle - 9 * kWindow : cycle;
        const std::string serial = "SOAK-" + std::to_string(number);
        const std::string volume = "Vol" + std::to_string(cycle) + ":1000000:250000";
        if (!soak.Ok({"attach", serial, "--volume", volume})) {
            failed = true;
            break;
        }
        attached.push_back(serial);
        // A drive the poller never lists is a fault, counted; the soak goes on without it.
        const bool listed = soak.Watched(serial);
        missed += listed ? 0 : 1;
        if (listed && cycle % pressEvery == pressEvery - 1 &&
            !soak.PressAndBackUp(serial, ++backups)) {
            failed = true;
            break;
        }
        if (attached.size() > kWindow) {
            if (!soak.Ok({"detach", attached.front()})) {
                failed = true;
                break;
            }
            attached.erase(attached.begin());
        }
    }
    const double seconds = Now() - started;

    // Growth after the first thousand cycles (start-up, first allocations, caches warming).
    std::vector<double> x, pollerRss, pollerFds;
    for (const Sample& s : samples)
        if (s.cycle >= 1000 || samples.back().cycle < 2000) {
            x.push_back(s.cycle / 1000.0);
            pollerRss.push_back(static_cast<double>(s.poller.rssKiB));
            pollerFds.push_back(static_cast<double>(s.poller.fds));
        }
    // The host's growth within each run, weighted by the run's samples.
    double hostRss = 0, hostFds = 0;
    size_t hostPoints = 0;
    for (int run = 0; run <= hostRun; ++run) {
        std::vector<double> hx, hr, hf;
        for (const Sample& s : samples)
            if (s.hostRun == run) {
                hx.push_back(s.cycle / 1000.0);
                hr.push_back(static_cast<double>(s.host.rssKiB));
                hf.push_back(static_cast<double>(s.host.fds));
            }
        if (hx.size() < 3)
            continue;
        // Its first sample is the fresh host's: growth is measured from the second on.
        hx.erase(hx.begin()), hr.erase(hr.begin()), hf.erase(hf.begin());
        hostRss += Slope(hx, hr) * hx.size();
        hostFds += Slope(hx, hf) * hx.size();
        hostPoints += hx.size();
    }
    if (hostPoints > 0)
        hostRss /= hostPoints, hostFds /= hostPoints;

    std::printf("soak: %d cycles, %d backups, %d host restarts in %.0f s%s\n",
                samples.empty() ? 0 : samples.back().cycle, backups, hostRun, seconds,
                failed ? " (stopped early)" : "");
    Summary("soak", "poller RSS growth per 1000 cycles", Format("%+.0f KiB", Slope(x, pollerRss)));
    Summary("soak", "poller descriptors growth per 1000 cycles",
            Format("%+.1f", Slope(x, pollerFds)));
    Summary("soak", "tvb-devhost RSS growth per 1000 cycles (within a run)",
            Format("%+.0f KiB", hostRss));
    Summary("soak", "tvb-devhost descriptors growth per 1000 cycles", Format("%+.1f", hostFds));
    Summary("soak", "drives the poller never listed", std::to_string(missed));
    if (!samples.empty())
        Summary("soak", "poller RSS / peak at the end",
                std::to_string(samples.back().poller.rssKiB) + " / " +
                    std::to_string(samples.back().poller.hwmKiB) + " KiB");
    poller.Signal(SIGTERM);
    const int status = poller.Wait(std::chrono::seconds(30));
    if (status != 0) {
        std::fprintf(stderr, "the poller ended with status %d\n", status);
        failed = true;
    }
    failed = failed || missed > 0;
    // A sanitized build's reports (leaks at exit among them) go to the programs' stderr.
    soak.mHost.Stop();
    const std::string said =
        tvbtest::ReadFile(soak.mWorld.PollerOutputFile()) + soak.mHost.Stderr();
    for (const char* report : {"Sanitizer", "runtime error"}) {
        if (said.find(report) != std::string::npos) {
            std::fprintf(stderr, "a sanitizer spoke:\n%s\n", said.c_str());
            failed = true;
            break;
        }
    }
    if (failed) {
        tvbtest::WriteFile(soak.mWorld.Root() / "devhost.err", soak.mHost.Stderr());
        soak.mWorld.Keep();
    }
    return failed ? 1 : 0;
}
