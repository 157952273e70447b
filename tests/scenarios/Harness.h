// Process-level scenario harness: a scratch home, a real device host on its own
// socket, the real poller bundle and tvbctl, each test with a hard time-out.
// Ownership: a Scenario owns every process it starts and kills them all when it ends.
#pragma once

#include <gtest/gtest.h>

#include "TestProcess.h"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace scenario {

namespace fs = std::filesystem;
using tvbtest::CommandResult;
using tvbtest::Process;
using tvbtest::ReadFile;
using tvbtest::Run;
using tvbtest::WriteFile;

class Scenario : public ::testing::Test {
protected:
    Scenario();
    ~Scenario() override;

    // Clock speed-up of the platform stand-ins for the poller (its 5 s / 3 s ticks).
    static constexpr double kClockScale = 10.0;

    std::map<std::string, std::string> Environment() const;
    void StartHost();
    void StopHost(int signal);
    Process StartPoller(const std::map<std::string, std::string>& extraEnv = {});
    void StartMainPoller(const std::map<std::string, std::string>& extraEnv = {});

    CommandResult Ctl(const std::vector<std::string>& args);
    std::string CtlOk(const std::vector<std::string>& args);
    std::string Attach(const std::string& serial, const std::vector<std::string>& options = {});
    int Watchers(const std::string& serial);
    std::vector<std::string> Calls(const std::string& serial);
    std::string Lights(const std::string& serial);

    // "AppName" in the backup application's preferences, as an XML property list.
    void WriteAppNamePreference(const std::string& valueXml);
    void UseSampleApplication(const std::string& mode = "end", double seconds = 0.2);
    fs::path HandOffFolder() const { return mHome / "Documents" / "For Button Manage"; }
    fs::path LaunchFile() const { return HandOffFolder() / "LaunchBackup"; }
    fs::path EndFile() const { return HandOffFolder() / "EndBackup"; }
    std::vector<std::string> LogLines() const;
    std::string BackupLog() const { return ReadFile(mRoot / "backup.log"); }

    // Polls the condition (the outside world offers no event to wait on) until it
    // holds or the time runs out; the failure message names what was awaited.
    ::testing::AssertionResult
    WaitUntil(const std::function<bool()>& condition, const std::string& what,
              std::chrono::milliseconds timeout = std::chrono::seconds(20));

    fs::path mRoot;
    fs::path mHome;
    fs::path mSocket;
    fs::path mSyslog;
    Process mHost;
    Process mPoller;
    std::map<std::string, std::string> mExtraEnv;
};

} // namespace scenario
