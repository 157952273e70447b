// The hand-off against failing files: a write stopped part-way leaves nothing behind and the
// poller outlives it, as it outlives a report nobody reads; a volume name longer than a file
// name still gets its backup.
#include "Harness.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace scenario {
namespace {

class HandOffFaults : public Scenario {
protected:
    void StartAndWaitListed(const std::string& serial) {
        StartMainPoller();
        ASSERT_TRUE(WaitUntil([&] { return Watchers(serial) == 1; }, "the poller lists " + serial));
    }
    ::testing::AssertionResult PressAndAwaitPollingAgain(const std::string& serial) {
        CtlOk({"press", serial});
        CtlOk({"calls", "--clear", serial});
        return WaitUntil(
            [&] {
                auto calls = Calls(serial);
                return !mPoller.Running() ||
                       std::count(calls.begin(), calls.end(), "selector 2") >= 2;
            },
            "the press is over and buttons are polled again");
    }
    // The soft limit only, up to the hard one, so that it can be lifted without privilege.
    bool LimitPollerFileSize(rlim_t bytes) {
        struct rlimit limit;
        if (prlimit(mPoller.Pid(), RLIMIT_FSIZE, nullptr, &limit) != 0)
            return false;
        limit.rlim_cur = std::min(bytes, limit.rlim_max);
        return prlimit(mPoller.Pid(), RLIMIT_FSIZE, &limit, nullptr) == 0;
    }

    // 200 characters of two bytes: longer than a file name may be.
    const std::string mLongName = [] {
        std::string name;
        while (name.size() < 400)
            name += "\xC3\xA9";
        return name;
    }();
};

TEST_F(HandOffFaults, WriteStoppedByAFileSizeLimitDropsThePressAndThePollerGoesOn) {
    UseSampleApplication("end", 0.1);
    StartHost();
    // Three such names make a launch file over the limit below.
    Attach("FSIZE1", {"--volume", mLongName + "1:100:50", "--volume", mLongName + "2:100:50",
                      "--volume", mLongName + "3:100:50"});
    StartAndWaitListed("FSIZE1");
    ASSERT_TRUE(LimitPollerFileSize(1000));

    ASSERT_TRUE(PressAndAwaitPollingAgain("FSIZE1"));
    ASSERT_TRUE(mPoller.Running()) << "the poller outlives the failed write";
    EXPECT_FALSE(fs::exists(LaunchFile())) << "no partial launch file is left";
    EXPECT_EQ(BackupLog(), "") << "no launch on a partial launch file";

    // Once the file system takes the whole file, the next press goes through.
    ASSERT_TRUE(LimitPollerFileSize(RLIM_INFINITY));
    CtlOk({"press", "FSIZE1"});
    EXPECT_TRUE(WaitUntil([&] { return BackupLogSays("wrote"); }, "the backup runs and ends"));
    EXPECT_TRUE(BackupLogSays("drive serial \"FSIZE1\", volumes: " + mLongName + "1"));
}

TEST_F(HandOffFaults, VolumeNameLongerThanAFileNameIsBackedUpUnderItsNameCutToFit) {
    UseSampleApplication("end", 0.1);
    WriteFile(mHome / "ToBackUp" / "letter.txt", "dear drive\n");
    StartHost();
    Attach("LONG1", {"--volume", mLongName + ":100:50"});
    StartAndWaitListed("LONG1");

    CtlOk({"press", "LONG1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("wrote"); }, "the backup runs and ends"));
    EXPECT_TRUE(BackupLogSays("volumes: " + mLongName + "\n")) << "the launch file has it whole";
    // A folder name holds at most 255 bytes: the first 127 characters.
    EXPECT_EQ(ReadFile(mHome / "Backups" / mLongName.substr(0, 254) / "letter.txt"), "dear drive\n")
        << BackupLog();
}

TEST_F(HandOffFaults, PressToldOnAStandardErrorNobodyReadsAnyMoreLeavesThePollerRunning) {
    // No "AppName": the press is told on standard error, here a pipe whose reader has gone.
    StartHost();
    Attach("PIPE1", {"--volume", "Data:100:50"});
    const fs::path pipe = mRoot / "poller-stderr";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    mPoller = mWorld.StartPoller({}, {}, pipe);
    close(reader);
    ASSERT_TRUE(WaitUntil([&] { return Watchers("PIPE1") == 1; }, "the poller lists PIPE1"));

    ASSERT_TRUE(PressAndAwaitPollingAgain("PIPE1"));
    EXPECT_TRUE(mPoller.Running());
    EXPECT_TRUE(fs::exists(LaunchFile())) << "the press itself went as without a reader";
}

} // namespace
} // namespace scenario
