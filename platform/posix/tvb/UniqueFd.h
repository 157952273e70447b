// Owns one file descriptor and closes it once: the one holder the stand-ins (and, through
// tvb_posix, anything else of ours) use instead of a raw int that must be closed on every path.
// Threading: not thread-safe; one owner at a time.
// Ownership: move-only. Release hands the descriptor back unclosed; Reset closes the one held
// and takes another. A close failure is not reported: where it matters (a file just written),
// Release the descriptor and check close() yourself.
#pragma once

#include <unistd.h>

#include <utility>

namespace tvb {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : mFd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : mFd(std::exchange(other.mFd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            Reset(std::exchange(other.mFd, -1));
        return *this;
    }

    int Get() const { return mFd; }
    explicit operator bool() const { return mFd >= 0; }
    int Release() { return std::exchange(mFd, -1); }
    void Reset(int fd = -1) {
        if (mFd >= 0)
            ::close(mFd);
        mFd = fd;
    }

private:
    int mFd = -1;
};

} // namespace tvb
