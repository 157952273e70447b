// Where the host listens: preparing the socket's directory, binding the socket (taking over a
// stale one, refusing a live one) and removing it again at exit, or taking the listening socket
// systemd hands over.
// Threading: call from the main thread before the loop runs.
// Ownership: ListeningSocket owns the descriptor and unlinks the path it bound, but only while
// the path still names the socket it created; a socket systemd handed over is never unlinked
// (systemd keeps listening on it for the next start).
#pragma once

#include <tvb/UniqueFd.h>

#include <string>
#include <sys/types.h>

namespace tvb::host {

// /tmp/tvb-devhost-<uid>: the fallback directory that must be ours alone.
std::string FallbackSocketDirectory();

// Creates `dir` (mode 0700) when it is missing; an existing one may be reached through a
// symbolic link. With `mustBePrivate`, a link, or a directory owned by someone else or open to
// group or others, is refused.
bool PrepareSocketDirectory(const std::string& dir, bool mustBePrivate, std::string& error);

class ListeningSocket {
public:
    ListeningSocket() = default;
    ~ListeningSocket();
    ListeningSocket(ListeningSocket&&) noexcept;
    ListeningSocket& operator=(ListeningSocket&&) = delete;
    ListeningSocket(const ListeningSocket&) = delete;

    // Prepares the directory, then binds and listens on `path`.
    bool Open(const std::string& path, std::string& error);
    // Takes `fd`, which must be a listening Unix stream socket; with `expectedPath` non-empty it
    // must also be bound there.
    bool Adopt(int fd, const std::string& expectedPath, std::string& error);
    const std::string& Path() const { return mPath; }
    // Hands the descriptor over; the path is still unlinked by this object.
    UniqueFd TakeDescriptor() { return std::move(mFd); }

private:
    UniqueFd mFd;
    std::string mPath;
    dev_t mDevice = 0;
    ino_t mInode = 0;
    bool mBound = false;
};

} // namespace tvb::host
