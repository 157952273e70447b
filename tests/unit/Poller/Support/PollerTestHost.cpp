#include "PollerTestHost.h"

#include <stdlib.h>

#include <sstream>

#include "DeviceHost.h"
#include "ScratchWorld.h"

namespace pollertest {
namespace {

tvbtest::ScratchWorld* gWorld = nullptr;
tvbtest::DeviceHost* gHost = nullptr;

class HostEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        gWorld = new tvbtest::ScratchWorld("poller-unit");
        // The daemon runs in this process: it takes the world's environment.
        for (const auto& [name, value] : gWorld->Env())
            setenv(name.c_str(), value.c_str(), 1);
        gHost = new tvbtest::DeviceHost(gWorld->Socket().string(), {}, gWorld->Env());
        std::string error;
        ASSERT_TRUE(gHost->Start(&error)) << error;
        ASSERT_EQ(InitializeDeviceMonitor(), 0);
    }
    void TearDown() override {
        // The host going away terminates every drive: the daemon's own termination
        // handling then frees each listed entry and its notification record.
        delete gHost;
        gHost = nullptr;
        EXPECT_TRUE(RunLoopUntil([] { return pollButtonServices.GetCount() == 0; }))
            << "drives still listed after the host went away";
        delete gWorld;
        gWorld = nullptr;
    }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new HostEnvironment);

} // namespace

fs::path ScratchRoot() {
    return gWorld->Root();
}
fs::path Home() {
    return gWorld->Home();
}

int CtlStatus(const std::vector<std::string>& args) {
    return gHost->Ctl(args).exitCode;
}

std::string Ctl(const std::vector<std::string>& args) {
    tvbtest::ProgramResult result = gHost->Ctl(args);
    EXPECT_EQ(result.exitCode, 0) << "tvbctl " << ::testing::PrintToString(args) << ": "
                                  << result.err;
    while (!result.out.empty() && result.out.back() == '\n')
        result.out.pop_back();
    return result.out;
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
