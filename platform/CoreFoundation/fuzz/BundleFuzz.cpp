// libFuzzer entry for bundles (clang only, built with -DTVB_FUZZ=ON): the bytes split in two
// at a point the first byte picks, as a bundle's Info.plist and PkgInfo, which whoever made
// the application wrote; and, whole, as an executable's path the bundle around it is found
// from.
#include "CFPlistFile_Internal.h"

#include <CoreFoundation/CFBundlePriv.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

std::string gFolder;

void RemoveFolder() {
    std::string command = "rm -rf '" + gFolder + "'";
    if (std::system(command.c_str()) != 0)
        std::abort();
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700);
    if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)))
        std::abort();
    close(fd);
}

// Fuzz.app with its executable, made once for the run.
const std::string& BundlePath() {
    static const std::string path = [] {
        char name[] = "/tmp/tvb-bundle-fuzz-XXXXXX";
        if (mkdtemp(name) == nullptr)
            std::abort();
        gFolder = name;
        std::atexit(RemoveFolder);
        std::string bundle = gFolder + "/Fuzz.app";
        for (const std::string& folder : {bundle, bundle + "/Contents", bundle + "/Contents/MacOS"})
            if (mkdir(folder.c_str(), 0700) != 0)
                std::abort();
        WriteFile(bundle + "/Contents/MacOS/Fuzz", nullptr, 0);
        return bundle;
    }();
    return path;
}

void ReadBundle(const uint8_t* data, size_t size) {
    const std::string& bundlePath = BundlePath();
    const size_t split = size == 0 ? 0 : (size - 1) * data[0] / 255;
    const uint8_t* info = size == 0 ? data : data + 1;
    const size_t infoSize = size == 0 ? 0 : split;
    WriteFile(bundlePath + "/Contents/Info.plist", info, infoSize);
    const std::string pkgInfoPath = bundlePath + "/Contents/PkgInfo";
    if (size > 0 && (data[0] & 1) != 0)
        WriteFile(pkgInfoPath, info + infoSize, size - 1 - infoSize);
    else
        unlink(pkgInfoPath.c_str());

    CFBundleRef bundle = __CFBundleCreateWithPath(nullptr, bundlePath);
    Check(bundle != nullptr && CFBundleGetInfoDictionary(bundle) != nullptr);
    CFStringRef identifier = CFBundleGetIdentifier(bundle);
    Check(identifier == nullptr || CFGetTypeID(identifier) == CFStringGetTypeID());
    UInt32 type = 0, creator = 0;
    CFBundleGetPackageInfo(bundle, &type, &creator);
    CFURLRef executable = CFBundleCopyExecutableURL(bundle);
    if (executable != nullptr) {
        // Only ever a file in Contents/MacOS.
        UInt8 buffer[4096];
        Check(CFURLGetFileSystemRepresentation(executable, true, buffer, sizeof buffer));
        std::string path(reinterpret_cast<const char*>(buffer));
        const std::string folder = bundlePath + "/Contents/MacOS/";
        Check(path.compare(0, folder.size(), folder) == 0);
        std::string name = path.substr(folder.size());
        Check(!name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos);
        CFRelease(executable);
    }
    CFRelease(bundle);
}

// The bundle found around an executable is a Name.app folder on the executable's path, with
// the executable in its Contents/MacOS.
void FindBundle(const uint8_t* data, size_t size) {
    const std::string executable(reinterpret_cast<const char*>(data), size);
    const std::string bundle = __CFBundlePathForExecutable(executable);
    if (bundle.empty())
        return;
    static const std::string inside = "/Contents/MacOS/";
    Check(bundle.size() > 4 && bundle.compare(bundle.size() - 4, 4, ".app") == 0);
    Check(bundle[bundle.size() - 5] != '/');
    Check(executable.compare(0, bundle.size(), bundle) == 0);
    Check(executable.compare(bundle.size(), inside.size(), inside) == 0);
    Check(executable.size() > bundle.size() + inside.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadBundle(data, size);
    FindBundle(data, size);
    return 0;
}
