#include "SocketSetup.h"

#include "EventLoop.h"
#include "Host.h"
#include "TvbWire.h"

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tvb::host {

namespace {

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool FillAddress(const std::string& path, sockaddr_un& address, std::string& error) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "socket path is empty or longer than " +
                std::to_string(sizeof address.sun_path - 1) + " bytes: " + path;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

} // namespace

std::string FallbackSocketDirectory() {
    return "/tmp/tvb-devhost-" + std::to_string(getuid());
}

bool PrepareSocketDirectory(const std::string& dir, bool mustBePrivate, std::string& error) {
    if (mkdir(dir.c_str(), 0700) == 0)
        return true;
    if (errno != EEXIST) {
        error = Errno("cannot create " + dir);
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        error = Errno("cannot examine " + dir);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = dir + " is not a directory";
        return false;
    }
    if (mustBePrivate && (st.st_uid != getuid() || (st.st_mode & 077) != 0)) {
        error = dir + " belongs to another user or is open to others; refusing to use it";
        return false;
    }
    return true;
}

ListeningSocket::~ListeningSocket() {
    if (!mBound)
        return;
    // Only remove what we bound: another host may have replaced a path we no longer own.
    struct stat st {};
    if (lstat(mPath.c_str(), &st) == 0 && st.st_dev == mDevice && st.st_ino == mInode)
        unlink(mPath.c_str());
}

ListeningSocket::ListeningSocket(ListeningSocket&& other) noexcept
    : mFd(std::move(other.mFd)), mPath(std::move(other.mPath)), mDevice(other.mDevice),
      mInode(other.mInode), mBound(std::exchange(other.mBound, false)) {}

bool ListeningSocket::Open(const std::string& path, std::string& error) {
    sockaddr_un address;
    if (!FillAddress(path, address, error))
        return false;
    const std::string dir = DirectoryOf(path);
    if (!PrepareSocketDirectory(dir, dir == FallbackSocketDirectory(), error))
        return false;

    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return false;
        }
        UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe &&
            connect(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            error = "another device host is listening on " + path;
            return false;
        }
        unlink(path.c_str()); // stale: its host is gone
    }

    mFd.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!mFd) {
        error = Errno("socket");
        return false;
    }
    // Peers must be this user anyway; the mode keeps others from even connecting.
    const mode_t old = umask(0177);
    const int bound = bind(mFd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    umask(old);
    if (bound != 0) {
        error = Errno("cannot bind " + path);
        return false;
    }
    mPath = path;
    mBound = lstat(path.c_str(), &st) == 0;
    mDevice = st.st_dev;
    mInode = st.st_ino;
    if (listen(mFd.Get(), 128) != 0) {
        error = Errno("listen");
        return false;
    }
    return true;
}

int RunDeviceHost(int argc, char** argv) {
    std::string path;
    HostLimits limits;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--socket" && i + 1 < argc) {
            path = argv[++i];
        } else if (arg == "--max-output" && i + 1 < argc) {
            // How much unread output a peer may leave behind before it is dropped.
            char* end = nullptr;
            const unsigned long long bytes = std::strtoull(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || bytes < 1024) {
                std::fprintf(stderr, "tvb-devhost: --max-output needs a byte count >= 1024\n");
                return 2;
            }
            limits.maxPendingOutput = static_cast<size_t>(bytes);
        } else if (arg == "--help" || arg == "-h") {
            std::printf("usage: tvb-devhost [--socket PATH] [--max-output BYTES]\n");
            return 0;
        } else {
            std::fprintf(stderr, "tvb-devhost: unexpected argument %s\n", arg.c_str());
            return 2;
        }
    }
    if (path.empty())
        path = wire::DefaultSocketPath();

    std::string error;
    EventLoop loop;
    if (!loop.Ok() || !loop.StopOnSignals(&error)) {
        std::fprintf(stderr, "tvb-devhost: cannot start the event loop: %s\n", error.c_str());
        return 1;
    }
    ListeningSocket socket;
    if (!socket.Open(path, error)) {
        std::fprintf(stderr, "tvb-devhost: %s\n", error.c_str());
        return 1;
    }
    limits.generationFile = wire::GenerationPage::PathFor(path);
    Host host(loop, socket.TakeDescriptor(), limits);
    if (!host.Start(&error)) {
        std::fprintf(stderr, "tvb-devhost: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "tvb-devhost: listening on %s\n", path.c_str());
    if (!loop.Run()) {
        std::fprintf(stderr, "tvb-devhost: %s\n", Errno("epoll_wait").c_str());
        return 1;
    }
    return 0;
}

} // namespace tvb::host
