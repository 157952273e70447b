// Device tracking seen from outside: drives present at start and arriving later are listed
// once (one interest watcher each on the host), and listed again when a killed host returns.
// Which drives are listed, and removal from the list, are the Poller unit tests' (DeviceList).
#include "Harness.h"

#include <signal.h>

#include <thread>

using namespace std::chrono_literals;

namespace scenario {
namespace {

class DeviceTracking : public Scenario {
protected:
    ::testing::AssertionResult Listed(const std::string& serial) {
        return WaitUntil([&] { return Watchers(serial) == 1; }, "the poller lists " + serial);
    }
};

TEST_F(DeviceTracking, DrivesPresentAtStartAndArrivingLaterAreListedOnce) {
    StartHost();
    Attach("EARLY1");
    Attach("EARLY2", {"--second-storage"});
    StartMainPoller();
    EXPECT_TRUE(Listed("EARLY1"));
    EXPECT_TRUE(Listed("EARLY2"));
    Attach("LATE1", {"--settle-ms", "300"});
    EXPECT_TRUE(Listed("LATE1"));
    EXPECT_EQ(Watchers("EARLY2"), 1) << "two block-storage services, one drive";
}

TEST_F(DeviceTracking, PollerSurvivesTheHostAndListsDrivesAgainWhenItReturns) {
    StartHost();
    Attach("BACK1");
    StartMainPoller();
    ASSERT_TRUE(Listed("BACK1"));

    StopHost(SIGKILL);
    // Give the poller a few of its ticks without a host.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(mPoller.Running());

    StartHost();
    Attach("BACK1");
    EXPECT_TRUE(
        WaitUntil([&] { return Watchers("BACK1") == 1; }, "the drive is listed again", 30s));
    EXPECT_TRUE(mPoller.Running());
}

} // namespace
} // namespace scenario
