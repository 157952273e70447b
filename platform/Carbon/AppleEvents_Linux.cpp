// Apple events between processes on Linux: one seqpacket socket per listening process, named
// by its pid, in a folder private to the user (see AppleEvents_Internal.h).
#include "AppleEvents_Internal.h"

#include <Carbon/AppleEvents.h>
#include <Carbon/Files.h>
#include <Carbon/MacErrors.h>
#include <tvb/UniqueFd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
// A sender that connected has its packet in flight already; never wait on it for longer.
constexpr time_t kReceiveSeconds = 1;

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

void Serve(int connection) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        peer.uid != geteuid())
        return;
    timeval wait = {kReceiveSeconds, 0};
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::vector<UInt8> packet(kMaxPacket);
    ssize_t got;
    do {
        got = recv(connection, packet.data(), packet.size(), MSG_TRUNC);
    } while (got < 0 && errno == EINTR);
    if (got <= 0)
        return;
    Request request;
    OSErr status = errAECorruptData;
    if (static_cast<size_t>(got) <= packet.size() &&
        Decode(packet.data(), static_cast<size_t>(got), request)) {
        if (SenderGone(connection))
            return;
        status = Deliver(request);
    }
    Reply reply = {kReplyMagic, status};
    ssize_t sent = send(connection, &reply, sizeof reply, MSG_NOSIGNAL);
    (void)sent; // a sender that left cannot be told anything
}

void ConnectionArrived(CFFileDescriptorRef file, CFOptionFlags, void*) {
    int listener = CFFileDescriptorGetNativeDescriptor(file);
    for (;;) {
        tvb::UniqueFd connection(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            break;
        }
        try {
            Serve(connection.Get());
        } catch (const std::bad_alloc&) {
            // The sender sees no answer and starts another copy.
        }
    }
    CFFileDescriptorEnableCallBacks(file, kCFFileDescriptorReadCallBack);
}

void SetTimeout(int fd, int option, std::chrono::steady_clock::duration left) {
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    if (micros < 1000)
        micros = 1000; // zero would mean no time-out at all
    timeval value = {static_cast<time_t>(micros / 1000000),
                     static_cast<suseconds_t>(micros % 1000000)};
    setsockopt(fd, SOL_SOCKET, option, &value, sizeof value);
}

// The application event loop's listener; touched only by the thread running that loop.
struct Listener {
    CFFileDescriptorRef file = nullptr;
    CFRunLoopSourceRef source = nullptr;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};
Listener* gListener = nullptr;

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

std::string EventsFolder(bool create) {
    uid_t uid = geteuid();
    struct stat info;
    std::string folder;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && stat(runtime, &info) == 0 &&
        S_ISDIR(info.st_mode) && info.st_uid == uid)
        folder = std::string(runtime) + "/tvb-appleevents";
    else
        folder = "/tmp/tvb-appleevents-" + std::to_string(uid);
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
    if (!FillAddress(SocketPathFor(EventsFolder(false), pid), address, folder))
        return none;
    std::vector<UInt8> packet;
    try {
        if (!Encode(Request{eventClass, eventID, documents}, packet))
            return none;
    } catch (const std::bad_alloc&) {
        return none;
    }
    tvb::UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!socket || Clock::now() >= deadline)
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
        int ready = poll(&wait, 1, static_cast<int>(left.count()));
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
    CFFileDescriptorRef file = listener ? CFFileDescriptorCreate(kCFAllocatorDefault, fd.Get(),
                                                                 true, ConnectionArrived, nullptr)
                                        : nullptr;
    if (file != nullptr)
        fd.Release(); // closed when the CFFileDescriptor is invalidated
    CFRunLoopSourceRef source =
        file ? CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, file, 0) : nullptr;
    if (source == nullptr) {
        if (file != nullptr) {
            CFFileDescriptorInvalidate(file);
            CFRelease(file);
        }
        delete listener;
        unlink(path.c_str());
        return;
    }
    listener->file = file;
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
