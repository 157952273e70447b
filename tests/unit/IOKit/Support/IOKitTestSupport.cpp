#include "IOKitTestSupport.h"

#include "IOKitObjects_Internal.h"

#include <stdlib.h>

#include <cstdio>

namespace iokittest {

bool RunLoopUntil(const std::function<bool()>& done, double seconds) {
    bool reaped = false;
    CFRunLoopTimerContext context = {0, &reaped, nullptr, nullptr, nullptr};
    CFRunLoopTimerRef reaper = CFRunLoopTimerCreate(
        nullptr, CFAbsoluteTimeGetCurrent() + seconds, 0, 0, 0,
        [](CFRunLoopTimerRef, void* info) {
            *static_cast<bool*>(info) = true;
            CFRunLoopStop(CFRunLoopGetCurrent());
        },
        &context);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), reaper, kCFRunLoopCommonModes);
    while (!done() && !reaped)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, seconds, true);
    CFRunLoopTimerInvalidate(reaper);
    CFRelease(reaper);
    return done();
}

std::vector<io_service_t> AllServices(const char* className) {
    io_iterator_t iterator = 0;
    std::vector<io_service_t> services;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching(className),
                                     &iterator) != KERN_SUCCESS)
        return services;
    for (io_service_t s = IOIteratorNext(iterator); s != 0; s = IOIteratorNext(iterator))
        services.push_back(s);
    IOObjectRelease(iterator);
    return services;
}

io_service_t FirstService(const char* className) {
    return IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching(className));
}

std::string ClassOf(io_object_t object) {
    io_name_t name;
    return IOObjectGetClass(object, name) == KERN_SUCCESS ? std::string(name) : std::string();
}

std::vector<io_object_t> Drain(io_iterator_t iterator) {
    std::vector<io_object_t> seen;
    for (io_object_t o = IOIteratorNext(iterator); o != 0; o = IOIteratorNext(iterator)) {
        seen.push_back(o);
        IOObjectRelease(o);
    }
    return seen;
}

void IOKitTest::SetUp() {
    ASSERT_FALSE(host.Directory().empty());
    setenv("TVB_DEVHOST_SOCKET", host.SocketPath().c_str(), 1);
    ASSERT_TRUE(host.Start());
    mLiveHandles = iokit::HandleTable::Shared().LiveCount();
}

void IOKitTest::TearDown() {
    EXPECT_EQ(iokit::HandleTable::Shared().LiveCount(), mLiveHandles) << "handles leaked";
    // A host that went away says why (a crash, or who stopped it).
    if (HasFailure())
        std::fprintf(stderr, "the device host said:\n%s", host.Stderr().c_str());
}

std::string IOKitTest::Attach(const std::string& serial, const std::vector<std::string>& options) {
    std::vector<std::string> args = {"attach", serial};
    args.insert(args.end(), options.begin(), options.end());
    tvbtest::ProgramResult result = host.Ctl(args);
    EXPECT_EQ(result.exitCode, 0) << "tvbctl attach " << serial << ": " << result.err;
    std::string bsd = result.out;
    while (!bsd.empty() && (bsd.back() == '\n' || bsd.back() == ' '))
        bsd.pop_back();
    return bsd;
}

void IOKitTest::Ctl(const std::vector<std::string>& args) {
    tvbtest::ProgramResult result = host.Ctl(args);
    EXPECT_EQ(result.exitCode, 0) << "tvbctl " << (args.empty() ? "" : args[0]) << ": "
                                  << result.err;
}

std::string IOKitTest::CtlOutput(const std::vector<std::string>& args) {
    tvbtest::ProgramResult result = host.Ctl(args);
    EXPECT_EQ(result.exitCode, 0) << "tvbctl " << (args.empty() ? "" : args[0]) << ": "
                                  << result.err;
    return result.out;
}

} // namespace iokittest
