// One walk of the Process Manager (GetNextProcess and GetProcessInformation for every
// application, as the poller makes at start-up and at every tick of a backup) while processes
// of the user carry large things the walk could read: programs with megabytes of arguments,
// and an application whose Info.plist is near the 8 MB a property-list file may have. Each
// must cost a walk next to nothing once its process is known. Prints a report.
#include <Carbon/Carbon.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <stdlib.h>

#include "TestProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Milliseconds for one walk; `seen` gets the number of applications in it.
double Walk(int& seen) {
    auto start = Clock::now();
    seen = 0;
    ProcessSerialNumber psn = {0, kNoProcess};
    while (GetNextProcess(&psn) == noErr) {
        ProcessInfoRec info;
        std::memset(&info, 0, sizeof info);
        info.processInfoLength = sizeof info;
        if (GetProcessInformation(&psn, &info) != noErr)
            break;
        ++seen;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double MedianWalk(int walks, int& seen) {
    std::vector<double> times;
    for (int i = 0; i < walks; ++i)
        times.push_back(Walk(seen));
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// An Info.plist of string entries coming just under 8 MiB; its size in bytes.
size_t WriteBigInfoPlist(const fs::path& bundle) {
    fs::create_directories(bundle / "Contents" / "MacOS");
    fs::path file = bundle / "Contents" / "Info.plist";
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "<key>CFBundleSignature</key><string>BigI</string>\n<key>Pad</key><array>\n";
    for (int i = 0; i < 420000; ++i)
        out << "<string>x</string>\n";
    out << "</array>\n</dict>\n</plist>\n";
    out.close();
    return static_cast<size_t>(fs::file_size(file));
}

} // namespace

int main() {
    char folderTemplate[] = "/tmp/tvb-bench-walk-XXXXXX";
    const fs::path folder = mkdtemp(folderTemplate);
    const tvbtest::Environment env = tvbtest::InheritedEnvironment();
    int status = 0;
    int seen = 0;

    double baseline = MedianWalk(21, seen);
    std::printf("one walk of the Process Manager (median of 21):\n");
    std::printf("  as the machine is (%d applications):       %8.2f ms\n", seen, baseline);

    {
        // Stopped shells, each with 1.5 MB of arguments: not applications, so every walk
        // looks at them and reads as much of their command line as it reads.
        const std::string argument(100000, 'a');
        std::vector<tvbtest::Process> shells;
        for (int i = 0; i < 10; ++i) {
            std::vector<std::string> argv{"/bin/sh", "-c", "kill -STOP $$", "sh"};
            argv.insert(argv.end(), 15, argument);
            shells.emplace_back(argv, env);
        }
        double walk = MedianWalk(21, seen);
        std::printf("  with 10 programs of 1.5 MB of arguments:  %8.2f ms\n", walk);
        std::printf("summary|walk|10 programs of 1.5 MB arguments|%+.2f ms a walk\n",
                    walk - baseline);
    }

    {
        fs::path bundle = folder / "Big.app";
        size_t bytes = WriteBigInfoPlist(bundle);
        fs::path executable = bundle / "Contents" / "MacOS" / "Big";
        fs::copy_file("/bin/sleep", executable);
        tvbtest::Process app({executable.string(), "1000"}, env);
        if (app.Pid() <= 0) {
            std::fprintf(stderr, "cannot start the application\n");
            status = 1;
        } else {
            double first = Walk(seen);
            double later = MedianWalk(21, seen);
            std::printf("  with an application of a %.2f MB Info.plist: %8.2f ms the first walk,"
                        " %8.2f ms later ones\n",
                        bytes / 1e6, first, later);
            std::printf("summary|walk|an application of an 8 MB Info.plist, later walks|%+.2f ms"
                        " a walk (the first: %.0f ms)\n",
                        later - baseline, first);
        }
    }

    std::error_code ec;
    fs::remove_all(folder, ec);
    return status;
}
