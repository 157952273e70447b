// Apple events between processes on Linux: one seqpacket socket per listening process, named
// by its pid, in a folder private to the user (see AppleEvents_Internal.h).
#include "AppleEvents_Internal.h"
#include "CarbonEvents_Internal.h"

#include <Carbon/AppleEvents.h>
#include <Carbon/Files.h>
#include <Carbon/MacErrors.h>
#include <tvb/UniqueFd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

namespace tvb::appleevents {

namespace {

constexpr uint32_t kRequestMagic = 0x54764165; // 'TvAe'
constexpr uint32_t kReplyMagic = 0x54764172;   // 'TvAr'
constexpr uint32_t kVersion = 1;
// One packet carries a whole event; a few dozen full-length paths fit.
constexpr size_t kMaxPacket = 64 * 1024;
constexpr size_t kMaxPath = sizeof(FSRef::hidden) - 1;
// A connection whose packet has not come is kept, never waited on: at most this many, the
// oldest that is still silent dropped first, and none for longer than a sender of ours waits
// for its answer.
constexpr size_t kMaxUnfinished = 8;
constexpr std::chrono::seconds kUnfinishedBound(2);
// How long the listener stops accepting after the process ran out of descriptors.
constexpr std::chrono::milliseconds kAcceptPause(100);

struct RequestHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t eventClass;
    uint32_t eventID;
    uint32_t count;
};

struct Reply {
    uint32_t magic;
    int32_t status;
};

struct Request {
    AEEventClass eventClass = 0;
    AEEventID eventID = 0;
    std::vector<std::string> documents;
};

// A socket's name holds 107 bytes. A longer path (a deep $XDG_RUNTIME_DIR) is reached through
// its folder's descriptor, /proc/self/fd/N/leaf, which `folder` keeps open for the bind or
// connect.
bool FillAddress(const std::string& path, sockaddr_un& address, tvb::UniqueFd& folder) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::string name = path;
    size_t slash = path.rfind('/');
    if (path.size() >= sizeof address.sun_path && slash != std::string::npos && slash > 0) {
        folder.Reset(open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!folder)
            return false;
        name = "/proc/self/fd/" + std::to_string(folder.Get()) + path.substr(slash);
    }
    if (name.empty() || name.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
    return true;
}

bool Encode(const Request& request, std::vector<UInt8>& packet) {
    RequestHeader header = {kRequestMagic, kVersion, request.eventClass, request.eventID,
                            static_cast<uint32_t>(request.documents.size())};
    packet.assign(reinterpret_cast<const UInt8*>(&header),
                  reinterpret_cast<const UInt8*>(&header) + sizeof header);
    for (const std::string& document : request.documents) {
        if (document.empty() || document.size() > kMaxPath)
            return false;
        auto length = static_cast<uint32_t>(document.size());
        packet.insert(packet.end(), reinterpret_cast<const UInt8*>(&length),
                      reinterpret_cast<const UInt8*>(&length) + sizeof length);
        packet.insert(packet.end(), document.begin(), document.end());
        if (packet.size() > kMaxPacket)
            return false;
    }
    return true;
}

// Every field checked: a packet from a confused peer is refused, never trusted.
bool Decode(const UInt8* bytes, size_t size, Request& request) {
    RequestHeader header;
    if (size < sizeof header)
        return false;
    std::memcpy(&header, bytes, sizeof header);
    if (header.magic != kRequestMagic || header.version != kVersion)
        return false;
    request.eventClass = header.eventClass;
    request.eventID = header.eventID;
    size_t at = sizeof header;
    for (uint32_t i = 0; i < header.count; ++i) {
        uint32_t length;
        if (size - at < sizeof length)
            return false;
        std::memcpy(&length, bytes + at, sizeof length);
        at += sizeof length;
        if (length == 0 || length > kMaxPath || size - at < length)
            return false;
        std::string path(reinterpret_cast<const char*>(bytes + at), length);
        at += length;
        if (path[0] != '/' || path.find('\0') != std::string::npos)
            return false;
        request.documents.push_back(std::move(path));
    }
    return at == size;
}

// The event a request stands for, handed to this process's handler.
OSErr Deliver(const Request& request) {
    AppleEvent event;
    OSErr err = __AECreateEvent(request.eventClass, request.eventID, &event);
    if (err != noErr)
        return err;
    if (!request.documents.empty()) {
        AEDescList list;
        err = AECreateList(nullptr, 0, false, &list);
        for (size_t i = 0; err == noErr && i < request.documents.size(); ++i) {
            auto ref = std::make_unique<FSRef>();
            // A document gone since the sender looked is not opened, as a launch would not be.
            err = FSPathMakeRef(reinterpret_cast<const UInt8*>(request.documents[i].c_str()),
                                ref.get(), nullptr);
            if (err == noErr)
                err = AEPutPtr(&list, 0, typeFSRef, ref.get(), sizeof(FSRef));
        }
        if (err == noErr)
            err = AEPutParamDesc(&event, keyDirectObject, &list);
        AEDisposeDesc(&list);
    }
    if (err == noErr)
        err = __AEDispatch(&event);
    AEDisposeDesc(&event);
    return err;
}

// A sender that has closed its end gave up waiting and may have started another copy.
bool SenderGone(int connection) {
    pollfd probe = {connection, POLLRDHUP, 0};
    return poll(&probe, 1, 0) > 0 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Answers one request read whole from connection.
void Respond(int connection, const UInt8* packet, size_t size) {
    Request request;
    OSErr status = errAECorruptData;
    if (Decode(packet, size, request)) {
        if (SenderGone(connection))
            return;
        status = Deliver(request);
    }
    Reply reply = {kReplyMagic, status};
    ssize_t sent = send(connection, &reply, sizeof reply, MSG_NOSIGNAL);
    (void)sent; // a sender that left cannot be told anything
}

void SetTimeout(int fd, int option, std::chrono::steady_clock::duration left) {
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    if (micros < 1000)
        micros = 1000; // zero would mean no time-out at all
    timeval value = {static_cast<time_t>(micros / 1000000),
                     static_cast<suseconds_t>(micros % 1000000)};
    setsockopt(fd, SOL_SOCKET, option, &value, sizeof value);
}

using Clock = std::chrono::steady_clock;

// An accepted connection whose packet has not come yet.
struct Unfinished {
    uint64_t id;
    Clock::time_point since;
    tvb::UniqueFd fd;
};

// The application event loop's listener; touched only by the thread running that loop. The run
// loop watches one epoll set holding the listening socket (out of it for a moment after an
// accept found no descriptor free), a timer for the oldest unfinished connection's bound or the
// socket's return, and every unfinished connection, so nothing here ever waits.
struct Listener {
    CFFileDescriptorRef file = nullptr; // the epoll set, closed with it
    CFRunLoopSourceRef source = nullptr;
    tvb::UniqueFd socket;
    tvb::UniqueFd timer;
    std::deque<Unfinished> unfinished; // oldest first
    uint64_t nextId = kFirstConnectionId;
    bool accepting = true; // the socket is in the set
    Clock::time_point resumeAt;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;

    static constexpr uint64_t kSocketId = 0;
    static constexpr uint64_t kTimerId = 1;
    static constexpr uint64_t kFirstConnectionId = 2;

    int Events() const { return CFFileDescriptorGetNativeDescriptor(file); }

    bool Watch(int fd, uint64_t id) const {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = id;
        return epoll_ctl(Events(), EPOLL_CTL_ADD, fd, &event) == 0;
    }

    // Out of the set before it is closed: a forked child may still hold the socket, and the
    // set would go on reporting it.
    void Drop(std::deque<Unfinished>::iterator at) {
        epoll_ctl(Events(), EPOLL_CTL_DEL, at->fd.Get(), nullptr);
        unfinished.erase(at);
    }

    void AcceptAll() {
        for (;;) {
            tvb::UniqueFd connection(accept4(socket.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!connection) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                // Out of descriptors or memory, the socket stays readable: watched, it would
                // call back at once, again and again. Its senders wait in the backlog instead.
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    PauseAccepting();
                return;
            }
            ucred peer{};
            socklen_t length = sizeof peer;
            if (getsockopt(connection.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
                peer.uid != geteuid())
                continue;
            if (unfinished.size() >= kMaxUnfinished) {
                // Senders that connected together while the loop was busy have their packets
                // in by now: the oldest is answered if it can be, dropped only if it is silent.
                const uint64_t oldest = unfinished.front().id;
                Read(oldest);
                if (!unfinished.empty() && unfinished.front().id == oldest)
                    Drop(unfinished.begin());
            }
            uint64_t id = nextId++;
            unfinished.push_back({id, Clock::now(), std::move(connection)});
            if (!Watch(unfinished.back().fd.Get(), id))
                unfinished.pop_back();
        }
    }

    void Read(uint64_t id) {
        auto at = unfinished.begin();
        while (at != unfinished.end() && at->id != id)
            ++at;
        if (at == unfinished.end())
            return; // dropped meanwhile
        std::vector<UInt8> packet(kMaxPacket);
        ssize_t got = recv(at->fd.Get(), packet.data(), packet.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        // Finished either way: out of the list before its handler runs.
        tvb::UniqueFd connection(std::move(at->fd));
        epoll_ctl(Events(), EPOLL_CTL_DEL, connection.Get(), nullptr);
        unfinished.erase(at);
        // One longer than the buffer is no request of ours: answered as corrupt.
        if (got > 0)
            Respond(connection.Get(), packet.data(),
                    static_cast<size_t>(got) <= packet.size() ? static_cast<size_t>(got) : 0);
    }

    void PauseAccepting() {
        if (!accepting)
            return;
        epoll_ctl(Events(), EPOLL_CTL_DEL, socket.Get(), nullptr);
        accepting = false;
        resumeAt = Clock::now() + kAcceptPause;
    }

    void DropExpiredAndArm() {
        Clock::time_point now = Clock::now();
        while (!unfinished.empty() && now - unfinished.front().since >= kUnfinishedBound)
            Drop(unfinished.begin());
        if (!accepting && now >= resumeAt) {
            accepting = Watch(socket.Get(), kSocketId);
            if (!accepting)
                resumeAt = now + kAcceptPause;
        }
        std::optional<Clock::time_point> next;
        if (!unfinished.empty())
            next = unfinished.front().since + kUnfinishedBound;
        if (!accepting && (!next || resumeAt < *next))
            next = resumeAt;
        itimerspec when{};
        if (next) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(*next - now);
            when.it_value.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            when.it_value.tv_nsec = static_cast<long>(left.count() % 1000000000);
            if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0)
                when.it_value.tv_nsec = 1; // zero would disarm it
        }
        timerfd_settime(timer.Get(), 0, &when, nullptr);
    }
};
Listener* gListener = nullptr;

void ListenerReady(CFFileDescriptorRef file, CFOptionFlags, void* info) {
    auto* listener = static_cast<Listener*>(info);
    epoll_event events[16];
    int count;
    do {
        count = epoll_wait(listener->Events(), events, 16, 0);
    } while (count < 0 && errno == EINTR);
    // Connections with their packet first, so a burst of new ones cannot push them out.
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 >= Listener::kFirstConnectionId) {
            try {
                listener->Read(events[i].data.u64);
            } catch (const std::bad_alloc&) {
                // The sender sees no answer and starts another copy.
            }
        }
    }
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 == Listener::kSocketId) {
            try {
                listener->AcceptAll();
            } catch (const std::bad_alloc&) {
                // The connection left waiting is dropped with the next.
            }
        } else if (events[i].data.u64 == Listener::kTimerId) {
            uint64_t expirations;
            ssize_t got = read(listener->timer.Get(), &expirations, sizeof expirations);
            (void)got;
        }
    }
    listener->DropExpiredAndArm();
    CFFileDescriptorEnableCallBacks(file, kCFFileDescriptorReadCallBack);
}

// Sockets of processes that ended without closing them (killed, crashed) would pile up.
void SweepLeftovers(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        bool named = end != entry->d_name && (*end == '\0' || std::strcmp(end, ".new") == 0);
        if (named && pid > 0 && pid <= INT32_MAX && kill(static_cast<pid_t>(pid), 0) != 0 &&
            errno == ESRCH)
            unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
}

void Complain(const std::string& what) {
    std::fprintf(stderr, "Apple events: %s: %s\n", what.c_str(), std::strerror(errno));
}

} // namespace

namespace {

// The events folder in a runtime folder, when that is the user's own; else empty.
std::string RuntimeEventsFolder(const char* runtime) {
    struct stat info;
    if (runtime != nullptr && runtime[0] == '/' && stat(runtime, &info) == 0 &&
        S_ISDIR(info.st_mode) && info.st_uid == geteuid())
        return std::string(runtime) + "/tvb-appleevents";
    return {};
}

std::string FallbackEventsFolder() {
    return "/tmp/tvb-appleevents-" + std::to_string(geteuid());
}

// folder itself when it is (or, asked to, has been made) private to the user; else empty.
std::string PrivateFolder(const std::string& folder, bool create) {
    uid_t uid = geteuid();
    struct stat info;
    if (create) {
        if (mkdir(folder.c_str(), 0700) == 0)
            chmod(folder.c_str(), 0700); // whatever the umask left
        else if (errno != EEXIST)
            return {};
    }
    // Another user's folder, or one others may enter, would let them stand in for us.
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != uid ||
        (info.st_mode & 077) != 0) {
        errno = EPERM;
        return {};
    }
    return folder;
}

// The socket pid listens on. A process started in another environment (with or without a
// runtime folder: cron, su, a terminal of its own) listens in the other folder; it is still
// this user's running copy, as on the Mac, where every process of the user is reachable.
std::string ListeningPathFor(pid_t pid) {
    std::string own = SocketPathFor(EventsFolder(false), pid);
    struct stat info;
    // A sender that never listened has no folder of its own, yet the copy may be in the other.
    if (!own.empty() && lstat(own.c_str(), &info) == 0)
        return own;
    bool ownIsRuntime = !RuntimeEventsFolder(std::getenv("XDG_RUNTIME_DIR")).empty();
    std::string standard = "/run/user/" + std::to_string(geteuid());
    std::string other =
        ownIsRuntime ? FallbackEventsFolder() : RuntimeEventsFolder(standard.c_str());
    std::string path =
        other.empty() ? std::string() : SocketPathFor(PrivateFolder(other, false), pid);
    return !path.empty() && lstat(path.c_str(), &info) == 0 ? path : own;
}

} // namespace

std::string EventsFolder(bool create) {
    std::string folder = RuntimeEventsFolder(std::getenv("XDG_RUNTIME_DIR"));
    return PrivateFolder(folder.empty() ? FallbackEventsFolder() : folder, create);
}

std::string SocketPathFor(const std::string& folder, pid_t pid) {
    if (folder.empty())
        return {};
    return folder + "/" + std::to_string(pid);
}

Answer SendEvent(pid_t pid, AEEventClass eventClass, AEEventID eventID,
                 const std::vector<std::string>& documents,
                 std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    Answer none;
    sockaddr_un address;
    tvb::UniqueFd folder;
    if (!FillAddress(ListeningPathFor(pid), address, folder))
        return none;
    std::vector<UInt8> packet;
    try {
        if (!Encode(Request{eventClass, eventID, documents}, packet))
            return none;
    } catch (const std::bad_alloc&) {
        return none;
    }
    tvb::UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!socket || Clock::now() >= deadline || __CarbonQuitRequested())
        return none;
    // A stopped listener's full backlog makes connect wait; never past the deadline.
    SetTimeout(socket.Get(), SO_SNDTIMEO, deadline - Clock::now());
    if (connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return none;
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(socket.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        peer.uid != geteuid() || peer.pid != pid)
        return none;
    if (send(socket.Get(), packet.data(), packet.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(packet.size()))
        return none;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return none;
        pollfd wait = {socket.Get(), POLLIN, 0};
        // A sender told to quit waits no more (it hears no answer).
        int ready = __CarbonPollUnlessQuitting(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return none;
        Reply reply;
        ssize_t got = recv(socket.Get(), &reply, sizeof reply, MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got != static_cast<ssize_t>(sizeof reply) || reply.magic != kReplyMagic)
            return none; // the listener died or is not one of ours
        return Answer{true, static_cast<OSErr>(reply.status)};
    }
}

} // namespace tvb::appleevents

using namespace tvb::appleevents;

void __AEStartServing(CFRunLoopRef loop) {
    if (gListener != nullptr)
        return;
    std::string folder = EventsFolder(true);
    if (folder.empty()) {
        Complain("no private folder for the event socket");
        return;
    }
    SweepLeftovers(folder);
    std::string path = SocketPathFor(folder, getpid());
    std::string fresh = path + ".new";
    sockaddr_un address;
    tvb::UniqueFd folderFd;
    if (!FillAddress(fresh, address, folderFd)) {
        errno = ENAMETOOLONG;
        Complain("cannot listen at " + path);
        return;
    }
    tvb::UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        Complain("cannot make the event socket");
        return;
    }
    unlink(fresh.c_str());
    // Bound and listening before it takes its name, so a sender never finds it refusing; the
    // rename also replaces what a process of the same pid left behind.
    struct stat info;
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.Get(), 16) != 0 || rename(fresh.c_str(), path.c_str()) != 0 ||
        stat(path.c_str(), &info) != 0) {
        Complain("cannot listen at " + path);
        unlink(fresh.c_str());
        return;
    }
    auto* listener = new (std::nothrow) Listener;
    if (listener == nullptr) {
        unlink(path.c_str());
        return;
    }
    listener->socket = std::move(fd);
    listener->timer.Reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    tvb::UniqueFd events(epoll_create1(EPOLL_CLOEXEC));
    CFFileDescriptorContext context = {0, listener, nullptr, nullptr, nullptr};
    CFFileDescriptorRef file = listener->timer && events
                                   ? CFFileDescriptorCreate(kCFAllocatorDefault, events.Get(), true,
                                                            ListenerReady, &context)
                                   : nullptr;
    if (file != nullptr)
        events.Release(); // closed when the CFFileDescriptor is invalidated
    listener->file = file;
    CFRunLoopSourceRef source =
        file ? CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, file, 0) : nullptr;
    if (source == nullptr || !listener->Watch(listener->socket.Get(), Listener::kSocketId) ||
        !listener->Watch(listener->timer.Get(), Listener::kTimerId)) {
        Complain("cannot watch " + path);
        if (source != nullptr)
            CFRelease(source);
        if (file != nullptr) {
            CFFileDescriptorInvalidate(file);
            CFRelease(file);
        }
        delete listener;
        unlink(path.c_str());
        return;
    }
    listener->source = source;
    listener->path = path;
    listener->device = info.st_dev;
    listener->inode = info.st_ino;
    gListener = listener;
    CFRunLoopAddSource(loop, source, kCFRunLoopCommonModes);
    CFFileDescriptorEnableCallBacks(file, kCFFileDescriptorReadCallBack);
}

void __AEStopServing() {
    Listener* listener = gListener;
    if (listener == nullptr)
        return;
    gListener = nullptr;
    // Only our own name: a later process with our pid may have taken it over.
    struct stat info;
    if (stat(listener->path.c_str(), &info) == 0 && info.st_dev == listener->device &&
        info.st_ino == listener->inode)
        unlink(listener->path.c_str());
    CFFileDescriptorInvalidate(listener->file);
    CFRelease(listener->source);
    CFRelease(listener->file);
    delete listener;
}
