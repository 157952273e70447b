// File Manager data forks: fork reference numbers over file descriptors.
#include "Files_Internal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>

using namespace tvb::files;

namespace {

// One open fork. Shared so that a close racing an I/O call on another thread cannot close
// the descriptor under it (nor let the number be reused for another file meanwhile); the lock
// keeps a positioned transfer whole and lets FSCloseFork close, and report, after the last one.
struct Fork {
    std::mutex lock;
    int fd;
    bool canRead, canWrite;
    Fork(int f, bool r, bool w) : fd(f), canRead(r), canWrite(w) {}
    ~Fork() {
        if (fd >= 0)
            close(fd);
    }
    Fork(const Fork&) = delete;
    Fork& operator=(const Fork&) = delete;

    // A file system may report a failed write only now (NFS, FUSE, quotas): what close says
    // counts. The descriptor is gone either way, EINTR included.
    OSErr Close() {
        std::lock_guard<std::mutex> guard(lock);
        if (fd < 0)
            return rfNumErr;
        int result = close(fd);
        int err = errno;
        fd = -1;
        return result == 0 ? OSErr(noErr) : ErrorFromErrno(err);
    }
};

class ForkTable {
public:
    OSErr Add(std::shared_ptr<Fork> fork, FSIORefNum* refNum) {
        std::lock_guard<std::mutex> lock(mMutex);
        // Numbers go round rather than lowest-free, so a stale number rarely hits a new fork.
        for (int tries = 0; tries < kMaxRefNum; ++tries) {
            FSIORefNum candidate = mNext;
            mNext = mNext == kMaxRefNum ? 1 : mNext + 1;
            if (mForks.count(candidate) == 0) {
                mForks.emplace(candidate, std::move(fork));
                *refNum = candidate;
                return noErr;
            }
        }
        return tmfoErr;
    }
    std::shared_ptr<Fork> Find(FSIORefNum refNum) {
        std::lock_guard<std::mutex> lock(mMutex);
        auto it = mForks.find(refNum);
        return it == mForks.end() ? nullptr : it->second;
    }
    // The fork taken out of the table: no call finds it any more.
    std::shared_ptr<Fork> Remove(FSIORefNum refNum) {
        std::lock_guard<std::mutex> lock(mMutex);
        auto it = mForks.find(refNum);
        if (it == mForks.end())
            return nullptr;
        std::shared_ptr<Fork> removed = std::move(it->second);
        mForks.erase(it);
        return removed;
    }

private:
    static constexpr int kMaxRefNum = 0x7FFF;
    std::mutex mMutex;
    std::map<FSIORefNum, std::shared_ptr<Fork>> mForks;
    FSIORefNum mNext = 1;
};

ForkTable& Forks() {
    static ForkTable* table = new ForkTable; // outlives static destructors of callers
    return *table;
}

// Moves the mark to where the call starts.
OSErr Position(const Fork& fork, UInt16 positionMode, SInt64 positionOffset) {
    off_t base;
    switch (positionMode & 0x03) {
    case fsAtMark:
        positionOffset = 0;
        base = lseek(fork.fd, 0, SEEK_CUR);
        break;
    case fsFromStart:
        base = 0;
        break;
    case fsFromLEOF: {
        struct stat st;
        base = fstat(fork.fd, &st) == 0 ? st.st_size : -1;
        break;
    }
    default: // fsFromMark
        base = lseek(fork.fd, 0, SEEK_CUR);
        break;
    }
    if (base < 0)
        return ioErr;
    if ((positionOffset < 0 && positionOffset < -static_cast<SInt64>(base)) ||
        (positionOffset > 0 && positionOffset > INT64_MAX - base))
        return posErr;
    if (lseek(fork.fd, base + positionOffset, SEEK_SET) < 0)
        return errno == EINVAL ? OSErr(posErr) : ErrorFromErrno(errno);
    return noErr;
}

// Reads or writes requestCount bytes from the position asked for, going on after short or
// interrupted transfers; a transfer of nothing ends it with atEnd.
template <typename Byte, typename IO>
OSErr Transfer(Fork& fork, UInt16 positionMode, SInt64 positionOffset, Byte* bytes,
               ByteCount requestCount, ByteCount* actualCount, IO io, OSErr atEnd) {
    if (bytes == nullptr && requestCount > 0)
        return paramErr;
    std::lock_guard<std::mutex> guard(fork.lock);
    if (fork.fd < 0)
        return rfNumErr; // closed while this call waited
    OSErr err = Position(fork, positionMode, positionOffset);
    if (err != noErr)
        return err;
    ByteCount done = 0;
    while (done < requestCount) {
        ssize_t n = io(fork.fd, bytes + done, requestCount - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = ErrorFromErrno(errno);
            break;
        }
        if (n == 0) {
            err = atEnd;
            break;
        }
        done += static_cast<ByteCount>(n);
    }
    if (actualCount != nullptr)
        *actualCount = done;
    return err;
}

} // namespace

OSErr FSGetDataForkName(HFSUniStr255* dataForkName) {
    if (dataForkName == nullptr)
        return paramErr;
    dataForkName->length = 0;
    return noErr;
}

OSErr FSOpenFork(const FSRef* ref, UniCharCount forkNameLength, const UniChar*, SInt8 permissions,
                 FSIORefNum* forkRefNum) {
    Located found;
    OSErr err = LocateRef(ref, found);
    if (err == errFSBadFSRef)
        return err;
    if (forkRefNum == nullptr)
        return paramErr;
    if (forkNameLength != 0)
        return errFSForkNotFound;
    if (err != noErr)
        return err;
    if (!S_ISREG(found.mode))
        return notAFileErr;
    int flags;
    bool canRead = true, canWrite = true;
    switch (permissions & 0x0F) {
    case fsCurPerm:
    case fsRdWrPerm:
    case fsRdWrShPerm:
        flags = O_RDWR;
        break;
    case fsRdPerm:
        flags = O_RDONLY;
        canWrite = false;
        break;
    case fsWrPerm:
        flags = O_WRONLY;
        canRead = false;
        break;
    default:
        return paramErr;
    }
    // Opened in the folder it was found in, never through a link. O_NONBLOCK keeps a FIFO
    // swapped in meanwhile from blocking the open; it is refused below.
    const int always = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int fd = openat(found.folder.Get(), found.name.c_str(), flags | always);
    if (fd < 0 && (errno == EACCES || errno == EROFS) && (permissions & 0x0F) == fsCurPerm) {
        fd = openat(found.folder.Get(), found.name.c_str(), O_RDONLY | always);
        canWrite = false;
    }
    if (fd < 0)
        return ErrorFromErrno(errno);
    auto fork = std::make_shared<Fork>(fd, canRead, canWrite);
    NodeID node;
    mode_t mode;
    if (!Inspect(fd, "", node, mode))
        return ErrorFromErrno(errno);
    if (node != found.node)
        return fnfErr;
    if (!S_ISREG(mode))
        return notAFileErr;
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        return ErrorFromErrno(errno);
    return Forks().Add(std::move(fork), forkRefNum);
}

OSErr FSWriteFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                  ByteCount requestCount, const void* buffer, ByteCount* actualCount) {
    if (actualCount != nullptr)
        *actualCount = 0;
    std::shared_ptr<Fork> fork = Forks().Find(forkRefNum);
    if (!fork)
        return rfNumErr;
    if (!fork->canWrite)
        return wrPermErr;
    return Transfer(*fork, positionMode, positionOffset, static_cast<const char*>(buffer),
                    requestCount, actualCount, ::write, ioErr);
}

OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                 ByteCount requestCount, void* buffer, ByteCount* actualCount) {
    if (actualCount != nullptr)
        *actualCount = 0;
    std::shared_ptr<Fork> fork = Forks().Find(forkRefNum);
    if (!fork)
        return rfNumErr;
    if (!fork->canRead)
        return afpAccessDenied;
    return Transfer(*fork, positionMode, positionOffset, static_cast<char*>(buffer), requestCount,
                    actualCount, ::read, eofErr);
}

OSErr FSCloseFork(FSIORefNum forkRefNum) {
    std::shared_ptr<Fork> fork = Forks().Remove(forkRefNum);
    return fork ? fork->Close() : OSErr(rfNumErr);
}
