// Where the host listens: preparing the socket's directory, binding the socket (taking over a
// stale one, refusing a live one) and removing it again at exit.
// Threading: call from the main thread before the loop runs.
// Ownership: ListeningSocket owns the descriptor and unlinks the path it bound, but only while
// the path still names the socket it created.
#pragma once

#include "UniqueFd.h"

#include <string>
#include <sys/types.h>

namespace tvb::host {

// /tmp/tvb-devhost-<uid>: the fallback directory that must be ours alone.
std::string FallbackSocketDirectory();

// Creates `dir` (mode 0700) when it is missing. With `mustBePrivate`, an existing directory
// owned by someone else or open to group or others is refused.
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

// Parses the command line, listens, serves until SIGTERM or SIGINT; returns the exit status.
int RunDeviceHost(int argc, char** argv);

} // namespace tvb::host
