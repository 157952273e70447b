// The hand-off folder in the user's Documents and the launch file's exact bytes.
#include "PlatformFaults.h"
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

const std::string kFFFD = "\xEF\xBF\xBD";

TEST_F(HandOff, LineBreaksAndControlCharactersFromTheDriveCannotForgeLines) {
    // A bridge serial "AB\r\nEvilVol", a volume "Real\r\nInjected", one of control
    // characters only, and text around them that must stay byte for byte.
    io_service_t drive =
        Drive("HO-FORGE", {"--bridge-serial-hex", "41420d0a4576696c566f6c00ffffffff", "--volume",
                           "Real\r\nInjected:10:5", "--volume", "\x01\t\x1b\x7f:10:5", "--volume",
                           "Caf\xC3\xA9 ~:10:5"});
    Ctl({"press", "HO-FORGE"});
    ButtonMapResponse response;
    ASSERT_TRUE(IsButtonPressed(QueryButtonMap(drive, response), response));
    FSRef launchRef;
    ASSERT_EQ(WriteDummyLaunchFile(drive, response.serialNumber, launchRef), noErr);
    EXPECT_EQ(tvbtest::ReadFile(Folder() / "LaunchBackup"),
              "AB" + kFFFD + kFFFD + "EvilVol\r\n" + "Real" + kFFFD + kFFFD + "Injected\r\n" +
                  kFFFD + kFFFD + kFFFD + kFFFD + "\r\nCaf\xC3\xA9 ~\r\n");
}

TEST_F(HandOff, ControlsPastDelAndUnicodeLineSeparatorsInNamesAreReplaced) {
    // NEL and CSI (C1 controls), the line and paragraph separators, in names and spelt in
    // UTF-8 by the serial's bytes; the characters just outside those ranges stay as they are,
    // and so does a serial's last byte that would begin one.
    io_service_t drive =
        Drive("HO-C1", {"--volume",
                        "a\xC2\x85"
                        "b\xC2\x9B"
                        "c:10:5",
                        "--volume",
                        "\xE2\x80\xA8"
                        "d\xE2\x80\xA9:10:5",
                        "--volume", "\xC2\xA0\xE2\x80\xA7\xE2\x80\xAA\xF0\x9F\x98\x80:10:5"});
    const uint8 serial[16] = {'S',  0xC2, 0x85, 0xC2, 0x9F, 0xE2, 0x80, 0xA8,
                              0xC2, 0xA0, 0xE2, 0x80, 0xA9, 'x',  'y',  0xC2};
    FSRef launchRef;
    ASSERT_EQ(WriteDummyLaunchFile(drive, serial, launchRef), noErr);
    EXPECT_EQ(tvbtest::ReadFile(Folder() / "LaunchBackup"),
              "S" + kFFFD + kFFFD + kFFFD + "\xC2\xA0" + kFFFD + "xy\xC2\r\na" + kFFFD + "b" +
                  kFFFD + "c\r\n" + kFFFD + "d" + kFFFD +
                  "\r\n\xC2\xA0\xE2\x80\xA7\xE2\x80\xAA\xF0\x9F\x98\x80\r\n");
}

TEST_F(HandOff, UnpairedSurrogatesInANameAreReplacedAndTheOtherNamesStay) {
    // A name of UTF-16 units of any value, as a file system may hold one: lone and reversed
    // surrogates, a pair that stays, and a high surrogate that ends the name.
    io_service_t drive =
        Drive("HO-SURR", {"--volume", "A:10:5", "--volume", "Odd:10:5", "--volume", "B:10:5"});
    const std::u16string odd = {u'x',   0xD800, u'y',   0xDC00, 0xDE00,
                                0xD83D, 0xD83D, 0xDE00, u'z',   0xDBFF};
    ShowVolumeNameAs(u"Odd", odd);
    const uint8 serial[16] = {'S'};
    FSRef launchRef;
    const OSStatus err = WriteDummyLaunchFile(drive, serial, launchRef);
    ShowVolumeNameAs(u"", u"");
    ASSERT_EQ(err, noErr);
    EXPECT_EQ(tvbtest::ReadFile(Folder() / "LaunchBackup"),
              "S\r\nA\r\nx" + kFFFD + "y" + kFFFD + kFFFD + kFFFD + "\xF0\x9F\x98\x80z" + kFFFD +
                  "\r\nB\r\n");
}

TEST_F(HandOff, SerialOfSixteenControlBytesIsReplacedWhole) {
    io_service_t drive = Drive("HO-CTRL16", {});
    uint8 serial[16];
    for (uint8& byte : serial)
        byte = '\n';
    serial[15] = 0x80; // not a control character: stays a raw byte
    FSRef launchRef;
    ASSERT_EQ(WriteDummyLaunchFile(drive, serial, launchRef), noErr);
    std::string expected;
    for (int i = 0; i < 15; ++i)
        expected += kFFFD;
    EXPECT_EQ(tvbtest::ReadFile(Folder() / "LaunchBackup"), expected + "\x80\r\n");
}

TEST_F(HandOff, ReplacedCharactersCountOnceAgainstTheNamesLimit) {
    // Ten names of 100 control characters fill 1020 of the 1024 units, as any ten names of
    // 100 characters do, though their UTF-8 is three times as long: "x" still fits, "y" not.
    std::vector<std::string> options;
    for (int i = 0; i < 10; ++i) {
        options.push_back("--volume");
        options.push_back(std::string(100, static_cast<char>(1 + i)) + ":10:5");
    }
    for (const char* last : {"x:10:5", "y:10:5"}) {
        options.push_back("--volume");
        options.push_back(last);
    }
    io_service_t drive = Drive("HO-LIMIT", options);
    const uint8 serial[16] = {'S'};
    FSRef launchRef;
    ASSERT_EQ(WriteDummyLaunchFile(drive, serial, launchRef), noErr);
    std::string line;
    for (int i = 0; i < 100; ++i)
        line += kFFFD;
    std::string expected = "S\r\n";
    for (int i = 0; i < 10; ++i)
        expected += line + "\r\n";
    expected += "x\r\n";
    EXPECT_EQ(tvbtest::ReadFile(Folder() / "LaunchBackup"), expected);
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
