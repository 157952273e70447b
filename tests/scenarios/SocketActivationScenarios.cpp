// The device host started on demand by the real systemd-socket-activate, as the user socket unit
// starts it: the poller's first connection starts the host, which then serves it and tvbctl on
// the socket it was handed.
#include "Harness.h"

#include <algorithm>

#include <signal.h>

using namespace std::chrono_literals;

namespace scenario {
namespace {

class SocketActivation : public Scenario {
protected:
    void SetUp() override {
        if (std::string(TVB_SOCKET_ACTIVATE).empty())
            GTEST_SKIP() << "systemd-socket-activate was not found at configure time";
    }

    // The activator passes on only the variables named with --setenv.
    void StartActivator() {
        const auto env = Environment();
        std::vector<std::string> argv = {TVB_SOCKET_ACTIVATE, "--listen=" + mSocket.string()};
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
            argv.push_back(std::string("--setenv=") + name + "=" + env.at(name));
        argv.push_back(TVB_DEVHOST_PATH);
        mActivator = Process(argv, env, mRoot / "devhost.out");
        ASSERT_TRUE(WaitUntil([&] { return fs::exists(mSocket); }, "the activator listens", 10s));
    }

    bool HostRunsInTheActivatorsPlace() {
        std::error_code ec;
        const fs::path exe =
            fs::read_symlink("/proc/" + std::to_string(mActivator.Pid()) + "/exe", ec);
        return !ec && fs::equivalent(exe, TVB_DEVHOST_PATH, ec);
    }

    // The activator, and in its place the host once something connects.
    Process mActivator;
};

} // namespace

TEST_F(SocketActivation, PollersConnectionStartsTheHostWhichThenServesItsDrives) {
    StartActivator();
    EXPECT_FALSE(HostRunsInTheActivatorsPlace()) << "nothing has connected yet";
    StartMainPoller();
    ASSERT_TRUE(WaitUntil([&] { return HostRunsInTheActivatorsPlace(); },
                          "the poller's connection to start the host", 10s));
    Attach("ACT1", {"--volume", "Data:1000:250"});
    ASSERT_TRUE(WaitUntil([&] { return Watchers("ACT1") == 1; }, "the poller lists ACT1"));
    // Its user-client calls reach the driver through the handed socket too.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto calls = Calls("ACT1");
            return std::find(calls.begin(), calls.end(), "selector 2") != calls.end();
        },
        "the poller asks ACT1 for its button"));
    EXPECT_NE(ReadFile(mRoot / "devhost.out").find("tvb-devhost: listening on " + mSocket.string()),
              std::string::npos);
    // SIGHUP ends it as SIGTERM would, and the socket stays: it is systemd's.
    mActivator.Signal(SIGHUP);
    EXPECT_EQ(mActivator.Wait(10s), 0);
    EXPECT_TRUE(fs::exists(mSocket));
}

} // namespace scenario
