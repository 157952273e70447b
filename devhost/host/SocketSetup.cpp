#include "SocketSetup.h"

#include <systemd/sd-daemon.h>
#include <tvb/UniqueFd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

#include <fcntl.h>
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
    // A directory named on purpose may be reached through a link; the private fallback in /tmp
    // may not, since anyone could have planted the link there.
    struct stat st {};
    if ((mustBePrivate ? lstat(dir.c_str(), &st) : stat(dir.c_str(), &st)) != 0) {
        error = Errno("cannot examine " + dir);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = dir + (S_ISLNK(st.st_mode) ? " is a symbolic link; refusing to use it"
                                           : " is not a directory");
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
        // Without blocking: a host that stopped accepting (its backlog full) is still alive,
        // and must not hold this start-up forever.
        UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (probe &&
            (connect(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
             errno == EAGAIN)) {
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

bool ListeningSocket::Adopt(int fd, const std::string& expectedPath, std::string& error) {
    mFd.Reset(fd);
    const int isListener = sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0);
    if (isListener <= 0) {
        error = "the socket handed over (descriptor " + std::to_string(fd) + ") is " +
                (isListener < 0 ? "unusable: " + std::string(std::strerror(-isListener))
                                : std::string("not a listening Unix stream socket"));
        return false;
    }
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = Errno("getsockname");
        return false;
    }
    const size_t pathBytes =
        length > offsetof(sockaddr_un, sun_path) ? length - offsetof(sockaddr_un, sun_path) : 0;
    if (pathBytes > 0 && address.sun_path[0] == '\0') // abstract: shown as ss shows it
        mPath = "@" + std::string(address.sun_path + 1, pathBytes - 1);
    else
        mPath = std::string(address.sun_path, strnlen(address.sun_path, pathBytes));
    if (!expectedPath.empty() && expectedPath != mPath) {
        error = "the socket handed over listens on " + mPath + ", not on " + expectedPath;
        return false;
    }
    // systemd hands it over blocking and inheritable; the loop needs neither.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
        fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        error = Errno("cannot set up the socket handed over");
        return false;
    }
    mBound = false; // systemd's: it stays for the next start
    return true;
}

} // namespace tvb::host
