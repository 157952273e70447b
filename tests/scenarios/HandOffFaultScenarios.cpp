// The hand-off against failing writes: a launch file stopped part-way leaves nothing behind and
// a report nobody reads any more is lost, but the poller outlives both; a volume name longer
// than a file name still gets its backup.
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
    // The soft limit only, up to the hard one, so that it can be lifted without privilege.
    bool LimitPollerFileSize(rlim_t bytes) {
        struct rlimit limit;
        if (prlimit(mPoller.Pid(), RLIMIT_FSIZE, nullptr, &limit) != 0)
            return false;
        limit.rlim_cur = std::min(bytes, limit.rlim_max);
        return prlimit(mPoller.Pid(), RLIMIT_FSIZE, &limit, nullptr) == 0;
    }
};

TEST_F(HandOffFaults, FailedWritesDropOnlyThePressAndLongNamesAreBackedUpUnderANameCutToFit) {
    std::string longName; // 200 characters of two bytes: longer than a file name may be
    while (longName.size() < 400)
        longName += "\xC3\xA9";
    UseSampleApplication("end", 0.1);
    WriteFile(mHome / "ToBackUp" / "letter.txt", "dear drive\n");
    StartHost();
    // Three such names make a launch file over the limit below.
    Attach("LONG1", {"--volume", longName + "1:100:50", "--volume", longName + "2:100:50",
                     "--volume", longName + "3:100:50"});
    // The dropped press is told on standard error, here a pipe whose reader has gone.
    const fs::path pipe = mRoot / "poller-stderr";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    mPoller = mWorld.StartPoller({}, {}, pipe);
    close(reader);
    ASSERT_TRUE(WaitUntil([&] { return Watchers("LONG1") == 1; }, "the poller lists LONG1"));
    ASSERT_TRUE(LimitPollerFileSize(1000));

    CtlOk({"press", "LONG1"});
    CtlOk({"calls", "--clear", "LONG1"});
    ASSERT_TRUE(WaitUntil(
        [&] {
            auto calls = Calls("LONG1");
            return !mPoller.Running() || std::count(calls.begin(), calls.end(), "selector 2") >= 2;
        },
        "the press is over and buttons are polled again"));
    ASSERT_TRUE(mPoller.Running()) << "the poller outlives the failed write and report";
    EXPECT_FALSE(fs::exists(LaunchFile())) << "no partial launch file is left";
    EXPECT_EQ(BackupLog(), "") << "no launch on a partial launch file";

    // Once the file system takes the whole file, the next press goes through.
    ASSERT_TRUE(LimitPollerFileSize(RLIM_INFINITY));
    CtlOk({"press", "LONG1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("wrote"); }, "the backup runs and ends"));
    EXPECT_TRUE(mPoller.Running());
    EXPECT_TRUE(BackupLogSays("drive serial \"LONG1\", volumes: " + longName + "1, " + longName +
                              "2, " + longName + "3\n"))
        << "the launch file has the names whole";
    // A folder name holds at most 255 bytes: the first 127 characters.
    EXPECT_EQ(ReadFile(mHome / "Backups" / longName.substr(0, 254) / "letter.txt"), "dear drive\n")
        << BackupLog();
}

} // namespace
} // namespace scenario
