#include "AppleEvents_Internal.h"
#include "CarbonEvents_Internal.h"

#include <Carbon/CarbonEvents.h>
#include <Carbon/MacErrors.h>
#include <CoreFoundation/CFRunLoopPriv.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <unistd.h>

namespace {

// A quit asked for while the application loop is not running waits for the next run, as a
// quit event would wait in the event queue.
std::atomic<bool> gQuitRequested{false};
bool gRunning = false;
// The depth of the application loop's own run on the main run loop while it runs; a call-out
// may start runs of its own inside it.
CFIndex gRunDepth = 0;

// While the application loop runs: the source a quit request signals. Its presence also
// keeps the mode from ever running out of sources.
std::mutex gQuitSourceMutex;
CFRunLoopSourceRef gQuitSource = nullptr;

void QuitSourcePerform(void*) {
    // Performed by whichever run is innermost. That run is stopped so that a call-out waiting
    // in it comes back, and the application loop's own run so that the quit is not lost.
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopStop(loop);
    __CFRunLoopStopRunAtDepth(loop, gRunDepth);
}

void QuitSignalArrived(CFFileDescriptorRef f, CFOptionFlags, void*) {
    unsigned char bytes[64];
    while (read(CFFileDescriptorGetNativeDescriptor(f), bytes, sizeof bytes) > 0) {
    }
    QuitApplicationEventLoop();
    CFFileDescriptorEnableCallBacks(f, kCFFileDescriptorReadCallBack);
}

CFRunLoopRef LoopOf(EventLoopRef eventLoop) {
    return reinterpret_cast<CFRunLoopRef>(eventLoop);
}

} // namespace

EventLoopRef GetCurrentEventLoop(void) {
    return reinterpret_cast<EventLoopRef>(CFRunLoopGetCurrent());
}

EventLoopRef GetMainEventLoop(void) {
    return reinterpret_cast<EventLoopRef>(CFRunLoopGetMain());
}

CFTypeRef GetCFRunLoopFromEventLoop(EventLoopRef inEventLoop) {
    return LoopOf(inEventLoop);
}

void RunApplicationEventLoop(void) {
    CFRunLoopRef loop = CFRunLoopGetMain();
    if (CFRunLoopGetCurrent() != loop) {
        std::fputs("RunApplicationEventLoop() must be called on the main thread\n", stderr);
        return;
    }
    if (gRunning)
        return;
    gRunning = true;

    CFRunLoopSourceContext context{};
    context.perform = QuitSourcePerform;
    CFRunLoopSourceRef quitSource = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
    CFRunLoopAddSource(loop, quitSource, kCFRunLoopCommonModes);
    {
        std::lock_guard<std::mutex> guard(gQuitSourceMutex);
        gQuitSource = quitSource;
    }

    CFFileDescriptorRef signals = nullptr;
    CFRunLoopSourceRef signalSource = nullptr;
    int signalFd = __CarbonInstallQuitSignals();
    if (signalFd >= 0) {
        signals = CFFileDescriptorCreate(kCFAllocatorDefault, signalFd, false, QuitSignalArrived,
                                         nullptr);
        signalSource = CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, signals, 0);
        CFRunLoopAddSource(loop, signalSource, kCFRunLoopCommonModes);
        CFFileDescriptorEnableCallBacks(signals, kCFFileDescriptorReadCallBack);
    } else {
        // Without the pipe a quit would kill the process by the signal's default action and
        // skip everything after the loop; as when the run loop itself lacks descriptors (a low
        // limit), a failure status is the honest end.
        std::perror("RunApplicationEventLoop: cannot watch the quit signals");
        std::fflush(nullptr);
        _exit(EXIT_FAILURE);
    }

    // Other processes reach the application through Apple events only while it runs here.
    __AEStartServing(loop);
    gRunDepth = __CFRunLoopGetRunDepth(loop) + 1;
    while (!gQuitRequested.exchange(false))
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0e10, false);
    gRunDepth = 0;
    __AEStopServing();

    if (signals != nullptr) {
        CFFileDescriptorInvalidate(signals);
        CFRelease(signalSource);
        CFRelease(signals);
        __CarbonRestoreQuitSignals();
    }
    {
        std::lock_guard<std::mutex> guard(gQuitSourceMutex);
        gQuitSource = nullptr;
    }
    CFRunLoopSourceInvalidate(quitSource);
    CFRelease(quitSource);
    gRunning = false;
}

void QuitApplicationEventLoop(void) {
    gQuitRequested = true;
    std::lock_guard<std::mutex> guard(gQuitSourceMutex);
    if (gQuitSource != nullptr)
        CFRunLoopSourceSignal(gQuitSource);
}

OSStatus QuitEventLoop(EventLoopRef inEventLoop) {
    CFRunLoopRef loop = LoopOf(inEventLoop);
    if (loop == nullptr || CFGetTypeID(loop) != CFRunLoopGetTypeID())
        return paramErr;
    if (loop == CFRunLoopGetMain())
        QuitApplicationEventLoop();
    else
        CFRunLoopStop(loop);
    return noErr;
}
