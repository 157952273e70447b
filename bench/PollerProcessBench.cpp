// The poller as a process: CPU time, wake-ups and resident memory while it idles with
// four drives listed, then a hot-plug storm of 100 drives attached and detached through
// the host while it runs (time from arrival to listed, memory before and after).
// Prints a report; BENCH_IDLE_SECONDS (default 60) sets the idle window.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostProcess.h"
#include "TvbWire.h"

using Clock = std::chrono::steady_clock;

namespace {

struct ProcessSample {
    double cpuSeconds = 0;
    long wakeUps = 0; // voluntary context switches: each sleep that ended
    long rssKiB = 0;
};

ProcessSample Sample(pid_t pid) {
    ProcessSample sample;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> f((std::istream_iterator<std::string>(fields)), {});
    if (f.size() > 13)
        sample.cpuSeconds =
            (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            sample.wakeUps = std::stol(line.substr(24));
        else if (line.rfind("VmRSS:", 0) == 0)
            sample.rssKiB = std::stol(line.substr(6));
    }
    return sample;
}

int Watchers(tvb::wire::Connection& connection, const std::string& serial) {
    tvb::wire::ListAnswer reply;
    if (!connection.Call(tvb::wire::ListRequest{}, reply, 5000).Ok())
        return -1;
    for (const tvb::wire::DriveInfo& drive : reply.drives)
        if (drive.serial == serial)
            return static_cast<int>(drive.watchers);
    return -1;
}

bool WaitWatchers(tvb::wire::Connection& connection, const std::string& serial, int wanted,
                  double seconds) {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Watchers(connection, serial) != wanted) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

pid_t StartPoller(const std::string& home, const std::string& socket) {
    std::vector<std::string> env = {"HOME=" + home, "TVB_DEVHOST_SOCKET=" + socket,
                                    "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(TVB_POLLER_PATH), nullptr};
    pid_t pid = -1;
    return posix_spawn(&pid, TVB_POLLER_PATH, nullptr, nullptr, argv, envp.data()) == 0 ? pid : -1;
}

} // namespace

int main() {
    const char* idleText = std::getenv("BENCH_IDLE_SECONDS");
    const double idleSeconds = idleText ? std::atof(idleText) : 60.0;
    char homeTemplate[] = "/tmp/tvb-bench-home-XXXXXX";
    const std::string home = mkdtemp(homeTemplate);

    tvb::hostkit::HostProcess host(TVB_DEVHOST_PATH);
    std::string error;
    if (!host.Start(&error)) {
        std::fprintf(stderr, "cannot start the device host: %s\n", error.c_str());
        return 1;
    }
    tvb::wire::Connection control;
    control.Connect(host.SocketPath());
    for (int i = 0; i < 4; ++i) {
        tvb::wire::AttachRequest attach;
        attach.serial = "IDLE-" + std::to_string(i);
        tvb::wire::AttachAnswer attached;
        control.Call(attach, attached, 5000);
    }

    pid_t poller = StartPoller(home, host.SocketPath());
    for (int i = 0; i < 4; ++i)
        if (!WaitWatchers(control, "IDLE-" + std::to_string(i), 1, 30)) {
            std::fprintf(stderr, "the poller did not list the drives\n");
            kill(poller, SIGKILL);
            return 1;
        }

    // Let the first tick (5 s after start) pass so the idle window sees steady state.
    std::this_thread::sleep_for(std::chrono::seconds(6));
    ProcessSample before = Sample(poller);
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    ProcessSample after = Sample(poller);
    double ticks = idleSeconds / 3.0;
    std::printf("idle, 4 drives listed, %.0f s:\n", idleSeconds);
    std::printf("  CPU time           %.3f s (%.2f ms per tick)\n",
                after.cpuSeconds - before.cpuSeconds,
                1000 * (after.cpuSeconds - before.cpuSeconds) / ticks);
    std::printf("  wake-ups           %ld (%.1f per tick; the floor is 1 per tick, each "
                "user-client call waits once)\n",
                after.wakeUps - before.wakeUps, (after.wakeUps - before.wakeUps) / ticks);
    std::printf("  resident memory    %ld KiB\n", after.rssKiB);

    const int storm = 100;
    long rssBefore = Sample(poller).rssKiB;
    std::vector<double> arrivalsMs;
    for (int i = 0; i < storm; ++i) {
        std::string serial = "STORM-" + std::to_string(i);
        auto start = Clock::now();
        tvb::wire::AttachRequest attach;
        attach.serial = serial;
        tvb::wire::AttachAnswer attached;
        control.Call(attach, attached, 5000);
        if (!WaitWatchers(control, serial, 1, 30)) {
            std::fprintf(stderr, "drive %s was not listed\n", serial.c_str());
            break;
        }
        arrivalsMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        tvb::wire::DetachRequest detach;
        detach.drive = serial;
        tvb::wire::DetachAnswer detached;
        control.Call(detach, detached, 5000);
    }
    std::this_thread::sleep_for(std::chrono::seconds(4)); // a tick or so to settle
    long rssAfter = Sample(poller).rssKiB;
    std::sort(arrivalsMs.begin(), arrivalsMs.end());
    double sum = 0;
    for (double ms : arrivalsMs)
        sum += ms;
    if (!arrivalsMs.empty()) {
        std::printf("hot-plug storm, %d drives attached and detached:\n", storm);
        std::printf("  arrival to listed  mean %.2f ms, median %.2f ms, max %.2f ms\n",
                    sum / arrivalsMs.size(), arrivalsMs[arrivalsMs.size() / 2], arrivalsMs.back());
        std::printf("  resident memory    %ld KiB before, %ld KiB after (%+ld KiB)\n", rssBefore,
                    rssAfter, rssAfter - rssBefore);
    }

    kill(poller, SIGTERM);
    int status = 0;
    waitpid(poller, &status, 0);
    std::string cleanup = "rm -rf '" + home + "'";
    return std::system(cleanup.c_str()) == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0
                                                                                              : 1;
}
