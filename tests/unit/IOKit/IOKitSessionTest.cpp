// The process's one session with the host and the cache kept with the registry generation:
// what a stopped host costs, and that nothing cached outlives a change of the registry.
#include "IOKitTestSupport.h"
#include "TvbSession.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>

using namespace iokittest;

namespace {

using Clock = std::chrono::steady_clock;

class IOKitSession : public IOKitTest {
protected:
    void TearDown() override {
        if (stopped)
            kill(host.Pid(), SIGCONT);
        tvb::wire::HostSession::Shared().EndBackoffForTesting();
        IOKitTest::TearDown();
    }

    void StopHost() {
        ASSERT_EQ(kill(host.Pid(), SIGSTOP), 0);
        stopped = true;
    }
    void ResumeHost() {
        ASSERT_EQ(kill(host.Pid(), SIGCONT), 0);
        stopped = false;
    }

    static io_service_t ByBsdName(const char* bsdName) {
        return IOServiceGetMatchingService(MACH_PORT_NULL,
                                           IOBSDNameMatching(MACH_PORT_NULL, 0, bsdName));
    }

    static uint64_t IdOf(io_registry_entry_t entry) {
        uint64_t id = 0;
        EXPECT_EQ(IORegistryEntryGetRegistryEntryID(entry, &id), KERN_SUCCESS);
        return id;
    }

    // The classes of the entry's providers, nearest first.
    static std::vector<std::string> Providers(io_registry_entry_t entry) {
        io_iterator_t parents = 0;
        std::vector<std::string> classes;
        if (IORegistryEntryCreateIterator(entry, kIOServicePlane,
                                          kIORegistryIterateParents | kIORegistryIterateRecursively,
                                          &parents) != KERN_SUCCESS)
            return classes;
        for (io_object_t parent : Drain(parents))
            classes.push_back(ClassOf(parent));
        IOObjectRelease(parents);
        return classes;
    }

    bool stopped = false;
};

} // namespace

TEST_F(IOKitSession, AStoppedHostCostsOneTimeOutThenRequestsFailAtOnce) {
    Attach("STOPPED");
    io_service_t bridge = FirstService("com_ostrel_IOTVB");
    ASSERT_NE(bridge, 0u);
    StopHost();
    CFTypeRef serial = IORegistryEntryCreateCFProperty(bridge, CFSTR("serial_number_core"),
                                                       kCFAllocatorDefault, 0);
    EXPECT_EQ(serial, nullptr);
    EXPECT_TRUE(tvb::wire::HostSession::Shared().BackingOff());
    // Twenty more requests, as many drives in one tick would make: each fails without waiting
    // for the host (a second each would be twenty).
    const auto start = Clock::now();
    io_connect_t connect = 0;
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(IORegistryEntryCreateCFProperty(bridge, CFSTR("serial_number_core"),
                                                  kCFAllocatorDefault, 0),
                  nullptr);
        EXPECT_EQ(IOServiceOpen(bridge, mach_task_self(), 0, &connect), kIOReturnNotResponding);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

    // Once the host answers again and the back-off has passed, requests go through.
    ResumeHost();
    tvb::wire::HostSession::Shared().EndBackoffForTesting();
    serial = IORegistryEntryCreateCFProperty(bridge, CFSTR("serial_number_core"),
                                             kCFAllocatorDefault, 0);
    ASSERT_NE(serial, nullptr);
    CFRelease(serial);
    EXPECT_FALSE(tvb::wire::HostSession::Shared().BackingOff());
    IOObjectRelease(bridge);
}

TEST_F(IOKitSession, RepeatedQuestionsNeedNoHostUntilTheRegistryMoves) {
    Attach("CACHED", {"--volume", "Data:100:50"});
    io_service_t media = ByBsdName("disk2s1");
    ASSERT_NE(media, 0u);
    const uint64_t mediaId = IdOf(media);
    const std::vector<std::string> providers = Providers(media);
    ASSERT_FALSE(providers.empty());
    IOObjectRelease(media);

    // With the host stopped, the same walk is answered from what the process learnt: the
    // registry's generation, which the host publishes, has not moved.
    StopHost();
    media = ByBsdName("disk2s1");
    ASSERT_NE(media, 0u);
    EXPECT_EQ(IdOf(media), mediaId);
    EXPECT_EQ(Providers(media), providers);
    IOObjectRelease(media);
    EXPECT_FALSE(tvb::wire::HostSession::Shared().BackingOff());
    ResumeHost();

    // Detached and attached again between two walks: the next walk sees it at once.
    Ctl({"detach", "CACHED"});
    EXPECT_EQ(Attach("CACHED", {"--volume", "Data:100:50"}), "disk3");
    EXPECT_EQ(ByBsdName("disk2s1"), 0u);
    media = ByBsdName("disk3s1");
    ASSERT_NE(media, 0u);
    EXPECT_NE(IdOf(media), mediaId);
    EXPECT_EQ(Providers(media), providers);
    IOObjectRelease(media);
}

TEST_F(IOKitSession, AKilledHostsAnswersAreNeverGivenOutAgain) {
    Attach("KILLED", {"--volume", "Data:100:50"});
    io_service_t media = ByBsdName("disk2s1");
    ASSERT_NE(media, 0u);
    ASSERT_FALSE(Providers(media).empty());
    IOObjectRelease(media);

    // Killed, it could not say it was going; the cache must not answer for it.
    host.Stop(SIGKILL);
    EXPECT_EQ(ByBsdName("disk2s1"), 0u);

    // A new run at the same socket counts its generations afresh: what it answers is its own.
    ASSERT_TRUE(host.Start());
    EXPECT_EQ(ByBsdName("disk2s1"), 0u);
    EXPECT_EQ(Attach("KILLED", {"--volume", "Data:100:50"}), "disk2");
    media = ByBsdName("disk2s1");
    ASSERT_NE(media, 0u);
    CFTypeRef name = IORegistryEntryCreateCFProperty(media, CFSTR(kIOBSDNameKey), nullptr, 0);
    ASSERT_NE(name, nullptr);
    EXPECT_TRUE(CFEqual(name, CFSTR("disk2s1")));
    CFRelease(name);
    EXPECT_FALSE(Providers(media).empty());
    IOObjectRelease(media);
}

TEST_F(IOKitSession, AMatchingStringChangedBetweenTwoMatchesIsMatchedAsItReadsNow) {
    Attach("FIRST", {"--volume", "A:100:50"});
    Attach("SECOND", {"--volume", "B:100:50"});
    // The same string object in both dictionaries, changed in between: what was learnt for its
    // old text must not answer for the new one.
    CFMutableStringRef name = CFStringCreateMutable(nullptr, 0);
    CFStringAppendCString(name, "disk2s1", kCFStringEncodingUTF8);
    const auto match = [&] {
        CFMutableDictionaryRef matching = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        CFDictionarySetValue(matching, CFSTR(kIOBSDNameKey), name);
        return IOServiceGetMatchingService(MACH_PORT_NULL, matching);
    };
    io_service_t first = match();
    ASSERT_NE(first, 0u);
    const uint64_t firstId = IdOf(first);
    IOObjectRelease(first);
    first = match(); // unchanged: the same entry
    ASSERT_NE(first, 0u);
    EXPECT_EQ(IdOf(first), firstId);
    CFStringReplaceAll(name, CFSTR("disk3s1"));
    io_service_t second = match();
    ASSERT_NE(second, 0u);
    EXPECT_NE(IdOf(second), IdOf(first));
    CFTypeRef bsdName = IORegistryEntryCreateCFProperty(second, CFSTR(kIOBSDNameKey), nullptr, 0);
    ASSERT_NE(bsdName, nullptr);
    EXPECT_TRUE(CFEqual(bsdName, CFSTR("disk3s1")));
    CFRelease(bsdName);
    IOObjectRelease(first);
    IOObjectRelease(second);
    CFRelease(name);
}

// A host that cannot be reached for any reason but its absence would otherwise fail every
// request for good without a word: the reason is told once, and again only when it changes.
// In a child, whose standard error and descriptor limit are its own.
TEST(HostSessionConnect, AReasonOtherThanAnAbsentHostIsToldOnce) {
    char told[] = "/tmp/tvb-session-told-XXXXXX";
    const int file = mkstemp(told);
    ASSERT_GE(file, 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(file, STDERR_FILENO);
        tvb::wire::HostSession tooLong(std::string(200, 'x'));
        tvb::wire::HostSession absent("/nonexistent/devhost.sock");
        const rlimit none{3, 3}; // standard input, output and error only
        const bool refused = !tooLong.Connect() && !tooLong.Connect() && !absent.Connect() &&
                             setrlimit(RLIMIT_NOFILE, &none) == 0 && !absent.Connect();
        _exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    std::string text(4096, '\0');
    text.resize(
        static_cast<size_t>(std::max<ssize_t>(pread(file, text.data(), text.size(), 0), 0)));
    close(file);
    unlink(told);
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("too long"), 1u) << text;
    EXPECT_EQ(count("Too many open files"), 1u) << text;
    EXPECT_EQ(count("/nonexistent/devhost.sock"), 0u) << text;
}
