// Start order: a poller started before its device host, or together with it, runs, says once
// that it waits, and lists the drives as soon as the host is up.
#include "Harness.h"

#include <signal.h>

#include <thread>

using namespace std::chrono_literals;

namespace scenario {
namespace {

class StartOrder : public Scenario {
protected:
    size_t NoticesSaid() const {
        const std::string notice = "waiting for the device host at " + mSocket.string() + "\n";
        const std::string said = ReadFile(mRoot / "poller.out");
        size_t count = 0;
        for (size_t at = said.find(notice); at != std::string::npos;
             at = said.find(notice, at + notice.size()))
            ++count;
        return count;
    }
    // The host without waiting for it to answer, as a session starting both would.
    void LaunchHost() { ASSERT_TRUE(mHost.Launch()); }
    ::testing::AssertionResult Listed(const std::string& serial) {
        return WaitUntil([&] { return Watchers(serial) == 1; }, "the poller lists " + serial);
    }
};

TEST_F(StartOrder, PollerStartedBeforeItsHostListsEveryDriveOnceTheHostIsUp) {
    StartMainPoller();
    ASSERT_TRUE(WaitUntil([&] { return NoticesSaid() == 1; }, "the poller says it waits"));
    // Long enough for its retries to have backed off to the longest interval.
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(mPoller.Running());

    StartHost();
    // At once, before the poller's next attempt can have reached the host.
    Attach("EARLY1", {"--volume", "Data:1000:250"});
    Attach("EARLY2", {"--second-storage"});
    EXPECT_TRUE(Listed("EARLY1"));
    EXPECT_TRUE(Listed("EARLY2"));
    // After it has seen the host.
    Attach("LATE1");
    EXPECT_TRUE(Listed("LATE1"));
    EXPECT_EQ(Watchers("EARLY2"), 1) << "two block-storage services, one drive";
    // The poll cycle serves them: the lights show the free share.
    EXPECT_TRUE(WaitUntil([&] { return Lights("EARLY1").rfind("value=25 ", 0) == 0; },
                          "the lights of EARLY1 show 25"));
    EXPECT_TRUE(mPoller.Running());
    EXPECT_EQ(NoticesSaid(), 1u) << "said once, not once per retry";
}

TEST_F(StartOrder, HostAndPollerStartedTogetherTwentyTimesEveryPollerListsTheDrives) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const size_t saidBefore = NoticesSaid();
        // Back to back in either order, the race goes either way; every third round the
        // host comes only once the poller has found none, so that losing it is certain.
        if (round % 3 == 0) {
            LaunchHost();
            StartMainPoller();
        } else {
            StartMainPoller();
            if (round % 3 == 2) {
                ASSERT_TRUE(WaitUntil([&] { return NoticesSaid() > saidBefore; },
                                      "the poller says it waits"));
            }
            LaunchHost();
        }
        ASSERT_TRUE(
            WaitUntil([&] { return Ctl({"ping"}).exitCode == 0; }, "the device host answers", 10s));
        Attach("TOGETHER1");
        Attach("TOGETHER2");
        ASSERT_TRUE(Listed("TOGETHER1"));
        ASSERT_TRUE(Listed("TOGETHER2"));
        ASSERT_TRUE(mPoller.Running());
        EXPECT_LE(NoticesSaid(), saidBefore + 1) << "at most one notice per poller";

        mPoller.Signal(SIGTERM);
        ASSERT_EQ(mPoller.Wait(20s), 0);
        StopHost(SIGTERM);
    }
}

} // namespace
} // namespace scenario
