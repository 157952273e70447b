#include "DeviceHost.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

namespace tvbtest {

const char* DeviceHostPath() {
    return TVB_DEVHOST_PATH;
}

const char* CtlPath() {
    return TVB_CTL_PATH;
}

DeviceHost::DeviceHost(std::string socketPath, std::vector<std::string> extraArgs, Environment env)
    : mExtraArgs(std::move(extraArgs)), mEnv(std::move(env)) {
    char pattern[] = "/tmp/tvb-devhost-test-XXXXXX";
    if (const char* dir = mkdtemp(pattern))
        mDirectory = dir;
    mSocketPath = socketPath.empty() ? mDirectory + "/devhost.sock" : std::move(socketPath);
}

DeviceHost::~DeviceHost() {
    if (Running())
        Stop(5000);
    mProcess = Process();
    JoinDrain();
    if (!mDirectory.empty()) {
        std::error_code ignored;
        fs::remove_all(mDirectory, ignored);
    }
}

void DeviceHost::JoinDrain() {
    if (mDrain.joinable())
        mDrain.join();
}

bool DeviceHost::Launch() {
    if (mDirectory.empty() || Running())
        return false;
    // The previous run is over: its drain ends once its last writer has gone.
    mProcess = Process();
    JoinDrain();
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> argv = {DeviceHostPath(), "--socket", mSocketPath};
    argv.insert(argv.end(), mExtraArgs.begin(), mExtraArgs.end());
    mProcess = Process(argv, mEnv, Stdio{-1, pipeFds[1]});
    close(pipeFds[1]);
    if (mProcess.Pid() <= 0) {
        close(pipeFds[0]);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mDrained = false;
    }
    const int readEnd = pipeFds[0];
    mDrain = std::thread([this, readEnd] {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(readEnd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            std::lock_guard<std::mutex> lock(mMutex);
            if (got <= 0) {
                mDrained = true;
                mGrew.notify_all();
                break;
            }
            mStderrText.append(buffer, static_cast<size_t>(got));
            mGrew.notify_all();
        }
        close(readEnd);
    });
    return true;
}

bool DeviceHost::Start(std::string* error, int timeoutMs) {
    const size_t said = Stderr().size();
    if (!Launch()) {
        if (error)
            *error = "cannot start " + std::string(DeviceHostPath());
        return false;
    }
    std::unique_lock<std::mutex> lock(mMutex);
    const bool ready = mGrew.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return mStderrText.find("listening on", said) != std::string::npos || mDrained;
    }) && mStderrText.find("listening on", said) != std::string::npos;
    if (!ready) {
        if (error)
            *error = "the host did not start listening: " + mStderrText.substr(said);
        lock.unlock();
        Kill();
    }
    return ready;
}

int DeviceHost::Stop(int timeoutMs) {
    if (!Running())
        return -1;
    mProcess.Signal(SIGTERM);
    const int status = mProcess.Wait(std::chrono::milliseconds(timeoutMs));
    if (status < 0) {
        Kill();
        return -1;
    }
    JoinDrain();
    return status;
}

int DeviceHost::Wait(int timeoutMs) {
    const int status = mProcess.Wait(std::chrono::milliseconds(timeoutMs));
    if (status >= 0)
        JoinDrain();
    return status;
}

void DeviceHost::Signal(int signal) {
    mProcess.Signal(signal);
}

void DeviceHost::Kill() {
    mProcess.Kill();
    JoinDrain();
}

std::string DeviceHost::Stderr() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mStderrText;
}

bool DeviceHost::WaitForStderr(const std::string& fragment, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mMutex);
    return mGrew.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return mStderrText.find(fragment) != std::string::npos; });
}

ProgramResult DeviceHost::Ctl(const std::vector<std::string>& args, int timeoutMs) const {
    std::vector<std::string> argv = {"--socket", mSocketPath};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(CtlPath(), argv, timeoutMs, mEnv);
}

} // namespace tvbtest
