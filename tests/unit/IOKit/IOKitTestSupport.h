// A real device host for the IOKit tests: started on a private socket per test, driven with
// tvbctl, killed and restarted at will. The fixture points the stand-in at that socket and
// checks that every test gives back the handles it took.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <gtest/gtest.h>

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace iokittest {

struct CtlResult {
    int status = -1;
    std::string output;
};

class DeviceHost {
public:
    DeviceHost();
    ~DeviceHost();
    DeviceHost(const DeviceHost&) = delete;
    DeviceHost& operator=(const DeviceHost&) = delete;

    const std::string& SocketPath() const { return mSocket; }
    const std::string& Directory() const { return mDirectory; }
    // Starts the host and waits (at most 10 s) until it says it listens.
    bool Start();
    // Sends `signal` and reaps the host.
    void Stop(int signal = SIGTERM);
    bool Running() const { return mPid > 0; }
    pid_t Pid() const { return mPid; }

    // tvbctl --socket SOCKET args...; output is its standard output.
    CtlResult Ctl(const std::vector<std::string>& args) const;

private:
    std::string mDirectory;
    std::string mSocket;
    pid_t mPid = -1;
    int mStderr = -1;
};

// Runs the current thread's run loop until done() holds or a reaper timer fires after
// `seconds`; returns done().
bool RunLoopUntil(const std::function<bool()>& done, double seconds = 10.0);

// A first match for the class, or 0; the caller releases it.
io_service_t FirstService(const char* className);
// Every service of the class in registry order; the caller releases each.
std::vector<io_service_t> AllServices(const char* className);
// The entry's class name, or "" on failure.
std::string ClassOf(io_object_t object);
// Releases every handle the iterator still yields.
std::vector<io_object_t> Drain(io_iterator_t iterator);

class IOKitTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // tvbctl attach with the options; returns the whole-disk BSD name (the test fails when
    // the host refuses).
    std::string Attach(const std::string& serial, const std::vector<std::string>& options = {});
    void Ctl(const std::vector<std::string>& args);
    std::string CtlOutput(const std::vector<std::string>& args);

    DeviceHost host;

private:
    size_t mLiveHandles = 0;
};

} // namespace iokittest
