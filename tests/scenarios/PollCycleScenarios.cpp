// The poll cycle end to end: lights refresh, a press handed to the sample backup
// application, tracking of that backup to its end, and the launch file's bytes.
#include "Harness.h"

#include <signal.h>

#include <algorithm>
#include <ostream>

using namespace std::chrono_literals;

namespace scenario {
namespace {

const std::string kPressLine = "6 GeneralMessage:  Polled button press";

class PollCycle : public Scenario {
protected:
    void StartAndWaitListed(const std::vector<std::string>& serials) {
        StartMainPoller();
        for (const auto& serial : serials)
            ASSERT_TRUE(
                WaitUntil([&] { return Watchers(serial) == 1; }, "the poller lists " + serial));
    }
    int PressLogCount() const {
        auto lines = LogLines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), kPressLine));
    }
    int Count(const std::vector<std::string>& calls, const std::string& call) const {
        return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }
    // Ticks that polled the drive's button since its call log was last cleared.
    int ButtonQueries(const std::string& serial) { return Count(Calls(serial), "selector 2"); }
};

TEST_F(PollCycle, FirstTickSetsEveryListedDrivesLightsToItsFreeShare) {
    StartHost();
    Attach("LIGHT1", {"--volume", "A:3:1"});
    Attach("LIGHT2", {"--volume", "B:3:2"});
    Attach("LIGHT3",
           {"--volume", "C:40000000000:10000000000", "--volume", "D:60000000000:30000000000"});
    Attach("LIGHT4");
    StartAndWaitListed({"LIGHT1", "LIGHT2", "LIGHT3", "LIGHT4"});

    EXPECT_TRUE(WaitUntil([&] { return Lights("LIGHT4") != "value=none shown=unset commands=0"; },
                          "a refresh"));
    EXPECT_EQ(Lights("LIGHT1"), "value=33 shown=unset commands=1");
    EXPECT_EQ(Lights("LIGHT2"), "value=66 shown=unset commands=1");
    EXPECT_EQ(Lights("LIGHT3"), "value=40 shown=unset commands=1")
        << "sums, not the mean of the volumes";
    EXPECT_EQ(Lights("LIGHT4"), "value=0 shown=unset commands=1") << "no volumes gives 0";

    // Later ticks without hot-plug activity send nothing more.
    ASSERT_TRUE(WaitUntil([&] { return ButtonQueries("LIGHT1") >= 3; }, "three more ticks"));
    EXPECT_EQ(Lights("LIGHT1"), "value=33 shown=unset commands=1");
}

TEST_F(PollCycle, HotPlugActivityRefreshesTheLightsOfListedDrives) {
    StartHost();
    Attach("HOT1", {"--volume", "A:100:25"});
    StartAndWaitListed({"HOT1"});
    ASSERT_TRUE(WaitUntil([&] { return Lights("HOT1") == "value=25 shown=unset commands=1"; },
                          "the first refresh"));

    // Messages that ask for nothing.
    CtlOk({"message", "HOT1", "e0000101"});
    CtlOk({"message", "HOT1", "e0000110"});
    CtlOk({"calls", "--clear", "HOT1"});
    ASSERT_TRUE(WaitUntil([&] { return ButtonQueries("HOT1") >= 2; }, "two ticks"));
    EXPECT_EQ(Lights("HOT1"), "value=25 shown=unset commands=1");

    // Any other message asks for a refresh.
    CtlOk({"message", "HOT1", "e0000230"});
    EXPECT_TRUE(WaitUntil([&] { return Lights("HOT1") == "value=25 shown=unset commands=2"; },
                          "a refresh"));

    // So does a block-storage arrival, even of a disk without a bridge.
    Attach("PLAIN1", {"--no-bridge", "--volume", "P:10:5"});
    EXPECT_TRUE(WaitUntil([&] { return Lights("HOT1") == "value=25 shown=unset commands=3"; },
                          "a refresh"));
    EXPECT_EQ(Watchers("PLAIN1"), 0);
}

TEST_F(PollCycle, PressWithoutAppNameLeavesTheLaunchFileAndLogsOnce) {
    StartHost();
    Attach("NOAPP1", {"--volume", "Data:100:50"});
    StartAndWaitListed({"NOAPP1"});

    CtlOk({"press", "NOAPP1"});
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(LaunchFile()); }, "the launch file is written"));
    CtlOk({"calls", "--clear", "NOAPP1"});
    ASSERT_TRUE(
        WaitUntil([&] { return ButtonQueries("NOAPP1") >= 2; }, "buttons are polled again"));

    EXPECT_EQ(ReadFile(LaunchFile()), "NOAPP1\r\nData\r\n");
    EXPECT_EQ(PressLogCount(), 1);
    EXPECT_EQ(LogLines().size(), 1u) << "nothing else is logged";
}

TEST_F(PollCycle, EndFileEndsTheBackupAndTheDriveShowsItsLights) {
    UseSampleApplication("end", 0.3);
    StartHost();
    Attach("END1", {"--volume", "Data:200:50"});
    StartAndWaitListed({"END1"});

    CtlOk({"press", "END1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("wrote"); },
                          "the backup application writes the end file"));
    ASSERT_TRUE(WaitUntil([&] { return !fs::exists(EndFile()) && !fs::exists(LaunchFile()); },
                          "both hand-off files are deleted"));
    EXPECT_TRUE(WaitUntil([&] { return Lights("END1").rfind("value=25 shown=on", 0) == 0; },
                          "lights shown"));
    EXPECT_TRUE(BackupLogSays("drive serial \"END1\", volumes: Data"));
    EXPECT_EQ(PressLogCount(), 1);
}

TEST_F(PollCycle, EndOfBackupShowsLightsThenPollsButtonsAgain) {
    UseSampleApplication("stay", 0.1);
    StartHost();
    Attach("AGAIN1", {"--volume", "Data:100:10"});
    StartAndWaitListed({"AGAIN1"});

    CtlOk({"press", "AGAIN1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("staying up"); }, "the backup runs"));
    CtlOk({"calls", "--clear", "AGAIN1"});
    WriteFile(EndFile(), "done");
    ASSERT_TRUE(WaitUntil([&] { return !fs::exists(EndFile()); }, "the end file is taken"));
    ASSERT_TRUE(
        WaitUntil([&] { return ButtonQueries("AGAIN1") >= 1; }, "buttons are polled again"));

    std::vector<std::string> calls = Calls("AGAIN1");
    std::vector<std::string> expected = {"open", "selector 0", "selector 3", "selector 1", "close",
                                         "open", "selector 0", "selector 2", "selector 1", "close"};
    ASSERT_GE(calls.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + expected.size()), expected);
    EXPECT_EQ(Lights("AGAIN1").substr(0, 17), "value=10 shown=on");
    // The application keeps running: the end file alone ended the tracking.
    for (pid_t pid : BackupPids())
        kill(pid, SIGTERM);
}

TEST_F(PollCycle, StaleEndFileIsClearedBeforeThePressAndDoesNotEndTheNewBackup) {
    UseSampleApplication("stay", 0.1);
    StartHost();
    Attach("STALE1", {"--volume", "Data:100:50"});
    StartAndWaitListed({"STALE1"});
    WriteFile(EndFile(), "left over");

    CtlOk({"press", "STALE1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("staying up"); }, "the backup runs"));
    EXPECT_FALSE(fs::exists(EndFile()));
    CtlOk({"calls", "--clear", "STALE1"});
    for (int i = 0; i < 2; ++i) {
        std::string before = Lights("STALE1");
        CtlOk({"message", "STALE1", "e0000230"});
        ASSERT_TRUE(WaitUntil([&] { return Lights("STALE1") != before; }, "a tick"));
    }
    EXPECT_EQ(ButtonQueries("STALE1"), 0) << "the backup is still tracked";
    EXPECT_TRUE(fs::exists(LaunchFile()));
    for (pid_t pid : BackupPids())
        kill(pid, SIGTERM);
}

TEST_F(PollCycle, ApplicationPathIsResolvedAtEachPress) {
    fs::path later = mHome / "Applications" / "Later.app";
    WriteAppNamePreference("<string>" + later.string() + "</string>");
    mWorld.Set("TVB_BACKUP_MODE", "end");
    mWorld.Set("TVB_BACKUP_SECONDS", "0.1");
    StartHost();
    Attach("LATER1", {"--volume", "Data:100:50"});
    StartAndWaitListed({"LATER1"});

    // Installed after start: the press still finds it.
    fs::create_directories(later.parent_path());
    fs::copy(TVB_SAMPLE_APP_BUNDLE, later, fs::copy_options::recursive);
    CtlOk({"press", "LATER1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("wrote"); }, "the backup runs and ends"));
    ASSERT_TRUE(WaitUntil([&] { return !fs::exists(LaunchFile()); }, "the hand-off files go"));

    // Removed again: the next press leaves its launch file and nothing is tracked.
    fs::remove_all(later);
    CtlOk({"press", "LATER1"});
    ASSERT_TRUE(WaitUntil([&] { return PressLogCount() == 2 && fs::exists(LaunchFile()); },
                          "the second press"));
    CtlOk({"press", "LATER1"});
    EXPECT_TRUE(WaitUntil([&] { return PressLogCount() == 3; },
                          "buttons are polled, so a third press is seen"));
}

class PollCycleEndedByQuit : public PollCycle, public ::testing::WithParamInterface<std::string> {};

TEST_P(PollCycleEndedByQuit, BackupEndsWhenTheApplicationIsGoneWithoutEndFile) {
    UseSampleApplication(GetParam(), 0.2);
    StartHost();
    Attach("QUIT2", {"--volume", "Data:100:75"});
    StartAndWaitListed({"QUIT2"});

    CtlOk({"press", "QUIT2"});
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(LaunchFile()); }, "the launch file is written"));
    ASSERT_TRUE(WaitUntil([&] { return !fs::exists(LaunchFile()); },
                          "the backup ends and the launch file goes"));
    EXPECT_TRUE(WaitUntil([&] { return Lights("QUIT2").rfind("value=75 shown=on", 0) == 0; },
                          "lights shown"));
    EXPECT_TRUE(mPoller.Running());
}

INSTANTIATE_TEST_SUITE_P(Modes, PollCycleEndedByQuit, ::testing::Values("quit", "crash"));

TEST_F(PollCycle, NoButtonIsQueriedWhileABackupIsTracked) {
    UseSampleApplication("stay", 0.1);
    StartHost();
    Attach("TRACK1", {"--volume", "Data:100:50"});
    Attach("TRACK2", {"--volume", "Other:100:50"});
    StartAndWaitListed({"TRACK1", "TRACK2"});

    CtlOk({"press", "TRACK1"});
    ASSERT_TRUE(WaitUntil([&] { return BackupLogSays("staying up"); }, "the backup runs"));
    CtlOk({"calls", "--clear", "TRACK1"});
    CtlOk({"calls", "--clear", "TRACK2"});
    // Hot-plug activity still refreshes lights while buttons rest: count ticks by it.
    for (int i = 0; i < 3; ++i) {
        std::string before = Lights("TRACK2");
        CtlOk({"message", "TRACK2", "e0000230"});
        ASSERT_TRUE(WaitUntil([&] { return Lights("TRACK2") != before; }, "a tick"));
    }
    EXPECT_EQ(ButtonQueries("TRACK1"), 0);
    EXPECT_EQ(ButtonQueries("TRACK2"), 0);

    std::vector<pid_t> pids = BackupPids();
    ASSERT_EQ(pids.size(), 1u);
    kill(pids[0], SIGTERM);
    EXPECT_TRUE(
        WaitUntil([&] { return ButtonQueries("TRACK2") >= 1; }, "buttons are polled again"));
}

TEST_F(PollCycle, TwoPressesBeforeOneTickEndWithTheSecondDrive) {
    UseSampleApplication("stay", 0.1);
    StartHost();
    Attach("FIRST1", {"--volume", "One:100:20"});
    Attach("SECOND", {"--volume", "Two:100:80"});
    // Pressed before the poller starts, so the first tick sees both.
    CtlOk({"press", "FIRST1"});
    CtlOk({"press", "SECOND"});
    StartAndWaitListed({"FIRST1", "SECOND"});

    // The second open hands the file to the copy the first one started, or, when that copy
    // looked between the deletion and the new write and found no launch file, starts another.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return BackupLogSays("opened " + LaunchFile().string()) ||
                   BackupLogSays("cannot read the launch file");
        },
        "the second open reaches a backup application"));
    ASSERT_TRUE(
        WaitUntil([&] { return BackupLogSays("\"SECOND\""); }, "the second launch file is read"));
    EXPECT_EQ(ReadFile(LaunchFile()), "SECOND\r\nTwo\r\n");
    EXPECT_EQ(PressLogCount(), 2);

    for (pid_t pid : BackupPids())
        kill(pid, SIGTERM);
    ASSERT_TRUE(WaitUntil([&] { return !fs::exists(LaunchFile()); }, "the backup ends"));
    EXPECT_TRUE(WaitUntil([&] { return Lights("SECOND").rfind("value=80 shown=on", 0) == 0; },
                          "lights shown"));
    EXPECT_EQ(Lights("FIRST1").find("shown=on"), std::string::npos);
}

struct LaunchBytesCase {
    std::string name;
    std::vector<std::string> attachOptions;
    std::string expected;
};

// Without it a case prints as its raw bytes: heap addresses and the unset rest of a short
// string's buffer, so test names differ from run to run and memcheck sees uninitialised reads.
void PrintTo(const LaunchBytesCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class PollCycleLaunchBytes : public PollCycle,
                             public ::testing::WithParamInterface<LaunchBytesCase> {};

TEST_P(PollCycleLaunchBytes, LaunchFileHoldsTheBridgeSerialAndVolumeNames) {
    StartHost();
    Attach("BYTES1", GetParam().attachOptions);
    StartAndWaitListed({"BYTES1"});
    CtlOk({"press", "BYTES1"});
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(LaunchFile()) && PressLogCount() == 1; },
                          "the launch file"));
    ASSERT_TRUE(
        WaitUntil([&] { return ReadFile(LaunchFile()) == GetParam().expected; }, "the exact bytes"))
        << "file holds: " << ::testing::PrintToString(ReadFile(LaunchFile()));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PollCycleLaunchBytes,
    ::testing::Values(LaunchBytesCase{"TwoVolumes",
                                      {"--bridge-serial", "0123456789ABCDEF", "--volume", "A:10:5",
                                       "--volume", "B:10:5"},
                                      "0123456789ABCDEF\r\nA\r\nB\r\n"},
                      LaunchBytesCase{"LongSerialCut",
                                      {"--bridge-serial", "0123456789ABCDEFGHIJ"},
                                      "0123456789ABCDEF\r\n"},
                      LaunchBytesCase{"SerialStartingWithNul",
                                      {"--bridge-serial-hex", "00414243000000000000000000000000",
                                       "--volume", "V:10:5"},
                                      "\r\nV\r\n"},
                      LaunchBytesCase{"Utf8Names",
                                      {"--bridge-serial", "XYZ", "--volume",
                                       "Donn\xC3\xA9"
                                       "es:10:5",
                                       "--volume", "\xE5\x86\x99\xE7\x9C\x9F:10:5"},
                                      "XYZ\r\nDonn\xC3\xA9"
                                      "es\r\n\xE5\x86\x99\xE7\x9C\x9F\r\n"},
                      LaunchBytesCase{"OnlyReadableVolumesWithBsdNames",
                                      {"--volume", "Net:10:5:nobsd", "--volume",
                                       "Broken:10:5:unreadable", "--volume", "Ok:10:5"},
                                      "BYTES1\r\nOk\r\n"}),
    [](const ::testing::TestParamInfo<LaunchBytesCase>& info) { return info.param.name; });

} // namespace
} // namespace scenario
