// Scratch directories, UTF-16 names and unprivileged children for the File Manager tests.
#pragma once

#include "ScratchSupport.h"

#include <Carbon/Carbon.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace tvb::test {

// A fresh directory per test, removed with everything in it afterwards.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(mDir.empty()); }

    std::string Path(const std::string& leaf) const { return mDir + "/" + leaf; }

    FSRef RefFor(const std::string& path) {
        FSRef ref;
        Boolean isDir = FALSE;
        EXPECT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &ref, &isDir))
            << path;
        return ref;
    }
    FSRef DirRef() { return RefFor(mDir); }

    ScratchDir mScratch{"files"};
    const std::string mDir = mScratch.path();
};

inline std::vector<UniChar> U16(const std::u16string& s) {
    return std::vector<UniChar>(s.begin(), s.end());
}

inline std::string RefToPath(const FSRef& ref) {
    UInt8 buf[4096];
    if (FSRefMakePath(&ref, buf, sizeof buf) != noErr)
        return "<bad ref>";
    return reinterpret_cast<const char*>(buf);
}

inline void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Runs `body` in a child process without root's power to ignore permissions (as nobody when
// the tests run as root) and returns its result, or -1 when the child did not finish normally.
inline int RunUnprivileged(const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(100);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Exit status of a child that was refused a namespace of its own.
constexpr int kNoNamespace = 77;

inline bool WriteProcFile(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    bool written = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (fd >= 0)
        close(fd);
    return written;
}

// Runs `body` in a child with a user and mount namespace of its own, where it may mount
// file systems of its own making; its exit status, -1 when it did not finish normally.
inline int RunWithOwnMounts(const std::function<int()>& body) {
    std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    pid_t child = fork();
    if (child == 0) {
        alarm(30);
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
            !WriteProcFile("/proc/self/setgroups", "deny") ||
            !WriteProcFile("/proc/self/uid_map", uid + " " + uid + " 1") ||
            !WriteProcFile("/proc/self/gid_map", gid + " " + gid + " 1") ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(kNoNamespace);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace tvb::test
