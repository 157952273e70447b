#include "PollerTestHost.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "TestProcess.h"

namespace pollertest {
namespace {

fs::path gRoot;
tvbtest::Process* gHost = nullptr;

std::map<std::string, std::string> CtlEnvironment() {
    return {{"HOME", Home().string()},
            {"PATH", "/usr/bin:/bin"},
            {"ASAN_OPTIONS", "detect_leaks=1:verify_asan_link_order=0"}};
}

class HostEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/tvb-poller-unit-XXXXXX";
        gRoot = mkdtemp(pattern);
        fs::create_directories(Home());
        setenv("HOME", Home().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (gRoot / "config").c_str(), 1);
        setenv("TVB_DEVHOST_SOCKET", (gRoot / "devhost.sock").c_str(), 1);
        gHost =
            new tvbtest::Process({TVB_DEVHOST_PATH, "--socket", (gRoot / "devhost.sock").string()},
                                 CtlEnvironment(), gRoot / "devhost.out");
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (CtlStatus({"ping"}) != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(InitializeDeviceMonitor(), 0);
    }
    void TearDown() override {
        // The host going away terminates every drive: the daemon's own termination
        // handling then frees each listed entry and its notification record.
        delete gHost;
        EXPECT_TRUE(RunLoopUntil([] { return pollButtonServices.GetCount() == 0; }))
            << "drives still listed after the host went away";
        gHost = nullptr;
        std::error_code ec;
        fs::remove_all(gRoot, ec);
    }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new HostEnvironment);

} // namespace

fs::path ScratchRoot() {
    return gRoot;
}
fs::path Home() {
    return gRoot / "home";
}

int CtlStatus(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TVB_CTL_PATH, "--socket", (gRoot / "devhost.sock").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return tvbtest::Run(argv, CtlEnvironment()).status;
}

std::string Ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TVB_CTL_PATH, "--socket", (gRoot / "devhost.sock").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    tvbtest::CommandResult result = tvbtest::Run(argv, CtlEnvironment());
    EXPECT_EQ(result.status, 0) << "tvbctl " << ::testing::PrintToString(args) << ": "
                                << result.output;
    while (!result.output.empty() && result.output.back() == '\n')
        result.output.pop_back();
    return result.output;
}

std::vector<std::string> CtlLines(const std::vector<std::string>& args) {
    std::vector<std::string> lines;
    std::istringstream in(Ctl(args));
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

std::string AttachListed(const std::string& serial, const std::vector<std::string>& options) {
    std::vector<std::string> args = {"attach", serial};
    args.insert(args.end(), options.begin(), options.end());
    std::string bsd = Ctl(args);
    // Every arrival raises the refresh request, listed or not: wait for that.
    updatePctFree = false;
    EXPECT_TRUE(RunLoopUntil([] { return updatePctFree; }))
        << "no arrival notification for " << serial;
    return bsd;
}

io_service_t BridgeService(const std::string& serial) {
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(gMasterPort, IOServiceMatching("com_ostrel_IOTVB"),
                                     &iterator) != KERN_SUCCESS)
        return 0;
    CFStringRef wanted =
        CFStringCreateWithCString(kCFAllocatorDefault, serial.c_str(), kCFStringEncodingUTF8);
    io_service_t found = 0;
    while (io_service_t service = IOIteratorNext(iterator)) {
        CFTypeRef value = IORegistryEntryCreateCFProperty(service, CFSTR("serial_number_core"),
                                                          kCFAllocatorDefault, 0);
        bool match = value != NULL && CFEqual(value, wanted);
        if (value != NULL)
            CFRelease(value);
        if (match && found == 0) {
            found = service;
            continue;
        }
        IOObjectRelease(service);
    }
    CFRelease(wanted);
    IOObjectRelease(iterator);
    return found;
}

service_serial* ListedEntry(const std::string& serial) {
    CFStringRef wanted =
        CFStringCreateWithCString(kCFAllocatorDefault, serial.c_str(), kCFStringEncodingUTF8);
    service_serial* entry = nullptr;
    service_serial* found = nullptr;
    for (long index = 1; found == nullptr && pollButtonServices.FetchItemAt(index, entry); ++index)
        if (CFEqual(entry->serial, wanted))
            found = entry;
    CFRelease(wanted);
    return found;
}

int ListedCount(const std::string& serial) {
    CFStringRef wanted =
        CFStringCreateWithCString(kCFAllocatorDefault, serial.c_str(), kCFStringEncodingUTF8);
    service_serial* entry = nullptr;
    int count = 0;
    for (long index = 1; pollButtonServices.FetchItemAt(index, entry); ++index)
        count += CFEqual(entry->serial, wanted) ? 1 : 0;
    CFRelease(wanted);
    return count;
}

bool RunLoopUntil(const std::function<bool()>& condition, double seconds) {
    CFAbsoluteTime deadline = CFAbsoluteTimeGetCurrent() + seconds;
    while (!condition()) {
        if (CFAbsoluteTimeGetCurrent() >= deadline)
            return false;
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
    }
    return true;
}

} // namespace pollertest
