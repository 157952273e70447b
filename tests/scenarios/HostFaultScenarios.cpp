// A device host that dies or stops while the poller is at work, and what the poller then must
// never do.
#include "Harness.h"

#include <signal.h>
#include <sys/syscall.h>

#include <algorithm>

using namespace std::chrono_literals;

namespace scenario {
namespace {

class HostFaults : public Scenario {
protected:
    ::testing::AssertionResult Listed(const std::string& serial) {
        return WaitUntil([&] { return Watchers(serial) == 1; }, "the poller lists " + serial);
    }
};

TEST_F(HostFaults, BackupDriveOfAKilledHostNeverLightsTheDriveThatTookItsPlace) {
    UseSampleApplication("stay", 0.1);
    StartHost();
    Attach("AGAIN1", {"--volume", "Data:100:50"});
    StartMainPoller();
    ASSERT_TRUE(Listed("AGAIN1"));
    CtlOk({"press", "AGAIN1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("staying up"); }, "the backup runs"));
    StopHost(SIGKILL);
    StartHost();
    // The same drive again on a new host run: its entries take the numbers the old ones had.
    Attach("AGAIN1", {"--volume", "Data:100:30"});
    ASSERT_TRUE(Listed("AGAIN1"));
    ASSERT_TRUE(WaitUntil([&] { return Lights("AGAIN1").find("commands=1") != std::string::npos; },
                          "the arrival's refresh"));
    for (pid_t pid : BackupPids())
        kill(pid, SIGTERM);
    ASSERT_TRUE(WaitUntil([&] { return !fs::exists(LaunchFile()); }, "the backup ends"));
    CtlOk({"calls", "--clear", "AGAIN1"});
    ASSERT_TRUE(WaitUntil(
        [&] {
            auto c = Calls("AGAIN1");
            return std::count(c.begin(), c.end(), "selector 2") >= 1;
        },
        "buttons are polled again"));
    EXPECT_EQ(CtlOk({"leds", "AGAIN1"}), "01 1e 00 00\n");
    EXPECT_TRUE(mPoller.Running());
}

// A quit arriving while a call-out waits on the host (here for a drive that takes its time to
// settle, seconds per entry) ends the poller at once, not when the wait is over.
TEST_F(HostFaults, QuitWhileWaitingForASettlingDriveEndsThePollerAtOnce) {
    StartHost();
    Attach("STEADY1");
    StartMainPoller();
    ASSERT_TRUE(Listed("STEADY1"));
    Attach("SETTLING1", {"--settle-ms", "30000"});
    // Idle, the poller sleeps in epoll_wait; in a host call, in recvfrom, whose number differs
    // from one architecture to the next.
    const fs::path syscall = "/proc/" + std::to_string(mPoller.Pid()) + "/syscall";
    const std::string receiving = std::to_string(SYS_recvfrom) + " ";
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(syscall).rfind(receiving, 0) == 0; },
                          "the poller waits on the host"));
    mPoller.Signal(SIGTERM);
    EXPECT_EQ(mPoller.Wait(2500ms), 0) << "a settling entry is waited for up to 5 s";
}

} // namespace
} // namespace scenario
