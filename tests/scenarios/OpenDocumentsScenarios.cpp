// The backup application already running: a press hands its launch file to the running copy
// (an open-documents event) and the poller tracks that copy, whatever bytes the paths hold; a
// backup application that is a script is tracked for as long as the script runs.
#include "Harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace scenario {
namespace {

class OpenDocuments : public Scenario {
protected:
    ~OpenDocuments() override {
        // A script still waiting for its release is let go.
        int fd = open((mHome / "release").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ssize_t written = write(fd, "go\n", 3);
            (void)written;
            close(fd);
        }
    }

    int ButtonQueries(const std::string& serial) {
        std::vector<std::string> calls = Calls(serial);
        return static_cast<int>(std::count(calls.begin(), calls.end(), "selector 2"));
    }
    // Ticks, counted by the lights refresh a hot-plug message asks for; they go on while a
    // backup is tracked.
    void AwaitTicks(const std::string& serial, int ticks) {
        for (int i = 0; i < ticks; ++i) {
            std::string before = Lights(serial);
            CtlOk({"message", serial, "e0000230"});
            ASSERT_TRUE(WaitUntil([&] { return Lights(serial) != before; }, "a tick"));
        }
    }
    void StartPollerAndAwaitFirstTick(const std::string& serial) {
        std::string before = Lights(serial);
        StartMainPoller();
        ASSERT_TRUE(WaitUntil([&] { return Lights(serial) != before; }, "the poller's first tick"));
    }
};

TEST_F(OpenDocuments, PressAfterAPollerRestartGoesToTheRunningCopyWhichIsTracked) {
    UseSampleApplication("stay", 0.1);
    StartHost();
    Attach("RUN1", {"--volume", "One:100:20"});
    Attach("RUN2", {"--volume", "Two:100:60"});
    StartPollerAndAwaitFirstTick("RUN2");
    CtlOk({"press", "RUN1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("staying up"); }, "the first backup runs"));

    // Restarted while the backup application runs on, the poller knows of no backup.
    mPoller.Signal(SIGTERM);
    ASSERT_GE(mPoller.Wait(std::chrono::seconds(10)), 0);
    StartPollerAndAwaitFirstTick("RUN2");
    CtlOk({"press", "RUN2"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("drive serial \"RUN2\""); },
                          "the running copy reads the second launch file"));
    EXPECT_TRUE(BackupLogSays("opened " + LaunchFile().string()));
    std::vector<pid_t> pids = BackupPids();
    ASSERT_EQ(pids.size(), 1u) << "no second copy";

    // The open's 0 status started the tracking: buttons rest while the copy runs.
    CtlOk({"calls", "--clear", "RUN1"});
    CtlOk({"calls", "--clear", "RUN2"});
    AwaitTicks("RUN1", 3);
    EXPECT_EQ(ButtonQueries("RUN1"), 0);
    EXPECT_EQ(ButtonQueries("RUN2"), 0);
    kill(pids[0], SIGTERM);
    EXPECT_TRUE(WaitUntil([&] { return Lights("RUN2").rfind("value=60 shown=on", 0) == 0; },
                          "the end of the backup shows the second drive's lights"));
}

// Characters URLs escape and bytes that are not UTF-8, in the hand-off folder's path and in the
// application's: the copy is started with, and later handed, exactly the launch file written.
TEST_F(OpenDocuments, OddPathsReachTheApplicationUnchangedAndItIsTracked) {
    const fs::path documents = mHome / "Dok #1 %20 ?;\xC3\xA9 \xE9\xFF";
    const fs::path launchFile = documents / "For Button Manage" / "LaunchBackup";
    WriteFile(mRoot / "config" / "user-dirs.dirs",
              "XDG_DOCUMENTS_DIR=\"$HOME/" + documents.filename().string() + "\"\n");
    // The preference names the application in UTF-8; it resolves into a Latin-1 folder.
    const fs::path folder = mRoot / "Programme f\xFCr";
    fs::create_directories(folder);
    fs::copy(tvbtest::SampleApplicationBundle(), folder / "SampleBackup.app",
             fs::copy_options::recursive);
    fs::create_directory_symlink(folder, mRoot / "Apps");
    UseSampleApplication("stay", 0.1);
    WriteAppNamePreference("<string>" + (mRoot / "Apps" / "SampleBackup.app").string() +
                           "</string>");
    StartHost();
    Attach("ODD1", {"--volume", "One:100:20"});
    StartPollerAndAwaitFirstTick("ODD1");

    CtlOk({"press", "ODD1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("staying up"); }, "the backup runs"));
    EXPECT_TRUE(BackupLogSays("started with " + launchFile.string() + "\n"));
    // Its creator code was read from its bundle: buttons rest while the copy runs.
    CtlOk({"calls", "--clear", "ODD1"});
    AwaitTicks("ODD1", 3);
    EXPECT_EQ(ButtonQueries("ODD1"), 0);

    mPoller.Signal(SIGTERM);
    ASSERT_GE(mPoller.Wait(std::chrono::seconds(10)), 0);
    StartPollerAndAwaitFirstTick("ODD1");
    CtlOk({"press", "ODD1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("opened "); }, "the running copy opens it"));
    EXPECT_TRUE(BackupLogSays("opened " + launchFile.string() + "\n"));
    std::vector<pid_t> pids = BackupPids();
    ASSERT_EQ(pids.size(), 1u) << "no second copy";
    kill(pids[0], SIGTERM);
    EXPECT_TRUE(WaitUntil([&] { return Lights("ODD1").rfind("value=20 shown=on", 0) == 0; },
                          "the end of the backup shows the lights"));
    EXPECT_FALSE(fs::exists(launchFile));
}

// Told to quit while a press waits for the answer of a running copy that is stopped, the
// poller ends at once, not after the 2 s the copy has to answer, and starts no other copy.
TEST_F(OpenDocuments, QuitWhileAPressWaitsForAStoppedCopyEndsThePollerAtOnce) {
    UseSampleApplication("stay", 0.1);
    StartHost();
    Attach("STOP1", {"--volume", "One:100:20"});
    StartPollerAndAwaitFirstTick("STOP1");
    CtlOk({"press", "STOP1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("staying up"); }, "the backup runs"));
    std::vector<pid_t> pids = BackupPids();
    ASSERT_EQ(pids.size(), 1u);
    // Restarted, the poller knows of no backup and polls the button again.
    mPoller.Signal(SIGTERM);
    ASSERT_GE(mPoller.Wait(std::chrono::seconds(10)), 0);
    const fs::path output = mRoot / "poller-stderr.txt";
    const std::string before = Lights("STOP1");
    mPoller = mWorld.StartPoller({}, {}, output);
    ASSERT_TRUE(WaitUntil([&] { return Lights("STOP1") != before; }, "the poller's first tick"));
    ASSERT_EQ(kill(pids[0], SIGSTOP), 0);
    CtlOk({"press", "STOP1"});
    // Idle, the poller sleeps in epoll_wait; waiting for the answer, in ppoll (or poll where
    // the C library has it call that).
    const fs::path syscall = "/proc/" + std::to_string(mPoller.Pid()) + "/syscall";
    const std::string ppollCall = std::to_string(SYS_ppoll) + " ";
#ifdef SYS_poll
    const std::string pollCall = std::to_string(SYS_poll) + " ";
#else
    const std::string pollCall = ppollCall;
#endif
    bool waiting = WaitUntil(
        [&] {
            std::string call = ReadFile(syscall);
            return call.rfind(ppollCall, 0) == 0 || call.rfind(pollCall, 0) == 0;
        },
        "the offer's wait");
    mPoller.Signal(SIGTERM);
    int exit = mPoller.Wait(std::chrono::milliseconds(1500));
    kill(pids[0], SIGCONT);
    ASSERT_TRUE(waiting);
    EXPECT_EQ(exit, 0);
    EXPECT_EQ(BackupPids(), pids) << "no second copy";
    EXPECT_EQ(ReadFile(output), "TarvelleButtonPoller: quitting before the backup application " +
                                    std::string(tvbtest::SampleApplicationBundle()) +
                                    " was seen to start; it may still start\n");
}

TEST_F(OpenDocuments, ScriptBackupApplicationIsTrackedWhileTheScriptRuns) {
    fs::path app = mRoot / "Script Backup.app";
    WriteFile(app / "Contents" / "Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
              "\t<key>CFBundleExecutable</key>\n\t<string>backup</string>\n"
              "\t<key>CFBundlePackageType</key>\n\t<string>APPL</string>\n"
              "\t<key>CFBundleSignature</key>\n\t<string>TvSB</string>\n</dict>\n</plist>\n");
    fs::path script = app / "Contents" / "MacOS" / "backup";
    WriteFile(script, "#!/bin/sh\n"
                      "echo \"ScriptBackup[$$]: started with $1\" >> \"$TVB_BACKUP_LOG\"\n"
                      "read line < \"$HOME/release\"\n");
    fs::permissions(script, fs::perms::owner_all);
    ASSERT_EQ(mkfifo((mHome / "release").c_str(), 0600), 0);
    WriteAppNamePreference("<string>" + app.string() + "</string>");
    StartHost();
    Attach("SCRIPT1", {"--volume", "Data:100:30"});
    StartPollerAndAwaitFirstTick("SCRIPT1");

    CtlOk({"press", "SCRIPT1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("ScriptBackup["); }, "the script runs"));
    CtlOk({"calls", "--clear", "SCRIPT1"});
    AwaitTicks("SCRIPT1", 3);
    EXPECT_EQ(ButtonQueries("SCRIPT1"), 0) << "the running script is the backup application";
    EXPECT_EQ(Lights("SCRIPT1").find("shown=on"), std::string::npos);

    // Released, the script ends, and with it the backup.
    int fd = open((mHome / "release").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "go\n", 3), 3);
    close(fd);
    EXPECT_TRUE(WaitUntil([&] { return Lights("SCRIPT1").rfind("value=30 shown=on", 0) == 0; },
                          "lights shown once the script has ended"));
    EXPECT_FALSE(fs::exists(LaunchFile()));
}

} // namespace
} // namespace scenario
