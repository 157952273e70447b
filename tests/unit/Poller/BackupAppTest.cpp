// Opening the backup application on the launch file and recognising its process.
#include "PollerTestHost.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "TestProcess.h"

using namespace pollertest;

namespace {

class BackupApp : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TVB_BACKUP_MODE", "stay", 1);
        setenv("TVB_BACKUP_SECONDS", "0", 1);
        setenv("TVB_BACKUP_LOG", (ScratchRoot() / "backup.log").c_str(), 1);
        std::error_code ec;
        fs::remove(ScratchRoot() / "backup.log", ec);
        tvbtest::WriteFile(Home() / "launch.txt", "SER\r\nVol\r\n");
        ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>((Home() / "launch.txt").c_str()),
                                &mLaunchRef, NULL),
                  noErr);
        mSavedPath = arcsoftApplicationPath;
        mSavedCreator = arcsoftApplicationCreator;
    }
    void TearDown() override {
        // Most have been told to quit by now: their numbers may be others'.
        for (pid_t pid : StartedPids())
            tvbtest::SignalIfRunning(pid, "SampleBackup", SIGKILL);
        if (arcsoftApplicationPath != NULL && arcsoftApplicationPath != mSavedPath)
            CFRelease(arcsoftApplicationPath);
        arcsoftApplicationPath = mSavedPath;
        arcsoftApplicationCreator = mSavedCreator;
        unsetenv("TVB_BACKUP_MODE");
    }
    void UseApplication(const std::string& path) {
        arcsoftApplicationPath =
            CFStringCreateWithCString(kCFAllocatorDefault, path.c_str(), kCFStringEncodingUTF8);
    }
    std::vector<pid_t> StartedPids() {
        std::vector<pid_t> pids;
        std::string log = tvbtest::ReadFile(ScratchRoot() / "backup.log");
        std::regex started(R"(SampleBackup\[(\d+)\]: staying up)");
        for (std::sregex_iterator it(log.begin(), log.end(), started), end; it != end; ++it)
            pids.push_back(static_cast<pid_t>(std::stol((*it)[1])));
        return pids;
    }
    bool WaitStarted() {
        return RunLoopUntil([&] { return !StartedPids().empty(); });
    }

    FSRef mLaunchRef;
    CFStringRef mSavedPath = NULL;
    UInt32 mSavedCreator = 0;
};

TEST_F(BackupApp, LaunchFailsWithoutAUsablePath) {
    arcsoftApplicationPath = NULL;
    EXPECT_NE(LaunchBackupApplication(mLaunchRef), noErr);
    UseApplication("/no/such/Backup.app");
    EXPECT_NE(LaunchBackupApplication(mLaunchRef), noErr);
    CFRelease(arcsoftApplicationPath);
    UseApplication(Home().string());
    EXPECT_NE(LaunchBackupApplication(mLaunchRef), noErr) << "a folder that is no application";
    EXPECT_EQ(arcsoftApplicationCreator, mSavedCreator);
}

TEST_F(BackupApp, PathWithANulNeverStandsForTheShorterPath) {
    // The part before the NUL is a real application; the whole path names nothing.
    std::string text = std::string(TVB_SAMPLE_APP_BUNDLE) + '\0' + "/elsewhere";
    arcsoftApplicationPath =
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
    ASSERT_NE(arcsoftApplicationPath, nullptr);
    EXPECT_NE(LaunchBackupApplication(mLaunchRef), noErr);
    EXPECT_TRUE(StartedPids().empty());
}

TEST_F(BackupApp, LaunchOpensTheDocumentAndLearnsTheCreatorCode) {
    UseApplication(TVB_SAMPLE_APP_BUNDLE);
    arcsoftApplicationCreator = 0;
    ASSERT_EQ(LaunchBackupApplication(mLaunchRef), noErr);
    EXPECT_EQ(arcsoftApplicationCreator, static_cast<UInt32>('SBak'));
    ASSERT_TRUE(WaitStarted());
    EXPECT_NE(tvbtest::ReadFile(ScratchRoot() / "backup.log")
                  .find("started with " + (Home() / "launch.txt").string()),
              std::string::npos);
    EXPECT_TRUE(isArcSoftAppRunning());

    for (pid_t pid : StartedPids())
        kill(pid, SIGTERM);
    EXPECT_TRUE(RunLoopUntil([] { return !isArcSoftAppRunning(); }));
}

TEST_F(BackupApp, ApplicationWithoutCreatorCodeIsRecognisedByItsLocation) {
    fs::path bundle = ScratchRoot() / "NoCode.app";
    std::error_code ec;
    fs::remove_all(bundle, ec);
    fs::create_directories(bundle / "Contents" / "MacOS");
    fs::copy_file(fs::path(TVB_SAMPLE_APP_BUNDLE) / "Contents" / "MacOS" / "SampleBackup",
                  bundle / "Contents" / "MacOS" / "SampleBackup");
    tvbtest::WriteFile(
        bundle / "Contents" / "Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "\t<key>CFBundleExecutable</key>\n\t<string>SampleBackup</string>\n</dict>\n</plist>\n");
    UseApplication(bundle.string());
    arcsoftApplicationCreator = 0;
    ASSERT_EQ(LaunchBackupApplication(mLaunchRef), noErr);
    EXPECT_EQ(arcsoftApplicationCreator, static_cast<UInt32>(0x3F3F3F3F));
    ASSERT_TRUE(WaitStarted());
    EXPECT_TRUE(isArcSoftAppRunning()) << "found by location, not by its unknown creator code";
    for (pid_t pid : StartedPids())
        kill(pid, SIGTERM);
    EXPECT_TRUE(RunLoopUntil([] { return !isArcSoftAppRunning(); }));
}

// The sample application on ROOT/hand-off/LaunchBackup, backing up ROOT/source into
// ROOT/home/Backups and ending at once.
tvbtest::ProgramResult RunSampleBackup(const fs::path& root) {
    tvbtest::Environment env = tvbtest::InheritedEnvironment();
    env["HOME"] = (root / "home").string();
    env["TVB_BACKUP_SOURCE"] = (root / "source").string();
    env["TVB_BACKUP_SECONDS"] = "0";
    env["TVB_BACKUP_MODE"] = "end";
    env.erase("TVB_BACKUP_LOG");
    return tvbtest::RunProgram(std::string(TVB_SAMPLE_APP_BUNDLE) + "/Contents/MacOS/SampleBackup",
                               {(root / "hand-off" / "LaunchBackup").string()}, 20000, env);
}

// The sample application itself, run on a launch file: a folder it cannot read among those it
// copies is told, and the rest is backed up all the same.
TEST(SampleBackup, FolderItCannotReadIsCountedAndTheRestBackedUp) {
    const fs::path root = ScratchRoot() / "unreadable-source";
    std::error_code ec;
    fs::remove_all(root, ec);
    tvbtest::WriteFile(root / "source" / "kept.txt", "kept\n");
    tvbtest::WriteFile(root / "source" / "locked" / "hidden.txt", "hidden\n");
    tvbtest::WriteFile(root / "hand-off" / "LaunchBackup", "SER\r\nVol\r\n");
    const fs::path locked = root / "source" / "locked";
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    if (access(locked.c_str(), R_OK) == 0) {
        chmod(locked.c_str(), 0755);
        GTEST_SKIP() << "permissions do not hold this user back";
    }
    tvbtest::ProgramResult result = RunSampleBackup(root);
    chmod(locked.c_str(), 0755);

    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(tvbtest::ReadFile(root / "home" / "Backups" / "Vol" / "kept.txt"), "kept\n");
    EXPECT_NE(result.err.find("copied 1 file(s)"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("1 item(s) could not be copied"), std::string::npos) << result.err;
    EXPECT_TRUE(fs::exists(root / "hand-off" / "EndBackup"));
    fs::remove_all(root, ec);
}

// A serial of bytes that are not UTF-8 and of control characters, as a bridge may report it,
// is backed up under those bytes but told as text the journal shows as a line.
TEST(SampleBackup, SerialBytesAreToldAsTextAndTheFolderKeepsThem) {
    const fs::path root = ScratchRoot() / "serial-bytes";
    std::error_code ec;
    fs::remove_all(root, ec);
    tvbtest::WriteFile(root / "source" / "kept.txt", "kept\n");
    const std::string serial = "S\xFF\xC2\x85\x1B[2J\xC3\xA9";
    tvbtest::WriteFile(root / "hand-off" / "LaunchBackup", serial + "\r\n");
    tvbtest::ProgramResult result = RunSampleBackup(root);

    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(tvbtest::ReadFile(root / "home" / "Backups" / ("Drive " + serial) / "kept.txt"),
              "kept\n");
    const std::string told = "S\\xFF\\xC2\\x85\\x1B[2J\xC3\xA9";
    EXPECT_NE(result.err.find("drive serial \"" + told + "\", volumes: (none)\n"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("/Backups/Drive " + told + "\n"), std::string::npos) << result.err;
    fs::remove_all(root, ec);
}

TEST_F(BackupApp, NothingRunsUnderAnUnknownCreatorWithoutAPath) {
    arcsoftApplicationPath = NULL;
    arcsoftApplicationCreator = 0;
    EXPECT_FALSE(isArcSoftAppRunning());
}

} // namespace
