#include "Harness.h"

#include <stdlib.h>

#include <regex>
#include <sstream>
#include <thread>

namespace scenario {

Scenario::Scenario() = default;

Scenario::~Scenario() {
    mPoller = Process();
    mHost.Kill();
    if (HasFailure()) {
        WriteFile(mRoot / "devhost.err", mHost.Stderr());
        mWorld.Keep();
    }
}

void Scenario::StartHost() {
    std::string error;
    ASSERT_TRUE(mHost.Start(&error)) << error;
}

void Scenario::StopHost(int signal) {
    mHost.Signal(signal);
    EXPECT_GE(mHost.Wait(10000), 0);
}

void Scenario::StartMainPoller(const tvbtest::Environment& extraEnv) {
    mPoller = StartPoller(extraEnv);
    ASSERT_GT(mPoller.Pid(), 0);
}

std::string Scenario::CtlOk(const std::vector<std::string>& args) {
    ProgramResult result = Ctl(args);
    EXPECT_EQ(result.exitCode, 0) << "tvbctl " << ::testing::PrintToString(args)
                                  << " printed: " << result.out << result.err;
    return result.out;
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

std::vector<pid_t> Scenario::BackupPids() const {
    std::vector<pid_t> pids;
    const std::string log = BackupLog();
    const std::regex started(R"(SampleBackup\[(\d+)\]: started)");
    for (std::sregex_iterator it(log.begin(), log.end(), started), end; it != end; ++it)
        pids.push_back(static_cast<pid_t>(std::stol((*it)[1])));
    return pids;
}

} // namespace scenario
