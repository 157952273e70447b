// A linked hand-off folder is never reached through: the folder it leads to keeps its files
// through the start-up clean-up and a press, and the press is dropped.
#include "Harness.h"

#include <algorithm>

namespace scenario {
namespace {

class LinkedFolder : public Scenario {
protected:
    int SelectorTwoCalls(const std::string& serial) {
        auto calls = Calls(serial);
        return static_cast<int>(std::count(calls.begin(), calls.end(), "selector 2"));
    }
    int PressLogCount() const {
        auto lines = LogLines();
        return static_cast<int>(
            std::count(lines.begin(), lines.end(), "6 GeneralMessage:  Polled button press"));
    }
};

TEST_F(LinkedFolder, LinkedHandOffFolderIsNeverReachedThrough) {
    const fs::path other = mRoot / "someone else";
    WriteFile(other / "LaunchBackup", "their launch file");
    WriteFile(other / "EndBackup", "their end file");
    fs::create_directories(mHome / "Documents");
    fs::create_directory_symlink(other, HandOffFolder());
    UseSampleApplication("end"); // the application resolves, so start-up clears hand-off files
    StartHost();
    Attach("LINKED1", {"--volume", "Data:100:50"});
    StartMainPoller();
    ASSERT_TRUE(WaitUntil([&] { return Watchers("LINKED1") == 1; }, "the poller lists LINKED1"));

    CtlOk({"press", "LINKED1"});
    ASSERT_TRUE(WaitUntil([&] { return PressLogCount() == 1; }, "the press is logged"));
    CtlOk({"calls", "--clear", "LINKED1"});
    ASSERT_TRUE(WaitUntil([&] { return SelectorTwoCalls("LINKED1") >= 2; },
                          "the press is dropped and buttons are polled again"));

    EXPECT_EQ(ReadFile(other / "LaunchBackup"), "their launch file");
    EXPECT_EQ(ReadFile(other / "EndBackup"), "their end file");
    EXPECT_EQ(std::distance(fs::directory_iterator(other), {}), 2) << "nothing written there";
    EXPECT_TRUE(fs::is_symlink(HandOffFolder()));
    EXPECT_EQ(BackupLog(), "") << "no launch without a launch file";
    EXPECT_TRUE(mPoller.Running());
}

} // namespace
} // namespace scenario
