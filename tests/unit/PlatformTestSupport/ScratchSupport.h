// Scratch folders, environment overrides, whole-file reads and checks run in a child process,
// shared by the stand-in frameworks' tests.
// Threading: one test thread. Ownership: a ScratchDir removes its folder when destroyed.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

namespace tvb::test {

// Sets or unsets an environment variable and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : mName(name) {
        if (const char* old = getenv(name))
            mOld = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (mOld)
            setenv(mName.c_str(), mOld->c_str(), 1);
        else
            unsetenv(mName.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string mName;
    std::optional<std::string> mOld;
};

// A fresh folder under /tmp, removed with everything in it afterwards, even when a test took
// its own permissions away. path() is empty when the folder could not be made.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag = "sys") {
        std::string pattern = "/tmp/tvb-" + tag + "-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr)
            ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        else
            mPath = std::filesystem::canonical(pattern).string();
    }
    ~ScratchDir() {
        if (mPath.empty())
            return;
        std::error_code ec;
        std::filesystem::permissions(mPath, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(mPath, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return mPath; }
    std::string operator/(const std::string& leaf) const { return mPath + "/" + leaf; }

private:
    std::string mPath;
};

// The whole file, or empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Runs body in a forked child, which an alarm ends after `seconds` (a check that would block for
// ever), and gives its exit code: body's result, 128 + the signal that ended it, or -1.
inline int ExitCodeInChild(const std::function<int()>& body, unsigned seconds = 30) {
    pid_t child = fork();
    if (child == 0) {
        alarm(seconds);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace tvb::test
