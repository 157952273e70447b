#include "CFPlistFile_Internal.h"
#include "CFPropertyList_Internal.h"
#include "CFRuntime_Internal.h"

#include <tvb/UniqueFd.h>

#include <CoreFoundation/CFBundle.h>
#include <CoreFoundation/CFPreferences.h>
#include <CoreFoundation/CFPropertyList.h>
#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

const CFStringRef kCFPreferencesAnyApplication = CFSTR("kCFPreferencesAnyApplication");
const CFStringRef kCFPreferencesCurrentApplication = CFSTR("kCFPreferencesCurrentApplication");
const CFStringRef kCFPreferencesAnyHost = CFSTR("kCFPreferencesAnyHost");
const CFStringRef kCFPreferencesCurrentHost = CFSTR("kCFPreferencesCurrentHost");
const CFStringRef kCFPreferencesAnyUser = CFSTR("kCFPreferencesAnyUser");
const CFStringRef kCFPreferencesCurrentUser = CFSTR("kCFPreferencesCurrentUser");

namespace {

constexpr const char* kGlobalDomain = ".GlobalPreferences";

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0')
        return home;
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return {};
}

std::string PreferencesFolder() {
    std::string home = HomeDirectory();
    return home.empty() ? std::string() : home + "/Library/Preferences";
}

// The domain's file name without ".plist"; empty when the name could leave the
// folder.
std::string DomainName(CFStringRef applicationID) {
    if (applicationID == nullptr)
        return {};
    if (CFEqual(applicationID, kCFPreferencesAnyApplication))
        return kGlobalDomain;
    std::string name;
    if (CFEqual(applicationID, kCFPreferencesCurrentApplication)) {
        CFBundleRef main = CFBundleGetMainBundle();
        CFStringRef identifier = main ? CFBundleGetIdentifier(main) : nullptr;
        if (identifier == nullptr || !__CFStringGetUTF8(identifier, name)) {
            char exe[4096];
            ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
            if (length <= 0)
                return {};
            exe[length] = '\0';
            const char* slash = std::strrchr(exe, '/');
            name = slash ? slash + 1 : exe;
        }
    } else if (!__CFStringGetUTF8(applicationID, name)) {
        return {};
    }
    if (name.empty() || name == "." || name == ".." || name.size() > 250 ||
        name.find('/') != std::string::npos)
        return {};
    return name;
}

std::string DomainPath(const std::string& domain) {
    std::string folder = PreferencesFolder();
    return folder.empty() ? std::string() : folder + "/" + domain + ".plist";
}

// One domain's values by key; a NULL value is a pending removal.
using DomainValues = std::map<std::string, CFPropertyListRef>;

void ReleaseValues(const DomainValues& values) {
    for (const auto& entry : values)
        if (entry.second != nullptr)
            CFRelease(entry.second);
}

// Values set but not yet synchronized, per domain.
class PendingValues {
public:
    ~PendingValues() {
        for (const auto& domain : mDomains)
            ReleaseValues(domain.second);
    }

    std::mutex mLock;
    std::map<std::string, DomainValues> mDomains;
};

PendingValues& Pending() {
    static PendingValues pending;
    return pending;
}

// Only the requested value is converted: anything odd elsewhere in the file
// does not matter.
CFPropertyListRef CopyValueFromFile(const std::string& path, const std::string& key) {
    if (path.empty())
        return nullptr;
    __CFPlistPtr root = __CFPlistReadFile(path);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return nullptr;
    plist_t node = plist_dict_get_item(root.get(), key.c_str());
    return node ? __CFPropertyListCreateFromPlistNode(node) : nullptr;
}

bool WriteWhole(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool MakeFolders(const std::string& folder) {
    // $HOME must exist already; only Library and Library/Preferences are made.
    std::string library = folder.substr(0, folder.rfind('/'));
    for (const std::string& path : {library, folder}) {
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        struct stat info;
        if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            return false;
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Where a write to `path` lands. A preferences file is often a link into a dotfiles
// repository: the link stays and the file it names is replaced. False for a loop or a link
// that cannot be read.
bool FollowLinks(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (lstat(path.c_str(), &info) != 0)
            return errno == ENOENT;
        if (!S_ISLNK(info.st_mode))
            return true;
        char target[4096];
        ssize_t length = readlink(path.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof target)
            return false;
        std::string next(target, static_cast<size_t>(length));
        path = next[0] == '/' ? next : FolderOf(path) + "/" + next;
    }
    return false;
}

// Writers in every process that use this code take turns on a folder, so that none replaces
// the file with a copy made before another's change. A lock held for longer than any write
// should take (a stuck or hostile process) fails the write rather than hanging it; a file
// system without locks is written unlocked, as before.
tvb::UniqueFd LockFolder(const std::string& folder) {
    constexpr long kFirstPauseNs = 1000000;
    constexpr long kLongestPauseNs = 50000000;
    constexpr long kGiveUpAfterNs = 10000000000L;
    tvb::UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return fd;
    long waitedNs = 0;
    for (long pauseNs = kFirstPauseNs; waitedNs < kGiveUpAfterNs;
         pauseNs = std::min(pauseNs * 2, kLongestPauseNs)) {
        if (flock(fd.Get(), LOCK_EX | LOCK_NB) == 0)
            return fd;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return fd;
        struct timespec pause = {0, pauseNs};
        nanosleep(&pause, nullptr);
        waitedNs += pauseNs;
    }
    return tvb::UniqueFd();
}

// Replaces the file in one step, so that a reader sees the old or the new contents, never
// half. `existing` is the file replaced, whose owner and mode the new one keeps; NULL for a
// new file.
bool WriteFileAtomically(const std::string& path, const std::string& data,
                         const struct stat* existing) {
    // The file's own name may already be as long as names go.
    std::string name = path.substr(path.rfind('/') + 1);
    std::string temporary = FolderOf(path) + "/." + name.substr(0, 200) + ".XXXXXX";
    int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = true;
    mode_t mode = 0600;
    if (existing != nullptr) {
        // Only root can give a file away; anyone else makes a file of their own, as before.
        if (existing->st_uid != geteuid() || existing->st_gid != getegid())
            ok = fchown(fd, existing->st_uid, existing->st_gid) == 0 || geteuid() != 0;
        mode = existing->st_mode & 07777;
    }
    ok = ok && fchmod(fd, mode) == 0 && WriteWhole(fd, data.data(), data.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    unlink(temporary.c_str());
    return false;
}

// The domain's contents with the pending values applied, as the XML to write; false when
// the file is there but cannot be read as a dictionary (replacing it would lose whatever it
// holds), may not be written, or the result could not be read back.
bool MergedContents(int file, const struct stat* existing, const std::string& path,
                    const DomainValues& values, std::string& xml) {
    __CFPlistPtr root;
    if (existing != nullptr) {
        root = __CFPlistReadFd(file);
        if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
            return false;
        // A file its owner made read-only stays as it is.
        if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
            return false;
    } else {
        root.reset(plist_new_dict());
    }
    for (const auto& entry : values) {
        if (entry.second == nullptr) {
            if (plist_dict_get_item(root.get(), entry.first.c_str()) != nullptr)
                plist_dict_remove_item(root.get(), entry.first.c_str());
            continue;
        }
        plist_t node = __CFPropertyListCopyPlistNode(entry.second);
        if (node == nullptr)
            return false;
        plist_dict_set_item(root.get(), entry.first.c_str(), node);
    }
    char* text = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &text, &length);
    if (text == nullptr)
        return false;
    xml.assign(text, length);
    plist_to_xml_free(text);
    // Too big or too deep for the reader, the file would lose every key at once.
    return xml.size() <= kCFPlistMaxFileBytes && __CFPlistDataIsSafe(xml.data(), xml.size());
}

} // namespace

CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID) {
    std::string keyText;
    std::string domain = DomainName(applicationID);
    if (key == nullptr || domain.empty() || !__CFStringGetUTF8(key, keyText))
        return nullptr;
    {
        PendingValues& pending = Pending();
        std::lock_guard<std::mutex> guard(pending.mLock);
        auto values = pending.mDomains.find(domain);
        if (values != pending.mDomains.end()) {
            auto value = values->second.find(keyText);
            if (value != values->second.end())
                return value->second ? CFRetain(value->second) : nullptr;
        }
    }
    CFPropertyListRef value = CopyValueFromFile(DomainPath(domain), keyText);
    if (value == nullptr && domain != kGlobalDomain)
        value = CopyValueFromFile(DomainPath(kGlobalDomain), keyText);
    return value;
}

void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID) {
    std::string keyText;
    std::string domain = DomainName(applicationID);
    if (key == nullptr || domain.empty() || !__CFStringGetUTF8(key, keyText))
        return;
    // A snapshot, so that later changes to a mutable value do not leak into the
    // file.
    CFPropertyListRef copy = nullptr;
    if (value != nullptr) {
        copy = CFPropertyListCreateDeepCopy(kCFAllocatorDefault, value, kCFPropertyListImmutable);
        if (copy == nullptr)
            return;
    }
    PendingValues& pending = Pending();
    std::lock_guard<std::mutex> guard(pending.mLock);
    CFPropertyListRef& slot = pending.mDomains[domain][keyText];
    if (slot != nullptr)
        CFRelease(slot);
    slot = copy;
}

Boolean CFPreferencesAppSynchronize(CFStringRef applicationID) {
    std::string domain = DomainName(applicationID);
    if (domain.empty())
        return false;
    PendingValues& pending = Pending();
    std::lock_guard<std::mutex> guard(pending.mLock);
    auto values = pending.mDomains.find(domain);
    if (values == pending.mDomains.end())
        return true;
    std::string folder = PreferencesFolder();
    if (folder.empty() || !MakeFolders(folder))
        return false;
    std::string path = DomainPath(domain);
    if (!FollowLinks(path))
        return false;
    tvb::UniqueFd lock = LockFolder(FolderOf(path));
    if (!lock)
        return false;

    // Keys written by others since we last read stay.
    tvb::UniqueFd file(
        open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    struct stat existing;
    if (file ? fstat(file.Get(), &existing) != 0 : errno != ENOENT)
        return false;
    std::string xml;
    if (!MergedContents(file.Get(), file ? &existing : nullptr, path, values->second, xml) ||
        !WriteFileAtomically(path, xml, file ? &existing : nullptr))
        return false;
    // The rename itself survives a crash once the folder is on disk.
    fsync(lock.Get());
    ReleaseValues(values->second);
    pending.mDomains.erase(values);
    return true;
}
