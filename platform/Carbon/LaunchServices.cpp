#include "AppleEvents_Internal.h"
#include "CarbonEvents_Internal.h"
#include "Files_Internal.h"
#include "Processes_Internal.h"

#include <Carbon/AppleEvents.h>
#include <Carbon/Files.h>
#include <Carbon/LaunchServices.h>
#include <Carbon/MacErrors.h>
#include <CoreFoundation/CFBundlePriv.h>
#include <CoreFoundation/CFURL.h>
#include <tvb/UniqueFd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

using tvb::files::RefPath;

namespace {

// How long running copies have to take the documents before another copy is started.
constexpr std::chrono::milliseconds kAnswerBound(2000);
// How long a new copy may take to reach its exec. Only a stopped or stuck process takes more;
// the caller (the poller's run loop) must not wait for it for good.
constexpr std::chrono::milliseconds kLaunchBound(5000);

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

// What goes back on the status pipe: an errno value, or the negated number of a signal that
// killed the application's process before its exec.
void WriteError(int fd, int error) {
    // Nothing can be done if this fails; the parent then sees success or a short read.
    ssize_t ignored = write(fd, &error, sizeof error);
    (void)ignored;
}

// The status pipe of the process being made into the application, for DiedBeforeExec.
volatile sig_atomic_t gStatusFd = -1;

// Caught, not left to kill silently: the caller would take the pipe's end-of-file for an exec.
// The exec resets caught signals to their default, so the application never sees this. Only
// SIGKILL still ends the process unseen, which looks like an application that quit at once.
void DiedBeforeExec(int signal) {
    WriteError(gStatusFd, -signal);
    _exit(128 + signal);
}

// Signals whose default action does not end a process.
bool LeavesProcessAlone(int signal) {
    return signal == SIGCHLD || signal == SIGCONT || signal == SIGURG || signal == SIGWINCH ||
           signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

// Between fork and exec only async-signal-safe calls: the caller may have other threads.
[[noreturn]] void RunDetached(int statusFd, int outputFd, const char* path, char* const argv[],
                              long maxFd) {
    // The grandchild gets the caller's environment and nothing else of its state. Signals are
    // still blocked (Launch blocks them for the fork): a signal that would kill this process
    // before its exec is reported as a failed launch instead.
    gStatusFd = statusFd;
    struct sigaction defaults, report;
    std::memset(&defaults, 0, sizeof defaults);
    defaults.sa_handler = SIG_DFL;
    std::memset(&report, 0, sizeof report);
    report.sa_handler = DiedBeforeExec;
    sigfillset(&report.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal)
        sigaction(signal, LeavesProcessAlone(signal) ? &defaults : &report, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    // Standard input is /dev/null, output and errors go to outputFd (or /dev/null too), the
    // status pipe goes to 3, and the rest closes. Everything moves above 3 first, so that no
    // move overwrites a descriptor still to be moved.
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) {
        WriteError(statusFd, errno);
        _exit(127);
    }
    int status = fcntl(statusFd, F_DUPFD_CLOEXEC, 10);
    int input = fcntl(null, F_DUPFD_CLOEXEC, 10);
    int output = fcntl(outputFd >= 0 ? outputFd : null, F_DUPFD_CLOEXEC, 10);
    if (status < 0 || input < 0 || output < 0) {
        WriteError(statusFd, errno);
        _exit(127);
    }
    if (dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0 ||
        dup3(status, 3, O_CLOEXEC) < 0) {
        WriteError(status, errno);
        _exit(127);
    }
    statusFd = 3;
    gStatusFd = statusFd;
    if (close_range(4, ~0U, 0) != 0) {
        for (long fd = 4; fd < maxFd; ++fd)
            close(static_cast<int>(fd));
    }
    if (chdir("/") != 0) {
        WriteError(statusFd, errno);
        _exit(127);
    }
    execv(path, argv);
    WriteError(statusFd, errno);
    _exit(127);
}

enum class Wait { Ready, TimedOut, Quit };

// Whether fd became readable (or hung up) before the deadline; once the process is told to
// quit, whether it is readable now.
Wait AwaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd wait = {fd, POLLIN, 0};
        int ready = __CarbonPollUnlessQuitting(
            &wait, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready > 0)
            return Wait::Ready;
        if (ready < 0 && errno == ECANCELED) {
            wait.revents = 0;
            return poll(&wait, 1, 0) > 0 ? Wait::Ready : Wait::Quit;
        }
        if (ready == 0 || errno != EINTR)
            return Wait::TimedOut;
    }
}

// Where the application's output and errors go: the journal, under the executable's name,
// when journald is there; otherwise nowhere (-1).
int OpenOutput(const std::string& executable) {
    std::string name = executable.substr(executable.rfind('/') + 1);
    // The stream's header is lines: a newline in the name would make journald refuse it and
    // hang up, and the application die of SIGPIPE at its first line of output.
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '_';
    }
    int fd = sd_journal_stream_fd(name.c_str(), LOG_INFO, 1);
    return fd >= 0 ? fd : -1;
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
    tvb::UniqueFd statusRead(status[0]);
    tvb::UniqueFd statusWrite(status[1]);
    tvb::UniqueFd output(OpenOutput(executable));
    // Blocked until the application's process has set up its own signal state: the caller's
    // handlers never run in the forked processes, and the middle one dies of SIGKILL only.
    sigset_t all, callers;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &callers);
    pid_t child = fork();
    if (child < 0) {
        int error = errno;
        pthread_sigmask(SIG_SETMASK, &callers, nullptr);
        return StatusForExecError(error);
    }
    if (child == 0) {
        // The middle process makes a new session and leaves at once, so the application is
        // nobody's child here and leaves no zombie behind.
        statusRead.Reset();
        if (setsid() < 0) {
            WriteError(statusWrite.Get(), errno);
            _exit(127);
        }
        pid_t grandchild = fork();
        if (grandchild < 0) {
            WriteError(statusWrite.Get(), errno);
            _exit(127);
        }
        if (grandchild == 0)
            RunDetached(statusWrite.Get(), output.Get(), argv[0], argv.data(), maxFd);
        // From here the pipe's end-of-file is the application's exec alone.
        statusWrite.Reset();
        _exit(0);
    }
    pthread_sigmask(SIG_SETMASK, &callers, nullptr);
    statusWrite.Reset();
    auto deadline = std::chrono::steady_clock::now() + kLaunchBound;
    tvb::UniqueFd middleFd(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    // Already reaped, by a caller that ignores SIGCHLD: its number may soon be another's.
    bool middleGone = !middleFd && errno == ESRCH;
    int error = 0;
    ssize_t got = -1;
    Wait exec = AwaitReadable(statusRead.Get(), deadline);
    bool stuck = exec != Wait::Ready;
    if (!stuck) {
        do {
            got = read(statusRead.Get(), &error, sizeof error);
        } while (got < 0 && errno == EINTR);
    }
    // A process stopped (or stuck) before the exec: as on Mac OS X the launch times out (or,
    // for a caller told to quit, is cancelled). The middle process goes; an application's
    // process it has already made is left to run.
    bool middleStuck =
        middleFd ? AwaitReadable(middleFd.Get(), deadline) != Wait::Ready : stuck && !middleGone;
    // Through the pidfd where there is one, which no later process can take over.
    if (middleStuck && middleFd)
        syscall(SYS_pidfd_send_signal, middleFd.Get(), SIGKILL, nullptr, 0);
    else if (middleStuck)
        kill(child, SIGKILL);
    int middle = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &middle, 0);
    } while (waited < 0 && errno == EINTR);
    if (stuck)
        return exec == Wait::Quit ? OSStatus(userCanceledErr) : OSStatus(errAETimeout);
    // End-of-file means an exec only if the middle process lived to start the application. (A
    // caller that ignores SIGCHLD gets no status to look at: then the pipe alone tells.)
    bool middleDied =
        !middleStuck && waited == child && !(WIFEXITED(middle) && WEXITSTATUS(middle) == 0);
    if (got == 0)
        return middleDied ? OSStatus(kLSUnknownErr) : OSStatus(noErr);
    if (got != static_cast<ssize_t>(sizeof error) || error < 0)
        return kLSUnknownErr;
    return StatusForExecError(error);
}

// The running processes of this user, this one aside, that belong to the bundle.
std::vector<pid_t> RunningCopies(const struct stat& bundle) {
    std::vector<pid_t> copies;
    for (pid_t pid : tvb::process::ListProcessIDs()) {
        tvb::process::Facts facts;
        if (pid == getpid() || !tvb::process::ReadFacts(pid, facts) || facts.uid != geteuid())
            continue;
        std::string path = tvb::process::ApplicationBundleOf(pid, facts);
        struct stat info;
        if (!path.empty() && stat(path.c_str(), &info) == 0 && info.st_dev == bundle.st_dev &&
            info.st_ino == bundle.st_ino)
            copies.push_back(pid);
    }
    return copies;
}

// Sleeps until an event socket may have appeared, one of the copies has exited, or the
// deadline; a copy still starting up gets its chance to listen.
void AwaitChange(int watch, const std::vector<pid_t>& copies,
                 std::chrono::steady_clock::time_point deadline) {
    std::vector<pollfd> waits;
    std::vector<tvb::UniqueFd> pidFds;
    if (watch >= 0)
        waits.push_back({watch, POLLIN, 0});
    for (pid_t pid : copies) {
        tvb::UniqueFd pidFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
        if (pidFd) {
            waits.push_back({pidFd.Get(), POLLIN, 0});
            pidFds.push_back(std::move(pidFd));
        }
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    // Without a folder watch, look again now and then.
    int timeout = static_cast<int>(std::max<long long>(0, left.count()));
    if (watch < 0)
        timeout = std::min(timeout, 50);
    if (__CarbonPollUnlessQuitting(waits.data(), waits.size(), timeout) > 0 && watch >= 0) {
        char events[4096];
        while (read(watch, events, sizeof events) > 0) {
        }
    }
}

// Offers the documents (or, with none, a reopen) to running copies of the bundle. True when
// one answered, with its answer in status; false when none runs, or none answered before the
// deadline. A copy that answers it does not take them (no handler, or its handler refused)
// still is the running copy, as on Mac OS X: its answer is the result, unless another copy
// takes them. A caller told to quit stops offering: true, with userCanceledErr.
bool OfferToRunningCopies(const std::string& appPath, const std::vector<std::string>& documents,
                          OSStatus& status) {
    struct stat bundle;
    if (stat(appPath.c_str(), &bundle) != 0)
        return false;
    auto deadline = std::chrono::steady_clock::now() + kAnswerBound;
    AEEventID eventID = documents.empty() ? kAEReopenApplication : kAEOpenDocuments;
    std::string folder = tvb::appleevents::EventsFolder(true);
    tvb::UniqueFd watch(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (watch && (folder.empty() ||
                  inotify_add_watch(watch.Get(), folder.c_str(), IN_CREATE | IN_MOVED_TO) < 0))
        watch.Reset();
    std::set<pid_t> refused;
    OSStatus refusal = noErr;
    for (;;) {
        std::vector<pid_t> copies = RunningCopies(bundle);
        copies.erase(std::remove_if(copies.begin(), copies.end(),
                                    [&](pid_t pid) { return refused.count(pid) != 0; }),
                     copies.end());
        std::vector<pid_t> waiting;
        for (size_t i = 0; i < copies.size(); ++i) {
            pid_t pid = copies[i];
            // One at a time, so that no two copies take the documents; a stopped or busy copy
            // has its share of the time and leaves the rest to the others.
            auto now = std::chrono::steady_clock::now();
            auto share = now + (deadline - now) / static_cast<long>(copies.size() - i);
            tvb::appleevents::Answer answer =
                tvb::appleevents::SendEvent(pid, kCoreEventClass, eventID, documents, share);
            if (!answer.answered && __CarbonQuitRequested()) {
                status = userCanceledErr;
                return true;
            }
            // Reopening needs no handler: the application is there, which is all it asks.
            if (answer.answered && (answer.status == noErr || eventID == kAEReopenApplication)) {
                status = noErr;
                return true;
            }
            if (answer.answered) {
                refused.insert(pid);
                refusal = answer.status;
            } else {
                waiting.push_back(pid);
            }
        }
        if (waiting.empty() || std::chrono::steady_clock::now() >= deadline) {
            status = refusal;
            return !refused.empty();
        }
        AwaitChange(watch.Get(), waiting, deadline);
        if (__CarbonQuitRequested()) {
            status = userCanceledErr;
            return true;
        }
    }
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
    if (status != noErr)
        return status;
    // A process told to quit starts nothing more.
    if (__CarbonQuitRequested())
        return userCanceledErr;
    bool answered = false;
    if ((inLaunchSpec->launchFlags & kLSLaunchNewInstance) == 0) {
        try {
            answered = OfferToRunningCopies(appPath, documents, status);
        } catch (const std::bad_alloc&) {
            return memFullErr;
        }
    }
    if (!answered)
        status = Launch(executable, documents);
    if (status == noErr && outLaunchedRef != nullptr)
        std::memmove(outLaunchedRef, inLaunchSpec->appRef, sizeof(FSRef));
    return status;
}

OSStatus LSOpenFSRef(const FSRef* inRef, FSRef* outLaunchedRef) {
    LSLaunchFSRefSpec launchSpec = {inRef, 0, nullptr, nullptr, kLSLaunchDefaults, nullptr};
    return LSOpenFromRefSpec(&launchSpec, outLaunchedRef);
}
