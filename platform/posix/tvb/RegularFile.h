// Reading small files whose path someone else may have taken: a FIFO put in place of one would
// hold open() up until a writer came, and a device or a file without end would be read for as
// long as it gives. Every reader of such a file opens it here.
// Threading: no shared state. Ownership: OpenRegularFile hands its descriptor to the caller.
#pragma once

#include <tvb/UniqueFd.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tvb {

// The file at `path` (links followed) opened for reading, when it is a regular file; empty
// otherwise. The open never waits.
inline UniqueFd OpenRegularFile(const char* path) {
    UniqueFd file(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info;
    if (!file || fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return UniqueFd();
    return file;
}

// At most `length` bytes from the file's current offset, fewer only at its end; -1 on error.
inline ssize_t ReadFully(int fd, char* buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
        ssize_t n = read(fd, buffer + got, length - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// ReadRegularFile for a file already open, from its current offset on.
inline bool ReadRegularFd(int fd, size_t maxBytes, std::string& contents) {
    contents.clear();
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) > maxBytes)
        return false;
    contents.reserve(static_cast<size_t>(info.st_size) + 1);
    constexpr size_t kChunk = 65536;
    for (;;) {
        // One byte more than allowed tells a file that grew past the bound.
        size_t want = std::min(kChunk, maxBytes + 1 - contents.size());
        size_t had = contents.size();
        contents.resize(had + want);
        ssize_t got = ReadFully(fd, &contents[had], want);
        if (got < 0) {
            contents.clear();
            return false;
        }
        contents.resize(had + static_cast<size_t>(got));
        if (contents.size() > maxBytes) {
            contents.clear();
            return false;
        }
        if (static_cast<size_t>(got) < want)
            return true;
    }
}

// The whole of a regular file of at most maxBytes; false for anything else, a file that has
// grown past maxBytes while it was read among them. The size stat gives is not trusted: files
// in /proc say 0, and any file may grow meanwhile.
inline bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& contents) {
    contents.clear();
    UniqueFd file = OpenRegularFile(path.c_str());
    return file && ReadRegularFd(file.Get(), maxBytes, contents);
}

} // namespace tvb
