// What the poller says on standard error where the system log is silent, and what it does
// with its command line: --help and --version answer and start nothing, anything else is
// ignored.
#include "Harness.h"

#include <algorithm>
#include <sstream>

using namespace std::chrono_literals;

namespace scenario {
namespace {

class DaemonMessages : public Scenario {
protected:
    // The poller with arguments of its own; its standard output and error go to `output`.
    Process StartPollerWith(const std::vector<std::string>& args, const fs::path& output) {
        return mWorld.StartPoller({}, args, output);
    }
    ProgramResult RunPoller(const std::vector<std::string>& args) {
        return tvbtest::RunProgram(tvbtest::PollerPath(), args, 20000, mWorld.PollerEnv());
    }
    fs::path PollerOutput() const { return mRoot / "poller-stderr.txt"; }
    std::vector<std::string> OutputLines(const std::string& containing) const {
        std::vector<std::string> lines;
        std::istringstream in(ReadFile(PollerOutput()));
        for (std::string line; std::getline(in, line);)
            if (line.find(containing) != std::string::npos)
                lines.push_back(line);
        return lines;
    }
    void StartListed(const std::string& serial, const std::vector<std::string>& args = {}) {
        mPoller = StartPollerWith(args, PollerOutput());
        ASSERT_TRUE(WaitUntil([&] { return Watchers(serial) == 1; }, "the poller lists " + serial));
    }
    int PressLogCount() const {
        const auto lines = LogLines();
        return static_cast<int>(
            std::count(lines.begin(), lines.end(), "6 GeneralMessage:  Polled button press"));
    }
    // Presses twice, each handled to its end (a later tick polls buttons again).
    void PressTwice(const std::string& serial) {
        for (int press = 1; press <= 2; ++press) {
            CtlOk({"press", serial});
            ASSERT_TRUE(WaitUntil([&] { return PressLogCount() >= press; }, "the press is logged"));
            CtlOk({"calls", "--clear", serial});
            ASSERT_TRUE(WaitUntil(
                [&] {
                    auto calls = Calls(serial);
                    return std::count(calls.begin(), calls.end(), "selector 2") >= 2;
                },
                "buttons are polled again"));
        }
    }
};

TEST_F(DaemonMessages, SecondCopyNamesTheRunningOneAndExitsZero) {
    StartHost();
    Attach("MSG-ONCE");
    // Arguments it does not know, as a session may add, change nothing.
    StartListed("MSG-ONCE", {"-psn_0_4711", "--bogus", "-h", "a document"});

    Process second = StartPollerWith({}, mRoot / "second.txt");
    EXPECT_EQ(second.Wait(20s), 0);
    EXPECT_EQ(ReadFile(mRoot / "second.txt"),
              "TarvelleButtonPoller: another copy is already running (pid " +
                  std::to_string(mPoller.Pid()) + "); this one exits\n");
    EXPECT_TRUE(mPoller.Running());
    EXPECT_EQ(Watchers("MSG-ONCE"), 1) << "the second copy must not start device monitoring";
}

TEST_F(DaemonMessages, HelpAndVersionAnswerAndStartNothing) {
    UseSampleApplication();
    WriteFile(LaunchFile(), "stale launch\r\n");
    WriteFile(EndFile(), "stale end");
    StartHost();
    Attach("MSG-HELP");

    ProgramResult help = RunPoller({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: TarvelleButtonPoller [--help | --version]\n", 0), 0u)
        << help.out;
    // The system's own arguments may come first.
    ProgramResult version = RunPoller({"-psn_0_4711", "--version", "--help"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "TarvelleButtonPoller " TVB_VERSION "\n");

    EXPECT_TRUE(fs::exists(LaunchFile()) && fs::exists(EndFile())) << "no start-up clean-up";
    EXPECT_EQ(Watchers("MSG-HELP"), 0);
    EXPECT_TRUE(LogLines().empty());
}

// An answer lost on a full disk or a closed stdout is a failure, not a silent success.
TEST_F(DaemonMessages, HelpAndVersionThatCannotBeWrittenFail) {
    for (const char* script : {"exec \"$0\" --help >/dev/full", "exec \"$0\" --version >&-"}) {
        ProgramResult r = tvbtest::RunProgram("/bin/sh", {"-c", script, tvbtest::PollerPath()},
                                              20000, mWorld.PollerEnv());
        EXPECT_EQ(r.exitCode, 1) << script;
        EXPECT_EQ(r.err.rfind("TarvelleButtonPoller: cannot write the output", 0), 0u) << r.err;
    }
}

// An "AppName" that cannot be used; ROOT in its texts stands for the scenario's folder.
struct UnusableAppName {
    const char* name;
    const char* preferenceXml; // none when empty
    const char* expected;
};

void PrintTo(const UnusableAppName& appName, std::ostream* out) {
    *out << appName.name;
}

std::string WithRoot(std::string text, const fs::path& root) {
    for (size_t at; (at = text.find("ROOT")) != std::string::npos;)
        text.replace(at, 4, root.string());
    return text;
}

class DaemonMessagesAppName : public DaemonMessages,
                              public ::testing::WithParamInterface<UnusableAppName> {};

TEST_P(DaemonMessagesAppName, IsToldOnceForTwoPresses) {
    fs::create_directories(mRoot / "Plain.app"); // a folder, but no bundle
    if (*GetParam().preferenceXml != '\0')
        WriteAppNamePreference(WithRoot(GetParam().preferenceXml, mRoot));
    StartHost();
    Attach("MSG-APP");
    StartListed("MSG-APP");
    PressTwice("MSG-APP");

    std::vector<std::string> told = OutputLines("TarvelleButtonPoller: no backup application: ");
    ASSERT_EQ(told.size(), 1u) << ReadFile(PollerOutput());
    EXPECT_NE(told[0].find(WithRoot(GetParam().expected, mRoot)), std::string::npos) << told[0];
    EXPECT_TRUE(OutputLines("launching").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Problems, DaemonMessagesAppName,
    ::testing::Values(
        UnusableAppName{"Missing", "",
                        "the preferences of \"TotalMedia Backup\" hold no \"AppName\""},
        UnusableAppName{"NotAString", "<integer>42</integer>",
                        "\"AppName\" in the preferences of \"TotalMedia Backup\" is not a string"},
        UnusableAppName{"NoSuchPath", "<string>ROOT/Gone.app</string>",
                        "\"AppName\" names ROOT/Gone.app, which cannot be found"},
        UnusableAppName{"FolderWithoutBundle", "<string>ROOT/Plain.app</string>",
                        "\"AppName\" names ROOT/Plain.app, which is not an application bundle "
                        "(Launch Services status -10814)"}),
    [](const ::testing::TestParamInfo<UnusableAppName>& info) { return info.param.name; });

TEST_F(DaemonMessages, FailedLaunchIsToldWithItsStatusAtEveryPress) {
    // A bundle whose executable the kernel refuses to run.
    const fs::path bundle = mRoot / "Broken.app";
    WriteFile(bundle / "Contents" / "Info.plist",
              "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
              "<string>Broken</string></dict></plist>\n");
    WriteFile(bundle / "Contents" / "MacOS" / "Broken", "not a program\n");
    fs::permissions(bundle / "Contents" / "MacOS" / "Broken", fs::perms::owner_all);
    WriteAppNamePreference("<string>" + bundle.string() + "</string>");
    StartHost();
    Attach("MSG-LAUNCH");
    StartListed("MSG-LAUNCH");
    PressTwice("MSG-LAUNCH");

    const std::string line = "TarvelleButtonPoller: launching the backup application " +
                             bundle.string() + " failed (Launch Services status -10661)";
    EXPECT_EQ(OutputLines("TarvelleButtonPoller: "), (std::vector<std::string>{line, line}));
}

} // namespace
} // namespace scenario
