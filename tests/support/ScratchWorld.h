// A scratch world for tests that run the poller bundle or the sample backup application: a
// fresh folder with the user's home, XDG folders, the device host's socket path, the syslog
// capture and the backup log, and the environment that points the programs at them.
// Ownership: a ScratchWorld owns its folder (removed when it ends unless Keep() was called) and
// kills the sample backup application's copies its backup log names and that still run, as those
// run detached. Processes it starts belong to the caller.
// Threading: one test thread.
#pragma once

#include "TestProcess.h"

#include <string>
#include <vector>

namespace tvbtest {

class ScratchWorld {
public:
    explicit ScratchWorld(const std::string& tag = "world");
    ~ScratchWorld();
    ScratchWorld(const ScratchWorld&) = delete;
    ScratchWorld& operator=(const ScratchWorld&) = delete;

    // Clock speed-up of the stand-ins for the poller (its 5 s / 3 s ticks).
    static constexpr double kClockScale = 10.0;

    const fs::path& Root() const { return mRoot; }
    fs::path Home() const { return mRoot / "home"; }
    fs::path Socket() const { return mRoot / "devhost.sock"; }
    fs::path SyslogFile() const { return mRoot / "syslog.txt"; }
    fs::path BackupLogFile() const { return mRoot / "backup.log"; }
    // Where StartPoller sends the poller's standard output and error.
    fs::path PollerOutputFile() const { return mRoot / "poller.out"; }

    // HOME, XDG_CONFIG_HOME, XDG_RUNTIME_DIR, PATH, TVB_DEVHOST_SOCKET, TVB_SYSLOG_FILE,
    // TVB_BACKUP_LOG and the sanitizers' options, then whatever Set added.
    Environment Env() const;
    void Set(const std::string& name, const std::string& value) { mExtra[name] = value; }

    // Env() for the poller: its syslog captured, its clock sped up, then `extra`.
    Environment PollerEnv(const Environment& extra = {}) const;
    // The poller bundle's executable with PollerEnv(extra) and `args`; its standard output and
    // error go to `output` (PollerOutputFile() when empty).
    Process StartPoller(const Environment& extra = {}, const std::vector<std::string>& args = {},
                        const fs::path& output = {}) const;

    // "AppName" in the backup application's preferences, as an XML property list value.
    void WriteAppNamePreference(const std::string& valueXml) const;
    // Chooses the sample backup application; mode and seconds tell it how to behave.
    void UseSampleApplication(const std::string& mode = "end", double seconds = 0.2);

    fs::path HandOffFolder() const { return Home() / "Documents" / "For Button Manage"; }
    std::vector<std::string> SyslogLines() const;
    std::string BackupLog() const { return ReadFile(BackupLogFile()); }

    // Leave the folder for a look after a failure.
    void Keep() { mKeep = true; }

private:
    fs::path mRoot;
    Environment mExtra;
    bool mKeep = false;
};

// The programs under test, as this build made them.
const char* PollerPath();
const char* SampleApplicationBundle();
const char* SyslogCapturePath();

} // namespace tvbtest
