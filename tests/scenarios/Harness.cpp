#include "Harness.h"

#include <signal.h>
#include <stdlib.h>

#include <sstream>
#include <thread>

namespace scenario {

Scenario::Scenario() {
    char pattern[] = "/tmp/tvb-scenario-XXXXXX";
    mRoot = mkdtemp(pattern);
    mHome = mRoot / "home";
    mSocket = mRoot / "devhost.sock";
    mSyslog = mRoot / "syslog.txt";
    fs::create_directories(mHome);
}

Scenario::~Scenario() {
    mPoller = Process();
    mHost = Process();
    // Backup applications run detached; a test that failed half-way may leave one.
    std::istringstream log(BackupLog());
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("SampleBackup[", 0) == 0)
            kill(static_cast<pid_t>(std::atol(line.c_str() + 13)), SIGKILL);
    }
    std::error_code ec;
    if (!HasFailure())
        fs::remove_all(mRoot, ec);
    else
        std::fprintf(stderr, "scenario files kept in %s\n", mRoot.c_str());
}

std::map<std::string, std::string> Scenario::Environment() const {
    std::map<std::string, std::string> env = {
        {"HOME", mHome.string()},
        {"PATH", "/usr/bin:/bin"},
        {"TVB_DEVHOST_SOCKET", mSocket.string()},
        {"TVB_SYSLOG_FILE", mSyslog.string()},
        {"TVB_BACKUP_LOG", (mRoot / "backup.log").string()},
        {"ASAN_OPTIONS", "detect_leaks=1:verify_asan_link_order=0"},
        {"UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1"},
    };
    for (const auto& [key, value] : mExtraEnv)
        env[key] = value;
    return env;
}

void Scenario::StartHost() {
    mHost = Process({TVB_DEVHOST_PATH, "--socket", mSocket.string()}, Environment(),
                    mRoot / "devhost.out");
    ASSERT_TRUE(WaitUntil([&] { return Ctl({"ping"}).status == 0; }, "the device host answers",
                          std::chrono::seconds(10)));
}

void Scenario::StopHost(int signal) {
    mHost.Signal(signal);
    EXPECT_GE(mHost.Wait(std::chrono::seconds(10)), 0);
}

Process Scenario::StartPoller(const std::map<std::string, std::string>& extraEnv) {
    auto env = Environment();
    env["TVB_CLOCK_SCALE"] = std::to_string(kClockScale);
    env["LD_PRELOAD"] = TVB_SYSLOG_CAPTURE;
    for (const auto& [key, value] : extraEnv)
        env[key] = value;
    return Process({TVB_POLLER_PATH}, env, mRoot / "poller.out");
}

void Scenario::StartMainPoller(const std::map<std::string, std::string>& extraEnv) {
    mPoller = StartPoller(extraEnv);
    ASSERT_GT(mPoller.Pid(), 0);
}

CommandResult Scenario::Ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TVB_CTL_PATH, "--socket", mSocket.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return tvbtest::Run(argv, Environment());
}

std::string Scenario::CtlOk(const std::vector<std::string>& args) {
    CommandResult result = Ctl(args);
    EXPECT_EQ(result.status, 0) << "tvbctl " << ::testing::PrintToString(args)
                                << " printed: " << result.output;
    return result.output;
}

std::string Scenario::Attach(const std::string& serial, const std::vector<std::string>& options) {
    std::vector<std::string> args = {"attach", serial};
    args.insert(args.end(), options.begin(), options.end());
    std::string out = CtlOk(args);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

int Scenario::Watchers(const std::string& serial) {
    std::istringstream lines(CtlOk({"list"}));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(serial + " ", 0) != 0)
            continue;
        auto at = line.find("watchers=");
        if (at != std::string::npos)
            return std::atoi(line.c_str() + at + 9);
    }
    return -1;
}

std::vector<std::string> Scenario::Calls(const std::string& serial) {
    std::vector<std::string> calls;
    std::istringstream lines(CtlOk({"calls", serial}));
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty())
            calls.push_back(line);
    return calls;
}

std::string Scenario::Lights(const std::string& serial) {
    std::string out = CtlOk({"lights", serial});
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

void Scenario::WriteAppNamePreference(const std::string& valueXml) {
    WriteFile(mHome / "Library" / "Preferences" / "TotalMedia Backup.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\">\n<dict>\n\t<key>AppName</key>\n\t" +
                  valueXml + "\n</dict>\n</plist>\n");
}

void Scenario::UseSampleApplication(const std::string& mode, double seconds) {
    WriteAppNamePreference("<string>" + std::string(TVB_SAMPLE_APP_BUNDLE) + "</string>");
    mExtraEnv["TVB_BACKUP_MODE"] = mode;
    mExtraEnv["TVB_BACKUP_SECONDS"] = std::to_string(seconds);
}

std::vector<std::string> Scenario::LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(mSyslog));
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

::testing::AssertionResult Scenario::WaitUntil(const std::function<bool()>& condition,
                                               const std::string& what,
                                               std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return ::testing::AssertionFailure() << "timed out waiting until " << what;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return ::testing::AssertionSuccess();
}

} // namespace scenario
