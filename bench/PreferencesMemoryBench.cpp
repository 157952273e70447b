// The poller's resident memory after start-up with a small preferences file and with an 8 MB
// one of 200,000 keys: the parse is released once "AppName" is copied, and its memory must go
// back to the system rather than stay with the process for its whole life. Prints a report.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "DeviceHost.h"
#include "TestProcess.h"
#include "TvbWire.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// A preferences file of `keys` string values plus "AppName"; its size in bytes.
size_t WritePreferences(const fs::path& home, int keys) {
    fs::path file = home / "Library" / "Preferences" / "TotalMedia Backup.plist";
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    char line[128];
    for (int i = 0; i < keys; ++i) {
        // About 41 bytes a key: 200,000 of them come just under the 8 MiB a file may have.
        std::snprintf(line, sizeof line, "<key>%06d</key><string>%d</string>\n", i, i);
        out << line;
    }
    out << "\t<key>AppName</key>\n\t<string>/Applications/Nowhere.app</string>\n</dict>\n"
           "</plist>\n";
    out.close();
    return static_cast<size_t>(fs::file_size(file));
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

// The poller's resident memory once it has started and listed the drive, and again after a
// few ticks; -1 when it did not come up.
std::pair<long, long> MeasurePoller(const std::string& home, tvb::wire::Connection& control,
                                    const std::string& socket) {
    tvbtest::Process poller({TVB_POLLER_PATH}, {{"HOME", home},
                                                {"TVB_DEVHOST_SOCKET", socket},
                                                {"PATH", "/usr/bin:/bin"},
                                                {"TVB_CLOCK_SCALE", "10"}});
    const pid_t pid = poller.Pid();
    if (pid <= 0)
        return {-1, -1};
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Watchers(control, "MEM1") != 1 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    long listed = Watchers(control, "MEM1") == 1 ? ResidentKiB(pid) : -1;
    std::this_thread::sleep_for(std::chrono::seconds(2)); // a few of the sped-up ticks
    long later = ResidentKiB(pid);
    poller.Signal(SIGTERM);
    poller.Wait(std::chrono::seconds(30));
    // The poller's drive watcher goes with it; wait so the next run starts the same way.
    while (Watchers(control, "MEM1") != 0 && Clock::now() < deadline + std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return {listed, later};
}

} // namespace

int main() {
    char homeTemplate[] = "/tmp/tvb-bench-prefs-XXXXXX";
    const std::string home = mkdtemp(homeTemplate);

    tvbtest::DeviceHost host;
    std::string error;
    if (!host.Start(&error)) {
        std::fprintf(stderr, "cannot start the device host: %s\n", error.c_str());
        return 1;
    }
    tvb::wire::Connection control;
    control.Connect(host.SocketPath());
    tvb::wire::AttachRequest attach;
    attach.serial = "MEM1";
    tvb::wire::AttachAnswer attached;
    control.Call(attach, attached, 5000);

    int status = 0;
    long baseline = -1;
    std::printf("poller resident memory (VmRSS) after start-up, by preferences file:\n");
    for (int keys : {0, 200000}) {
        size_t bytes = WritePreferences(home, keys);
        auto [listed, later] = MeasurePoller(home, control, host.SocketPath());
        if (listed < 0) {
            std::fprintf(stderr, "the poller did not list the drive\n");
            status = 1;
            continue;
        }
        std::printf("  %6d keys, %7.2f MB file: %6ld KiB once listed, %6ld KiB 2 s later\n", keys,
                    bytes / 1e6, listed, later);
        if (baseline < 0)
            baseline = later;
        // The parse alone needs some 55 MB; a few MB more than the baseline would be noise.
        else if (later > baseline + 4096) {
            std::printf("  the big file's parse stays resident: %+ld KiB\n", later - baseline);
            status = 1;
        }
    }
    std::error_code ec;
    fs::remove_all(home, ec);
    return status;
}
