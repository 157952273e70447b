// Notification ports: first-match iterators and their arming, general-interest messages,
// termination, and what a port does when the host goes away, comes back or starts late.
#include "IOKitTestSupport.h"

#include <IOKit/IOMessage.h>

#include "IONotificationPort_Internal.h"
#include "TvbSession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace iokittest {
namespace {

struct Matches {
    int calls = 0;
    bool drain = true;
    std::vector<std::string> serials; // of the bridges above what the drains found
};

struct Messages {
    std::vector<natural_t> types;
    std::vector<io_service_t> services;
    io_object_t notification = 0;
    bool releaseOnTermination = true;
};

size_t OpenDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

std::string SerialAbove(io_service_t service) {
    io_iterator_t parents = 0;
    std::string serial;
    if (IORegistryEntryCreateIterator(service, kIOServicePlane,
                                      kIORegistryIterateRecursively | kIORegistryIterateParents,
                                      &parents) != KERN_SUCCESS)
        return serial;
    for (io_object_t e = IOIteratorNext(parents); e != 0; e = IOIteratorNext(parents)) {
        CFTypeRef value =
            IORegistryEntryCreateCFProperty(e, CFSTR("serial_number_core"), nullptr, 0);
        if (value != nullptr && serial.empty()) {
            char text[64] = "";
            CFStringGetCString(static_cast<CFStringRef>(value), text, sizeof text,
                               kCFStringEncodingUTF8);
            serial = text;
        }
        if (value != nullptr)
            CFRelease(value);
        IOObjectRelease(e);
    }
    IOObjectRelease(parents);
    return serial;
}

void TakeMatches(Matches& matches, io_iterator_t iterator) {
    for (io_service_t s = IOIteratorNext(iterator); s != 0; s = IOIteratorNext(iterator)) {
        matches.serials.push_back(SerialAbove(s));
        IOObjectRelease(s);
    }
}

void OnMatch(void* refCon, io_iterator_t iterator) {
    auto* matches = static_cast<Matches*>(refCon);
    ++matches->calls;
    if (matches->drain)
        TakeMatches(*matches, iterator);
}

void OnMessage(void* refCon, io_service_t service, natural_t type, void*) {
    auto* messages = static_cast<Messages*>(refCon);
    messages->types.push_back(type);
    messages->services.push_back(service);
    if (type == kIOMessageServiceIsTerminated && messages->releaseOnTermination) {
        IOObjectRelease(messages->notification);
        messages->notification = 0;
    }
}

// Sends this process's standard error to a file while it lives.
class StderrCapture {
public:
    explicit StderrCapture(std::string path) : mPath(std::move(path)) {
        std::fflush(stderr);
        mSaved = dup(STDERR_FILENO);
        int fd = open(mPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) {
            dup2(fd, STDERR_FILENO);
            close(fd);
        }
    }
    ~StderrCapture() {
        std::fflush(stderr);
        if (mSaved >= 0) {
            dup2(mSaved, STDERR_FILENO);
            close(mSaved);
        }
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    size_t Count(const std::string& text) const {
        std::ifstream in(mPath);
        std::stringstream all;
        all << in.rdbuf();
        const std::string written = all.str();
        size_t count = 0;
        for (size_t at = written.find(text); at != std::string::npos;
             at = written.find(text, at + text.size()))
            ++count;
        return count;
    }

private:
    std::string mPath;
    int mSaved = -1;
};

// Stands between the stand-ins and a host on a socket of its own and passes whole frames both
// ways. Once told to, it holds the host's next events back until that connection's next answer
// and then passes the answer and the events on in one write: what a client slowed between its
// request and its receive finds when the host sent the events just after the answer.
class EventsBehindAnswerProxy {
public:
    EventsBehindAnswerProxy(std::string path, std::string hostPath)
        : mPath(std::move(path)), mHostPath(std::move(hostPath)) {
        mListener = Listen(mPath);
        if (mListener >= 0 && pipe2(mStop, O_CLOEXEC) == 0)
            mThread = std::thread([this] { Run(); });
    }
    ~EventsBehindAnswerProxy() {
        if (mThread.joinable()) {
            const char stop = 0;
            (void)!write(mStop[1], &stop, 1);
            mThread.join();
        }
        for (int fd : {mListener, mStop[0], mStop[1]})
            if (fd >= 0)
                close(fd);
        unlink(mPath.c_str());
    }
    EventsBehindAnswerProxy(const EventsBehindAnswerProxy&) = delete;
    EventsBehindAnswerProxy& operator=(const EventsBehindAnswerProxy&) = delete;

    bool Running() const { return mThread.joinable(); }
    void HoldEvents() { mHold = true; }
    // The next answer on a connection that carried events is followed by a malformed frame.
    void SpoilAfterNextAnswer() { mSpoil = true; }
    // Events were held and went out behind an answer.
    bool PutBehindAnswer() const { return mPutBehind; }

private:
    struct Pair {
        int client = -1;
        int host = -1;
        std::vector<uint8_t> fromHost; // an incomplete frame
        std::vector<uint8_t> held;     // events held back
        bool carriedEvents = false;
    };

    static sockaddr_un Address(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        return address;
    }
    static int Listen(const std::string& path) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = Address(path);
        if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            listen(fd, 8) == 0)
            return fd;
        if (fd >= 0)
            close(fd);
        return -1;
    }
    static bool SendAll(int fd, const uint8_t* data, size_t length) {
        while (length > 0) {
            const ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            data += sent;
            length -= static_cast<size_t>(sent);
        }
        return true;
    }

    // Whole frames from the host go on at once, except the events held back.
    bool FromHost(Pair& pair) {
        uint8_t chunk[65536];
        const ssize_t got = recv(pair.host, chunk, sizeof chunk, 0);
        if (got <= 0)
            return false;
        pair.fromHost.insert(pair.fromHost.end(), chunk, chunk + got);
        std::vector<uint8_t> out;
        size_t at = 0;
        while (pair.fromHost.size() - at >= tvb::wire::kHeaderBytes) {
            uint32_t length = 0;
            std::memcpy(&length, pair.fromHost.data() + at, sizeof length); // little endian
            const size_t whole = tvb::wire::kLengthBytes + length;
            if (pair.fromHost.size() - at < whole)
                break;
            const auto kind = static_cast<tvb::wire::FrameKind>(pair.fromHost[at + 6]);
            const uint8_t* frame = pair.fromHost.data() + at;
            pair.carriedEvents = pair.carriedEvents || kind == tvb::wire::FrameKind::Event;
            if (mHold && kind == tvb::wire::FrameKind::Event) {
                pair.held.insert(pair.held.end(), frame, frame + whole);
            } else {
                out.insert(out.end(), frame, frame + whole);
                if (kind == tvb::wire::FrameKind::Answer && !pair.held.empty()) {
                    out.insert(out.end(), pair.held.begin(), pair.held.end());
                    pair.held.clear();
                    mHold = false;
                    mPutBehind = true;
                }
                if (kind == tvb::wire::FrameKind::Answer && pair.carriedEvents && mSpoil) {
                    std::vector<uint8_t> spoilt(tvb::wire::kHeaderBytes, 0);
                    spoilt[0] = tvb::wire::kHeaderBytes - tvb::wire::kLengthBytes;
                    spoilt[6] = 9; // no such frame kind
                    out.insert(out.end(), spoilt.begin(), spoilt.end());
                    mSpoil = false;
                }
            }
            at += whole;
        }
        pair.fromHost.erase(pair.fromHost.begin(), pair.fromHost.begin() + at);
        return SendAll(pair.client, out.data(), out.size());
    }

    void Run() {
        std::vector<std::unique_ptr<Pair>> pairs;
        for (;;) {
            std::vector<pollfd> watched = {{mStop[0], POLLIN, 0}, {mListener, POLLIN, 0}};
            for (const auto& pair : pairs) {
                watched.push_back({pair->client, POLLIN, 0});
                watched.push_back({pair->host, POLLIN, 0});
            }
            if (poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR)
                break;
            if (watched[0].revents != 0)
                break;
            const size_t polled = pairs.size();
            if (watched[1].revents & POLLIN) {
                auto pair = std::make_unique<Pair>();
                pair->client = accept4(mListener, nullptr, nullptr, SOCK_CLOEXEC);
                pair->host = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_un address = Address(mHostPath);
                if (pair->client >= 0 && pair->host >= 0 &&
                    connect(pair->host, reinterpret_cast<const sockaddr*>(&address),
                            sizeof address) == 0)
                    pairs.push_back(std::move(pair));
                else
                    Close(*pair);
            }
            for (size_t i = 0; i < polled; ++i) {
                Pair& pair = *pairs[i];
                bool open = true;
                if (watched[2 + 2 * i].revents != 0) {
                    uint8_t chunk[65536];
                    const ssize_t got = recv(pair.client, chunk, sizeof chunk, 0);
                    open = got > 0 && SendAll(pair.host, chunk, static_cast<size_t>(got));
                }
                if (open && watched[3 + 2 * i].revents != 0)
                    open = FromHost(pair);
                if (!open)
                    Close(pair);
            }
            pairs.erase(std::remove_if(pairs.begin(), pairs.end(),
                                       [](const auto& pair) { return pair->client < 0; }),
                        pairs.end());
        }
        for (auto& pair : pairs)
            Close(*pair);
    }
    static void Close(Pair& pair) {
        for (int* fd : {&pair.client, &pair.host}) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
        }
    }

    const std::string mPath;
    const std::string mHostPath;
    int mListener = -1;
    int mStop[2] = {-1, -1};
    std::atomic<bool> mHold{false};
    std::atomic<bool> mPutBehind{false};
    std::atomic<bool> mSpoil{false};
    std::thread mThread;
};

class IOKitNotifications : public IOKitTest {
protected:
    void SetUp() override {
        IOKitTest::SetUp();
        CreatePort();
    }
    void CreatePort() {
        port = IONotificationPortCreate(kIOMasterPortDefault);
        ASSERT_NE(port, nullptr);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                           kCFRunLoopDefaultMode);
    }
    void TearDown() override {
        if (port != nullptr)
            Destroy();
        IOKitTest::TearDown();
    }
    void Destroy() {
        CFRunLoopRemoveSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                              kCFRunLoopDefaultMode);
        IONotificationPortDestroy(port);
        port = nullptr;
    }
    io_iterator_t WatchStorage(Matches& matches) {
        io_iterator_t iterator = 0;
        EXPECT_EQ(IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                                   IOServiceMatching("IOBlockStorageServices"),
                                                   OnMatch, &matches, &iterator),
                  KERN_SUCCESS);
        return iterator;
    }
    io_object_t WatchBridge(const char* serialClass, Messages& messages) {
        io_service_t bridge = FirstService(serialClass);
        EXPECT_NE(bridge, 0u);
        EXPECT_EQ(IOServiceAddInterestNotification(port, bridge, kIOGeneralInterest, OnMessage,
                                                   &messages, &messages.notification),
                  KERN_SUCCESS);
        IOObjectRelease(bridge);
        return messages.notification;
    }
    // Events reach a port in the order the host sent them: once a message sent after some
    // event has come through, that event has been handled too.
    void Settle(const std::string& serial, Messages& messages) {
        const size_t before = messages.types.size();
        Ctl({"message", serial, "e0000300"});
        ASSERT_TRUE(RunLoopUntil([&] { return messages.types.size() > before; }));
    }

    IONotificationPortRef port = nullptr;
};

TEST_F(IOKitNotifications, FirstMatchYieldsPresentServicesThenCallsBackForArrivals) {
    Attach("EARLY");
    Matches matches;
    io_iterator_t iterator = WatchStorage(matches);
    ASSERT_NE(iterator, 0u);
    EXPECT_EQ(ClassOf(iterator), "IOServiceUserNotification");
    TakeMatches(matches, iterator);
    EXPECT_EQ(matches.serials, std::vector<std::string>{"EARLY"});
    EXPECT_EQ(matches.calls, 0);

    Attach("LATE", {"--second-storage"});
    ASSERT_TRUE(RunLoopUntil([&] { return matches.calls == 1; }));
    // Both block-storage services of the new drive came in one delivery.
    EXPECT_EQ(matches.serials, (std::vector<std::string>{"EARLY", "LATE", "LATE"}));
    IOObjectRelease(iterator);
}

TEST_F(IOKitNotifications, AnUndrainedIteratorIsNotCalledAgainUntilDrained) {
    Attach("WATCHED");
    Messages messages;
    messages.releaseOnTermination = false;
    WatchBridge("com_ostrel_IOTVB", messages);
    Matches matches;
    io_iterator_t iterator = WatchStorage(matches);
    // Not drained after registration: arrivals queue up without a call-back.
    Attach("SECOND");
    Settle("WATCHED", messages);
    EXPECT_EQ(matches.calls, 0);

    TakeMatches(matches, iterator);
    EXPECT_EQ(matches.serials, (std::vector<std::string>{"WATCHED", "SECOND"}));
    matches.drain = false;
    Attach("THIRD");
    ASSERT_TRUE(RunLoopUntil([&] { return matches.calls == 1; }));
    // The call-back left the iterator full: the next arrival stays silent.
    Attach("FOURTH");
    Settle("WATCHED", messages);
    EXPECT_EQ(matches.calls, 1);
    TakeMatches(matches, iterator);
    EXPECT_EQ(matches.serials, (std::vector<std::string>{"WATCHED", "SECOND", "THIRD", "FOURTH"}));
    // Drained again, so armed again.
    Attach("FIFTH");
    ASSERT_TRUE(RunLoopUntil([&] { return matches.calls == 2; }));
    IOObjectRelease(iterator);
    IOObjectRelease(messages.notification);
}

TEST_F(IOKitNotifications, InterestCarriesMessagesThenTerminationOnDetach) {
    Attach("SPEAKER");
    Messages messages;
    io_service_t bridge = FirstService("com_ostrel_IOTVB");
    ASSERT_EQ(IOServiceAddInterestNotification(port, bridge, kIOGeneralInterest, OnMessage,
                                               &messages, &messages.notification),
              KERN_SUCCESS);
    EXPECT_EQ(IOObjectGetUserRetainCount(bridge), 1u);
    EXPECT_NE(CtlOutput({"list"}).find("watchers=1"), std::string::npos);

    Ctl({"message", "SPEAKER", "e0000101"});
    Ctl({"message", "SPEAKER", "0xe0000230"});
    ASSERT_TRUE(RunLoopUntil([&] { return messages.types.size() == 2; }));
    EXPECT_EQ(messages.types[0], kIOMessageServiceIsAttemptingOpen);
    EXPECT_EQ(messages.types[1], kIOMessageDeviceHasPoweredOn);
    EXPECT_EQ(messages.services[0], bridge);
    // The service handle was only lent for the call-back.
    EXPECT_EQ(IOObjectGetUserRetainCount(bridge), 1u);

    Ctl({"detach", "SPEAKER"});
    ASSERT_TRUE(RunLoopUntil([&] { return messages.types.size() == 3; }));
    EXPECT_EQ(messages.types[2], kIOMessageServiceIsTerminated);
    EXPECT_EQ(messages.services[2], bridge);
    EXPECT_EQ(messages.notification, 0u);
    IOObjectRelease(bridge);
}

TEST_F(IOKitNotifications, ReleasingAnInterestNotificationEndsIt) {
    Attach("QUIETENED");
    Messages messages;
    io_object_t notification = WatchBridge("com_ostrel_IOTVB", messages);
    ASSERT_NE(notification, 0u);
    EXPECT_EQ(ClassOf(notification), "IOServiceMessageUserNotification");
    EXPECT_EQ(IOObjectRelease(notification), KERN_SUCCESS);
    EXPECT_NE(CtlOutput({"list"}).find("watchers=0"), std::string::npos);
}

TEST_F(IOKitNotifications, KilledHostTerminatesEveryInterestAndReturningHostRedelivers) {
    Attach("SURVIVOR");
    Attach("SIBLING");
    Matches matches;
    io_iterator_t iterator = WatchStorage(matches);
    TakeMatches(matches, iterator);
    Messages first, second;
    std::vector<io_service_t> bridges = AllServices("com_ostrel_IOTVB");
    ASSERT_EQ(bridges.size(), 2u);
    ASSERT_EQ(IOServiceAddInterestNotification(port, bridges[0], kIOGeneralInterest, OnMessage,
                                               &first, &first.notification),
              KERN_SUCCESS);
    ASSERT_EQ(IOServiceAddInterestNotification(port, bridges[1], kIOGeneralInterest, OnMessage,
                                               &second, &second.notification),
              KERN_SUCCESS);

    host.Kill();
    ASSERT_TRUE(RunLoopUntil([&] { return !first.types.empty() && !second.types.empty(); }));
    EXPECT_EQ(first.types, std::vector<natural_t>{kIOMessageServiceIsTerminated});
    EXPECT_EQ(second.types, std::vector<natural_t>{kIOMessageServiceIsTerminated});
    EXPECT_EQ(first.services[0], bridges[0]);
    EXPECT_TRUE(port->IsRetrying());

    // The drive is already there when the port gets back: it is found as a new match.
    ASSERT_TRUE(host.Start());
    Attach("SURVIVOR");
    matches.serials.clear();
    ASSERT_TRUE(RunLoopUntil([&] { return matches.calls >= 1; }));
    EXPECT_EQ(matches.serials, std::vector<std::string>{"SURVIVOR"});
    EXPECT_TRUE(port->IsConnected());
    EXPECT_FALSE(port->IsRetrying());
    // And later arrivals keep coming.
    Attach("NEWCOMER");
    ASSERT_TRUE(RunLoopUntil([&] { return matches.calls >= 2; }));
    EXPECT_EQ(matches.serials, (std::vector<std::string>{"SURVIVOR", "NEWCOMER"}));
    io_service_t current = FirstService("com_ostrel_IOTVB");
    EXPECT_NE(current, bridges[0]);
    IOObjectRelease(current);
    for (io_service_t s : bridges)
        IOObjectRelease(s);
    IOObjectRelease(iterator);
}

// A host that went away and came back before the run loop looked: the port's first request
// after that (releasing a live interest) meets the new host, and must not carry on there as if
// nothing happened, or the port would never subscribe again or hear of anything.
TEST_F(IOKitNotifications, ARequestThatMeetsANewHostEndsTheOldConnectionAsTheRunLoopWould) {
    Attach("OLD");
    Matches matches;
    io_iterator_t iterator = WatchStorage(matches);
    TakeMatches(matches, iterator);
    Messages messages;
    io_object_t notification = WatchBridge("com_ostrel_IOTVB", messages);
    host.Stop();
    ASSERT_TRUE(host.Start());
    Attach("NEW");

    EXPECT_EQ(IOObjectRelease(notification), KERN_SUCCESS);
    ASSERT_TRUE(RunLoopUntil([&] { return matches.calls == 1; }));
    EXPECT_EQ(matches.serials, (std::vector<std::string>{"OLD", "NEW"}));
    EXPECT_TRUE(messages.types.empty()) << "released before the loss was seen";
    Attach("LATER");
    ASSERT_TRUE(RunLoopUntil([&] { return matches.calls == 2; }));
    EXPECT_EQ(matches.serials, (std::vector<std::string>{"OLD", "NEW", "LATER"}));
    IOObjectRelease(iterator);
}

TEST_F(IOKitNotifications, PortDestroyedFromItsOwnCallBackStopsCleanly) {
    Attach("LAST");
    struct Destroyer {
        IONotificationPortRef port;
        io_object_t notification = 0;
        int calls = 0;
    } state{port};
    io_service_t bridge = FirstService("com_ostrel_IOTVB");
    ASSERT_EQ(IOServiceAddInterestNotification(
                  port, bridge, kIOGeneralInterest,
                  [](void* refCon, io_service_t, natural_t, void*) {
                      auto* s = static_cast<Destroyer*>(refCon);
                      ++s->calls;
                      CFRunLoopRemoveSource(CFRunLoopGetCurrent(),
                                            IONotificationPortGetRunLoopSource(s->port),
                                            kCFRunLoopDefaultMode);
                      IONotificationPortDestroy(s->port);
                      s->port = nullptr;
                  },
                  &state, &state.notification),
              KERN_SUCCESS);
    port = nullptr; // the call-back owns its end now
    Ctl({"message", "LAST", "e0000300"});
    Ctl({"message", "LAST", "e0000300"});
    ASSERT_TRUE(RunLoopUntil([&] { return state.calls == 1; }));
    // Two messages were queued; the second had no port left to arrive through.
    RunLoopUntil([] { return false; }, 0.3);
    EXPECT_EQ(state.calls, 1);
    // The notification outlives its port as an inert handle.
    EXPECT_EQ(IOObjectRelease(state.notification), KERN_SUCCESS);
    IOObjectRelease(bridge);
}

TEST_F(IOKitNotifications, PortDestroyedByOneTerminationDeliversNoOtherAndIsFreed) {
    Attach("FIRST");
    Attach("SECOND");
    struct Destroyer {
        IONotificationPortRef port;
        io_object_t notifications[2] = {0, 0};
        int calls = 0;
        size_t descriptorsBefore = 0;
    } state{port};
    std::vector<io_service_t> bridges = AllServices("com_ostrel_IOTVB");
    ASSERT_EQ(bridges.size(), 2u);
    for (size_t i = 0; i < bridges.size(); ++i)
        ASSERT_EQ(IOServiceAddInterestNotification(
                      port, bridges[i], kIOGeneralInterest,
                      [](void* refCon, io_service_t, natural_t, void*) {
                          auto* s = static_cast<Destroyer*>(refCon);
                          ++s->calls;
                          s->descriptorsBefore = OpenDescriptors();
                          // Left on the run loop: destroying it must take it off.
                          IONotificationPortDestroy(s->port);
                          s->port = nullptr;
                      },
                      &state, &state.notifications[i]),
                  KERN_SUCCESS);
    port = nullptr;
    // Losing the host makes both terminations due in one dispatch.
    host.Stop(SIGKILL);
    ASSERT_TRUE(RunLoopUntil([&] { return state.calls >= 1; }));
    // Deleted once the dispatch was over: its wake-up descriptors (epoll, eventfd, timerfd)
    // are closed.
    EXPECT_EQ(OpenDescriptors() + 3, state.descriptorsBefore);
    RunLoopUntil([] { return false; }, 0.2);
    EXPECT_EQ(state.calls, 1);
    for (io_object_t notification : state.notifications)
        EXPECT_EQ(IOObjectRelease(notification), KERN_SUCCESS);
    for (io_service_t bridge : bridges)
        IOObjectRelease(bridge);
}

TEST_F(IOKitNotifications, FirstMatchRegisteredBeforeTheHostStartsYieldsItsDrivesOnceItIsUp) {
    Destroy();
    host.Stop();
    CreatePort();
    EXPECT_FALSE(port->IsConnected());
    EXPECT_TRUE(port->IsRetrying());
    CFMutableDictionaryRef matching = IOServiceMatching("IOBlockStorageServices");
    CFRetain(matching);
    Matches matches;
    io_iterator_t iterator = 0;
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOFirstMatchNotification, matching, OnMatch,
                                               &matches, &iterator),
              KERN_SUCCESS);
    ASSERT_NE(iterator, 0u);
    EXPECT_EQ(CFGetRetainCount(matching), 1);
    CFRelease(matching);
    // Nothing to yield yet; draining arms it, as the poller does at start.
    TakeMatches(matches, iterator);
    EXPECT_TRUE(matches.serials.empty());

    // The run loop is idle until the drive is there: the port reaches a host that has it.
    ASSERT_TRUE(host.Start());
    Attach("BEFORE");
    ASSERT_TRUE(RunLoopUntil([&] { return matches.calls == 1; }));
    EXPECT_EQ(matches.serials, std::vector<std::string>{"BEFORE"});
    EXPECT_TRUE(port->IsConnected());
    Attach("AFTER");
    ASSERT_TRUE(RunLoopUntil([&] { return matches.calls == 2; }));
    EXPECT_EQ(matches.serials, (std::vector<std::string>{"BEFORE", "AFTER"}));

    // Other notification types are not offered.
    io_iterator_t terminated = 5;
    EXPECT_EQ(IOServiceAddMatchingNotification(port, kIOTerminatedNotification,
                                               IOServiceMatching("IOMedia"), OnMatch, &matches,
                                               &terminated),
              kIOReturnUnsupported);
    EXPECT_EQ(terminated, 0u);
    IOObjectRelease(iterator);
}

TEST_F(IOKitNotifications, InterestRegisteredWhileNoHostIsReachedWaitsForTheNextHost) {
    Attach("FORMER");
    io_service_t former = FirstService("com_ostrel_IOTVB");
    ASSERT_NE(former, 0u);
    Destroy();
    host.Kill();
    CreatePort();
    ASSERT_TRUE(host.Start());
    Attach("CURRENT");
    io_service_t current = FirstService("com_ostrel_IOTVB");
    ASSERT_NE(current, former);

    // The port has not retried since the host came: both are kept for its next attempt.
    ASSERT_FALSE(port->IsConnected());
    Messages old, live;
    ASSERT_EQ(IOServiceAddInterestNotification(port, former, kIOGeneralInterest, OnMessage, &old,
                                               &old.notification),
              KERN_SUCCESS);
    ASSERT_EQ(IOServiceAddInterestNotification(port, current, kIOGeneralInterest, OnMessage, &live,
                                               &live.notification),
              KERN_SUCCESS);
    EXPECT_NE(old.notification, 0u);
    EXPECT_NE(live.notification, 0u);
    EXPECT_NE(CtlOutput({"list"}).find("watchers=0"), std::string::npos);

    // The host reached has the current service and not the former run's.
    ASSERT_TRUE(RunLoopUntil([&] { return port->IsConnected() && !old.types.empty(); }));
    EXPECT_EQ(old.types, std::vector<natural_t>{kIOMessageServiceIsTerminated});
    EXPECT_EQ(old.services[0], former);
    EXPECT_NE(CtlOutput({"list"}).find("watchers=1"), std::string::npos);
    Ctl({"message", "CURRENT", "e0000300"});
    ASSERT_TRUE(RunLoopUntil([&] { return !live.types.empty(); }));
    EXPECT_EQ(live.types, std::vector<natural_t>{0xe0000300});
    EXPECT_EQ(live.services[0], current);
    IOObjectRelease(live.notification);
    IOObjectRelease(current);
    IOObjectRelease(former);
}

TEST_F(IOKitNotifications, WaitingForTheHostIsSaidOnceUntilAHostIsReached) {
    Destroy();
    host.Stop();
    StderrCapture capture(host.Directory() + "/stderr.txt");
    const std::string notice = "waiting for the device host at " + host.SocketPath() + "\n";
    CreatePort();
    ASSERT_TRUE(RunLoopUntil([&] { return port->FailedAttempts() >= 4; }));
    EXPECT_EQ(capture.Count(notice), 1u) << "one notice, not one per retry";

    ASSERT_TRUE(host.Start());
    ASSERT_TRUE(RunLoopUntil([&] { return port->IsConnected(); }));
    EXPECT_EQ(capture.Count(notice), 1u);
    // Lost again: waiting again, said again, once.
    host.Kill();
    const int failed = port->FailedAttempts();
    ASSERT_TRUE(RunLoopUntil([&] { return port->FailedAttempts() >= failed + 3; }));
    EXPECT_EQ(capture.Count(notice), 2u);
}

// A host that stopped and answers again announces itself with its next event: the drive that
// event brings must be readable at once, not after the back-off the stop caused (a poller
// would otherwise skip the drive for good, as no second arrival comes).
TEST_F(IOKitNotifications, AnArrivalAfterTheHostAnswersAgainIsReadableDespiteTheBackOff) {
    Attach("BEFORE");
    Matches matches;
    io_iterator_t iterator = WatchStorage(matches);
    TakeMatches(matches, iterator);
    io_service_t bridge = FirstService("com_ostrel_IOTVB");
    ASSERT_NE(bridge, 0u);

    ASSERT_EQ(kill(host.Pid(), SIGSTOP), 0);
    CFTypeRef never = IORegistryEntryCreateCFProperty(bridge, CFSTR("asked once"), nullptr, 0);
    ASSERT_EQ(kill(host.Pid(), SIGCONT), 0);
    EXPECT_EQ(never, nullptr);
    ASSERT_TRUE(tvb::wire::HostSession::Shared().BackingOff());

    Attach("AFTER");
    ASSERT_TRUE(RunLoopUntil([&] { return matches.calls == 1; }));
    EXPECT_EQ(matches.serials, (std::vector<std::string>{"BEFORE", "AFTER"}));
    IOObjectRelease(bridge);
    IOObjectRelease(iterator);
}

// The host stops while an iterator is drained, so every question about the drives it gives
// out goes unanswered, and no second arrival will come: the port hands them out again once the
// host may answer, or a poller would never list them. First the program's own drain right
// after registering, then a call-back's.
struct StoppedDuringDrain {
    pid_t host = 0;
    int stopInCall = 0; // the call-back that stops the host; 0: none
    Matches matches;
};

void OnMatchWhileHostStops(void* refCon, io_iterator_t iterator) {
    auto* drain = static_cast<StoppedDuringDrain*>(refCon);
    const bool stop = drain->matches.calls + 1 == drain->stopInCall;
    if (stop)
        kill(drain->host, SIGSTOP);
    OnMatch(&drain->matches, iterator);
    if (stop)
        kill(drain->host, SIGCONT);
}

TEST_F(IOKitNotifications, ServicesGivenOutWhileTheHostDidNotAnswerAreHandedOutAgain) {
    Attach("EARLY");
    StoppedDuringDrain drain;
    drain.host = host.Pid();
    io_iterator_t iterator = 0;
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                               IOServiceMatching("IOBlockStorageServices"),
                                               OnMatchWhileHostStops, &drain, &iterator),
              KERN_SUCCESS);
    ASSERT_EQ(kill(host.Pid(), SIGSTOP), 0);
    TakeMatches(drain.matches, iterator);
    ASSERT_EQ(kill(host.Pid(), SIGCONT), 0);
    ASSERT_TRUE(RunLoopUntil([&] { return drain.matches.calls == 1; }));
    EXPECT_EQ(drain.matches.serials, (std::vector<std::string>{"", "EARLY"}));

    drain.stopInCall = 2;
    Attach("STOPPED");
    ASSERT_TRUE(RunLoopUntil([&] { return drain.matches.calls == 3; }));
    EXPECT_EQ(drain.matches.serials, (std::vector<std::string>{"", "EARLY", "", "STOPPED"}));
    // Handled now: nothing more comes.
    RunLoopUntil([] { return false; }, 2.5);
    EXPECT_EQ(drain.matches.calls, 3);
    IOObjectRelease(iterator);
}

// Watches each service it is given, as the poller's DeviceAdded does; `beforeWatching` runs
// once, before the first registration.
struct WatchEach {
    IONotificationPort* port = nullptr;
    std::function<void()> beforeWatching;
    size_t services = 0;
    std::vector<io_object_t> interests;
    Messages messages;
};

void OnMatchWatchEach(void* refCon, io_iterator_t iterator) {
    auto* watch = static_cast<WatchEach*>(refCon);
    for (io_service_t s = IOIteratorNext(iterator); s != 0; s = IOIteratorNext(iterator)) {
        ++watch->services;
        if (watch->beforeWatching) {
            auto before = std::move(watch->beforeWatching);
            watch->beforeWatching = nullptr;
            before();
        }
        io_object_t interest = 0;
        EXPECT_EQ(IOServiceAddInterestNotification(watch->port, s, kIOGeneralInterest, OnMessage,
                                                   &watch->messages, &interest),
                  KERN_SUCCESS);
        watch->interests.push_back(interest);
        IOObjectRelease(s);
    }
}

// The port's requests and events pass through a proxy the test steers.
class IOKitNotificationsThroughProxy : public IOKitNotifications {
protected:
    void SetUp() override {
        IOKitNotifications::SetUp();
        Destroy();
        const std::string path = host.Directory() + "/proxy.sock";
        proxy = std::make_unique<EventsBehindAnswerProxy>(path, host.SocketPath());
        ASSERT_TRUE(proxy->Running());
        setenv("TVB_DEVHOST_SOCKET", path.c_str(), 1);
        CreatePort();
        watch.port = port;
        ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                                   IOServiceMatching("IOBlockStorageServices"),
                                                   OnMatchWatchEach, &watch, &iterator),
                  KERN_SUCCESS);
        OnMatchWatchEach(&watch, iterator);
    }
    void TearDown() override {
        for (io_object_t interest : watch.interests)
            IOObjectRelease(interest);
        if (iterator != 0)
            IOObjectRelease(iterator);
        if (port != nullptr)
            Destroy();
        proxy.reset();
        IOKitNotifications::TearDown();
    }

    std::unique_ptr<EventsBehindAnswerProxy> proxy;
    WatchEach watch;
    io_iterator_t iterator = 0;
};

// The next drive's arrival may reach the port in one read with the answer to the interest the
// call-back registers for the last one; the socket has nothing left to read then, so only the
// port can say that an event waits.
TEST_F(IOKitNotificationsThroughProxy, AnArrivalReadWithAnAnswerIsDeliveredWithoutFurtherTraffic) {
    watch.beforeWatching = [&] {
        proxy->HoldEvents();
        Attach("SECOND");
    };
    Attach("FIRST");
    ASSERT_TRUE(RunLoopUntil([&] { return watch.services >= 1; }));
    ASSERT_TRUE(proxy->PutBehindAnswer());
    // Nothing else comes from the host: the arrival that came with the answer must do.
    EXPECT_TRUE(RunLoopUntil([&] { return watch.services == 2; }, 5.0));
}

// Read with the answer, a malformed frame closes the port's connection without anything left
// on a socket to wake the run loop: the port must notice all the same and connect again.
TEST_F(IOKitNotificationsThroughProxy, AConnectionClosedBehindAnAnswerIsNoticedAndMadeAgain) {
    watch.beforeWatching = [&] { proxy->SpoilAfterNextAnswer(); };
    Attach("FIRST");
    ASSERT_TRUE(RunLoopUntil([&] { return watch.services >= 1; }));
    const auto terminated = [&] {
        return std::find(watch.messages.types.begin(), watch.messages.types.end(),
                         kIOMessageServiceIsTerminated) != watch.messages.types.end();
    };
    // The interest hears that its connection went; the next connection finds FIRST again.
    EXPECT_TRUE(RunLoopUntil([&] { return terminated() && watch.services >= 2; }, 5.0));
    EXPECT_TRUE(port->IsConnected());
}

} // namespace
} // namespace iokittest
