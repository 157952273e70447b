// The hand-off on a file system that fails the poller: what a failed write leaves behind and
// that the poller outlives it.
#include "Harness.h"

#include <sys/resource.h>

#include <algorithm>

namespace scenario {
namespace {

class HandOffFaults : public Scenario {
protected:
    void StartAndWaitListed(const std::string& serial) {
        StartMainPoller();
        ASSERT_TRUE(WaitUntil([&] { return Watchers(serial) == 1; }, "the poller lists " + serial));
    }
    int Count(const std::string& serial, const std::string& call) {
        auto calls = Calls(serial);
        return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }
    // The soft limit only, up to the hard one, so that it can be lifted without privilege.
    bool LimitPollerFileSize(rlim_t bytes) {
        struct rlimit limit;
        if (prlimit(mPoller.Pid(), RLIMIT_FSIZE, nullptr, &limit) != 0)
            return false;
        limit.rlim_cur = std::min(bytes, limit.rlim_max);
        return prlimit(mPoller.Pid(), RLIMIT_FSIZE, &limit, nullptr) == 0;
    }
};

TEST_F(HandOffFaults, WriteStoppedByAFileSizeLimitDropsThePressAndThePollerGoesOn) {
    UseSampleApplication("end", 0.1);
    StartHost();
    // Names whose launch file outgrows the limit below: 3 x 200 two-byte characters.
    std::string name;
    for (int i = 0; i < 200; ++i)
        name += "\xC3\xA9";
    Attach("FSIZE1", {"--volume", name + "1:100:50", "--volume", name + "2:100:50", "--volume",
                      name + "3:100:50"});
    StartAndWaitListed("FSIZE1");
    ASSERT_TRUE(LimitPollerFileSize(1000));

    CtlOk({"press", "FSIZE1"});
    CtlOk({"calls", "--clear", "FSIZE1"});
    ASSERT_TRUE(WaitUntil([&] { return !mPoller.Running() || Count("FSIZE1", "selector 2") >= 2; },
                          "the press is over and buttons are polled again"));
    ASSERT_TRUE(mPoller.Running()) << "the poller outlives the failed write";
    EXPECT_FALSE(fs::exists(LaunchFile())) << "no partial launch file is left";
    EXPECT_EQ(BackupLog(), "") << "no launch on a partial launch file";

    // Once the file system takes the whole file, the next press goes through.
    ASSERT_TRUE(LimitPollerFileSize(RLIM_INFINITY));
    CtlOk({"press", "FSIZE1"});
    EXPECT_TRUE(WaitUntil([&] { return BackupLogSays("wrote"); }, "the backup runs and ends"));
    EXPECT_TRUE(BackupLogSays("drive serial \"FSIZE1\", volumes: " + name + "1"));
}

} // namespace
} // namespace scenario
