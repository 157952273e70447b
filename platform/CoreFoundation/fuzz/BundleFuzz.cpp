// libFuzzer entry for bundles (clang only, built with -DTVB_FUZZ=ON): the bytes as a bundle's
// PkgInfo and Info.plist, which whoever made the application wrote; and, whole, as an
// executable's path the bundle around it is found from.
#include "CFPlistFile_Internal.h"

#include <CoreFoundation/CFBundlePriv.h>
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
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

// The first byte: PkgInfo's length in its low four bits, none when 0x10 is set; PkgInfo follows,
// then Info.plist.
void ReadBundle(const uint8_t* data, size_t size) {
    const std::string& bundlePath = BundlePath();
    const std::string pkgInfoPath = bundlePath + "/Contents/PkgInfo";
    const size_t pkgInfoSize = size == 0 ? 0 : std::min<size_t>(data[0] & 0x0F, size - 1);
    if (size > 0 && (data[0] & 0x10) == 0)
        WriteFile(pkgInfoPath, data + 1, pkgInfoSize);
    else
        unlink(pkgInfoPath.c_str());
    const size_t skip = size == 0 ? 0 : 1 + pkgInfoSize;
    WriteFile(bundlePath + "/Contents/Info.plist", data + skip, size - skip);

    CFBundleRef bundle = __CFBundleCreateWithPath(nullptr, bundlePath);
    Check(bundle != nullptr && CFBundleGetInfoDictionary(bundle) != nullptr);
    CFStringRef identifier = CFBundleGetIdentifier(bundle);
    Check(identifier == nullptr || CFGetTypeID(identifier) == CFStringGetTypeID());
    UInt32 type = 0, creator = 0;
    CFBundleGetPackageInfo(bundle, &type, &creator);
    // With neither code in Info.plist, PkgInfo's eight bytes give both.
    CFDictionaryRef info = CFBundleGetInfoDictionary(bundle);
    if ((data[0] & 0x10) == 0 && pkgInfoSize >= 8 &&
        !CFDictionaryContainsKey(info, CFSTR("CFBundlePackageType")) &&
        !CFDictionaryContainsKey(info, CFSTR("CFBundleSignature"))) {
        auto code = [](const uint8_t* b) {
            return UInt32{b[0]} << 24 | UInt32{b[1]} << 16 | UInt32{b[2]} << 8 | b[3];
        };
        Check(type == code(data + 1) && creator == code(data + 5));
    }
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
