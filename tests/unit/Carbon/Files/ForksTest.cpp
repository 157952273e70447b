// Data-fork I/O on real files: marks, position modes, permissions, limits and bad refnums.
#include "FilesTestSupport.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <string.h>

using namespace tvb::test;

namespace {

class Forks : public ScratchTest {
protected:
    // Creates `leaf` with `contents` and opens its data fork.
    FSIORefNum Open(const std::string& leaf, const std::string& contents, SInt8 perm) {
        WriteAll(Path(leaf), contents);
        FSRef ref = RefFor(Path(leaf));
        HFSUniStr255 dataFork;
        EXPECT_EQ(noErr, FSGetDataForkName(&dataFork));
        FSIORefNum fork = 0;
        EXPECT_EQ(noErr, FSOpenFork(&ref, dataFork.length, dataFork.unicode, perm, &fork));
        return fork;
    }
    OSErr Write(FSIORefNum fork, UInt16 mode, SInt64 offset, const std::string& bytes,
                ByteCount* actual = nullptr) {
        ByteCount ignored;
        return FSWriteFork(fork, mode, offset, bytes.size(), bytes.data(),
                           actual ? actual : &ignored);
    }
};

TEST_F(Forks, DataForkNameIsEmpty) {
    HFSUniStr255 name;
    name.length = 99;
    ASSERT_EQ(noErr, FSGetDataForkName(&name));
    EXPECT_EQ(0, name.length);
    EXPECT_EQ(paramErr, FSGetDataForkName(nullptr));
}

TEST_F(Forks, FromStartThenAtMarkWritesTheExactBytes) {
    FSIORefNum fork = Open("LaunchBackup", "", fsRdWrPerm);
    ByteCount actual = 0;
    ASSERT_EQ(noErr, Write(fork, fsFromStart, 0, "SERIAL0123456789", &actual));
    EXPECT_EQ(16u, actual);
    // The offset of fsAtMark is ignored.
    ASSERT_EQ(noErr, Write(fork, fsAtMark, 1000, "\r\n", &actual));
    EXPECT_EQ(2u, actual);
    ASSERT_EQ(noErr, Write(fork, fsAtMark, 0, "Data\r\nBackup\r\n"));
    ASSERT_EQ(noErr, FSCloseFork(fork));
    EXPECT_EQ(std::string("SERIAL0123456789\r\nData\r\nBackup\r\n"),
              ReadFile(Path("LaunchBackup")));
}

TEST_F(Forks, PositionModesCountFromStartEndAndMark) {
    FSIORefNum fork = Open("f", "0123456789", fsRdWrPerm);
    ASSERT_EQ(noErr, Write(fork, fsFromStart, 2, "ab")); // mark 4
    ASSERT_EQ(noErr, Write(fork, fsFromMark, 2, "cd"));  // at 6, mark 8
    ASSERT_EQ(noErr, Write(fork, fsFromLEOF, -1, "XY")); // at 9, grows to 11
    ASSERT_EQ(noErr, Write(fork, fsFromStart | noCacheMask, 0, "!"));
    ASSERT_EQ(noErr, FSCloseFork(fork));
    EXPECT_EQ("!1ab45cd8XY", ReadFile(Path("f")));
}

TEST_F(Forks, PositionBeforeTheStartGivesPosErr) {
    FSIORefNum fork = Open("f", "abc", fsRdWrPerm);
    ByteCount actual = 7;
    EXPECT_EQ(posErr, Write(fork, fsFromLEOF, -4, "z", &actual));
    EXPECT_EQ(0u, actual);
    EXPECT_EQ(posErr, Write(fork, fsFromMark, INT64_MIN, "z"));
    EXPECT_EQ(noErr, FSCloseFork(fork));
    EXPECT_EQ("abc", ReadFile(Path("f")));
}

TEST_F(Forks, ReadStopsAtTheEndWithEofErr) {
    FSIORefNum fork = Open("f", "hello world", fsRdPerm);
    char buf[32] = {};
    ByteCount actual = 0;
    ASSERT_EQ(noErr, FSReadFork(fork, fsFromStart, 6, 5, buf, &actual));
    EXPECT_EQ(5u, actual);
    EXPECT_EQ(0, memcmp(buf, "world", 5));
    ASSERT_EQ(noErr, FSReadFork(fork, fsFromStart, 0, 5, buf, &actual));
    EXPECT_EQ(eofErr, FSReadFork(fork, fsAtMark, 0, sizeof buf, buf, &actual));
    EXPECT_EQ(6u, actual);
    EXPECT_EQ(0, memcmp(buf, " world", 6));
    EXPECT_EQ(noErr, FSCloseFork(fork));
}

TEST_F(Forks, PermissionsLimitWhatAForkAllows) {
    FSIORefNum reader = Open("r", "keep", fsRdPerm);
    EXPECT_EQ(wrPermErr, Write(reader, fsFromStart, 0, "XX"));
    FSIORefNum writer = Open("w", "", fsWrPerm);
    char buf[4];
    ByteCount actual;
    EXPECT_EQ(afpAccessDenied, FSReadFork(writer, fsFromStart, 0, 1, buf, &actual));
    EXPECT_EQ(noErr, FSCloseFork(reader));
    EXPECT_EQ(noErr, FSCloseFork(writer));
    EXPECT_EQ("keep", ReadFile(Path("r")));
}

TEST_F(Forks, CurrentPermissionFallsBackToReadingAReadOnlyFile) {
    ASSERT_EQ(0, chmod(mDir.c_str(), 0755));
    WriteAll(Path("ro"), "read me");
    ASSERT_EQ(0, chmod(Path("ro").c_str(), 0444));
    FSRef ref = RefFor(Path("ro"));
    int result = RunUnprivileged([&] {
        FSIORefNum fork;
        if (FSOpenFork(&ref, 0, nullptr, fsRdWrPerm, &fork) != afpAccessDenied)
            return 1;
        if (FSOpenFork(&ref, 0, nullptr, fsCurPerm, &fork) != noErr)
            return 2;
        char buf[7];
        ByteCount actual = 0;
        if (FSReadFork(fork, fsFromStart, 0, sizeof buf, buf, &actual) != noErr || actual != 7)
            return 3;
        if (FSWriteFork(fork, fsFromStart, 0, 1, "X", &actual) != wrPermErr)
            return 4;
        return FSCloseFork(fork) == noErr ? 0 : 5;
    });
    EXPECT_EQ(0, result);
    EXPECT_EQ("read me", ReadFile(Path("ro")));
}

TEST_F(Forks, OnlyRegularFilesOpen) {
    ASSERT_EQ(0, mkdir(Path("dir").c_str(), 0755));
    WriteAll(Path("target"), "precious");
    ASSERT_EQ(0, symlink(Path("target").c_str(), Path("link").c_str()));
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
    FSRef parent = DirRef();
    alarm(30); // a FIFO open that blocks would hang the test: fail it instead
    for (const char16_t* leaf : {u"dir", u"link", u"fifo"}) {
        std::u16string name(leaf);
        auto units = U16(name);
        FSRef ref;
        ASSERT_EQ(noErr, FSMakeFSRefUnicode(&parent, units.size(), units.data(), 0, &ref));
        for (SInt8 perm : {fsRdPerm, fsRdWrPerm}) {
            FSIORefNum fork = -1;
            EXPECT_EQ(notAFileErr, FSOpenFork(&ref, 0, nullptr, perm, &fork))
                << RefToPath(ref) << " perm " << int(perm);
        }
    }
    alarm(0);
    EXPECT_EQ("precious", ReadFile(Path("target")));
}

TEST_F(Forks, OnlyTheDataForkExistsAndMissingFilesGiveFnfErr) {
    WriteAll(Path("f"), "");
    FSRef ref = RefFor(Path("f"));
    auto rsrc = U16(u"RESOURCE_FORK");
    FSIORefNum fork;
    EXPECT_EQ(errFSForkNotFound, FSOpenFork(&ref, rsrc.size(), rsrc.data(), fsRdPerm, &fork));
    ASSERT_EQ(0, unlink(Path("f").c_str()));
    EXPECT_EQ(fnfErr, FSOpenFork(&ref, 0, nullptr, fsRdPerm, &fork));
}

TEST_F(Forks, UnknownAndClosedRefNumsGiveRfNumErr) {
    char buf[1];
    ByteCount actual;
    EXPECT_EQ(rfNumErr, FSCloseFork(0));
    EXPECT_EQ(rfNumErr, FSCloseFork(-3));
    EXPECT_EQ(rfNumErr, FSWriteFork(12345, fsFromStart, 0, 1, "x", &actual));
    EXPECT_EQ(rfNumErr, FSReadFork(12345, fsFromStart, 0, 1, buf, &actual));

    FSIORefNum first = Open("a", "", fsRdWrPerm);
    ASSERT_EQ(noErr, FSCloseFork(first));
    EXPECT_EQ(rfNumErr, FSCloseFork(first));
    EXPECT_EQ(rfNumErr, FSWriteFork(first, fsFromStart, 0, 1, "x", &actual));
    // A fresh open does not hand out the number just closed, so a stale one stays stale.
    FSIORefNum second = Open("b", "", fsRdWrPerm);
    EXPECT_NE(first, second);
    EXPECT_EQ(rfNumErr, FSWriteFork(first, fsFromStart, 0, 1, "x", &actual));
    EXPECT_EQ(noErr, FSCloseFork(second));
    EXPECT_EQ("", ReadFile(Path("a")));
}

// The descriptor this process has open on `path`, or -1.
int DescriptorOf(const std::string& path) {
    int found = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec) == path)
            found = std::stoi(entry.path().filename().string());
    }
    return found;
}

TEST_F(Forks, CloseReportsAFailureOfTheSystemsClose) {
    // No file system at hand fails a close for a write it could not finish (as NFS or FUSE
    // may): a descriptor closed beneath the fork makes the system's close fail for real.
    FSIORefNum fork = Open("LaunchBackup", "", fsRdWrPerm);
    ASSERT_EQ(noErr, Write(fork, fsFromStart, 0, "SERIAL\r\n"));
    int fd = DescriptorOf(Path("LaunchBackup"));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, close(fd));
    EXPECT_EQ(ioErr, FSCloseFork(fork));
    EXPECT_EQ(rfNumErr, FSCloseFork(fork)) << "the fork is closed all the same";
}

TEST_F(Forks, FileSizeLimitGivesDskFulErrWithThePartialCount) {
    WriteAll(Path("big"), "");
    FSRef ref = RefFor(Path("big"));
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1000, 1000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(10);
        FSIORefNum fork;
        if (FSOpenFork(&ref, 0, nullptr, fsRdWrPerm, &fork) != noErr)
            _exit(11);
        std::string data(4096, 'x');
        ByteCount actual = 0;
        OSErr err = FSWriteFork(fork, fsFromStart, 0, data.size(), data.data(), &actual);
        FSCloseFork(fork);
        _exit(err != dskFulErr ? 12 : actual != 1000 ? 13 : 0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(1000u, std::filesystem::file_size(Path("big")));
}

} // namespace
