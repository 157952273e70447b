// Run-loop objects seen from a thread other than the loop's own while that loop changes them.
// A torn read here is rarely visible as a wrong result: run under ThreadSanitizer to see it.
#include "RunLoopTestSupport.h"

#include <atomic>
#include <future>
#include <string>

namespace {

std::string Description(CFTypeRef object) {
    CFStringRef text = CFCopyDescription(object);
    if (text == nullptr)
        return "";
    std::string buffer(static_cast<size_t>(CFStringGetLength(text)) * 3 + 1, '\0');
    if (!CFStringGetCString(text, buffer.data(), static_cast<CFIndex>(buffer.size()),
                            kCFStringEncodingUTF8))
        buffer.clear();
    CFRelease(text);
    return buffer.c_str();
}

struct Busy {
    CFRunLoopSourceRef source = nullptr;
    int modes = 0; // made by the timer's call-out, one per fire
};

// Each fire re-dates the timer, adds a mode to the loop (a new entry in its mode table) and
// signals the source; a descriptor that stays readable is served and enabled again at every
// pass. So everything a description reads keeps changing.
void Churn(CFRunLoopTimerRef timer, void* info) {
    auto* busy = static_cast<Busy*>(info);
    CFStringRef mode = CFStringCreateWithFormat(nullptr, nullptr, CFSTR("mode %d"), busy->modes++);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), busy->source, mode);
    CFRelease(mode);
    CFRunLoopSourceSignal(busy->source);
    CFRunLoopTimerSetNextFireDate(timer, CFAbsoluteTimeGetCurrent() + 0.001);
}

TEST(CFRunLoopThreads, DescriptionsOnAnotherThreadWhileTheLoopChangesWhatTheyShow) {
    Busy busy;
    CFRunLoopSourceContext sourceContext{};
    sourceContext.perform = [](void*) {};
    busy.source = CFRunLoopSourceCreate(nullptr, 0, &sourceContext);
    CFRunLoopTimerContext timerContext = {0, &busy, nullptr, nullptr, nullptr};
    CFRunLoopTimerRef timer =
        CFRunLoopTimerCreate(nullptr, CFAbsoluteTimeGetCurrent(), 0, 0, 0, &Churn, &timerContext);
    Pipe pipe;
    ASSERT_EQ(1, write(pipe.Write(), "x", 1));
    CFFileDescriptorRef readable = CFFileDescriptorCreate(
        nullptr, pipe.Read(), false,
        [](CFFileDescriptorRef f, CFOptionFlags, void*) {
            CFFileDescriptorEnableCallBacks(f, kCFFileDescriptorReadCallBack);
        },
        nullptr);
    CFRunLoopSourceRef readableSource = CFFileDescriptorCreateRunLoopSource(nullptr, readable, 0);
    CFFileDescriptorEnableCallBacks(readable, kCFFileDescriptorReadCallBack);
    std::promise<CFRunLoopRef> started;
    std::atomic<bool> done{false};
    std::thread runner([&] {
        CFRunLoopRef current = CFRunLoopGetCurrent();
        CFRetain(current);
        CFRunLoopAddTimer(current, timer, kCFRunLoopDefaultMode);
        CFRunLoopAddSource(current, busy.source, kCFRunLoopDefaultMode);
        CFRunLoopAddSource(current, readableSource, kCFRunLoopDefaultMode);
        started.set_value(current);
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.3, false);
        done = true;
    });
    const CFRunLoopRef loop = started.get_future().get();
    // Described over and over for as long as the loop runs.
    do {
        EXPECT_NE(Description(timer).find("valid = Yes"), std::string::npos);
        EXPECT_NE(Description(busy.source).find("valid = Yes"), std::string::npos);
        EXPECT_NE(Description(loop).find("kCFRunLoopDefaultMode"), std::string::npos);
        EXPECT_NE(Description(readable).find("valid = Yes"), std::string::npos);
    } while (!done);
    runner.join();
    ASSERT_GT(busy.modes, 0) << "the timer never fired";
    // The ended thread's loop was emptied, but keeps every mode it was given.
    const std::string last = Description(loop);
    int listed = 0;
    for (size_t at = last.find("mode "); at != std::string::npos; at = last.find("mode ", at + 1))
        ++listed;
    EXPECT_EQ(listed, busy.modes) << last;
    CFRelease(loop);
    CFRunLoopTimerInvalidate(timer);
    CFRelease(timer);
    CFFileDescriptorInvalidate(readable);
    CFRelease(readableSource);
    CFRelease(readable);
    CFRunLoopSourceInvalidate(busy.source);
    CFRelease(busy.source);
}

} // namespace
