#include "LiveHost.h"
#include "SocketSetup.h"

#include <csignal>
#include <cstring>
#include <filesystem>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

using namespace tvb;
using namespace tvb::hosttest;

namespace {

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/tvb-sockettest-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

} // namespace

TEST(SocketDirectory, MissingDirectoryIsCreatedPrivate) {
    TempDir tmp;
    const std::string dir = tmp.path + "/fresh";
    std::string error;
    ASSERT_TRUE(host::PrepareSocketDirectory(dir, true, error)) << error;
    EXPECT_EQ(ModeOf(dir), 0700u);
}

TEST(SocketDirectory, PrivateDirectoryOpenToOthersIsRefused) {
    TempDir tmp;
    const std::string dir = tmp.path + "/open";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    std::string error;
    EXPECT_FALSE(host::PrepareSocketDirectory(dir, true, error));
    EXPECT_NE(error.find("refusing"), std::string::npos) << error;
    // A directory named on purpose (not the fallback) is the caller's business.
    EXPECT_TRUE(host::PrepareSocketDirectory(dir, false, error)) << error;
}

TEST(SocketDirectory, PrivateDirectoryOfAnotherOwnerIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the directory away";
    TempDir tmp;
    const std::string dir = tmp.path + "/theirs";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    std::string error;
    EXPECT_FALSE(host::PrepareSocketDirectory(dir, true, error));
}

TEST(SocketDirectory, FileInTheWayIsRefused) {
    TempDir tmp;
    const std::string file = tmp.path + "/file";
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    std::string error;
    EXPECT_FALSE(host::PrepareSocketDirectory(file, false, error));
    EXPECT_FALSE(host::PrepareSocketDirectory(tmp.path + "/no/such/parent", false, error));
}

// A directory named on purpose may be a link to one; the private fallback may not, and a link
// to nothing is still refused.
TEST(SocketDirectory, LinkToADirectoryServesUnlessItMustBePrivate) {
    TempDir tmp;
    const std::string real = tmp.path + "/real", link = tmp.path + "/link";
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    std::string error;
    EXPECT_TRUE(host::PrepareSocketDirectory(link, false, error)) << error;
    EXPECT_FALSE(host::PrepareSocketDirectory(link, true, error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    const std::string dangling = tmp.path + "/dangling";
    ASSERT_EQ(symlink((tmp.path + "/gone").c_str(), dangling.c_str()), 0);
    EXPECT_FALSE(host::PrepareSocketDirectory(dangling, false, error));
}

TEST(HostSocket, HostMakesItsDirectoryAndSocketPrivateAndRemovesTheSocketOnTerm) {
    TempDir tmp;
    const std::string socket = tmp.path + "/run/devhost.sock";
    tvbtest::DeviceHost host(socket);
    std::string error;
    ASSERT_TRUE(host.Start(&error)) << error;
    EXPECT_EQ(ModeOf(tmp.path + "/run"), 0700u);
    EXPECT_EQ(ModeOf(socket), 0600u);
    EXPECT_TRUE(host.WaitForStderr("tvb-devhost: listening on " + socket));
    const int status = host.Stop();
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(std::filesystem::exists(socket));
}

// The host says who stopped it: one that went away unasked-for leaves its clients nothing else.
TEST(HostSocket, SigintAlsoEndsTheHostCleanlyAndTheHostSaysWhoSentIt) {
    tvbtest::DeviceHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_EQ(kill(host.Pid(), SIGINT), 0);
    const int status = host.Wait(kAnswerMs);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(std::filesystem::exists(host.SocketPath()));
    EXPECT_NE(host.Stderr().find("tvb-devhost: stopping on SIGINT from pid " +
                                 std::to_string(getpid()) + " (" + program_invocation_short_name +
                                 ")\n"),
              std::string::npos)
        << host.Stderr();
}

TEST(HostSocket, SecondHostOnALiveSocketIsRefusedAndLeavesItAlone) {
    tvbtest::DeviceHost first;
    ASSERT_TRUE(first.Start());
    tvbtest::ProgramResult second =
        tvbtest::RunProgram(TVB_DEVHOST_PATH, {"--socket", first.SocketPath()}, kAnswerMs);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("another device host is listening"), std::string::npos) << second.err;
    wire::Connection c;
    EXPECT_TRUE(c.Connect(first.SocketPath()));
    EXPECT_EQ(StatusOf(c, wire::HelloRequest{}), wire::kStatusSuccess);
}

// A listener that no longer accepts (a stopped host, its backlog full) is alive all the same:
// the new host says so at once instead of hanging in its probe.
TEST(HostSocket, ListenerWithAFullBacklogIsRefusedWithoutHanging) {
    TempDir tmp;
    const std::string path = tmp.path + "/devhost.sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.Get(), 0), 0);
    std::vector<UniqueFd> waiting;
    for (;;) {
        UniqueFd peer(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (connect(peer.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
            break;
        }
        waiting.push_back(std::move(peer));
        ASSERT_LT(waiting.size(), 1000u) << "the backlog never filled";
    }
    tvbtest::ProgramResult r = tvbtest::RunProgram(TVB_DEVHOST_PATH, {"--socket", path}, kAnswerMs);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("another device host is listening"), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::is_socket(path));
}

TEST(HostSocket, StaleSocketOfADeadHostIsTakenOver) {
    TempDir tmp;
    const std::string socket = tmp.path + "/devhost.sock";
    {
        tvbtest::DeviceHost crashed(socket);
        ASSERT_TRUE(crashed.Start());
        crashed.Kill();
    }
    ASSERT_TRUE(std::filesystem::exists(socket)); // SIGKILL left it behind
    tvbtest::DeviceHost next(socket);
    std::string error;
    EXPECT_TRUE(next.Start(&error)) << error;
}

TEST(HostSocket, NonSocketAtThePathIsNotTouched) {
    TempDir tmp;
    const std::string path = tmp.path + "/precious";
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("keep me", f);
    fclose(f);
    tvbtest::ProgramResult r = tvbtest::RunProgram(TVB_DEVHOST_PATH, {"--socket", path}, kAnswerMs);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(std::filesystem::file_size(path), 7u);
}

TEST(HostSocket, BadArgumentsAreRejected) {
    tvbtest::ProgramResult r =
        tvbtest::RunProgram(TVB_DEVHOST_PATH, {"--socket", std::string(200, 'x')}, kAnswerMs);
    EXPECT_EQ(r.exitCode, 1);
}

TEST(HostCommandLine, UsageErrorsExitTwoBeforeListening) {
    TempDir tmp;
    const std::string socket = tmp.path + "/devhost.sock";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-x"}, "unknown option '-x'"},
        {{"extra"}, "unexpected argument 'extra'"},
        {{"--socket"}, "--socket needs a value"},
        {{"--socket="}, "--socket needs a path"},
        {{"--help=me"}, "--help takes no value"},
        // A sign or junk is refused, not read as a huge or partial number.
        {{"--max-output", "-5"}, "--max-output needs a byte count"},
        {{"--max-output=+2048"}, "--max-output needs a byte count"},
        {{"--max-output", "4096k"}, "--max-output needs a byte count"},
        {{"--max-output", "1023"}, "from 1024 to 1073741824"},
        {{"--max-output", "1073741825"}, "from 1024 to 1073741824"},
        {{"--max-output", "99999999999999999999999"}, "--max-output needs a byte count"},
    };
    for (auto [args, fragment] : cases) {
        args.insert(args.begin(), "--socket=" + socket);
        tvbtest::ProgramResult r = tvbtest::RunProgram(TVB_DEVHOST_PATH, args, kAnswerMs);
        const std::vector<std::string> lines = Lines(r.err);
        EXPECT_EQ(r.exitCode, 2) << args.back() << ": " << r.err;
        ASSERT_EQ(lines.size(), 2u) << r.err;
        EXPECT_EQ(lines[0].rfind("tvb-devhost: ", 0), 0u) << r.err;
        EXPECT_NE(lines[0].find(fragment), std::string::npos) << args.back() << ": " << r.err;
        EXPECT_EQ(lines[1], "try 'tvb-devhost --help'");
        EXPECT_FALSE(std::filesystem::exists(socket)) << args.back();
    }
}

TEST(HostCommandLine, ValuesComeEitherWayAndHelpAndVersionPrintAndExit) {
    // Both ends of the range are accepted, in either form.
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--max-output=1024"}, {"--max-output", "1073741824"}}) {
        tvbtest::DeviceHost host({}, args);
        std::string error;
        EXPECT_TRUE(host.Start(&error)) << args[0] << ": " << error;
    }
    tvbtest::ProgramResult help = tvbtest::RunProgram(TVB_DEVHOST_PATH, {"-h"}, kAnswerMs);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("usage: tvb-devhost", 0), 0u) << help.out;
    EXPECT_EQ(tvbtest::RunProgram(TVB_DEVHOST_PATH, {"--help"}, kAnswerMs).out, help.out);
    tvbtest::ProgramResult version =
        tvbtest::RunProgram(TVB_DEVHOST_PATH, {"--version"}, kAnswerMs);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("tvb-devhost ") + TVB_VERSION + "\n");
}

// An answer lost on a full disk or a closed stdout is a failure, not a silent success.
TEST(HostCommandLine, HelpAndVersionThatCannotBeWrittenFail) {
    for (const char* script : {"exec \"$0\" --help >/dev/full", "exec \"$0\" --version >&-"}) {
        tvbtest::ProgramResult r =
            tvbtest::RunProgram("/bin/sh", {"-c", script, TVB_DEVHOST_PATH}, kAnswerMs);
        EXPECT_EQ(r.exitCode, 1) << script;
        EXPECT_EQ(r.err.rfind("tvb-devhost: cannot write the output", 0), 0u) << r.err;
    }
}
