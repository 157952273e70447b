#include "CFPlistFile_Internal.h"
#include "CFPropertyList_Internal.h"
#include "CFRuntime_Internal.h"

#include <CoreFoundation/CFBundle.h>
#include <CoreFoundation/CFPreferences.h>
#include <CoreFoundation/CFPropertyList.h>
#include <CoreFoundation/CFString.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
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

// Replaces the file in one step, so that a reader sees the old or the new
// contents, never half.
bool WriteFileAtomically(const std::string& path, const char* data, size_t length) {
    std::string temporary = path + ".XXXXXX";
    int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, 0600) == 0 && WriteWhole(fd, data, length) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    unlink(temporary.c_str());
    return false;
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

    // Keys written by others since we last read stay; a file that is not a
    // dictionary is replaced.
    __CFPlistPtr root = __CFPlistReadFile(path);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        root.reset(plist_new_dict());
    for (auto& entry : values->second) {
        if (entry.second == nullptr) {
            if (plist_dict_get_item(root.get(), entry.first.c_str()) != nullptr)
                plist_dict_remove_item(root.get(), entry.first.c_str());
            continue;
        }
        plist_t node = __CFPropertyListCopyPlistNode(entry.second);
        if (node != nullptr)
            plist_dict_set_item(root.get(), entry.first.c_str(), node);
    }
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (xml == nullptr)
        return false;
    bool written = WriteFileAtomically(path, xml, length);
    plist_to_xml_free(xml);
    if (!written)
        return false;
    ReleaseValues(values->second);
    pending.mDomains.erase(values);
    return true;
}
