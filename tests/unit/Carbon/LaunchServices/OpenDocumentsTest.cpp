// Opening documents with an application that already runs: the events fixture reports what
// each of its copies was started with and which documents its handler received.
#include "SysTestSupport.h"
#include "QuitDuringOpen.h"

#include <Carbon/Carbon.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace tvb::systest;

// Lines from a FIFO the test also holds open for writing, so that it never reads end-of-file
// while no copy has it open; reading waits for a line, never for a clock.
class ReportLines {
public:
    explicit ReportLines(const std::string& path) : mPath(path) {
        EXPECT_EQ(0, mkfifo(path.c_str(), 0600)) << std::strerror(errno);
        mFd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(mFd, 0) << std::strerror(errno);
    }
    ~ReportLines() { close(mFd); }
    const std::string& path() const { return mPath; }

    std::string Next() {
        for (;;) {
            size_t newline = mBuffer.find('\n');
            if (newline != std::string::npos) {
                std::string line = mBuffer.substr(0, newline);
                mBuffer.erase(0, newline + 1);
                return line;
            }
            pollfd p{mFd, POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0)
                return "(no line within 30 s)";
            char bytes[4096];
            ssize_t got = read(mFd, bytes, sizeof bytes);
            if (got > 0)
                mBuffer.append(bytes, static_cast<size_t>(got));
        }
    }

private:
    std::string mPath;
    std::string mBuffer;
    int mFd = -1;
};

class LaunchServicesOpenDocumentsTest : public ::testing::Test {
protected:
    LaunchServicesOpenDocumentsTest()
        : mReport(mDir / "report"), mReportEnv("TVB_EVENTS_REPORT", mReport.path().c_str()) {}
    ~LaunchServicesOpenDocumentsTest() override {
        // Copies a failing test started without knowing it too.
        for (pid_t pid : RunningCopies())
            mCopies.push_back(pid);
        while (!mCopies.empty())
            KillAndWait(mCopies.back());
        unsetenv("TVB_EVENTS_MODE");
    }

    // Kills a copy of the fixture and waits until it is gone; a pid that no longer names one
    // is left alone.
    void KillAndWait(pid_t pid) {
        mCopies.erase(std::remove(mCopies.begin(), mCopies.end(), pid), mCopies.end());
        int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0)
            return;
        char exe[4096] = "";
        ssize_t length =
            readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
        if (length > 0 &&
            std::string(exe, static_cast<size_t>(length)).rfind(TVB_EVENTS_FIXTURE_BUNDLE, 0) ==
                0 &&
            syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0) == 0) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 10000);
        }
        close(fd);
    }

    std::string Document(const std::string& name) {
        WriteFile(mDir / name, "document");
        return mDir / name;
    }

    OSStatus Open(const std::vector<std::string>& documents) {
        FSRef app;
        EXPECT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(TVB_EVENTS_FIXTURE_BUNDLE),
                                       &app, nullptr));
        std::vector<FSRef> refs(documents.size());
        for (size_t i = 0; i < documents.size(); ++i)
            EXPECT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(documents[i].c_str()),
                                           &refs[i], nullptr));
        LSLaunchFSRefSpec spec = {&app,
                                  static_cast<ItemCount>(refs.size()),
                                  refs.empty() ? nullptr : refs.data(),
                                  nullptr,
                                  kLSLaunchDefaults,
                                  nullptr};
        return LSOpenFromRefSpec(&spec, nullptr);
    }

    // Reads the new copy's "started" line (it must name the document) and its "ready" line.
    pid_t NewCopyRunning(const std::string& document) {
        std::string line = mReport.Next();
        pid_t pid = 0;
        char rest[4096] = "";
        if (std::sscanf(line.c_str(), "started %d %4095[^\n]", &pid, rest) < 1) {
            ADD_FAILURE() << "expected a new copy, got: " << line;
            return 0;
        }
        mCopies.push_back(pid);
        EXPECT_EQ(document, rest);
        EXPECT_EQ("ready " + std::to_string(pid), mReport.Next());
        return pid;
    }

    std::string Opened(pid_t pid, const std::string& document) {
        return "opened " + std::to_string(pid) + " " + document;
    }

    // The fixture's processes, by their creator code.
    static std::vector<pid_t> RunningCopies() {
        std::vector<pid_t> copies;
        ProcessSerialNumber psn = {0, kNoProcess};
        while (GetNextProcess(&psn) == noErr) {
            ProcessInfoRec info;
            std::memset(&info, 0, sizeof info);
            info.processInfoLength = sizeof info;
            if (GetProcessInformation(&psn, &info) == noErr &&
                info.processSignature == FourCC("TvEv"))
                copies.push_back(static_cast<pid_t>(psn.lowLongOfPSN));
        }
        return copies;
    }

    ScratchDir mDir;
    ReportLines mReport;
    ScopedEnv mReportEnv;
    std::vector<pid_t> mCopies;
};

TEST_F(LaunchServicesOpenDocumentsTest, RunningCopyTakesTheDocumentsAndNoSecondCopyStarts) {
    std::string first = Document("first"), second = Document("second one"), third = Document("3");
    ASSERT_EQ(noErr, Open({first}));
    pid_t copy = NewCopyRunning(first);

    ASSERT_EQ(noErr, Open({second, third}));
    EXPECT_EQ(Opened(copy, second), mReport.Next());
    EXPECT_EQ(Opened(copy, third), mReport.Next());
    EXPECT_EQ(std::vector<pid_t>{copy}, RunningCopies());
}

TEST_F(LaunchServicesOpenDocumentsTest, CopyWithoutAHandlerStillIsTheRunningCopy) {
    setenv("TVB_EVENTS_MODE", "none", 1);
    ASSERT_EQ(noErr, Open({Document("first")}));
    pid_t copy = NewCopyRunning(mDir / "first");

    EXPECT_EQ(errAEEventNotHandled, Open({Document("second")}));
    EXPECT_EQ(noErr, Open({})) << "reopening asks for no handler";
    EXPECT_EQ(std::vector<pid_t>{copy}, RunningCopies());
}

TEST_F(LaunchServicesOpenDocumentsTest, CopyThatDoesNotAnswerInTimeGetsANewCopy) {
    std::string first = Document("first"), second = Document("second"), third = Document("third"),
                fourth = Document("fourth");
    ASSERT_EQ(noErr, Open({first}));
    pid_t stalled = NewCopyRunning(first);
    ASSERT_EQ(0, kill(stalled, SIGSTOP));

    ASSERT_EQ(noErr, Open({second}));
    pid_t fresh = NewCopyRunning(second);
    EXPECT_NE(stalled, fresh);

    // The stalled copy, asked first, must not use up the time the new one needs to answer.
    ASSERT_EQ(noErr, Open({third}));
    EXPECT_EQ(Opened(fresh, third), mReport.Next());
    EXPECT_EQ(2u, RunningCopies().size());

    // Woken again, the first copy drops the events its senders gave up on: with the new copy
    // gone, the next document it reports is the fourth.
    KillAndWait(fresh);
    ASSERT_EQ(0, kill(stalled, SIGCONT));
    ASSERT_EQ(noErr, Open({fourth}));
    EXPECT_EQ(Opened(stalled, fourth), mReport.Next());
}

// The poller, told to quit while its press offers the launch file to a running copy that does
// not answer, must not stay for the answer's bound, nor start another copy after it.
TEST_F(LaunchServicesOpenDocumentsTest, QuitSignalEndsTheWaitForARunningCopysAnswer) {
    std::string first = Document("first"), second = Document("second");
    ASSERT_EQ(noErr, Open({first}));
    pid_t stalled = NewCopyRunning(first);
    ASSERT_EQ(0, kill(stalled, SIGSTOP));

    // The event to the stopped copy is the open's first send.
    tvb::test::QuitDuringOpen quit =
        tvb::test::OpenAndQuitAt(__NR_sendto, false, [&] { return Open({second}); });
    if (!quit.filtered)
        GTEST_SKIP() << "no seccomp user notification here";
    EXPECT_TRUE(tvb::test::CancelledWithin(quit, 1000)); // the copy has 2 s to answer
    EXPECT_EQ(std::vector<pid_t>{stalled}, RunningCopies()) << "a new copy was started";
}

} // namespace
