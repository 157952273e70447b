// Launching application bundles for real: the fixture application reports through a FIFO what it
// was started with, so every check is about the process that actually ran.
#include "QuitDuringOpen.h"
#include "SysTestSupport.h"
#include "SystemCallFilter.h"

#include <Carbon/Carbon.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tvb::systest;

FSRef RefTo(const std::string& path) {
    FSRef ref;
    EXPECT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &ref, nullptr))
        << path;
    return ref;
}

OSStatus Open(const std::string& app, const std::vector<std::string>& documents,
              FSRef* launched = nullptr) {
    FSRef appRef = RefTo(app);
    std::vector<FSRef> docRefs;
    for (const std::string& document : documents)
        docRefs.push_back(RefTo(document));
    LSLaunchFSRefSpec launchSpec = {&appRef,
                                    static_cast<ItemCount>(docRefs.size()),
                                    docRefs.empty() ? nullptr : docRefs.data(),
                                    nullptr,
                                    kLSLaunchDefaults,
                                    nullptr};
    return LSOpenFromRefSpec(&launchSpec, launched);
}

class LaunchServicesTest : public ::testing::Test {
protected:
    // Launches app on documents and returns the fixture's report.
    Report LaunchAndReport(const std::string& app, const std::vector<std::string>& documents) {
        ReportPipe pipe(mDir / "report");
        ScopedEnv report("TVB_FIXTURE_REPORT", pipe.path().c_str());
        EXPECT_EQ(noErr, Open(app, documents));
        std::optional<std::string> text = pipe.Read();
        EXPECT_TRUE(text.has_value()) << "the application never reported";
        return text ? ParseReport(*text) : Report{};
    }

    std::string Document(const std::string& name) {
        WriteFile(mDir / name, "document");
        return mDir / name;
    }

    ScratchDir mDir;
};

TEST_F(LaunchServicesTest, OpensTheApplicationWithTheDocumentAsItsOneArgument) {
    std::string document = Document("LaunchBackup");
    FSRef launched;
    std::memset(&launched, 0, sizeof launched);
    ReportPipe pipe(mDir / "report");
    ScopedEnv report("TVB_FIXTURE_REPORT", pipe.path().c_str());
    ASSERT_EQ(noErr, Open(FixtureBundle(), {document}, &launched));
    char path[4096];
    ASSERT_EQ(noErr, FSRefMakePath(&launched, reinterpret_cast<UInt8*>(path), sizeof path));
    EXPECT_EQ(FixtureBundle(), path);

    std::optional<std::string> text = pipe.Read();
    ASSERT_TRUE(text.has_value());
    Report result = ParseReport(*text);
    EXPECT_EQ(std::vector<std::string>{"2"}, result["argc"]);
    EXPECT_EQ(std::vector<std::string>{document}, result["arg"]);
}

TEST_F(LaunchServicesTest, ApplicationRunsDetachedWithNothingInherited) {
    // State a careless launcher would pass on: a descriptor without close-on-exec, a blocked
    // signal, ignored signals (SIGCHLD among them, so the launcher cannot wait for its child).
    int leaked = open("/dev/zero", O_RDONLY);
    ASSERT_GE(leaked, 0);
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGTERM);
    ASSERT_EQ(0, sigprocmask(SIG_BLOCK, &block, &previous));
    struct sigaction ignore = {}, oldAction = {}, oldChild = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(0, sigaction(SIGUSR2, &ignore, &oldAction));
    ASSERT_EQ(0, sigaction(SIGCHLD, &ignore, &oldChild));

    Report result = LaunchAndReport(FixtureBundle(), {Document("doc")});

    sigaction(SIGCHLD, &oldChild, nullptr);
    sigaction(SIGUSR2, &oldAction, nullptr);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    close(leaked);

    ASSERT_FALSE(result.empty());
    EXPECT_NE(std::to_string(getpid()), result["ppid"].at(0)) << "the launcher is its parent";
    EXPECT_NE(std::to_string(getsid(0)), result["sid"].at(0)) << "it shares our session";
    EXPECT_EQ("/", result["cwd"].at(0));
    EXPECT_EQ("/dev/null", result["fd0"].at(0));
    // Output and errors go to the journal where journald runs, else nowhere.
    bool journal = access("/run/systemd/journal/stdout", F_OK) == 0;
    for (const char* fd : {"fd1", "fd2"}) {
        if (journal)
            EXPECT_EQ(0u, result[fd].at(0).rfind("socket:", 0)) << fd;
        else
            EXPECT_EQ("/dev/null", result[fd].at(0)) << fd;
    }
    EXPECT_EQ("0,1,2", result["fds"].at(0));
    EXPECT_EQ("0000000000000000", result["blocked"].at(0));
    EXPECT_EQ("0000000000000000", result["ignored"].at(0));

    // The middle process has been reaped and the application is not our child: nothing to wait
    // for, so no zombie can be left behind here.
    errno = 0;
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
}

// Exit codes of the journal test's child.
enum JournalResult {
    kJournalPassed = 0,
    kNoNamespace = 77,
    kLaunchFailed = 10,
    kNothingConnected,
    kWrongIdentifier,
    kOutputMissing,
};

// In a user and mount namespace of its own, a stand-in journal listens at journald's stream
// address; each launched application's output must reach it, after a header that journald
// takes: its identifier line, an empty unit line and the priority (6).
JournalResult LaunchIntoStandInJournal(const std::map<std::string, std::string>& identifiers,
                                       std::string& received) {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return kNoNamespace;
    auto put = [](const char* file, const std::string& text) {
        std::ofstream out(file);
        out << text;
        out.close();
        return static_cast<bool>(out);
    };
    std::string run = access("/run/systemd", F_OK) == 0 ? "/run/systemd" : "/run";
    if (!put("/proc/self/setgroups", "deny") ||
        !put("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !put("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1") ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", run.c_str(), "tmpfs", 0, "mode=0755") != 0)
        return kNoNamespace;
    std::filesystem::create_directories("/run/systemd/journal");
    int journal = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/run/systemd/journal/stdout");
    if (journal < 0 || bind(journal, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(journal, 4) != 0)
        return kNoNamespace;

    for (const auto& [app, identifier] : identifiers) {
        FSRef appRef = RefTo(app);
        LSLaunchFSRefSpec launchSpec = {&appRef, 0, nullptr, nullptr, kLSLaunchDefaults, nullptr};
        if (LSOpenFromRefSpec(&launchSpec, nullptr) != noErr)
            return kLaunchFailed;
        pollfd wait = {journal, POLLIN, 0};
        int stream =
            poll(&wait, 1, 20000) == 1 ? accept4(journal, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (stream < 0)
            return kNothingConnected;
        received.clear();
        char bytes[4096];
        ssize_t got;
        while ((got = read(stream, bytes, sizeof bytes)) > 0)
            received.append(bytes, static_cast<size_t>(got));
        close(stream);
        if (received.rfind(identifier + "\n\n6\n", 0) != 0)
            return kWrongIdentifier;
        if (received.find("\nto-stdout\n") == std::string::npos ||
            received.find("\nto-stderr\n") == std::string::npos)
            return kOutputMissing;
    }
    return kJournalPassed;
}

TEST_F(LaunchServicesTest, OutputAndErrorsGoToTheJournalUnderTheExecutablesName) {
    // Named by its bundle, the second executable has a newline in its name.
    std::map<std::string, std::string> identifiers;
    for (const std::string& name : {std::string("talker"), std::string("new\nline")}) {
        std::string app =
            MakeBundle(mDir / (name + ".app"), {std::nullopt, std::nullopt, std::nullopt, ""});
        WriteFile(app + "/Contents/MacOS/" + name,
                  "#!/bin/sh\necho to-stdout\necho to-stderr >&2\n", 0755);
        identifiers[app] = name == "talker" ? name : "new_line";
    }
    int report[2];
    ASSERT_EQ(0, pipe(report));
    pid_t child = fork();
    if (child == 0) {
        alarm(30);
        std::string received;
        JournalResult result = LaunchIntoStandInJournal(identifiers, received);
        ssize_t written = write(report[1], received.data(), received.size());
        (void)written;
        _exit(result);
    }
    close(report[1]);
    std::string received;
    char bytes[4096];
    ssize_t got;
    while ((got = read(report[0], bytes, sizeof bytes)) > 0)
        received.append(bytes, static_cast<size_t>(got));
    close(report[0]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    if (WEXITSTATUS(status) == kNoNamespace)
        GTEST_SKIP() << "no user and mount namespace for a stand-in journal";
    EXPECT_EQ(kJournalPassed, WEXITSTATUS(status)) << "the journal received: " << received;
}

TEST_F(LaunchServicesTest, EnvironmentIsInherited) {
    ScopedEnv marker("TVB_FIXTURE_MARKER", "inherited \xE2\x9C\x93");
    Report result = LaunchAndReport(FixtureBundle(), {});
    EXPECT_EQ(std::vector<std::string>{"1"}, result["argc"]);
    EXPECT_EQ(std::vector<std::string>{"inherited \xE2\x9C\x93"}, result["marker"]);
}

TEST_F(LaunchServicesTest, DocumentsArePassedVerbatimAndInOrderWithoutAShell) {
    std::vector<std::string> documents = {Document("with space"), Document("$(touch pwned);x"),
                                          Document("caf\xC3\xA9 \xE2\x80\x94 notes"),
                                          Document("-dash")};
    Report result = LaunchAndReport(FixtureBundle(), documents);
    EXPECT_EQ(documents, result["arg"]);
    EXPECT_FALSE(std::filesystem::exists("/pwned"));
    EXPECT_FALSE(std::filesystem::exists(mDir / "pwned"));
}

TEST_F(LaunchServicesTest, CopiedBundleRunsTheExecutableItsInfoPlistNames) {
    std::string app = MakeBundle(mDir / "Copy.app", {InfoPlist({{"CFBundleExecutable", "real"}}),
                                                     std::nullopt, FixtureExecutable(), "real"});
    Report result = LaunchAndReport(app, {Document("d")});
    EXPECT_EQ(std::vector<std::string>{mDir / "d"}, result["arg"]);
}

// File names are bytes; a bundle in a folder named in another encoding is still there.
TEST_F(LaunchServicesTest, BundleInAFolderWhoseNameIsNotUTF8Runs) {
    std::string app =
        MakeBundle(mDir / "caf\xE9/Copy.app", {InfoPlist({{"CFBundleExecutable", "real"}}),
                                               std::nullopt, FixtureExecutable(), "real"});
    std::string document = Document("r\xE9sum\xE9");
    Report result = LaunchAndReport(app, {document});
    EXPECT_EQ(std::vector<std::string>{document}, result["arg"]);
}

TEST_F(LaunchServicesTest, MissingBundleIsApplicationNotFound) {
    std::string document = Document("doc");
    FSRef docRef = RefTo(document);
    FSRef appRef;
    std::memset(&appRef, 0, sizeof appRef);
    std::string missing = mDir / "Gone.app";
    std::memcpy(appRef.hidden, missing.c_str(), missing.size() + 1);
    LSLaunchFSRefSpec launchSpec = {&appRef, 1, &docRef, nullptr, kLSLaunchDefaults, nullptr};
    EXPECT_EQ(kLSApplicationNotFoundErr, LSOpenFromRefSpec(&launchSpec, nullptr));

    // A plain file and a folder without Contents are not bundles either.
    EXPECT_EQ(kLSApplicationNotFoundErr, Open(document, {}));
    std::filesystem::create_directories(mDir / "Empty.app");
    EXPECT_EQ(kLSApplicationNotFoundErr, Open(mDir / "Empty.app", {}));
}

// Each broken bundle's executable, if it ever ran, would leave a marker file.
class LaunchServicesBrokenBundleTest : public LaunchServicesTest {
protected:
    std::string Marker() { return mDir / "ran"; }
    std::string Script() { return "#!/bin/sh\ntouch '" + Marker() + "'\n"; }

    std::string Bundle(const std::string& name, const std::string& executable) {
        return MakeBundle(mDir / name, {InfoPlist({{"CFBundleExecutable", executable}}),
                                        std::nullopt, std::nullopt, ""});
    }
};

TEST_F(LaunchServicesBrokenBundleTest, MissingExecutableIsNoExecutable) {
    EXPECT_EQ(kLSNoExecutableErr, Open(Bundle("Missing.app", "nothing"), {}));
    std::string folder = Bundle("Folder.app", "dir");
    std::filesystem::create_directories(folder + "/Contents/MacOS/dir");
    EXPECT_EQ(kLSNoExecutableErr, Open(folder, {}));
}

TEST_F(LaunchServicesBrokenBundleTest, ExecutableWithoutExecutePermissionDoesNotRun) {
    std::string app = Bundle("NoExec.app", "tool");
    WriteFile(app + "/Contents/MacOS/tool", Script(), 0644);
    EXPECT_EQ(kLSNoExecutableErr, Open(app, {}));
    EXPECT_FALSE(std::filesystem::exists(Marker()));

    // The same script made executable does run, so the marker would have told.
    ASSERT_EQ(0, chmod((app + "/Contents/MacOS/tool").c_str(), 0755));
    ReportPipe pipe(mDir / "wait");
    WriteFile(app + "/Contents/MacOS/tool",
              "#!/bin/sh\ntouch '" + Marker() + "'\necho done > '" + pipe.path() + "'\n", 0755);
    ASSERT_EQ(noErr, Open(app, {}));
    ASSERT_TRUE(pipe.Read().has_value());
    EXPECT_TRUE(std::filesystem::exists(Marker()));
}

TEST_F(LaunchServicesBrokenBundleTest, ExecFailureIsReportedNotMistakenForALaunch) {
    // Executable by its mode, refused by the kernel: only the exec itself can tell.
    std::string junk = Bundle("Junk.app", "junk");
    WriteFile(junk + "/Contents/MacOS/junk", std::string("\x01\x02\x03\x04") + " not a program",
              0755);
    EXPECT_EQ(kLSExecutableIncorrectFormat, Open(junk, {}));

    std::string noInterpreter = Bundle("Interp.app", "script");
    WriteFile(noInterpreter + "/Contents/MacOS/script", "#!/nonexistent/interpreter\n", 0755);
    EXPECT_EQ(kLSNoExecutableErr, Open(noInterpreter, {}));

    errno = 0;
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
}

constexpr OSStatus kNoFilter = 1;

// Opens app in a child process where the system call nr meets the seccomp action: a way to
// make the launch's own processes die at a chosen point before the application's exec.
OSStatus OpenWhere(const std::string& app, long nr, uint32_t action) {
    int report[2];
    EXPECT_EQ(0, pipe(report));
    pid_t child = fork();
    if (child == 0) {
        alarm(30);
        rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        OSStatus status = kNoFilter;
        if (tvb::test::FilterSystemCall(nr, action)) {
            FSRef appRef;
            FSPathMakeRef(reinterpret_cast<const UInt8*>(app.c_str()), &appRef, nullptr);
            LSLaunchFSRefSpec launchSpec = {&appRef, 0, nullptr, nullptr, kLSLaunchNewInstance,
                                            nullptr};
            status = LSOpenFromRefSpec(&launchSpec, nullptr);
        }
        ssize_t written = write(report[1], &status, sizeof status);
        _exit(written == sizeof status ? 0 : 1);
    }
    close(report[1]);
    OSStatus status = kNoFilter;
    ssize_t got = read(report[0], &status, sizeof status);
    close(report[0]);
    int exit = 0;
    EXPECT_EQ(child, waitpid(child, &exit, 0));
    EXPECT_EQ(static_cast<ssize_t>(sizeof status), got) << "the child never answered";
    return status;
}

TEST_F(LaunchServicesBrokenBundleTest, ProcessThatDiesBeforeTheExecIsNoLaunch) {
    std::string app = Bundle("Tool.app", "tool");
    WriteFile(app + "/Contents/MacOS/tool", "#!/bin/sh\n", 0755);
    // Under a filter that hinders nothing the launch works, so only the deaths below fail it.
    OSStatus unhindered = OpenWhere(app, __NR_getpgid, SECCOMP_RET_ALLOW);
    if (unhindered == kNoFilter)
        GTEST_SKIP() << "no seccomp filter here";
    ASSERT_EQ(noErr, unhindered);

    // The application's own process dies of a signal at its exec (SIGSYS, whose default kills).
    EXPECT_EQ(kLSUnknownErr, OpenWhere(app, __NR_execve, SECCOMP_RET_TRAP));
    // The process between caller and application dies before it could start it.
    EXPECT_EQ(kLSUnknownErr, OpenWhere(app, __NR_setsid, SECCOMP_RET_KILL_PROCESS));
}

// The state letter and parent of a process, from its stat line.
std::pair<char, pid_t> StateOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos)
        return {0, 0};
    std::istringstream fields(line.substr(close + 1));
    char state = 0;
    pid_t parent = 0;
    fields >> state >> parent;
    return {state, parent};
}

pid_t ParentOf(pid_t pid) {
    return StateOf(pid).second;
}

struct StoppedLaunch {
    OSStatus status = kNoFilter;
    pid_t stopped = 0;
};

// Opens app in a child process where whoever makes the system call nr is stopped there with
// SIGSTOP, as a debugger or a job-control signal would stop it. A process that the launch's
// middle process made is stopped only once that one has gone, so that it is no orphan stopped
// in its group (the kernel would hang it up and continue it). Whatever still hangs after 40 s
// is killed: the child's process group, and the stopped process, which it names at once.
// reapedAtOnce: the child ignores SIGCHLD, and a pidfd of the middle process is never had, as
// when that was reaped before it could be opened; the child then dies of any kill(2) it makes.
StoppedLaunch OpenStoppingAt(const std::string& app, long nr, bool reapedAtOnce = false) {
    struct Message {
        bool isStatus;
        int32_t value;
    };
    int report[2];
    EXPECT_EQ(0, pipe2(report, O_CLOEXEC));
    pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        alarm(30);
        auto send = [&](bool isStatus, int32_t value) {
            Message message = {isStatus, value};
            ssize_t written = write(report[1], &message, sizeof message);
            (void)written;
        };
        if (reapedAtOnce &&
            (signal(SIGCHLD, SIG_IGN) == SIG_ERR ||
             !tvb::test::FilterSystemCall(__NR_pidfd_open, SECCOMP_RET_ERRNO | ESRCH) ||
             !tvb::test::FilterSystemCall(__NR_kill, SECCOMP_RET_KILL_PROCESS))) {
            send(true, kNoFilter);
            _exit(0);
        }
        int listener = -1;
        if (!tvb::test::FilterSystemCall(nr, SECCOMP_RET_USER_NOTIF, &listener)) {
            send(true, kNoFilter);
            _exit(0);
        }
        std::thread stopper([&] {
            seccomp_notif call;
            std::memset(&call, 0, sizeof call);
            if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &call) != 0)
                return;
            auto pid = static_cast<pid_t>(call.pid);
            if (ParentOf(pid) != getpid()) {
                // The middle process is this one's only child: until it has exited.
                siginfo_t exited;
                waitid(P_ALL, 0, &exited, WEXITED | WNOWAIT);
            }
            syscall(SYS_tgkill, pid, pid, SIGSTOP);
            send(false, pid);
        });
        FSRef appRef;
        FSPathMakeRef(reinterpret_cast<const UInt8*>(app.c_str()), &appRef, nullptr);
        LSLaunchFSRefSpec launchSpec = {&appRef, 0, nullptr, nullptr, kLSLaunchNewInstance,
                                        nullptr};
        OSStatus status = LSOpenFromRefSpec(&launchSpec, nullptr);
        stopper.join();
        send(true, status);
        _exit(0);
    }
    close(report[1]);
    StoppedLaunch result;
    bool answered = false;
    Message message;
    pollfd wait = {report[0], POLLIN, 0};
    while (!answered && poll(&wait, 1, 40000) == 1 &&
           read(report[0], &message, sizeof message) == sizeof message) {
        if (message.isStatus) {
            result.status = message.value;
            answered = true;
        } else {
            result.stopped = message.value;
        }
    }
    close(report[0]);
    EXPECT_TRUE(answered) << "the launch never returned";
    // Without a child, kill(-child) would reach init and waitpid anyone's child.
    EXPECT_GT(child, 0);
    if (child <= 0)
        return result;
    kill(-child, SIGKILL);
    if (!answered && result.stopped > 0)
        kill(result.stopped, SIGKILL);
    EXPECT_EQ(child, waitpid(child, nullptr, 0));
    return result;
}

// A launch must not wait for good on a process that never gets to its exec: the poller's run
// loop would hang in it.
TEST_F(LaunchServicesBrokenBundleTest, ProcessStoppedBeforeTheExecTimesTheLaunchOut) {
    std::string app = Bundle("Tool.app", "tool");
    WriteFile(app + "/Contents/MacOS/tool", Script(), 0755);

    // The middle process, stopped before it made the application's.
    StoppedLaunch middle = OpenStoppingAt(app, __NR_setsid);
    if (middle.status == kNoFilter)
        GTEST_SKIP() << "no seccomp user notification here";
    EXPECT_EQ(errAETimeout, middle.status);

    // The application's process, stopped at its exec, is left stopped.
    StoppedLaunch application = OpenStoppingAt(app, __NR_execve);
    EXPECT_EQ(errAETimeout, application.status);
    ASSERT_GT(application.stopped, 0);
    EXPECT_EQ('T', StateOf(application.stopped).first);
    kill(application.stopped, SIGKILL);
    EXPECT_FALSE(std::filesystem::exists(Marker()));

    // A middle process reaped at once has a number another process may take by now: no
    // kill goes to it.
    StoppedLaunch reaped = OpenStoppingAt(app, __NR_execve, true);
    EXPECT_EQ(errAETimeout, reaped.status);
    if (reaped.stopped > 0)
        kill(reaped.stopped, SIGKILL);
    EXPECT_FALSE(std::filesystem::exists(Marker()));
}

// The poller, told to quit while its press launches the backup application, must not stay for
// the launch's bound: an application's process held at its exec is left to itself, the open is
// cancelled and the event loop ends.
TEST_F(LaunchServicesBrokenBundleTest, QuitSignalCutsALaunchHeldBeforeTheExecShort) {
    std::string app = Bundle("Tool.app", "tool");
    WriteFile(app + "/Contents/MacOS/tool", Script(), 0755);
    tvb::test::QuitDuringOpen quit = tvb::test::OpenAndQuitAt(__NR_execve, true, [&] {
        FSRef appRef;
        FSPathMakeRef(reinterpret_cast<const UInt8*>(app.c_str()), &appRef, nullptr);
        LSLaunchFSRefSpec launchSpec = {&appRef, 0, nullptr, nullptr, kLSLaunchNewInstance,
                                        nullptr};
        return LSOpenFromRefSpec(&launchSpec, nullptr);
    });
    if (!quit.filtered)
        GTEST_SKIP() << "no seccomp user notification here";
    EXPECT_TRUE(tvb::test::CancelledWithin(quit, 2000)); // the launch's bound is 5 s
}

TEST_F(LaunchServicesTest, BadSpecificationsAreParamErr) {
    EXPECT_EQ(paramErr, LSOpenFromRefSpec(nullptr, nullptr));
    LSLaunchFSRefSpec launchSpec = {nullptr, 0, nullptr, nullptr, kLSLaunchDefaults, nullptr};
    EXPECT_EQ(paramErr, LSOpenFromRefSpec(&launchSpec, nullptr));

    FSRef appRef = RefTo(FixtureBundle());
    launchSpec.appRef = &appRef;
    launchSpec.numDocs = 1; // but no documents
    EXPECT_EQ(paramErr, LSOpenFromRefSpec(&launchSpec, nullptr));

    FSRef relative;
    std::memset(&relative, 0, sizeof relative);
    std::memcpy(relative.hidden, "relative.app", 13);
    launchSpec = {&relative, 0, nullptr, nullptr, kLSLaunchDefaults, nullptr};
    EXPECT_EQ(paramErr, LSOpenFromRefSpec(&launchSpec, nullptr));

    // A document that has gone away since its reference was made.
    FSRef docRef = RefTo(Document("vanishing"));
    std::filesystem::remove(mDir / "vanishing");
    launchSpec = {&appRef, 1, &docRef, nullptr, kLSLaunchDefaults, nullptr};
    EXPECT_EQ(fnfErr, LSOpenFromRefSpec(&launchSpec, nullptr));
}

} // namespace
