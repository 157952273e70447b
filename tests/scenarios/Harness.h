// The scenarios' fixture, on tests/support's harness: a scratch world (ScratchWorld) with a real
// device host on its socket (DeviceHost), the real poller bundle and tvbctl, each test with a
// hard time-out. Scenarios drive only the programs, never the stand-ins' internals.
// Ownership: a Scenario owns every process it starts and kills them all when it ends; after a
// failure its files stay, with the host's standard error in devhost.err.
// Threading: the test's thread.
#pragma once

#include <gtest/gtest.h>

#include "DeviceHost.h"
#include "ScratchWorld.h"
#include "TestProcess.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace scenario {

namespace fs = std::filesystem;
using tvbtest::Process;
using tvbtest::ProgramResult;
using tvbtest::ReadFile;
using tvbtest::WriteFile;

class Scenario : public ::testing::Test {
protected:
    Scenario();
    ~Scenario() override;

    static constexpr double kClockScale = tvbtest::ScratchWorld::kClockScale;

    tvbtest::Environment Environment() const { return mWorld.Env(); }
    // Starts the host and waits (bounded) until it listens.
    void StartHost();
    void StopHost(int signal);
    Process StartPoller(const tvbtest::Environment& extraEnv = {}) const {
        return mWorld.StartPoller(extraEnv);
    }
    void StartMainPoller(const tvbtest::Environment& extraEnv = {});

    ProgramResult Ctl(const std::vector<std::string>& args) { return mHost.Ctl(args); }
    std::string CtlOk(const std::vector<std::string>& args);
    std::string Attach(const std::string& serial, const std::vector<std::string>& options = {});
    int Watchers(const std::string& serial);
    std::vector<std::string> Calls(const std::string& serial);
    std::string Lights(const std::string& serial);

    void WriteAppNamePreference(const std::string& valueXml) {
        mWorld.WriteAppNamePreference(valueXml);
    }
    void UseSampleApplication(const std::string& mode = "end", double seconds = 0.2) {
        mWorld.UseSampleApplication(mode, seconds);
    }
    fs::path HandOffFolder() const { return mWorld.HandOffFolder(); }
    fs::path LaunchFile() const { return HandOffFolder() / "LaunchBackup"; }
    fs::path EndFile() const { return HandOffFolder() / "EndBackup"; }
    std::vector<std::string> LogLines() const { return mWorld.SyslogLines(); }
    std::string BackupLog() const { return mWorld.BackupLog(); }
    bool BackupLogSays(const std::string& text) const {
        return BackupLog().find(text) != std::string::npos;
    }
    // The sample application's copies that have started, in order, from its log.
    std::vector<pid_t> BackupPids() const;

    // Polls the condition (the outside world offers no event to wait on) until it
    // holds or the time runs out; the failure message names what was awaited.
    ::testing::AssertionResult
    WaitUntil(const std::function<bool()>& condition, const std::string& what,
              std::chrono::milliseconds timeout = std::chrono::seconds(20));

    tvbtest::ScratchWorld mWorld{"scenario"};
    const fs::path mRoot = mWorld.Root();
    const fs::path mHome = mWorld.Home();
    const fs::path mSocket = mWorld.Socket();
    tvbtest::DeviceHost mHost{mSocket.string(), {}, mWorld.Env()};
    Process mPoller;
};

} // namespace scenario
