// What every tick leaves behind: the request flag consumed and the timer re-armed.
#include "PollerTestHost.h"

#include <CoreFoundation/CFStringPriv.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#include <stdlib.h>

#include <regex>

#include "TestProcess.h"

using namespace pollertest;

namespace {

TEST(PollCycle, TickRearmsTheTimerThreeSecondsOnInTheCommonModes) {
    updatePctFree = true;
    CFAbsoluteTime before = CFAbsoluteTimeGetCurrent();
    PollButtonDevices(NULL, NULL);
    CFRunLoopTimerRef timer = runLoopTimer.GetTypeRef();
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(updatePctFree);

    CFAbsoluteTime fire = CFRunLoopTimerGetNextFireDate(timer);
    EXPECT_GE(fire, before + 3.0);
    EXPECT_LE(fire, CFAbsoluteTimeGetCurrent() + 3.0);
    EXPECT_EQ(CFRunLoopTimerGetInterval(timer), 3.0);
    CFRunLoopRef mainLoop =
        static_cast<CFRunLoopRef>(const_cast<void*>(GetCFRunLoopFromEventLoop(GetMainEventLoop())));
    EXPECT_TRUE(CFRunLoopContainsTimer(mainLoop, timer, kCFRunLoopCommonModes));

    // Other tests run the main loop: no tick of ours may poll their drives.
    runLoopTimer.RemoveFromRunLoop();
    EXPECT_FALSE(CFRunLoopContainsTimer(mainLoop, timer, kCFRunLoopCommonModes));
}

TEST(PollCycle, FailedLightsCommandAsksForAnotherRefreshUntilItGetsThrough) {
    AttachListed("TICK-LED", {"--volume", "A:100:40"});
    AttachListed("TICK-LED-OK", {"--volume", "A:100:70"});
    Ctl({"fault", "TICK-LED", "fail-command"});
    updatePctFree = true;
    PollButtonDevices(NULL, NULL);
    EXPECT_TRUE(updatePctFree) << "the failed command is tried again at the next tick";
    EXPECT_EQ(Ctl({"lights", "TICK-LED-OK"}), "value=70 shown=unset commands=1");

    Ctl({"fault", "TICK-LED", "none"});
    PollButtonDevices(NULL, NULL);
    EXPECT_FALSE(updatePctFree);
    EXPECT_EQ(Ctl({"lights", "TICK-LED"}), "value=40 shown=unset commands=2");
    runLoopTimer.RemoveFromRunLoop();
}

TEST(PollCycle, ExceptionEndsTheButtonPassLeavesNoLaunchFileAndTheTimerIsRearmed) {
    AttachListed("TICK-X", {"--volume", "A:10:5"});
    AttachListed("TICK-Y");
    Ctl({"press", "TICK-X"});
    Ctl({"calls", "--clear", "TICK-Y"});
    updatePctFree = false;
    ASSERT_FALSE(backupActive);

    // The press needs the volume names; making them fails as when memory runs out.
    __CFStringFailMutableCreationsForTesting(1);
    PollButtonDevices(NULL, NULL);
    __CFStringFailMutableCreationsForTesting(0);

    EXPECT_TRUE(CtlLines({"calls", "TICK-Y"}).empty()) << "the pass ended at the press";
    EXPECT_FALSE(fs::exists(Home() / "Documents" / "For Button Manage" / "LaunchBackup"));
    EXPECT_FALSE(backupActive);
    CFRunLoopTimerRef timer = runLoopTimer.GetTypeRef();
    ASSERT_NE(timer, nullptr);
    CFRunLoopRef mainLoop =
        static_cast<CFRunLoopRef>(const_cast<void*>(GetCFRunLoopFromEventLoop(GetMainEventLoop())));
    EXPECT_TRUE(CFRunLoopContainsTimer(mainLoop, timer, kCFRunLoopCommonModes));
    runLoopTimer.RemoveFromRunLoop();
}

// Also where Documents lies deeper than an application path may be long.
TEST(PollCycle, PressTheHandOffFolderCannotTakeIsDroppedAndToldOnStderr) {
    AttachListed("TICK-NOFOLDER", {"--volume", "A:10:5"});
    updatePctFree = false;
    fs::path deep = ScratchRoot() / "deep";
    while (deep.string().size() < 1100)
        deep /= "a-folder-deep-in-the-tree";
    const fs::path userDirs = ScratchRoot() / "config" / "user-dirs.dirs";
    for (const fs::path& documents : {Home() / "Documents", deep}) {
        if (documents == deep)
            tvbtest::WriteFile(userDirs, "XDG_DOCUMENTS_DIR=\"" + deep.string() + "\"\n");
        const fs::path folder = documents / "For Button Manage";
        fs::remove_all(folder);
        tvbtest::WriteFile(folder, "a file where the folder belongs");
        Ctl({"press", "TICK-NOFOLDER"});

        ::testing::internal::CaptureStderr();
        PollButtonDevices(NULL, NULL);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "TarvelleButtonPoller: a button press was dropped: no launch file could be "
                  "written in " +
                      folder.string() + " (File Manager status " + std::to_string(errFSNotAFolder) +
                      ")\n");
        EXPECT_FALSE(backupActive);
        fs::remove(folder);
    }
    fs::remove(userDirs);
    fs::remove_all(deep);
    runLoopTimer.RemoveFromRunLoop();
}

// Out of descriptors, the Documents folder cannot even be looked at: the message must not
// send the user looking for a folder that is there.
TEST(PollCycle, PressDroppedForWantOfDescriptorsDoesNotBlameTheDocumentsFolder) {
    fs::create_directories(Home() / "Documents");
    AttachListed("TICK-NOFD", {"--volume", "A:10:5"});
    updatePctFree = false;
    // Once with descriptors first: the sanitizers check a type they meet for the first time
    // through a pipe, which they could not make at the limit.
    PollButtonDevices(NULL, NULL);
    Ctl({"press", "TICK-NOFD"});

    ::testing::internal::CaptureStderr();
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = dup(0); // every lower descriptor is taken
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    PollButtonDevices(NULL, NULL);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "TarvelleButtonPoller: a button press was dropped: no launch file could be "
              "written (File Manager status " +
                  std::to_string(tmfoErr) + ")\n");
    EXPECT_FALSE(backupActive);
    runLoopTimer.RemoveFromRunLoop();
}

// The sample application's copies started since the log was cleared.
std::vector<pid_t> BackupPids(const fs::path& log) {
    std::vector<pid_t> pids;
    std::string text = tvbtest::ReadFile(log);
    std::regex started(R"(SampleBackup\[(\d+)\]: staying up)");
    for (std::sregex_iterator it(text.begin(), text.end(), started), end; it != end; ++it)
        pids.push_back(static_cast<pid_t>(std::stol((*it)[1])));
    return pids;
}

TEST(PollCycle, EndFileThePressCouldNotClearDoesNotEndTheBackupButANewOneDoes) {
    const fs::path folder = Home() / "Documents" / "For Button Manage";
    const fs::path log = ScratchRoot() / "stale-end.log";
    fs::remove(log);
    // Put back however the test ends: the application stays up until it is told to quit.
    struct Restore {
        fs::path log;
        CFStringRef path = arcsoftApplicationPath;
        ~Restore() {
            for (pid_t pid : BackupPids(log))
                tvbtest::SignalIfRunning(pid, "SampleBackup", SIGTERM);
            runLoopTimer.RemoveFromRunLoop();
            backupActive = false;
            arcsoftApplicationPath = path;
            for (const char* name : {"TVB_BACKUP_MODE", "TVB_BACKUP_SECONDS", "TVB_BACKUP_LOG"})
                unsetenv(name);
        }
    } restore{log};
    setenv("TVB_BACKUP_MODE", "stay", 1);
    setenv("TVB_BACKUP_SECONDS", "0", 1);
    setenv("TVB_BACKUP_LOG", log.c_str(), 1);
    arcsoftApplicationPath = CFSTR(TVB_SAMPLE_APP_BUNDLE);
    // A folder in the end file's place, which no deletion of an empty item removes.
    tvbtest::WriteFile(folder / "EndBackup" / "kept", "someone's");
    AttachListed("TICK-STALE", {"--volume", "A:10:5"});
    Ctl({"press", "TICK-STALE"});
    updatePctFree = false;

    PollButtonDevices(NULL, NULL);
    ASSERT_TRUE(backupActive);
    ASSERT_TRUE(RunLoopUntil([&] { return !BackupPids(log).empty(); }));
    PollButtonDevices(NULL, NULL);
    EXPECT_TRUE(backupActive) << "the end file was there before the backup";
    EXPECT_TRUE(fs::exists(folder / "LaunchBackup"));

    fs::remove_all(folder / "EndBackup");
    tvbtest::WriteFile(folder / "EndBackup", "");
    PollButtonDevices(NULL, NULL);
    EXPECT_FALSE(backupActive) << "an end file written since counts";
    EXPECT_FALSE(fs::exists(folder / "EndBackup"));
    EXPECT_FALSE(fs::exists(folder / "LaunchBackup"));
}

} // namespace
