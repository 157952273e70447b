// The Process Manager against real processes: the built fixture bundle, copies of it in bundles
// made by hand, and programs that are not in a bundle at all. Other tests may run at the same
// time, so walks look for the test's own processes and never count the whole list.
#include "SysTestSupport.h"

#include <Carbon/Carbon.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/prctl.h>

namespace {

using namespace tvb::systest;

constexpr int kWalkLimit = 1 << 20; // far beyond any real process table

// Every application process in one walk, in the order given.
std::vector<pid_t> Walk() {
    std::vector<pid_t> pids;
    ProcessSerialNumber psn = {0, kNoProcess};
    for (int i = 0; i < kWalkLimit; ++i) {
        OSErr err = GetNextProcess(&psn);
        if (err != noErr) {
            EXPECT_EQ(procNotFound, err);
            EXPECT_EQ(0u, psn.highLongOfPSN);
            EXPECT_EQ(static_cast<UInt32>(kNoProcess), psn.lowLongOfPSN);
            return pids;
        }
        EXPECT_EQ(0u, psn.highLongOfPSN);
        pids.push_back(static_cast<pid_t>(psn.lowLongOfPSN));
    }
    ADD_FAILURE() << "the walk never ended";
    return pids;
}

bool Listed(pid_t pid) {
    std::vector<pid_t> pids = Walk();
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

ProcessInfoRec EmptyInfo() {
    ProcessInfoRec info;
    std::memset(&info, 0, sizeof info);
    info.processInfoLength = sizeof info;
    return info;
}

ProcessSerialNumber PSNFor(pid_t pid) {
    return {0, static_cast<UInt32>(pid)};
}

// The creator code the Process Manager gives the process; 0 when it gives none.
OSType SignatureOf(pid_t pid) {
    ProcessInfoRec info = EmptyInfo();
    ProcessSerialNumber psn = PSNFor(pid);
    EXPECT_EQ(noErr, GetProcessInformation(&psn, &info)) << pid;
    return info.processSignature;
}

// The bundle the Process Manager places the process in; empty when it places it nowhere.
std::string BundleOf(pid_t pid) {
    ProcessInfoRec info = EmptyInfo();
    FSRef location;
    info.processAppSpec = &location;
    ProcessSerialNumber psn = PSNFor(pid);
    char path[4096];
    if (GetProcessInformation(&psn, &info) != noErr ||
        FSRefMakePath(&location, reinterpret_cast<UInt8*>(path), sizeof path) != noErr)
        return std::string();
    return path;
}

// A copy of the fixture executable inside a bundle made in a scratch folder.
std::string CopiedApp(const ScratchDir& dir, const std::string& bundleName, BundleSpec layout) {
    layout.executableFrom = FixtureExecutable();
    layout.executableName = "app";
    MakeBundle(dir / bundleName, layout);
    return dir / (bundleName + "/Contents/MacOS/app");
}

TEST(ProcessesTest, BundleProcessIsListedWithItsCreatorCodeUntilItExits) {
    ChildProcess app;
    ASSERT_TRUE(app.Start(FixtureExecutable()));
    ASSERT_TRUE(Listed(app.pid()));

    ProcessInfoRec info = EmptyInfo();
    Str31 name;
    FSRef location;
    info.processName = name;
    info.processAppSpec = &location;
    ProcessSerialNumber psn = PSNFor(app.pid());
    ASSERT_EQ(noErr, GetProcessInformation(&psn, &info));
    EXPECT_EQ(sizeof info, info.processInfoLength);
    EXPECT_EQ(FourCC("TvFx"), info.processSignature);
    EXPECT_EQ(FourCC("APPL"), info.processType);
    EXPECT_EQ(static_cast<UInt32>(app.pid()), info.processNumber.lowLongOfPSN);
    EXPECT_EQ("TvbFixture", std::string(reinterpret_cast<char*>(name + 1), name[0]));
    char path[4096];
    ASSERT_EQ(noErr, FSRefMakePath(&location, reinterpret_cast<UInt8*>(path), sizeof path));
    EXPECT_EQ(FixtureBundle(), path);
    // Started by this test program, which is not an application.
    EXPECT_EQ(static_cast<UInt32>(kNoProcess), info.processLauncher.lowLongOfPSN);

    pid_t pid = 0;
    EXPECT_EQ(noErr, GetProcessPID(&psn, &pid));
    EXPECT_EQ(app.pid(), pid);
    ProcessSerialNumber back;
    EXPECT_EQ(noErr, GetProcessForPID(app.pid(), &back));
    EXPECT_EQ(psn.lowLongOfPSN, back.lowLongOfPSN);

    pid_t gone = app.pid();
    app.Stop();
    EXPECT_FALSE(Listed(gone));
    EXPECT_EQ(procNotFound, GetProcessForPID(gone, &back));
    ProcessSerialNumber stale = PSNFor(gone);
    info = EmptyInfo();
    EXPECT_EQ(procNotFound, GetProcessInformation(&stale, &info));
}

TEST(ProcessesTest, WalkRunsInPidOrderAndEndsWithProcNotFound) {
    ChildProcess first, second;
    ASSERT_TRUE(first.Start(FixtureExecutable()));
    ASSERT_TRUE(second.Start(FixtureExecutable()));
    std::vector<pid_t> pids = Walk();
    ASSERT_FALSE(pids.empty()); // the last one is looked at below
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));
    EXPECT_EQ(pids.end(), std::adjacent_find(pids.begin(), pids.end()));
    EXPECT_NE(pids.end(), std::find(pids.begin(), pids.end(), first.pid()));
    EXPECT_NE(pids.end(), std::find(pids.begin(), pids.end(), second.pid()));

    // Starting after the last one ends at once.
    ProcessSerialNumber last = PSNFor(pids.back());
    EXPECT_EQ(procNotFound, GetNextProcess(&last));
    EXPECT_EQ(paramErr, GetNextProcess(nullptr));
}

TEST(ProcessesTest, ProgramsOutsideApplicationBundlesAreNotListed) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "plain");
    std::filesystem::copy_file(FixtureExecutable(), dir / "plain/app");
    std::string notAnApp = CopiedApp(dir, "Thing.bundle", {});
    std::string notInMacOS = dir / "Loose.app/app";
    std::filesystem::create_directories(dir / "Loose.app");
    std::filesystem::copy_file(FixtureExecutable(), notInMacOS);
    std::string noName = CopiedApp(dir, ".app", {});

    ChildProcess sleeper, plain, bundle, loose, unnamed;
    ASSERT_TRUE(sleeper.Start("/bin/sleep", {"60"}));
    ASSERT_TRUE(plain.Start(dir / "plain/app"));
    ASSERT_TRUE(bundle.Start(notAnApp));
    ASSERT_TRUE(loose.Start(notInMacOS));
    ASSERT_TRUE(unnamed.Start(noName));

    std::vector<pid_t> pids = Walk();
    ProcessSerialNumber psn;
    for (ChildProcess* child : {&sleeper, &plain, &bundle, &loose, &unnamed}) {
        EXPECT_EQ(pids.end(), std::find(pids.begin(), pids.end(), child->pid()));
        EXPECT_EQ(procNotFound, GetProcessForPID(child->pid(), &psn));
    }
}

TEST(ProcessesTest, BundleWithoutCodesGivesQuestionMarksAndInnermostBundleCounts) {
    ScratchDir dir;
    std::string bare = CopiedApp(dir, "Bare.app", {});
    // A bundle nested in another one's executable folder is its own application.
    std::string inner =
        CopiedApp(dir, "Outer.app/Contents/MacOS/Inner.app",
                  {InfoPlist({{"CFBundleSignature", "Innr"}, {"CFBundlePackageType", "APPL"}}),
                   std::nullopt, std::nullopt, ""});
    ChildProcess bareApp, innerApp;
    ASSERT_TRUE(bareApp.Start(bare));
    ASSERT_TRUE(innerApp.Start(inner));

    EXPECT_EQ(0x3F3F3F3Fu, SignatureOf(bareApp.pid()));

    ProcessInfoRec info = EmptyInfo();
    Str31 name;
    info.processName = name;
    ProcessSerialNumber psn = PSNFor(innerApp.pid());
    ASSERT_EQ(noErr, GetProcessInformation(&psn, &info));
    EXPECT_EQ(FourCC("Innr"), info.processSignature);
    EXPECT_EQ("Inner", std::string(reinterpret_cast<char*>(name + 1), name[0]));
}

TEST(ProcessesTest, ProcessExitingMidWalkDoesNotEndTheWalk) {
    ChildProcess a, b;
    ASSERT_TRUE(a.Start(FixtureExecutable()));
    ASSERT_TRUE(b.Start(FixtureExecutable()));
    ChildProcess& early = a.pid() < b.pid() ? a : b;
    ChildProcess& late = a.pid() < b.pid() ? b : a;
    pid_t earlyPid = early.pid();

    ProcessSerialNumber psn = {0, kNoProcess};
    bool sawLate = false;
    for (int i = 0; i < kWalkLimit && GetNextProcess(&psn) == noErr; ++i) {
        ProcessInfoRec info = EmptyInfo();
        if (psn.lowLongOfPSN == static_cast<UInt32>(earlyPid)) {
            // It quits between the two calls of a walk step...
            early.Stop();
            // ...and the caller still learns what it was shown.
            ASSERT_EQ(noErr, GetProcessInformation(&psn, &info));
            EXPECT_EQ(FourCC("TvFx"), info.processSignature);
            continue;
        }
        ASSERT_EQ(noErr, GetProcessInformation(&psn, &info));
        if (psn.lowLongOfPSN == static_cast<UInt32>(late.pid()))
            sawLate = true;
    }
    EXPECT_TRUE(sawLate);

    // Once the walk has moved on, the exited process is simply unknown.
    ProcessSerialNumber stale = PSNFor(earlyPid);
    ProcessInfoRec info = EmptyInfo();
    EXPECT_EQ(procNotFound, GetProcessInformation(&stale, &info));
    // A walk may also continue from a process that no longer exists.
    EXPECT_EQ(noErr, GetNextProcess(&stale));
    EXPECT_GT(stale.lowLongOfPSN, static_cast<UInt32>(earlyPid));
}

TEST(ProcessesTest, ReplacedExecutableStillCountsAsItsBundle) {
    ScratchDir dir;
    std::string exe =
        CopiedApp(dir, "Moved.app",
                  {InfoPlist({{"CFBundleSignature", "Mvd1"}}), std::nullopt, std::nullopt, ""});
    ChildProcess app;
    ASSERT_TRUE(app.Start(exe));
    ASSERT_EQ(0, unlink(exe.c_str())); // as when the application is rebuilt while it runs
    EXPECT_EQ(FourCC("Mvd1"), SignatureOf(app.pid()));
}

TEST(ProcessesTest, SignatureIsTheOneItsBundleHadWhenTheProcessStarted) {
    ScratchDir dir;
    std::string exe =
        CopiedApp(dir, "Edited.app",
                  {InfoPlist({{"CFBundleSignature", "Old1"}}), std::nullopt, std::nullopt, ""});
    ChildProcess before;
    ASSERT_TRUE(before.Start(exe));
    EXPECT_EQ(FourCC("Old1"), SignatureOf(before.pid()));
    WriteFile(dir / "Edited.app/Contents/Info.plist", InfoPlist({{"CFBundleSignature", "New1"}}));
    EXPECT_EQ(FourCC("Old1"), SignatureOf(before.pid()));
    // A process started from the edited bundle has the new one.
    ChildProcess after;
    ASSERT_TRUE(after.Start(exe));
    EXPECT_EQ(FourCC("New1"), SignatureOf(after.pid()));
}

// Starts a copy of the fixture that stays and returns once it runs (has reported), with
// TVB_FIXTURE_UNDUMPABLE set when undumpable.
void StartReporting(ChildProcess& child, const ScratchDir& dir, const std::string& path,
                    const std::vector<std::string>& args, bool undumpable = false) {
    ReportPipe pipe(dir / "report");
    ScopedEnv report("TVB_FIXTURE_REPORT", pipe.path().c_str());
    ScopedEnv stay("TVB_FIXTURE_STAY", "1");
    std::optional<ScopedEnv> hide;
    if (undumpable)
        hide.emplace("TVB_FIXTURE_UNDUMPABLE", "1");
    ASSERT_TRUE(child.Start(path, args));
    ASSERT_TRUE(pipe.Read().has_value());
    std::filesystem::remove(pipe.path());
}

// A bundle's executable may be a symbolic link to a program elsewhere, in another bundle or
// in none: its process was started by the bundle's path and is that bundle's application. A
// program that only claims that path as its name is not.
TEST(ProcessesTest, ProcessStartedThroughALinkInABundleCountsAsThatBundle) {
    ScratchDir dir;
    std::string outside = dir / "plain/program";
    std::string other = dir / "plain/other";
    for (const std::string& copy : {outside, other})
        WriteFile(copy, ReadFile(FixtureExecutable()), 0755);
    std::string links[2];
    for (int i = 0; i < 2; ++i) {
        std::string name = i == 0 ? "LinkIn" : "LinkOut";
        MakeBundle(dir / (name + ".app"),
                   {InfoPlist({{"CFBundleSignature", i == 0 ? "LkIn" : "LkOt"},
                               {"CFBundleExecutable", "app"}}),
                    std::nullopt, std::nullopt, ""});
        links[i] = dir / (name + ".app/Contents/MacOS/app");
        ASSERT_EQ(
            0, symlink(i == 0 ? FixtureExecutable().c_str() : outside.c_str(), links[i].c_str()));
    }
    ChildProcess intoBundle, outOfBundle, claimer;
    ASSERT_TRUE(intoBundle.Start(links[0]));
    ASSERT_TRUE(outOfBundle.Start(links[1]));
    StartReporting(claimer, dir, "/bin/bash", {"-c", "exec -a \"$0\" \"$1\"", links[1], other});

    EXPECT_EQ(FourCC("LkIn"), SignatureOf(intoBundle.pid()));
    ASSERT_TRUE(Listed(outOfBundle.pid()));
    EXPECT_EQ(FourCC("LkOt"), SignatureOf(outOfBundle.pid()));
    EXPECT_EQ(dir / "LinkOut.app", BundleOf(outOfBundle.pid()));
    EXPECT_FALSE(Listed(claimer.pid()));
}

// A process that made itself undumpable (as set-id and capable programs are) hides its
// executable; it is still the user's application. Root sees every executable: as root, the
// check runs in a child that has become nobody.
void ExpectUndumpableProcessListed() {
    ScratchDir dir;
    std::string exe =
        CopiedApp(dir, "Hidden.app",
                  {InfoPlist({{"CFBundleSignature", "Hidn"}}), std::nullopt, std::nullopt, ""});
    ChildProcess app;
    StartReporting(app, dir, exe, {}, true);
    char target[16];
    ASSERT_LT(
        readlink(("/proc/" + std::to_string(app.pid()) + "/exe").c_str(), target, sizeof target),
        0);
    ASSERT_TRUE(Listed(app.pid()));
    EXPECT_EQ(FourCC("Hidn"), SignatureOf(app.pid()));
}

TEST(ProcessesTest, UndumpableProcessIsStillListedAsItsBundle) {
    if (geteuid() != 0) {
        ExpectUndumpableProcessListed();
        return;
    }
    constexpr uid_t kNobody = 65534;
    pid_t child = fork();
    ASSERT_LE(0, child);
    if (child == 0) {
        alarm(30);
        if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
            setresuid(kNobody, kNobody, kNobody) != 0)
            _exit(2);
        ExpectUndumpableProcessListed();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "the check as nobody died: " << status;
    EXPECT_NE(2, WEXITSTATUS(status)) << "could not become nobody";
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the check failed as nobody (its output is above)";
}

// A script bundle's process is its interpreter; the script it runs makes it the bundle's.
class ScriptBundleTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ScriptBundleTest, ScriptRunByItsInterpreterCountsAsItsBundle) {
    ScratchDir dir;
    std::string bundle =
        MakeBundle(dir / "Script.app",
                   {InfoPlist({{"CFBundleExecutable", "run"}, {"CFBundleSignature", "TvSc"}}),
                    std::nullopt, std::nullopt, ""});
    std::string script = bundle + "/Contents/MacOS/run";
    WriteFile(script, GetParam() + "\nread line < \"$1\"\n", 0755);
    std::string hold = dir / "hold"; // never written: the script waits for good
    ASSERT_EQ(0, mkfifo(hold.c_str(), 0600));
    ChildProcess app;
    ASSERT_TRUE(app.Start(script, {hold}));

    ASSERT_TRUE(Listed(app.pid()));
    EXPECT_EQ(FourCC("TvSc"), SignatureOf(app.pid()));
    EXPECT_EQ(bundle, BundleOf(app.pid()));

    // A program that merely names the script is not the application.
    ChildProcess reader;
    ASSERT_TRUE(reader.Start("/usr/bin/tail", {"-f", script}));
    EXPECT_FALSE(Listed(reader.pid()));
}

INSTANTIATE_TEST_SUITE_P(Interpreters, ScriptBundleTest,
                         ::testing::Values("#!/bin/sh", "#! /bin/sh -e", "#!/usr/bin/env sh"));

TEST(ProcessesTest, OtherUsersProcessesAreNotListed) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to start a process as another user";
    ScratchDir dir;
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
    std::string exe = CopiedApp(dir, "Foreign.app", {});
    ChildProcess foreign, own;
    ASSERT_TRUE(foreign.Start(exe, {}, uid_t{65534}));
    ASSERT_TRUE(own.Start(exe));
    std::vector<pid_t> pids = Walk();
    EXPECT_EQ(pids.end(), std::find(pids.begin(), pids.end(), foreign.pid()));
    EXPECT_NE(pids.end(), std::find(pids.begin(), pids.end(), own.pid()));
}

TEST(ProcessesTest, LongNamesAreCutToThirtyOneBytesOnACharacterBoundary) {
    ScratchDir dir;
    // 30 ASCII bytes, then a two-byte character that would straddle the limit.
    std::string longName = std::string(30, 'n') + "\xC3\xA9tail";
    std::string exe = CopiedApp(dir, longName + ".app", {});
    ChildProcess app;
    ASSERT_TRUE(app.Start(exe));
    ProcessInfoRec info = EmptyInfo();
    Str31 name;
    std::memset(name, 0xEE, sizeof name);
    info.processName = name;
    ProcessSerialNumber psn = PSNFor(app.pid());
    ASSERT_EQ(noErr, GetProcessInformation(&psn, &info));
    EXPECT_EQ(30, name[0]);
    EXPECT_EQ(std::string(30, 'n'), std::string(reinterpret_cast<char*>(name + 1), name[0]));
}

TEST(ProcessesTest, InformationChecksItsArguments) {
    ProcessSerialNumber current = {0, kCurrentProcess};
    ProcessInfoRec info = EmptyInfo();
    EXPECT_EQ(paramErr, GetProcessInformation(nullptr, &info));
    EXPECT_EQ(paramErr, GetProcessInformation(&current, nullptr));
    info.processInfoLength = sizeof info - 1;
    EXPECT_EQ(paramErr, GetProcessInformation(&current, &info));
    info.processInfoLength = 0;
    EXPECT_EQ(paramErr, GetProcessInformation(&current, &info));

    info = EmptyInfo();
    ProcessSerialNumber system = {0, kSystemProcess};
    EXPECT_EQ(procNotFound, GetProcessInformation(&system, &info));
    ProcessSerialNumber odd = {1, static_cast<UInt32>(getpid())};
    EXPECT_EQ(procNotFound, GetProcessInformation(&odd, &info));
    pid_t pid = 0;
    EXPECT_EQ(paramErr, GetProcessPID(nullptr, &pid));
    EXPECT_EQ(paramErr, GetProcessForPID(getpid(), nullptr));
}

TEST(ProcessesTest, CurrentProcessIsKnownEvenOutsideABundle) {
    ProcessSerialNumber self;
    ASSERT_EQ(noErr, GetCurrentProcess(&self));
    EXPECT_EQ(0u, self.highLongOfPSN);
    EXPECT_EQ(static_cast<UInt32>(getpid()), self.lowLongOfPSN);
    EXPECT_EQ(paramErr, GetCurrentProcess(nullptr));

    ProcessSerialNumber current = {0, kCurrentProcess};
    Boolean same = false;
    ASSERT_EQ(noErr, SameProcess(&self, &current, &same));
    EXPECT_TRUE(same);
    ProcessSerialNumber other = {0, static_cast<UInt32>(getppid())};
    ASSERT_EQ(noErr, SameProcess(&self, &other, &same));
    EXPECT_FALSE(same);
    EXPECT_EQ(paramErr, SameProcess(&self, nullptr, &same));

    ProcessInfoRec info = EmptyInfo();
    Str31 name;
    info.processName = name;
    ASSERT_EQ(noErr, GetProcessInformation(&current, &info));
    EXPECT_EQ(static_cast<UInt32>(getpid()), info.processNumber.lowLongOfPSN);
    EXPECT_EQ(0x3F3F3F3Fu, info.processSignature);
    EXPECT_GT(name[0], 0);

    pid_t pid = 0;
    ASSERT_EQ(noErr, GetProcessPID(&current, &pid));
    EXPECT_EQ(getpid(), pid);
    // This test program is not an application, so walks never show it.
    EXPECT_FALSE(Listed(getpid()));
}

// A process names itself as it likes, newlines and parentheses included.
TEST(ProcessesTest, ProcessWhoseNameHoldsANewlineIsStillKnown) {
    char saved[16] = {};
    ASSERT_EQ(0, prctl(PR_GET_NAME, saved));
    const char odd[] = "tvb\n(x) y)";
    ASSERT_EQ(0, prctl(PR_SET_NAME, odd));
    ProcessSerialNumber current = {0, kCurrentProcess};
    ProcessInfoRec info = EmptyInfo();
    Str31 name;
    info.processName = name;
    OSErr err = GetProcessInformation(&current, &info);
    prctl(PR_SET_NAME, saved);
    ASSERT_EQ(noErr, err);
    EXPECT_EQ(odd, std::string(reinterpret_cast<char*>(name + 1), name[0]));
    EXPECT_EQ(static_cast<UInt32>(getpid()), info.processNumber.lowLongOfPSN);
}

} // namespace
