// The poller as a process: quitting, the single-instance check, the preference read
// and the start-up clean-up of stale hand-off files.
#include "Harness.h"

#include <signal.h>

#include <thread>

using namespace std::chrono_literals;

namespace scenario {
namespace {

class Startup : public Scenario {
protected:
    void PlaceStaleHandOffFiles() {
        WriteFile(LaunchFile(), "stale launch\r\n");
        WriteFile(EndFile(), "stale end");
    }
    bool StaleFilesPresent() const { return fs::exists(LaunchFile()) && fs::exists(EndFile()); }
    void WaitUntilListed(const std::string& serial) {
        ASSERT_TRUE(WaitUntil([&] { return Watchers(serial) == 1; }, "the poller lists " + serial));
    }
};

class StartupQuit : public Startup, public ::testing::WithParamInterface<int> {};

TEST_P(StartupQuit, RunsUntilToldToQuitAndExitsZero) {
    StartHost();
    Attach("QUIT1", {"--volume", "Data:1000:500"});
    StartMainPoller();
    WaitUntilListed("QUIT1");
    // The first tick's lights refresh shows the poller inside its event loop.
    ASSERT_TRUE(WaitUntil([&] { return Lights("QUIT1").find("commands=1") != std::string::npos; },
                          "the first tick"));

    mPoller.Signal(GetParam());
    EXPECT_EQ(mPoller.Wait(20s), 0);
    // Its notifications went with it.
    EXPECT_TRUE(
        WaitUntil([&] { return Watchers("QUIT1") == 0; }, "the host drops the poller's watcher"));
}

INSTANTIATE_TEST_SUITE_P(Signals, StartupQuit, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

// Each copy finds the other while both start: the one that started later gives way, never
// both. Three rounds, as the two seldom start in the same order.
TEST_F(Startup, OfTwoCopiesStartedTogetherExactlyOneGoesOn) {
    StartHost();
    Attach("TWIN1");
    for (int round = 0; round < 3; ++round) {
        Process first = StartPoller();
        Process second = StartPoller();
        ASSERT_TRUE(
            WaitUntil([&] { return !first.Running() || !second.Running(); }, "one copy gives way"));
        Process& stays = first.Running() ? first : second;
        Process& left = first.Running() ? second : first;
        EXPECT_EQ(left.Wait(1s), 0);
        ASSERT_TRUE(WaitUntil([&] { return Watchers("TWIN1") == 1; }, "the other lists the drive"))
            << "round " << round;
        EXPECT_TRUE(stays.Running());
        stays.Signal(SIGTERM);
        EXPECT_EQ(stays.Wait(20s), 0);
        ASSERT_TRUE(WaitUntil([&] { return Watchers("TWIN1") == 0; }, "its watcher is gone"));
    }
}

TEST_F(Startup, SecondCopyClearsHandOffFilesWhenTheApplicationResolves) {
    UseSampleApplication();
    StartHost();
    Attach("ONCE2");
    StartMainPoller();
    WaitUntilListed("ONCE2");

    PlaceStaleHandOffFiles();
    Process second = StartPoller();
    EXPECT_EQ(second.Wait(20s), 0);
    EXPECT_FALSE(fs::exists(LaunchFile()));
    EXPECT_FALSE(fs::exists(EndFile()));
    EXPECT_TRUE(mPoller.Running());
}

TEST_F(Startup, StaleHandOffFilesAreClearedWhenTheApplicationResolves) {
    UseSampleApplication();
    PlaceStaleHandOffFiles();
    StartHost();
    Attach("CLEAN1");
    StartMainPoller();
    WaitUntilListed("CLEAN1");
    EXPECT_FALSE(fs::exists(LaunchFile()));
    EXPECT_FALSE(fs::exists(EndFile()));
    EXPECT_TRUE(fs::is_directory(HandOffFolder()));
}

// Values that must be ignored as if there were no "AppName": no clean-up at start.
class StartupIgnoredAppName : public Startup, public ::testing::WithParamInterface<std::string> {};

TEST_P(StartupIgnoredAppName, LeavesStaleHandOffFilesAlone) {
    WriteAppNamePreference(GetParam());
    PlaceStaleHandOffFiles();
    StartHost();
    Attach("IGN1");
    StartMainPoller();
    WaitUntilListed("IGN1");
    EXPECT_TRUE(StaleFilesPresent());
    EXPECT_TRUE(mPoller.Running());
}

std::string LongPath() {
    std::string path = "/";
    while (path.size() <= 1100)
        path += "deeply-nested-folder/";
    return "<string>" + path + "</string>";
}

INSTANTIATE_TEST_SUITE_P(Values, StartupIgnoredAppName,
                         ::testing::Values("<integer>42</integer>",
                                           "<data>L0FwcGxpY2F0aW9ucw==</data>", "<true/>",
                                           "<string>/no/such/Application.app</string>", LongPath(),
                                           // A NUL would otherwise name "/" and resolve.
                                           "<string>/&#0;/no/such/App.app</string>"));

TEST_F(Startup, CorruptPreferencesFileIsIgnored) {
    WriteFile(mHome / "Library" / "Preferences" / "TotalMedia Backup.plist",
              "<?xml version=\"1.0\"?><plist><dict><key>");
    PlaceStaleHandOffFiles();
    StartHost();
    Attach("CORRUPT1");
    StartMainPoller();
    WaitUntilListed("CORRUPT1");
    EXPECT_TRUE(StaleFilesPresent());
}

TEST_F(Startup, WithoutADeviceHostThePollerRunsAndSaysOnceThatItWaits) {
    StartMainPoller();
    const std::string notice = "waiting for the device host at " + mSocket.string() + "\n";
    auto said = [&] {
        const std::string output = ReadFile(mRoot / "poller.out");
        size_t count = 0;
        for (size_t at = output.find(notice); at != std::string::npos;
             at = output.find(notice, at + 1))
            ++count;
        return count;
    };
    ASSERT_TRUE(WaitUntil([&] { return said() > 0; }, "the poller says it waits"));
    // Nothing outside shows its retries; these 1.5 s hold several of them.
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(mPoller.Running());
    EXPECT_EQ(said(), 1u) << "said once, not once per retry";
    // Waiting inside its event loop, it quits as usual.
    mPoller.Signal(SIGTERM);
    EXPECT_EQ(mPoller.Wait(20s), 0);
}

} // namespace
} // namespace scenario
