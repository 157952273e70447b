// Device tracking seen from outside: which drives the poller lists (one interest
// watcher each on the host), dropped on termination, listed again on return.
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
    // A drive not listed by now never will be: a later drive attached after it is
    // listed, and arrivals are handled in order.
    void ExpectNotListed(const std::string& serial) {
        std::string marker = "MARK" + serial.substr(0, 8);
        Attach(marker);
        ASSERT_TRUE(Listed(marker));
        EXPECT_EQ(Watchers(serial), 0) << serial << " must not be listed";
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

TEST_F(DeviceTracking, DrivesThatAreNotBridgeDevicesAreNotListed) {
    StartHost();
    StartMainPoller();
    Attach("PLAIN2", {"--no-bridge"});
    Attach("SUBCLS", {"--bridge-class", "com_ostrel_IOTVBPlus"});
    Attach("NUMSER", {"--serial-type", "number"});
    Attach("DATSER", {"--serial-type", "data"});
    Attach("ANCEST", {"--serial-on-ancestor"});
    EXPECT_TRUE(Listed("ANCEST")) << "the serial may sit on an ancestor";
    for (const char* serial : {"PLAIN2", "SUBCLS", "NUMSER", "DATSER"})
        ExpectNotListed(serial);
}

TEST_F(DeviceTracking, SecondDriveWithAListedSerialIsNotListed) {
    StartHost();
    std::string first = Attach("TWIN1");
    StartMainPoller();
    ASSERT_TRUE(Listed("TWIN1"));
    std::string second = Attach("TWIN1", {"--allow-duplicate"});
    ASSERT_NE(first, second);
    Attach("AFTER1");
    ASSERT_TRUE(Listed("AFTER1"));
    // One watcher across both: the second drive got none.
    EXPECT_EQ(Watchers("TWIN1"), 1);
}

TEST_F(DeviceTracking, RemovingFirstMiddleOrLastKeepsTheOthersListed) {
    StartHost();
    for (const char* serial : {"ROW1", "ROW2", "ROW3"})
        Attach(serial);
    StartMainPoller();
    for (const char* serial : {"ROW1", "ROW2", "ROW3"})
        ASSERT_TRUE(Listed(serial));

    for (const char* gone : {"ROW2", "ROW1", "ROW3"}) {
        CtlOk({"detach", gone});
        // Back again: listed anew, which also proves the old entry left the list
        // (a serial still listed would keep it out).
        Attach(gone);
        EXPECT_TRUE(Listed(gone));
    }
    for (const char* serial : {"ROW1", "ROW2", "ROW3"})
        EXPECT_EQ(Watchers(serial), 1);
    EXPECT_TRUE(mPoller.Running());
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
