// The machine's mounted volumes on Linux: the kernel's mount table and statvfs.
#include "Volumes_Internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

namespace tvb::files {

namespace {

std::mutex gMountInfoMutex;
std::string gMountInfoPath; // empty: the kernel's

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

struct FreeDeleter {
    void operator()(char* p) const { free(p); }
};

// The kernel's name for a device node: /dev/mapper/x and /dev/disk/by-*/x are links to it.
std::string KernelDeviceName(const std::string& source) {
    std::unique_ptr<char, FreeDeleter> resolved(realpath(source.c_str(), nullptr));
    std::string path = resolved ? std::string(resolved.get()) : source;
    return path.substr(path.find_last_of('/') + 1);
}

} // namespace

std::vector<MountEntry> ParseMountInfo(const std::string& text) {
    std::vector<MountEntry> mounts;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // Fields are parted by blanks alone: the kernel escapes only blank, tab, newline and
        // backslash, so a mount point may hold a carriage return or form feed as it is.
        std::vector<std::string> f;
        for (size_t start = 0; start < line.size();) {
            size_t end = std::min(line.find(' ', start), line.size());
            if (end > start)
                f.push_back(line.substr(start, end - start));
            start = end + 1;
        }
        // id parent major:minor root mountpoint options [optional...] - fstype source superopts
        size_t dash = 6;
        while (dash < f.size() && f[dash] != "-")
            ++dash;
        if (f.size() < 6 || dash + 2 >= f.size())
            continue;
        std::string root = Unescape(f[3]);
        std::string mountPoint = Unescape(f[4]);
        std::string source = Unescape(f[dash + 2]);
        if (root != "/" || mountPoint.empty() || mountPoint[0] != '/')
            continue;
        if (source.compare(0, 5, "/dev/") != 0 || source.size() == 5)
            continue;
        std::string bsdName = KernelDeviceName(source);
        if (bsdName.empty())
            continue;
        mounts.push_back(MountEntry{mountPoint, source, bsdName});
    }
    return mounts;
}

namespace {

// The kernel's table, kept open: poll reports POLLPRI (and POLLERR) on it once the table changed
// since the last look. A file named for tests is read afresh every time.
struct MountState {
    std::mutex mutex;
    int fd = -1;
    bool stale = true;
    uint64_t version = 0;
    std::vector<MountEntry> mounts;
};

MountState& State() {
    static MountState* state = new MountState;
    return *state;
}

bool ReadAll(int fd, std::string& text) {
    if (lseek(fd, 0, SEEK_SET) != 0)
        return false;
    char buffer[8192];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        text.append(buffer, static_cast<size_t>(got));
    }
}

// Under the state's lock, with gMountInfoMutex held by the caller.
bool KernelTableChangedLocked(MountState& state) {
    if (state.stale || state.fd < 0)
        return true;
    pollfd watch{state.fd, POLLPRI, 0};
    if (poll(&watch, 1, 0) != 0)
        state.stale = true; // a change, or an error: read again either way
    return state.stale;
}

} // namespace

bool MountList::Changed(uint64_t version) {
    std::lock_guard<std::mutex> testLock(gMountInfoMutex);
    if (!gMountInfoPath.empty())
        return true;
    MountState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return version != state.version || KernelTableChangedLocked(state);
}

std::vector<MountEntry> MountList::Read(uint64_t& version) {
    std::lock_guard<std::mutex> testLock(gMountInfoMutex);
    MountState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!gMountInfoPath.empty()) {
        std::ifstream in(gMountInfoPath);
        std::ostringstream text;
        text << in.rdbuf();
        version = ++state.version;
        state.stale = true;
        return ParseMountInfo(text.str());
    }
    if (KernelTableChangedLocked(state)) {
        if (state.fd < 0)
            state.fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        std::string text;
        if (state.fd >= 0 && ReadAll(state.fd, text)) {
            state.mounts = ParseMountInfo(text);
            state.stale = false;
        } else {
            state.mounts.clear();
        }
        ++state.version;
    }
    version = state.version;
    return state.mounts;
}

MountList& BlockDeviceMounts() {
    static MountList list;
    return list;
}

void SetMountInfoPathForTesting(const std::string& path) {
    std::lock_guard<std::mutex> lock(gMountInfoMutex);
    gMountInfoPath = path;
}

std::string VolumeNameForMountPoint(const std::string& mountPoint) {
    std::string trimmed = mountPoint;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    if (trimmed == "/") {
        char host[HOST_NAME_MAX + 1] = {};
        if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0')
            return host;
        return "/";
    }
    return trimmed.substr(trimmed.find_last_of('/') + 1);
}

bool StatVolume(const std::string& mountPoint, VolumeSizes& sizes) {
    struct statvfs st;
    if (statvfs(mountPoint.c_str(), &st) != 0)
        return false;
    uint64_t unit = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
    sizes.totalBytes = static_cast<uint64_t>(st.f_blocks) * unit;
    sizes.freeBytes = static_cast<uint64_t>(st.f_bavail) * unit; // what a user may still write
    sizes.blockSize = static_cast<uint32_t>(unit);
    sizes.totalBlocks = st.f_blocks;
    sizes.freeBlocks = st.f_bavail;
    sizes.readOnly = (st.f_flag & ST_RDONLY) != 0;
    return true;
}

} // namespace tvb::files
