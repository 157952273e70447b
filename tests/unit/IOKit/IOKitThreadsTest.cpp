// The stand-in used from several threads at once, as a multi-threaded caller would: registry
// walks, handle references and user-client calls share the process's handle table, registry
// cache and host session while the registry moves under them. Every thread checks what it was
// answered, and the fixture that every handle comes back.
#include "IOKitTestSupport.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace iokittest {
namespace {

class IOKitThreads : public IOKitTest {};

constexpr uint32_t kOpen = 0, kClose = 1, kButtonMap = 2;

std::string StringProperty(io_registry_entry_t entry, const char* key) {
    CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef value = IORegistryEntryCreateCFProperty(entry, name, nullptr, 0);
    CFRelease(name);
    std::string text;
    char buffer[128];
    if (value != nullptr && CFGetTypeID(value) == CFStringGetTypeID() &&
        CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer,
                           kCFStringEncodingUTF8))
        text = buffer;
    if (value != nullptr)
        CFRelease(value);
    return text;
}

// The serial of the bridge above `media`, found the poller's way: up the providers.
std::string BridgeSerialAbove(io_registry_entry_t media) {
    io_iterator_t parents = 0;
    if (IORegistryEntryCreateIterator(media, kIOServicePlane,
                                      kIORegistryIterateParents | kIORegistryIterateRecursively,
                                      &parents) != KERN_SUCCESS)
        return "";
    std::string serial;
    for (io_object_t parent = IOIteratorNext(parents); parent != 0;
         parent = IOIteratorNext(parents)) {
        if (serial.empty() && IOObjectConformsTo(parent, "com_ostrel_IOTVB"))
            serial = StringProperty(parent, "serial_number_core");
        IOObjectRelease(parent);
    }
    IOObjectRelease(parents);
    return serial;
}

struct Drive {
    std::string serial;
    std::string volume; // the one volume's name
    std::string bsd;    // that volume's BSD name
};

// One pass over every drive: its volume by BSD name, that media's bridge, the bridge's own
// user client for the thread's drive. Returns what was wrong, empty when nothing.
std::string Walk(const std::vector<Drive>& drives, size_t own) {
    std::string wrong;
    for (size_t d = 0; d < drives.size(); ++d) {
        const Drive& drive = drives[d];
        io_service_t media = IOServiceGetMatchingService(
            kIOMasterPortDefault, IOBSDNameMatching(kIOMasterPortDefault, 0, drive.bsd.c_str()));
        if (media == 0)
            return "no media " + drive.bsd;
        io_service_t again = IOServiceGetMatchingService(
            kIOMasterPortDefault, IOBSDNameMatching(kIOMasterPortDefault, 0, drive.bsd.c_str()));
        if (again != media)
            wrong += "two handles for " + drive.bsd + "; ";
        if (again != 0)
            IOObjectRelease(again);
        io_name_t name;
        if (IORegistryEntryGetName(media, name) != KERN_SUCCESS || drive.volume != name)
            wrong += "wrong name for " + drive.bsd + "; ";
        if (BridgeSerialAbove(media) != drive.serial)
            wrong += "wrong bridge above " + drive.bsd + "; ";
        IOObjectRelease(media);
    }
    for (io_service_t bridge : AllServices("com_ostrel_IOTVB")) {
        if (StringProperty(bridge, "serial_number_core") == drives[own].serial) {
            io_connect_t connect = 0;
            uint8_t answer[24] = {};
            IOByteCount size = sizeof answer;
            if (IOServiceOpen(bridge, mach_task_self(), 0, &connect) != KERN_SUCCESS ||
                IOConnectMethodScalarIScalarO(connect, kOpen, 0, 0) != KERN_SUCCESS ||
                IOConnectMethodStructureIStructureO(connect, kButtonMap, 0, &size, nullptr,
                                                    answer) != KERN_SUCCESS)
                wrong += "user client of " + drives[own].serial + " failed; ";
            else if (std::string(reinterpret_cast<char*>(answer + 4)).find(drives[own].serial) != 0)
                wrong += "another drive's answer on " + drives[own].serial + "'s connection; ";
            if (connect != 0) {
                IOConnectMethodScalarIScalarO(connect, kClose, 0, 0);
                IOServiceClose(connect);
            }
        }
        IOObjectRelease(bridge);
    }
    return wrong;
}

TEST_F(IOKitThreads, WalksOnSeveralThreadsWhileTheRegistryMovesAgreeAndGiveBackEveryHandle) {
    constexpr size_t kThreads = 3;
    constexpr int kChurns = 20;
    std::vector<Drive> drives;
    for (size_t t = 0; t < kThreads; ++t) {
        Drive drive{"THREAD" + std::to_string(t), "Vol" + std::to_string(t), ""};
        drive.bsd = Attach(drive.serial, {"--volume", drive.volume + ":1000000:250000"}) + "s1";
        drives.push_back(drive);
    }
    std::vector<std::string> wrong(kThreads);
    std::vector<int> passes(kThreads, 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            while (!stop && wrong[t].empty()) {
                wrong[t] = Walk(drives, t);
                ++passes[t];
            }
        });
    // Every attach and detach moves the registry generation: the threads' cached matches and
    // providers are dropped and learnt again meanwhile.
    for (int churn = 0; churn < kChurns; ++churn) {
        const std::string serial = "CHURN" + std::to_string(churn % 2);
        Attach(serial, {"--volume", "Churn:1000:500"});
        Ctl({"detach", serial});
    }
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    for (size_t t = 0; t < kThreads; ++t) {
        EXPECT_EQ(wrong[t], "") << "thread " << t;
        EXPECT_GT(passes[t], 0) << "thread " << t;
    }
}

} // namespace
} // namespace iokittest
