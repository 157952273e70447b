// Handles: one per object, user references counted on it, dead at zero, never shared
// between host runs; the master port, there without a host, and the bounded wait for one.
#include "IOKitTestSupport.h"
#include "TvbWire.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>

namespace iokittest {
namespace {

class IOKitHandles : public IOKitTest {};

TEST_F(IOKitHandles, EachReturnedReferenceAddsOneToTheSameHandle) {
    Attach("HANDLES1");
    io_iterator_t first = 0, second = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault,
                                           IOServiceMatching("com_ostrel_IOTVB"), &first),
              KERN_SUCCESS);
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault,
                                           IOServiceMatching("com_ostrel_IOTVB"), &second),
              KERN_SUCCESS);
    io_service_t a = IOIteratorNext(first);
    io_service_t b = IOIteratorNext(second);
    ASSERT_NE(a, 0u);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(IOObjectIsEqualTo(a, b));
    EXPECT_EQ(IOObjectGetUserRetainCount(a), 2u);

    EXPECT_EQ(IOObjectRetain(a), KERN_SUCCESS);
    EXPECT_EQ(IOObjectGetUserRetainCount(a), 3u);
    EXPECT_EQ(IOObjectRelease(a), KERN_SUCCESS);
    EXPECT_EQ(IOObjectRelease(b), KERN_SUCCESS);
    EXPECT_EQ(IOObjectGetUserRetainCount(a), 1u);
    EXPECT_EQ(ClassOf(a), "com_ostrel_IOTVB");

    // Reset starts the snapshot over and hands out the same handle again.
    IOIteratorReset(first);
    EXPECT_EQ(IOIteratorNext(first), a);
    EXPECT_EQ(IOObjectGetUserRetainCount(a), 2u);
    IOObjectRelease(a);
    IOObjectRelease(a);
    EXPECT_EQ(IOObjectGetUserRetainCount(a), 0u);
    EXPECT_EQ(IOIteratorNext(first), 0u);
    IOObjectRelease(first);
    IOObjectRelease(second);
}

TEST_F(IOKitHandles, AHandleReleasedToZeroIsDeadForEveryCall) {
    Attach("HANDLES2");
    io_service_t bridge = FirstService("com_ostrel_IOTVB");
    ASSERT_NE(bridge, 0u);
    io_iterator_t parents = 0;
    ASSERT_EQ(IORegistryEntryCreateIterator(
                  bridge, kIOServicePlane,
                  kIORegistryIterateRecursively | kIORegistryIterateParents, &parents),
              KERN_SUCCESS);
    ASSERT_EQ(IOObjectRelease(bridge), KERN_SUCCESS);
    ASSERT_EQ(IOObjectRelease(parents), KERN_SUCCESS);

    io_name_t name;
    io_iterator_t iterator = 0;
    io_connect_t connect = 0;
    mach_timespec_t wait = {1, 0};
    EXPECT_EQ(IOObjectRelease(bridge), kIOReturnBadArgument);
    EXPECT_EQ(IOObjectRetain(bridge), kIOReturnBadArgument);
    EXPECT_EQ(IOObjectGetUserRetainCount(bridge), 0u);
    EXPECT_EQ(IOObjectGetClass(bridge, name), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(IORegistryEntryGetName(bridge, name), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(IORegistryEntryCreateCFProperty(bridge, CFSTR("serial_number_core"), nullptr, 0),
              nullptr);
    EXPECT_EQ(IORegistryEntryCreateIterator(bridge, kIOServicePlane, kIORegistryIterateParents,
                                            &iterator),
              MACH_SEND_INVALID_DEST);
    EXPECT_EQ(iterator, 0u);
    EXPECT_EQ(IOServiceWaitQuiet(bridge, &wait), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(IOServiceOpen(bridge, mach_task_self(), 0, &connect), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(connect, 0u);
    EXPECT_EQ(IOIteratorNext(parents), 0u);
    EXPECT_FALSE(IOIteratorIsValid(parents));
    EXPECT_EQ(IOObjectRelease(0), kIOReturnBadArgument);
}

TEST_F(IOKitHandles, HandlesOfTheWrongKindAreRefused) {
    Attach("HANDLES3");
    io_service_t bridge = FirstService("com_ostrel_IOTVB");
    io_iterator_t iterator = 0;
    ASSERT_EQ(
        IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOMedia"), &iterator),
        KERN_SUCCESS);
    // An entry is no iterator, an iterator has no registry name, neither is a connection.
    EXPECT_EQ(IOIteratorNext(bridge), 0u);
    EXPECT_EQ(IOObjectGetUserRetainCount(bridge), 1u);
    io_name_t name;
    EXPECT_NE(IORegistryEntryGetName(iterator, name), KERN_SUCCESS);
    EXPECT_EQ(ClassOf(iterator), "IOUserIterator");
    EXPECT_EQ(IOConnectMethodScalarIScalarO(bridge, 0, 0, 0), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(IOServiceClose(iterator), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(IOObjectGetUserRetainCount(iterator), 1u);
    EXPECT_NE(mach_task_self(), 0u);
    EXPECT_EQ(IOObjectRelease(mach_task_self()), kIOReturnBadArgument);
    IOObjectRelease(iterator);
    IOObjectRelease(bridge);
}

TEST_F(IOKitHandles, EntriesOfARestartedHostNeverShareAHandleWithTheOldOnes) {
    Attach("RESTART1");
    io_service_t old = FirstService("com_ostrel_IOTVB");
    uint64_t oldId = 0;
    ASSERT_EQ(IORegistryEntryGetRegistryEntryID(old, &oldId), KERN_SUCCESS);

    host.Kill();
    ASSERT_TRUE(host.Start());
    Attach("RESTART2");
    io_service_t fresh = FirstService("com_ostrel_IOTVB");
    uint64_t freshId = 0;
    ASSERT_EQ(IORegistryEntryGetRegistryEntryID(fresh, &freshId), KERN_SUCCESS);
    // The new host numbers its entries afresh: same id, another object.
    EXPECT_EQ(freshId, oldId);
    EXPECT_NE(fresh, old);
    EXPECT_FALSE(IOObjectIsEqualTo(fresh, old));

    CFTypeRef serial =
        IORegistryEntryCreateCFProperty(fresh, CFSTR("serial_number_core"), nullptr, 0);
    ASSERT_NE(serial, nullptr);
    EXPECT_TRUE(CFEqual(serial, CFSTR("RESTART2")));
    CFRelease(serial);
    // The old handle lives on but names nothing the new host has.
    EXPECT_EQ(IORegistryEntryCreateCFProperty(old, CFSTR("serial_number_core"), nullptr, 0),
              nullptr);
    io_iterator_t iterator = 0;
    EXPECT_EQ(
        IORegistryEntryCreateIterator(old, kIOServicePlane, kIORegistryIterateParents, &iterator),
        kIOReturnNotFound);
    IOObjectRelease(old);
    IOObjectRelease(fresh);
}

TEST_F(IOKitHandles, MasterPortIsOneHandleCountedPerCall) {
    mach_port_t first = 0, second = 0;
    ASSERT_EQ(IOMasterPort(MACH_PORT_NULL, &first), KERN_SUCCESS);
    ASSERT_EQ(IOMasterPort(MACH_PORT_NULL, &second), KERN_SUCCESS);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(first, second);
    EXPECT_EQ(IOObjectGetUserRetainCount(first), 2u);
    IOObjectRelease(first);
    IOObjectRelease(second);
}

TEST_F(IOKitHandles, WithoutAHostTheMasterPortIsThereAndRequestsFailAtOnce) {
    Attach("ABSENT1");
    io_service_t bridge = FirstService("com_ostrel_IOTVB");
    ASSERT_NE(bridge, 0u);
    // Killed: its socket file stays behind with nobody listening.
    host.Kill();
    mach_port_t master = 0;
    ASSERT_EQ(IOMasterPort(MACH_PORT_NULL, &master), KERN_SUCCESS);
    EXPECT_NE(master, 0u);

    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(FirstService("IOMedia"), 0u);
        EXPECT_EQ(IORegistryEntryCreateCFProperty(bridge, CFSTR("serial_number_core"), nullptr, 0),
                  nullptr);
        io_connect_t connect = 5;
        EXPECT_EQ(IOServiceOpen(bridge, mach_task_self(), 0, &connect), kIOReturnNotResponding);
        EXPECT_EQ(connect, 0u);
    }
    // Sixty requests: a wait for the host in each would take a minute.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    IOObjectRelease(master);
    IOObjectRelease(bridge);
}

TEST_F(IOKitHandles, RequestsGiveUpOnAHostThatNeverAnswers) {
    host.Stop();
    // Something accepts connections on the socket but never says a word.
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, host.SocketPath().c_str(), sizeof address.sun_path - 1);
    unlink(address.sun_path);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);

    mach_port_t master = 0;
    ASSERT_EQ(IOMasterPort(MACH_PORT_NULL, &master), KERN_SUCCESS);
    const auto start = std::chrono::steady_clock::now();
    io_iterator_t iterator = 5;
    EXPECT_EQ(
        IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOMedia"), &iterator),
        kIOReturnNotResponding);
    EXPECT_EQ(iterator, 0u);
    // Generous: the request time-out is one second.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    IOObjectRelease(master);
    close(listener);
}

TEST_F(IOKitHandles, AnEntryNamedAgainComesBackUnderItsNameAndDeadNamesAreNotHandedOutAgain) {
    Attach("PARKED");
    io_service_t bridge = FirstService("com_ostrel_IOTVB");
    ASSERT_NE(bridge, 0u);
    ASSERT_EQ(IOObjectRelease(bridge), KERN_SUCCESS);
    EXPECT_EQ(IOObjectGetUserRetainCount(bridge), 0u);
    EXPECT_EQ(ClassOf(bridge), "");
    io_service_t again = FirstService("com_ostrel_IOTVB");
    EXPECT_EQ(again, bridge);
    EXPECT_EQ(IOObjectGetUserRetainCount(again), 1u);
    EXPECT_EQ(ClassOf(again), "com_ostrel_IOTVB");
    IOObjectRelease(again);

    // A released iterator's slot is used again at once, under a name not given before.
    std::set<io_object_t> names;
    for (int i = 0; i < 64; ++i) {
        io_iterator_t iterator = 0;
        ASSERT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOMedia"),
                                               &iterator),
                  KERN_SUCCESS);
        EXPECT_TRUE(names.insert(iterator).second) << std::hex << iterator;
        IOObjectRelease(iterator);
        EXPECT_FALSE(IOIteratorIsValid(iterator));
    }
}

// Every IOService entry named once through an iterator, as (registry id, name) in order; with
// `release`, each let go at once.
std::vector<std::pair<uint64_t, io_object_t>> NameEveryEntry(bool release) {
    std::vector<std::pair<uint64_t, io_object_t>> named;
    io_iterator_t iterator = 0;
    EXPECT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOService"),
                                           &iterator),
              KERN_SUCCESS);
    for (io_object_t o = IOIteratorNext(iterator); o != 0; o = IOIteratorNext(iterator)) {
        uint64_t id = 0;
        EXPECT_EQ(IORegistryEntryGetRegistryEntryID(o, &id), KERN_SUCCESS);
        named.emplace_back(id, o);
        if (release)
            IOObjectRelease(o);
    }
    IOObjectRelease(iterator);
    return named;
}

// The table parks at most a few thousand unreferenced entry handles; beyond that it forgets
// them all at once. Held handles must not notice, and forgotten names must neither answer nor
// be found again through what the table remembers of recent look-ups.
TEST_F(IOKitHandles, ParkedHandlesBeyondTheLimitAreForgottenWithoutTouchingHeldOnes) {
    tvb::wire::Connection control;
    ASSERT_TRUE(control.Connect(host.SocketPath()));
    for (int i = 0; i < 800; ++i) { // six entries a drive: more than the table parks
        tvb::wire::AttachRequest attach;
        attach.serial = "MANY" + std::to_string(i);
        attach.volumes.push_back(tvb::wire::VolumeSpec{"V", 100, 10, false, false});
        tvb::wire::AttachAnswer attached;
        ASSERT_TRUE(control.Call(attach, attached, 5000).Ok());
    }
    io_service_t held = FirstService("com_ostrel_IOTVB");
    ASSERT_NE(held, 0u);

    const auto first = NameEveryEntry(true);
    ASSERT_GT(first.size(), 4800u);
    EXPECT_EQ(IOObjectGetUserRetainCount(held), 1u);
    EXPECT_EQ(ClassOf(held), "com_ostrel_IOTVB");
    size_t answered = 0;
    for (const auto& [id, name] : first)
        answered += name != held && !ClassOf(name).empty();
    EXPECT_EQ(answered, 0u) << "released names still answer";

    // Named again, no name stands for two entries.
    const auto second = NameEveryEntry(false);
    std::set<io_object_t> names;
    for (const auto& [id, name] : second)
        EXPECT_TRUE(names.insert(name).second) << "one name for two entries: " << std::hex << name;
    EXPECT_EQ(names.size(), first.size());
    for (const auto& [id, name] : second)
        IOObjectRelease(name);
    EXPECT_EQ(IOObjectGetUserRetainCount(held), 1u);
    IOObjectRelease(held);
}

} // namespace
} // namespace iokittest
