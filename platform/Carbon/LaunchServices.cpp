#include "Files_Internal.h"

#include "../CoreFoundation/CFBundle_Internal.h"

#include <Carbon/Files.h>
#include <Carbon/LaunchServices.h>
#include <Carbon/MacErrors.h>
#include <CoreFoundation/CFURL.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using tvb::files::RefPath;

namespace {

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The executable of the bundle at appPath, or an error.
OSStatus FindExecutable(const std::string& appPath, std::string& executable) {
    if (!IsDirectory(appPath) || !IsDirectory(appPath + "/Contents"))
        return kLSApplicationNotFoundErr;
    CFBundleRef bundle = __CFBundleCreateWithPath(kCFAllocatorDefault, appPath);
    if (bundle == nullptr)
        return kLSApplicationNotFoundErr;
    CFURLRef executableURL = CFBundleCopyExecutableURL(bundle);
    CFRelease(bundle);
    if (executableURL == nullptr)
        return kLSNoExecutableErr;
    UInt8 buffer[sizeof(FSRef::hidden)];
    bool converted = CFURLGetFileSystemRepresentation(executableURL, true, buffer, sizeof buffer);
    CFRelease(executableURL);
    if (!converted)
        return kLSNoExecutableErr;
    executable = reinterpret_cast<const char*>(buffer);
    if (access(executable.c_str(), X_OK) != 0)
        return kLSNoExecutableErr;
    return noErr;
}

OSStatus StatusForExecError(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
    case ELOOP:
    case ENAMETOOLONG:
        return kLSNoExecutableErr;
    case ENOEXEC:
    case ELIBBAD:
        return kLSExecutableIncorrectFormat;
    case ENOMEM:
    case EAGAIN:
        return memFullErr;
    default:
        return kLSUnknownErr;
    }
}

void WriteError(int fd, int error) {
    // Nothing can be done if this fails; the parent then sees success or a short read.
    ssize_t ignored = write(fd, &error, sizeof error);
    (void)ignored;
}

// Between fork and exec only async-signal-safe calls: the caller may have other threads.
[[noreturn]] void RunDetached(int statusFd, const char* path, char* const argv[], long maxFd) {
    // The grandchild gets the caller's environment and nothing else of its state.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults;
    std::memset(&defaults, 0, sizeof defaults);
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        sigaction(signal, &defaults, nullptr);

    // The status pipe goes to 3 so that 0-2 can become /dev/null and the rest can close.
    if (statusFd != 3) {
        if (dup3(statusFd, 3, O_CLOEXEC) < 0)
            _exit(127);
        statusFd = 3;
    }
    if (close_range(4, ~0U, 0) != 0) {
        for (long fd = 4; fd < maxFd; ++fd)
            close(static_cast<int>(fd));
    }
    int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) {
        WriteError(statusFd, errno);
        _exit(127);
    }
    if (null > 2)
        close(null);
    if (chdir("/") != 0) {
        WriteError(statusFd, errno);
        _exit(127);
    }
    execv(path, argv);
    WriteError(statusFd, errno);
    _exit(127);
}

OSStatus Launch(const std::string& executable, const std::vector<std::string>& documents) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const std::string& document : documents)
        argv.push_back(const_cast<char*>(document.c_str()));
    argv.push_back(nullptr);
    long maxFd = sysconf(_SC_OPEN_MAX);
    if (maxFd < 0 || maxFd > 65536)
        maxFd = 65536;

    // Close-on-exec: the pipe reads end-of-file exactly when exec succeeds.
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0)
        return StatusForExecError(errno);
    pid_t child = fork();
    if (child < 0) {
        int error = errno;
        close(status[0]);
        close(status[1]);
        return StatusForExecError(error);
    }
    if (child == 0) {
        // The middle process makes a new session and leaves at once, so the application is
        // nobody's child here and leaves no zombie behind.
        close(status[0]);
        if (setsid() < 0) {
            WriteError(status[1], errno);
            _exit(127);
        }
        pid_t grandchild = fork();
        if (grandchild < 0) {
            WriteError(status[1], errno);
            _exit(127);
        }
        if (grandchild == 0)
            RunDetached(status[1], argv[0], argv.data(), maxFd);
        _exit(0);
    }
    close(status[1]);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    do {
        got = read(status[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(status[0]);
    if (got == 0)
        return noErr;
    if (got != static_cast<ssize_t>(sizeof error))
        return kLSUnknownErr;
    return StatusForExecError(error);
}

} // namespace

OSStatus LSOpenFromRefSpec(const LSLaunchFSRefSpec* inLaunchSpec, FSRef* outLaunchedRef) {
    if (inLaunchSpec == nullptr || inLaunchSpec->appRef == nullptr ||
        (inLaunchSpec->numDocs > 0 && inLaunchSpec->itemRefs == nullptr))
        return paramErr;
    std::string appPath;
    if (!RefPath(inLaunchSpec->appRef, appPath))
        return paramErr;
    std::vector<std::string> documents;
    for (ItemCount i = 0; i < inLaunchSpec->numDocs; ++i) {
        std::string document;
        if (!RefPath(&inLaunchSpec->itemRefs[i], document))
            return paramErr;
        struct stat info;
        if (lstat(document.c_str(), &info) != 0)
            return fnfErr;
        documents.push_back(std::move(document));
    }
    std::string executable;
    OSStatus status = FindExecutable(appPath, executable);
    if (status == noErr)
        status = Launch(executable, documents);
    if (status == noErr && outLaunchedRef != nullptr)
        std::memmove(outLaunchedRef, inLaunchSpec->appRef, sizeof(FSRef));
    return status;
}

OSStatus LSOpenFSRef(const FSRef* inRef, FSRef* outLaunchedRef) {
    LSLaunchFSRefSpec launchSpec = {inRef, 0, nullptr, nullptr, kLSLaunchDefaults, nullptr};
    return LSOpenFromRefSpec(&launchSpec, outLaunchedRef);
}
