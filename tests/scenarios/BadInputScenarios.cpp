// Hostile or broken surroundings: each gives a defined result, no crash, and nothing
// of the user's is deleted beyond the two hand-off files.
#include "Harness.h"

#include <signal.h>
#include <unistd.h>

#include <regex>

using namespace std::chrono_literals;

namespace scenario {
namespace {

class BadInput : public Scenario {
protected:
    void StartListed(const std::string& serial,
                     const std::map<std::string, std::string>& env = {}) {
        StartMainPoller(env);
        ASSERT_TRUE(WaitUntil([&] { return Watchers(serial) == 1; }, "the poller lists " + serial));
    }
    int PressLogCount() const {
        int n = 0;
        for (const auto& line : LogLines())
            n += line == "6 GeneralMessage:  Polled button press";
        return n;
    }
    void PressAndWaitForTheLog(const std::string& serial, int count = 1) {
        CtlOk({"press", serial});
        ASSERT_TRUE(WaitUntil([&] { return PressLogCount() >= count; }, "the press is logged"));
    }
};

TEST_F(BadInput, DocumentsThatIsAFileDropsThePress) {
    WriteFile(mHome / "Documents", "not a folder");
    StartHost();
    Attach("DOCS1");
    StartListed("DOCS1");
    PressAndWaitForTheLog("DOCS1");
    CtlOk({"calls", "--clear", "DOCS1"});
    ASSERT_TRUE(WaitUntil(
        [&] {
            auto calls = Calls("DOCS1");
            return std::count(calls.begin(), calls.end(), "selector 2") >= 2;
        },
        "buttons are polled again"));
    EXPECT_EQ(ReadFile(mHome / "Documents"), "not a folder");
    EXPECT_TRUE(mPoller.Running());
}

TEST_F(BadInput, LaunchBackupThatIsAFolderIsLeftWithItsContent) {
    UseSampleApplication("end");
    WriteFile(LaunchFile() / "keep.txt", "user data");
    StartHost();
    Attach("DIR1");
    StartListed("DIR1");
    PressAndWaitForTheLog("DIR1");
    PressAndWaitForTheLog("DIR1", 2);
    EXPECT_EQ(ReadFile(LaunchFile() / "keep.txt"), "user data");
    EXPECT_EQ(BackupLog(), "") << "no launch without a launch file";
}

TEST_F(BadInput, EndBackupThatIsALinkIsRemovedButNotItsTarget) {
    UseSampleApplication("stay", 0.1);
    WriteFile(mHome / "precious.txt", "keep me");
    StartHost();
    Attach("LINK1", {"--volume", "Data:100:50"});
    StartListed("LINK1");
    CtlOk({"press", "LINK1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLog().find("staying up") != std::string::npos; },
                          "the backup runs"));
    fs::create_symlink(mHome / "precious.txt", EndFile());
    ASSERT_TRUE(WaitUntil([&] { return !fs::is_symlink(EndFile()) && !fs::exists(LaunchFile()); },
                          "the link counts as the end file and is removed"));
    EXPECT_EQ(ReadFile(mHome / "precious.txt"), "keep me");
    std::smatch pid;
    std::string log = BackupLog();
    if (std::regex_search(log, pid, std::regex(R"(SampleBackup\[(\d+)\])")))
        kill(static_cast<pid_t>(std::stol(pid[1])), SIGTERM);
}

TEST_F(BadInput, AppNameThatIsNotAnApplicationLeavesTheLaunchFile) {
    WriteAppNamePreference("<string>" + mHome.string() + "</string>");
    StartHost();
    Attach("NOTAPP", {"--volume", "Data:100:50"});
    StartListed("NOTAPP");
    PressAndWaitForTheLog("NOTAPP");
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(LaunchFile()); }, "the launch file"));
    // Not tracked: the next press is taken as well.
    PressAndWaitForTheLog("NOTAPP", 2);
    EXPECT_TRUE(fs::exists(LaunchFile()));
}

TEST_F(BadInput, FailedLaunchFileWriteDropsThePressAndLeavesNoPartialFile) {
    UseSampleApplication("end");
    StartHost();
    Attach("FULL1",
           {"--bridge-serial", "0123456789ABCDEF", "--volume", "A long volume name:100:50"});
    // The file-size limit stands in for a full disk: the serial and CR LF fit, the names don't.
    signal(SIGXFSZ, SIG_IGN);
    auto env = Environment();
    env["TVB_CLOCK_SCALE"] = std::to_string(kClockScale);
    mPoller = Process({"/usr/bin/prlimit", "--fsize=20", "--", TVB_POLLER_PATH}, env,
                      mRoot / "poller.out");
    signal(SIGXFSZ, SIG_DFL);
    ASSERT_TRUE(WaitUntil([&] { return Watchers("FULL1") == 1; }, "the poller lists the drive"));
    CtlOk({"press", "FULL1"});
    CtlOk({"calls", "--clear", "FULL1"});
    ASSERT_TRUE(WaitUntil(
        [&] {
            auto calls = Calls("FULL1");
            return std::count(calls.begin(), calls.end(), "selector 2") >= 2;
        },
        "the press is taken and buttons are polled again"));
    EXPECT_FALSE(fs::exists(LaunchFile()));
    EXPECT_EQ(BackupLog(), "");
    EXPECT_TRUE(mPoller.Running());
}

TEST_F(BadInput, DriveUnpluggedDuringTheBackupGetsNoLightsAndNothingBreaks) {
    UseSampleApplication("stay", 0.1);
    StartHost();
    Attach("GONE1", {"--volume", "Data:100:50"});
    StartListed("GONE1");
    CtlOk({"press", "GONE1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLog().find("staying up") != std::string::npos; },
                          "the backup runs"));
    CtlOk({"detach", "GONE1"});
    Attach("NEW1", {"--volume", "New:100:30"});
    ASSERT_TRUE(WaitUntil([&] { return Watchers("NEW1") == 1; }, "the new drive is listed"));

    std::smatch pid;
    std::string log = BackupLog();
    ASSERT_TRUE(std::regex_search(log, pid, std::regex(R"(SampleBackup\[(\d+)\])")));
    kill(static_cast<pid_t>(std::stol(pid[1])), SIGTERM);
    ASSERT_TRUE(WaitUntil([&] { return !fs::exists(LaunchFile()); }, "the backup ends"));
    CtlOk({"calls", "--clear", "NEW1"});
    ASSERT_TRUE(WaitUntil(
        [&] {
            auto calls = Calls("NEW1");
            return std::count(calls.begin(), calls.end(), "selector 2") >= 1;
        },
        "buttons are polled again"));
    EXPECT_EQ(Lights("NEW1").find("shown=on"), std::string::npos)
        << "the end-of-backup lights went elsewhere";
    EXPECT_TRUE(mPoller.Running());
}

} // namespace
} // namespace scenario
