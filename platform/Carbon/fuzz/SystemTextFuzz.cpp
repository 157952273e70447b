// libFuzzer entry for the text the Carbon stand-in reads from files others write (clang only,
// built with -DTVB_FUZZ=ON): the kernel's mount table, whose mount points users name; the
// desktop's user-dirs.dirs, which users edit; a process's /proc stat line, whose command name
// the process picks. The first byte picks the reader and whether the rest is taken as the whole
// text or as a name the text is built around the way its writer builds it; then the reader must
// give the name back unchanged.
#include "Folders_Internal.h"
#include "Processes_Internal.h"
#include "Volumes_Internal.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// The kernel writes these four as \ooo in a mount point.
std::string KernelEscape(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
            out += octal;
        } else {
            out += c;
        }
    }
    return out;
}

void MountTable(const std::string& input, bool asName, unsigned char options) {
    if (!asName) {
        for (const tvb::files::MountEntry& mount : tvb::files::ParseMountInfo(input)) {
            Check(!mount.mountPoint.empty() && mount.mountPoint[0] == '/');
            Check(mount.source.compare(0, 5, "/dev/") == 0 && mount.source.size() > 5);
            Check(!mount.bsdName.empty() && mount.bsdName.find('/') == std::string::npos);
        }
        return;
    }
    std::string name;
    for (char c : input)
        if (c != '\0')
            name += c; // no path holds one
    const std::string mountPoint = "/media/" + name;
    std::string optional; // zero to two tagged fields before the separator
    for (unsigned k = 0; k < (options & 3u) && k < 2; ++k)
        optional += k == 0 ? " shared:12" : " master:3";
    std::string table = "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/null rw\n"
                        "40 22 8:17 / " +
                        KernelEscape(mountPoint) + " rw,nosuid,nodev" + optional +
                        " - vfat /dev/null rw,uid=1000\n";
    std::vector<tvb::files::MountEntry> mounts = tvb::files::ParseMountInfo(table);
    Check(mounts.size() == 2 && mounts[1].mountPoint == mountPoint &&
          mounts[1].source == "/dev/null" && mounts[1].bsdName == "null");
}

void UserDirs(const std::string& input, bool asName, unsigned char options) {
    const std::string home = "/home/user";
    const std::string key = (options & 1) != 0 ? "XDG_DESKTOP_DIR" : "XDG_DOCUMENTS_DIR";
    if (!asName) {
        std::string found = tvb::files::UserDirFromText(input, home, key);
        Check(found.empty() || found[0] == '/');
        return;
    }
    // A name in one line, quoted as a shell would read it.
    std::string name, quoted;
    for (char c : input) {
        if (c == '\0' || c == '\n')
            continue;
        name += c;
        if (c == '"' || c == '\\' || c == '$' || c == '`')
            quoted += '\\';
        quoted += c;
    }
    const bool underHome = (options & 2) != 0;
    std::string text = "# written by the desktop\n"
                       "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n" +
                       key + "=\"" + (underHome ? "$HOME/" : "/") + quoted + "\"\n";
    Check(tvb::files::UserDirFromText(text, home, key) == (underHome ? home + "/" : "/") + name);
}

void StatLine(const std::string& input, bool asName, unsigned char options) {
    tvb::process::Facts facts;
    if (!asName) {
        if (tvb::process::ParseStat(input, facts))
            Check(input.find(facts.command) != std::string::npos);
        return;
    }
    // The kernel keeps at most 15 bytes of a command name, NUL excepted.
    std::string command;
    for (char c : input)
        if (c != '\0' && command.size() < 15)
            command += c;
    const unsigned long long bytes = 1000003ULL * options;
    std::string line = "4242 (" + command + ") " + ((options & 1) != 0 ? "Z" : "S") +
                       " 17 4242 4242 0 -1 4194560 120 0 0 0 6 4 0 0 20 0 1 0 900 " +
                       std::to_string(bytes) +
                       " 300 18446744073709551615 1 1 0 0 0 0 0 4096 17003 0 0 0 17 1 0 0 0 0 0\n";
    bool parsed = tvb::process::ParseStat(line, facts);
    Check(parsed == ((options & 1) == 0));
    if (parsed)
        Check(facts.command == command && facts.parent == 17 && facts.virtualBytes == bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const unsigned char control = data[0];
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool asName = (control & 0x80) != 0;
    const unsigned char options = static_cast<unsigned char>((control >> 2) & 0x1F);
    switch (control & 3) {
    case 0:
        MountTable(input, asName, options);
        break;
    case 1:
        UserDirs(input, asName, options);
        break;
    default:
        StatLine(input, asName, options);
        break;
    }
    return 0;
}
