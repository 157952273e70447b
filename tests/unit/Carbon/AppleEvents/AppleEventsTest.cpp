// Apple events: the descriptors a handler reads its documents from, the handler table, and
// the application event loop answering events from another process (a forked child runs the
// loop; the test sends as Launch Services does, and as a confused peer would).
#include "AppleEvents_Internal.h"
#include "ScratchSupport.h"

#include <Carbon/Carbon.h>
#include <CoreFoundation/CFRunLoopPriv.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

FSRef RefTo(const char* path) {
    FSRef ref;
    EXPECT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(path), &ref, nullptr));
    return ref;
}

std::string PathOf(const FSRef& ref) {
    char path[4096] = "";
    EXPECT_EQ(noErr, FSRefMakePath(&ref, reinterpret_cast<UInt8*>(path), sizeof path));
    return path;
}

// An open-documents event for the given items, built as the event loop builds it.
AppleEvent OpenDocumentsEvent(const std::vector<FSRef>& items) {
    AppleEvent event;
    EXPECT_EQ(noErr, __AECreateEvent(kCoreEventClass, kAEOpenDocuments, &event));
    AEDescList list;
    EXPECT_EQ(noErr, AECreateList(nullptr, 0, false, &list));
    for (const FSRef& item : items)
        EXPECT_EQ(noErr, AEPutPtr(&list, 0, typeFSRef, &item, sizeof item));
    EXPECT_EQ(noErr, AEPutParamDesc(&event, keyDirectObject, &list));
    AEDisposeDesc(&list);
    return event;
}

TEST(AppleEventDescriptors, DocumentsReadBackAsAHandlerReadsThem) {
    AppleEvent event = OpenDocumentsEvent({RefTo("/"), RefTo("/tmp")});
    AEDescList documents;
    ASSERT_EQ(noErr, AEGetParamDesc(&event, keyDirectObject, typeAEList, &documents));
    AEDisposeDesc(&event); // the parameter is a copy: it outlives the event
    long count = 0;
    ASSERT_EQ(noErr, AECountItems(&documents, &count));
    ASSERT_EQ(2, count);
    FSRef ref;
    AEKeyword keyword = 1;
    DescType type = 0;
    Size size = 0;
    ASSERT_EQ(noErr,
              AEGetNthPtr(&documents, 2, typeFSRef, &keyword, &type, &ref, sizeof ref, &size));
    EXPECT_EQ(std::filesystem::canonical("/tmp").string(), PathOf(ref));
    EXPECT_EQ(0u, keyword);
    EXPECT_EQ(static_cast<DescType>(typeFSRef), type);
    EXPECT_EQ(static_cast<Size>(sizeof ref), size);

    // The same item as a descriptor of its own: keyword and bytes of the one asked for.
    AEDesc item;
    keyword = 1;
    ASSERT_EQ(noErr, AEGetNthDesc(&documents, 2, typeFSRef, &keyword, &item));
    EXPECT_EQ(0u, keyword);
    FSRef itemRef;
    ASSERT_EQ(noErr, AEGetDescData(&item, &itemRef, sizeof itemRef));
    EXPECT_EQ(PathOf(ref), PathOf(itemRef));
    AEDisposeDesc(&item);
    EXPECT_EQ(errAEIllegalIndex, AEGetNthDesc(&documents, 3, typeFSRef, nullptr, &item));

    // A short buffer gets what fits and learns the whole size.
    char head[4] = {};
    ASSERT_EQ(noErr, AEGetNthPtr(&documents, 1, typeWildCard, nullptr, nullptr, head, 2, &size));
    EXPECT_EQ(std::string("/\0\0\0", 4), std::string(head, 4));
    EXPECT_EQ(static_cast<Size>(sizeof ref), size);

    EXPECT_EQ(errAEIllegalIndex,
              AEGetNthPtr(&documents, 0, typeFSRef, nullptr, nullptr, &ref, sizeof ref, nullptr));
    EXPECT_EQ(errAEIllegalIndex,
              AEGetNthPtr(&documents, 3, typeFSRef, nullptr, nullptr, &ref, sizeof ref, nullptr));
    EXPECT_EQ(errAECoercionFail, AEGetNthPtr(&documents, 1, typeUTF8Text, nullptr, nullptr, &ref,
                                             sizeof ref, nullptr));
    EXPECT_EQ(noErr, AEDisposeDesc(&documents));
    EXPECT_EQ(static_cast<DescType>(typeNull), documents.descriptorType);
    EXPECT_EQ(noErr, AEDisposeDesc(&documents)) << "disposing twice is harmless";
}

TEST(AppleEventDescriptors, MissingOrMistypedParametersAreReportedNotGuessed) {
    AppleEvent event;
    ASSERT_EQ(noErr, __AECreateEvent(kCoreEventClass, kAEOpenDocuments, &event));
    AEDesc result;
    EXPECT_EQ(errAEDescNotFound, AEGetParamDesc(&event, keyDirectObject, typeAEList, &result));
    EXPECT_EQ(static_cast<DescType>(typeNull), result.descriptorType);

    // One document sent bare is still a list of one.
    FSRef root = RefTo("/");
    ASSERT_EQ(noErr, AEPutParamPtr(&event, keyDirectObject, typeFSRef, &root, sizeof root));
    ASSERT_EQ(noErr, AEGetParamDesc(&event, keyDirectObject, typeAEList, &result));
    long count = 0;
    EXPECT_EQ(noErr, AECountItems(&result, &count));
    EXPECT_EQ(1, count);
    AEDisposeDesc(&result);
    EXPECT_EQ(errAECoercionFail, AEGetParamDesc(&event, keyDirectObject, typeSInt32, &result));
    EXPECT_EQ(errAEWrongDataType, AECountItems(&result, &count)) << "a null descriptor is no list";
    AEDisposeDesc(&event);
}

TEST(AppleEventDescriptors, AttributeSizeCanBeAskedForWithoutABuffer) {
    AppleEvent event = OpenDocumentsEvent({});
    DescType type = 0;
    Size size = 0;
    ASSERT_EQ(noErr,
              AEGetAttributePtr(&event, keyEventClassAttr, typeType, &type, nullptr, 0, &size));
    EXPECT_EQ(static_cast<DescType>(typeType), type);
    AEEventClass eventClass = 0;
    EXPECT_EQ(static_cast<Size>(sizeof eventClass), size);
    ASSERT_EQ(noErr, AEGetAttributePtr(&event, keyEventClassAttr, typeWildCard, nullptr,
                                       &eventClass, sizeof eventClass, nullptr));
    EXPECT_EQ(static_cast<AEEventClass>(kCoreEventClass), eventClass);
    AEDisposeDesc(&event);
}

OSErr RecordingHandler(const AppleEvent* event, AppleEvent*, SRefCon refcon) {
    AEEventID id = 0;
    AEGetAttributePtr(event, keyEventIDAttr, typeType, nullptr, &id, sizeof id, nullptr);
    static_cast<std::vector<AEEventID>*>(refcon)->push_back(id);
    return id == kAEPrintDocuments ? OSErr(fnfErr) : OSErr(noErr);
}

TEST(AppleEventHandlers, ExactHandlerFirstThenWildCardThenNotHandled) {
    std::vector<AEEventID> exact, wild;
    AEEventHandlerUPP upp = NewAEEventHandlerUPP(RecordingHandler);
    ASSERT_EQ(noErr, AEInstallEventHandler(kCoreEventClass, kAEOpenDocuments, upp, &exact, false));
    ASSERT_EQ(noErr, AEInstallEventHandler(kCoreEventClass, typeWildCard, upp, &wild, false));
    AppleEvent open, print, quit;
    __AECreateEvent(kCoreEventClass, kAEOpenDocuments, &open);
    __AECreateEvent(kCoreEventClass, kAEPrintDocuments, &print);
    __AECreateEvent(0x74657374 /* 'test' */, kAEQuitApplication, &quit);

    EXPECT_EQ(noErr, __AEDispatch(&open));
    EXPECT_EQ(fnfErr, __AEDispatch(&print)) << "the handler's own status";
    EXPECT_EQ(errAEEventNotHandled, __AEDispatch(&quit));
    EXPECT_EQ(std::vector<AEEventID>{kAEOpenDocuments}, exact);
    EXPECT_EQ(std::vector<AEEventID>{kAEPrintDocuments}, wild);

    EXPECT_EQ(noErr, AERemoveEventHandler(kCoreEventClass, kAEOpenDocuments, upp, false));
    EXPECT_EQ(errAEHandlerNotFound,
              AERemoveEventHandler(kCoreEventClass, kAEOpenDocuments, upp, false));
    EXPECT_EQ(noErr, __AEDispatch(&open)) << "now the wild card's";
    EXPECT_EQ(2u, wild.size());
    EXPECT_EQ(noErr, AERemoveEventHandler(kCoreEventClass, typeWildCard, nullptr, false));
    EXPECT_EQ(errAEEventNotHandled, __AEDispatch(&open));
    EXPECT_EQ(paramErr,
              AEInstallEventHandler(kCoreEventClass, kAEOpenDocuments, nullptr, nullptr, false));
    DisposeAEEventHandlerUPP(upp);
    for (AppleEvent* event : {&open, &print, &quit})
        AEDisposeDesc(event);
}

// The child's handler writes each document's path to this pipe.
int gToParent[2];

OSErr ReportDocuments(const AppleEvent* event, AppleEvent*, SRefCon) {
    AEDescList documents;
    OSErr err = AEGetParamDesc(event, keyDirectObject, typeAEList, &documents);
    long count = 0;
    if (err == noErr)
        err = AECountItems(&documents, &count);
    for (long i = 1; err == noErr && i <= count; ++i) {
        FSRef ref;
        err = AEGetNthPtr(&documents, i, typeFSRef, nullptr, nullptr, &ref, sizeof ref, nullptr);
        std::string line = PathOf(ref) + "\n";
        if (write(gToParent[1], line.data(), line.size()) < 0)
            err = ioErr;
    }
    AEDisposeDesc(&documents);
    return err;
}

std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// A connection to the child's socket, or -1.
int ConnectTo(pid_t child) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path =
        tvb::appleevents::SocketPathFor(tvb::appleevents::EventsFolder(false), child);
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    close(fd);
    return -1;
}

bool Send(int fd, const std::string& packet) {
    return fd >= 0 && send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) >= 0;
}

// The status answered on connection fd within timeoutMs (-1: until it closes), or 1 for none.
int Reply(int fd, int timeoutMs = -1) {
    pollfd wait = {fd, POLLIN, 0};
    int32_t reply[2] = {0, 1};
    if (poll(&wait, 1, timeoutMs) != 1 ||
        recv(fd, reply, sizeof reply, MSG_DONTWAIT) != static_cast<ssize_t>(sizeof reply))
        reply[1] = 1;
    return reply[1];
}

// A raw packet to the child's socket, as a confused peer of the same user might send it;
// returns the status it answers, or 1 when it does not answer.
int RawExchange(pid_t child, const std::string& packet) {
    int fd = ConnectTo(child);
    int status = Send(fd, packet) ? Reply(fd) : 1;
    close(fd);
    return status;
}

// An open-documents request for one path, in the listener's format.
std::string OpenDocumentsPacket(const std::string& path) {
    uint32_t header[5] = {0x54764165, 1, kCoreEventClass, kAEOpenDocuments, 1};
    auto length = static_cast<uint32_t>(path.size());
    return std::string(reinterpret_cast<const char*>(header), sizeof header) +
           std::string(reinterpret_cast<const char*>(&length), sizeof length) + path;
}

CFRunLoopTimerRef AddMainTimer(CFTimeInterval delay, CFRunLoopTimerCallBack callout) {
    CFRunLoopTimerContext context = {0, nullptr, nullptr, nullptr, nullptr};
    CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
        kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + delay, 0, 0, 0, callout, &context);
    CFRunLoopAddTimer(CFRunLoopGetMain(), timer, kCFRunLoopCommonModes);
    return timer;
}

// A child running the application event loop with ReportDocuments as its handler; it writes
// "ready" once the loop runs. Its own alarm bounds ending (SIGTERM, and SIGCONT should a test
// have stopped it) and reaping it.
struct LoopChild {
    LoopChild() {
        EXPECT_EQ(0, pipe(gToParent));
        if ((pid = fork()) == 0) {
            alarm(30);
            AEInstallEventHandler(kCoreEventClass, kAEOpenDocuments,
                                  NewAEEventHandlerUPP(ReportDocuments), nullptr, false);
            AddMainTimer(0, [](CFRunLoopTimerRef, void*) {
                ssize_t written = write(gToParent[1], "ready\n", 6);
                (void)written;
            });
            RunApplicationEventLoop();
            _exit(0);
        }
        close(gToParent[1]); // a child that dies then ends every read
    }
    ~LoopChild() {
        if (!stopped)
            Stop();
        close(gToParent[0]);
    }
    int Stop() { // the child's wait status
        int status = -1;
        stopped = true;
        // Without a child, kill(-1) would reach every process of the user.
        if (pid <= 0)
            return status;
        kill(pid, SIGTERM);
        kill(pid, SIGCONT);
        EXPECT_EQ(pid, waitpid(pid, &status, 0));
        return status;
    }
    pid_t pid = -1;
    bool stopped = false;
};

// Whether an open-documents event for "/" is answered noErr and reaches the child's handler.
bool OpensRoot(pid_t child, std::chrono::seconds wait) {
    auto answer = tvb::appleevents::SendEvent(child, kCoreEventClass, kAEOpenDocuments, {"/"},
                                              std::chrono::steady_clock::now() + wait);
    return answer.answered && answer.status == noErr && ReadLine(gToParent[0]) == "/";
}

TEST(AppleEventLoop, RunningLoopAnswersEventsWithItsHandlersStatus) {
    LoopChild loop;
    ASSERT_EQ("ready", ReadLine(gToParent[0]));
    const pid_t child = loop.pid;
    std::string socketPath =
        tvb::appleevents::SocketPathFor(tvb::appleevents::EventsFolder(false), child);
    EXPECT_TRUE(std::filesystem::exists(socketPath));
    auto deadline = [] { return std::chrono::steady_clock::now() + 10s; };

    auto answer = tvb::appleevents::SendEvent(child, kCoreEventClass, kAEOpenDocuments,
                                              {"/", "/tmp"}, deadline());
    EXPECT_TRUE(answer.answered);
    EXPECT_EQ(noErr, answer.status);
    EXPECT_EQ("/", ReadLine(gToParent[0]));
    EXPECT_EQ(std::filesystem::canonical("/tmp").string(), ReadLine(gToParent[0]));

    // A document that is gone never reaches the handler; an event without one is not handled.
    answer = tvb::appleevents::SendEvent(child, kCoreEventClass, kAEOpenDocuments,
                                         {"/nonexistent/doc"}, deadline());
    EXPECT_EQ(fnfErr, answer.status);
    answer =
        tvb::appleevents::SendEvent(child, kCoreEventClass, kAEPrintDocuments, {"/"}, deadline());
    EXPECT_TRUE(answer.answered);
    EXPECT_EQ(errAEEventNotHandled, answer.status);

    // Garbage is answered as corrupt and changes nothing.
    EXPECT_EQ(errAECorruptData, RawExchange(child, "hello"));
    std::string truncated(20, '\0');
    uint32_t header[5] = {0x54764165, 1, kCoreEventClass, kAEOpenDocuments, 1000};
    std::memcpy(truncated.data(), header, sizeof header);
    EXPECT_EQ(errAECorruptData, RawExchange(child, truncated + std::string("\x04\0\0\0/tmp", 8)));
    EXPECT_TRUE(OpensRoot(child, 10s));

    // Once the loop has ended, nobody listens and the name is gone.
    int status = loop.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(std::filesystem::exists(socketPath));
    EXPECT_FALSE(
        tvb::appleevents::SendEvent(child, kCoreEventClass, kAEOpenDocuments, {"/"}, deadline())
            .answered);
}

// A socket's name holds 107 bytes; a deep runtime folder must not keep the events out. Nor
// must a runtime folder the sender has and a loop started elsewhere (cron, su) has not.
TEST(AppleEventLoop, EventsReachALoopWhoseRuntimeFolderHasALongPathOrIsNotTheSenders) {
    tvb::test::ScratchDir scratch("ae");
    std::string runtime = scratch / std::string(120, 'r');
    ASSERT_EQ(0, mkdir(runtime.c_str(), 0700));
    {
        tvb::test::ScopedEnv env("XDG_RUNTIME_DIR", runtime.c_str());
        LoopChild loop;
        ASSERT_EQ("ready", ReadLine(gToParent[0]));
        EXPECT_TRUE(OpensRoot(loop.pid, 10s));
    }
    std::optional<LoopChild> loop;
    {
        tvb::test::ScopedEnv none("XDG_RUNTIME_DIR", nullptr);
        loop.emplace();
    }
    ASSERT_EQ("ready", ReadLine(gToParent[0]));
    {
        tvb::test::ScopedEnv env("XDG_RUNTIME_DIR", runtime.c_str());
        EXPECT_TRUE(OpensRoot(loop->pid, 10s));
    }
    // A sender that never listened has no events folder of its own to look in first.
    std::string unused = scratch / "unused";
    ASSERT_EQ(0, mkdir(unused.c_str(), 0700));
    tvb::test::ScopedEnv env("XDG_RUNTIME_DIR", unused.c_str());
    EXPECT_TRUE(OpensRoot(loop->pid, 10s));
}

// More connections wait than the listener keeps. Silent ones (a stopped or confused peer) must
// not hold up the loop, nor a sender behind them; the newest is answered when it speaks, the
// others are let go, the oldest to make room and the rest once they have waited too long.
// Senders that all have their packet in while the loop could not run are all answered instead.
TEST(AppleEventLoop, SilentPeersHoldUpNothingAndSendersThatArriveTogetherAreAllAnswered) {
    LoopChild loop;
    ASSERT_EQ("ready", ReadLine(gToParent[0]));
    std::vector<int> silent;
    for (int i = 0; i < 10; ++i) {
        silent.push_back(ConnectTo(loop.pid));
        ASSERT_GE(silent.back(), 0);
    }
    EXPECT_TRUE(OpensRoot(loop.pid, 5s)) << "held up behind the silent connections";
    EXPECT_TRUE(Send(silent.back(), OpenDocumentsPacket("/")));
    EXPECT_EQ(noErr, Reply(silent.back()));
    EXPECT_EQ("/", ReadLine(gToParent[0]));
    close(silent.back());
    silent.pop_back();
    for (int fd : silent) {
        pollfd wait = {fd, POLLIN, 0};
        char byte;
        EXPECT_TRUE(poll(&wait, 1, 10000) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) == 0)
            << "still held open";
        close(fd);
    }

    ASSERT_EQ(0, kill(loop.pid, SIGSTOP));
    std::vector<int> senders;
    for (int i = 0; i < 12; ++i) {
        senders.push_back(ConnectTo(loop.pid));
        EXPECT_TRUE(Send(senders.back(), OpenDocumentsPacket("/")));
    }
    ASSERT_EQ(0, kill(loop.pid, SIGCONT));
    for (int fd : senders) {
        EXPECT_EQ(noErr, Reply(fd, 10000));
        close(fd);
    }
}

// Set and read by the call-outs of the child below.
int gSender = -1;
rlimit gFiles;
unsigned long gWaitsBefore = 0;
enum : int { kSpun = 10, kSenderLost, kNoSetUp };

// A process out of descriptors cannot accept the sender waiting on its socket; the socket stays
// readable all that time, which must not make the loop spin, and the sender is answered once
// descriptors are free again.
TEST(AppleEventLoop, RunningOutOfDescriptorsNeitherSpinsTheLoopNorLosesTheSender) {
    int result = tvb::test::ExitCodeInChild([] {
        AEInstallEventHandler(kCoreEventClass, kAEOpenDocuments,
                              NewAEEventHandlerUPP(ReportDocuments), nullptr, false);
        gToParent[1] = open("/dev/null", O_WRONLY | O_CLOEXEC); // the handler's report
        if (getrlimit(RLIMIT_NOFILE, &gFiles) != 0)
            return static_cast<int>(kNoSetUp);
        // The listener cannot accept before this call-out returns: the sender is in by then, and
        // the lowest free descriptor has become the limit.
        AddMainTimer(0, [](CFRunLoopTimerRef, void*) {
            gSender = ConnectTo(getpid());
            int lowestFree = dup(0);
            close(lowestFree);
            rlimit none = {static_cast<rlim_t>(lowestFree), gFiles.rlim_max};
            if (!Send(gSender, OpenDocumentsPacket("/")) || lowestFree < 0 ||
                setrlimit(RLIMIT_NOFILE, &none) != 0)
                _exit(kNoSetUp);
            gWaitsBefore = __CFRunLoopGetWaitCount(CFRunLoopGetMain());
        });
        // Half a second later a spinning loop has waited thousands of times, not a few dozen.
        // Once descriptors are free, the listener looks again every tenth of a second.
        AddMainTimer(0.5, [](CFRunLoopTimerRef, void*) {
            if (__CFRunLoopGetWaitCount(CFRunLoopGetMain()) - gWaitsBefore > 200)
                _exit(kSpun);
            setrlimit(RLIMIT_NOFILE, &gFiles);
            pollfd wait = {gSender, POLLIN, 0};
            for (int i = 0; i < 100 && poll(&wait, 1, 0) == 0; ++i) // ten seconds at the most
                CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true);
            _exit(Reply(gSender, 0) == noErr ? 0 : kSenderLost);
        });
        RunApplicationEventLoop();
        return static_cast<int>(kSenderLost);
    });
    EXPECT_EQ(0, result) << "10: the loop spun; 11: the sender had no answer";
}

} // namespace
