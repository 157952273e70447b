// The hand-off folder in the user's Documents and the launch file's exact bytes.
#include "PollerTestHost.h"

#include "TestProcess.h"

using namespace pollertest;

namespace {

fs::path Folder() {
    return Home() / "Documents" / "For Button Manage";
}

class HandOff : public ::testing::Test {
protected:
    void SetUp() override {
        std::error_code ec;
        fs::remove_all(Home() / "Documents", ec);
    }
    io_service_t Drive(const std::string& serial, const std::vector<std::string>& options) {
        AttachListed(serial, options);
        mService = BridgeService(serial);
        EXPECT_NE(mService, 0u);
        return mService;
    }
    void TearDown() override {
        if (mService)
            IOObjectRelease(mService);
    }
    io_service_t mService = 0;
};

TEST_F(HandOff, FirstLookUpCreatesDocumentsAndTheEmptyFolder) {
    FSRef endRef;
    EXPECT_EQ(MakeDummyEndFileFSRef(endRef), fnfErr);
    EXPECT_TRUE(fs::is_directory(Folder()));
    EXPECT_TRUE(fs::is_empty(Folder()));
}

TEST_F(HandOff, LaunchFileHoldsSerialCrLfAndTheVolumeNames) {
    io_service_t drive = Drive("HO-AB", {"--volume", "A:10:5", "--volume", "B:10:5"});
    const uint8 serial[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                              '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
    FSRef launchRef;
    ASSERT_EQ(WriteDummyLaunchFile(drive, serial, launchRef), noErr);
    EXPECT_EQ(tvbtest::ReadFile(Folder() / "LaunchBackup"), "0123456789ABCDEF\r\nA\r\nB\r\n");
    FSRef lookedUp;
    EXPECT_EQ(MakeDummyLaunchFileFSRef(lookedUp), noErr);
}

TEST_F(HandOff, SerialEndsAtItsFirstNulAndMayBeEmpty) {
    io_service_t drive = Drive("HO-NUL", {});
    uint8 serial[16] = {'X', 'Y', 0, 'Z'};
    FSRef launchRef;
    ASSERT_EQ(WriteDummyLaunchFile(drive, serial, launchRef), noErr);
    EXPECT_EQ(tvbtest::ReadFile(Folder() / "LaunchBackup"), "XY\r\n");
    CleanupDummyFiles();
    serial[0] = 0;
    ASSERT_EQ(WriteDummyLaunchFile(drive, serial, launchRef), noErr);
    EXPECT_EQ(tvbtest::ReadFile(Folder() / "LaunchBackup"), "\r\n");
}

TEST_F(HandOff, ExistingLaunchFileIsNeitherReplacedNorTouched) {
    io_service_t drive = Drive("HO-DUP", {});
    tvbtest::WriteFile(Folder() / "LaunchBackup", "earlier");
    const uint8 serial[16] = {'S'};
    FSRef launchRef;
    EXPECT_EQ(WriteDummyLaunchFile(drive, serial, launchRef), dupFNErr);
    EXPECT_EQ(tvbtest::ReadFile(Folder() / "LaunchBackup"), "earlier");
}

TEST_F(HandOff, CleanupRemovesBothFilesAndNothingElse) {
    CleanupDummyFiles(); // nothing there: nothing happens
    tvbtest::WriteFile(Folder() / "LaunchBackup", "l");
    tvbtest::WriteFile(Folder() / "EndBackup", "e");
    tvbtest::WriteFile(Folder() / "Other", "o");
    CleanupDummyFiles();
    EXPECT_FALSE(fs::exists(Folder() / "LaunchBackup"));
    EXPECT_FALSE(fs::exists(Folder() / "EndBackup"));
    EXPECT_TRUE(fs::exists(Folder() / "Other"));
}

TEST_F(HandOff, CleanupRemovesLinksButNeverTheirTargetsNorFullFolders) {
    tvbtest::WriteFile(Home() / "precious.txt", "keep");
    fs::create_directories(Folder());
    fs::create_symlink(Home() / "precious.txt", Folder() / "EndBackup");
    tvbtest::WriteFile(Folder() / "LaunchBackup" / "inside.txt", "keep too");
    CleanupDummyFiles();
    EXPECT_FALSE(fs::is_symlink(Folder() / "EndBackup"));
    EXPECT_EQ(tvbtest::ReadFile(Home() / "precious.txt"), "keep");
    EXPECT_EQ(tvbtest::ReadFile(Folder() / "LaunchBackup" / "inside.txt"), "keep too");
}

TEST_F(HandOff, LinkInPlaceOfTheLaunchFileIsNotFollowed) {
    io_service_t drive = Drive("HO-LINK", {});
    fs::create_directories(Folder());
    fs::create_symlink(Home() / "victim.txt", Folder() / "LaunchBackup");
    const uint8 serial[16] = {'S'};
    FSRef launchRef;
    EXPECT_NE(WriteDummyLaunchFile(drive, serial, launchRef), noErr);
    EXPECT_FALSE(fs::exists(Home() / "victim.txt"));
}

} // namespace
