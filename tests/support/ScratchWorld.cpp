#include "ScratchWorld.h"

#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <sstream>

namespace tvbtest {

const char* PollerPath() {
    return TVB_POLLER_PATH;
}

const char* SampleApplicationBundle() {
    return TVB_SAMPLE_APP_BUNDLE;
}

const char* SyslogCapturePath() {
    return TVB_SYSLOG_CAPTURE;
}

ScratchWorld::ScratchWorld(const std::string& tag) {
    std::string pattern = "/tmp/tvb-" + tag + "-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        mRoot = pattern;
    std::error_code ec;
    fs::create_directories(Home(), ec);
    fs::create_directories(mRoot / "config", ec);
    // Private to the user, as the Apple-event sockets' folder under it must be.
    fs::create_directory(mRoot / "runtime", ec);
    fs::permissions(mRoot / "runtime", fs::perms::owner_all, ec);
}

ScratchWorld::~ScratchWorld() {
    std::istringstream log(BackupLog());
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("SampleBackup[", 0) == 0)
            SignalIfRunning(static_cast<pid_t>(std::atol(line.c_str() + 13)), "SampleBackup",
                            SIGKILL);
    }
    if (mRoot.empty())
        return;
    if (mKeep) {
        std::fprintf(stderr, "scratch files kept in %s\n", mRoot.c_str());
        return;
    }
    std::error_code ec;
    fs::remove_all(mRoot, ec);
}

Environment ScratchWorld::Env() const {
    Environment env = {
        {"HOME", Home().string()},
        {"XDG_CONFIG_HOME", (mRoot / "config").string()},
        {"XDG_RUNTIME_DIR", (mRoot / "runtime").string()},
        {"PATH", "/usr/bin:/bin"},
        {"TVB_DEVHOST_SOCKET", Socket().string()},
        {"TVB_SYSLOG_FILE", SyslogFile().string()},
        {"TVB_BACKUP_LOG", BackupLogFile().string()},
        {"ASAN_OPTIONS", "detect_leaks=1:verify_asan_link_order=0"},
        {"UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1"},
    };
    for (const auto& [key, value] : mExtra)
        env[key] = value;
    return env;
}

Environment ScratchWorld::PollerEnv(const Environment& extra) const {
    Environment env = Env();
    env["TVB_CLOCK_SCALE"] = std::to_string(kClockScale);
    env["LD_PRELOAD"] = SyslogCapturePath();
    for (const auto& [key, value] : extra)
        env[key] = value;
    return env;
}

Process ScratchWorld::StartPoller(const Environment& extra, const std::vector<std::string>& args,
                                  const fs::path& output) const {
    std::vector<std::string> argv = {PollerPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return Process(argv, PollerEnv(extra), output.empty() ? PollerOutputFile() : output);
}

void ScratchWorld::WriteAppNamePreference(const std::string& valueXml) const {
    WriteFile(Home() / "Library" / "Preferences" / "TotalMedia Backup.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\">\n<dict>\n\t<key>AppName</key>\n\t" +
                  valueXml + "\n</dict>\n</plist>\n");
}

void ScratchWorld::UseSampleApplication(const std::string& mode, double seconds) {
    WriteAppNamePreference("<string>" + std::string(SampleApplicationBundle()) + "</string>");
    Set("TVB_BACKUP_MODE", mode);
    Set("TVB_BACKUP_SECONDS", std::to_string(seconds));
}

std::vector<std::string> ScratchWorld::SyslogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(SyslogFile()));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace tvbtest
