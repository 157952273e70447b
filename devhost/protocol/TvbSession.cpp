#include "TvbSession.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace tvb::wire {

namespace {

constexpr int kFirstBackoffMs = 1000;
constexpr int kLongestBackoffMs = 4000;
// How long a host that is there may take over a hello after another request timed out.
constexpr int kProbeTimeoutMs = 250;

} // namespace

HostSession& HostSession::Shared() {
    // Never destroyed: handles may still be released by static destructors at exit.
    static HostSession* session = new HostSession;
    return *session;
}

HostSession::HostSession(std::string socketPath) : mPath(std::move(socketPath)) {}

void HostSession::BackOffLocked() {
    mLink.Close();
    mQuietPath = SocketPath();
    mBackoffMs = mBackoffMs == 0 ? kFirstBackoffMs : std::min(mBackoffMs * 2, kLongestBackoffMs);
    mQuietUntil = Clock::now() + std::chrono::milliseconds(mBackoffMs);
}

bool HostSession::EnsureConnectedLocked(int helloTimeoutMs) {
    if (mLink.IsOpen())
        return true;
    if (WaitsInterrupted())
        return false;
    const std::string path = SocketPath();
    // Another socket (the environment named a new one) is another host: no reason to wait.
    if (mBackoffMs != 0 && Clock::now() < mQuietUntil && path == mQuietPath)
        return false;
    std::string problem;
    if (!mLink.Connect(path, &problem)) {
        // Nobody listening is the usual absent host, which notification ports tell of; anything
        // else (a path no socket can have, no descriptor left, another user's listener) would
        // fail every request for good without a word.
        const bool absent = errno == ENOENT || errno == ECONNREFUSED;
        if (!absent && problem != mToldProblem) {
            std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, problem.c_str());
            mToldProblem = problem;
        }
        return false;
    }
    mToldProblem.clear();
    HelloAnswer hello;
    const CallStatus status = mLink.Call(HelloRequest{}, hello, helloTimeoutMs);
    if (!status.Ok() || hello.instance == 0) {
        // Something listens but does not answer: a stopped or wedged host.
        if (status.transport == CallStatus::TimedOut)
            BackOffLocked();
        mLink.Close();
        return false;
    }
    mBackoffMs = 0;
    mInstance = hello.instance;
    mGeneration = status.generation;
    ++mEpoch;
    mPage.Open(GenerationPage::PathFor(path));
    return true;
}

int32_t HostSession::ReadyLocked(const Expect& expect) {
    if (WaitsInterrupted()) {
        ++mUnanswered;
        return kStatusNotResponding;
    }
    // An entry of a host run we have not met: perhaps ours went away and a new one came up.
    if (expect.instance != 0 && expect.instance != mInstance && mLink.IsOpen() &&
        !mLink.ReadAvailable())
        mLink.Close();
    if (!EnsureConnectedLocked()) {
        ++mUnanswered;
        return kStatusNotResponding;
    }
    if (expect.epoch != 0 && expect.epoch != mEpoch)
        return kStatusNoDevice;
    if (expect.instance != 0 && expect.instance != mInstance)
        return kStatusNotFound;
    return kStatusSuccess;
}

int32_t HostSession::FinishLocked(const CallStatus& status, Seen* seen) {
    // Never sent, so the host knows nothing of it: the connection and its user clients stand.
    if (status.transport == CallStatus::Refused)
        return kStatusBadArgument;
    if (!status.Answered()) {
        // Unanswered: a late answer must never be taken for a later request's, and the host
        // must see the request given up (a slow command is then not carried out).
        mLink.Close();
        // A driver that takes its time is not a host that stopped, and must not cost the
        // process its other drives: the session backs off only when the host does not answer
        // a hello promptly either.
        if (status.transport == CallStatus::TimedOut && !WaitsInterrupted())
            EnsureConnectedLocked(kProbeTimeoutMs);
        ++mUnanswered;
        return kStatusNotResponding;
    }
    mGeneration = status.generation;
    if (seen != nullptr)
        *seen = Seen{mInstance, mEpoch, status.generation};
    return status.status;
}

bool HostSession::Connect(Seen* seen) {
    std::lock_guard<tvb::Lock> lock(mMutex);
    // A host that went away leaves the socket readable at end of file.
    if (mLink.IsOpen() && !mLink.ReadAvailable())
        mLink.Close();
    if (!EnsureConnectedLocked())
        return false;
    if (seen != nullptr)
        *seen = Seen{mInstance, mEpoch, mGeneration};
    return true;
}

uint64_t HostSession::Generation() const {
    std::lock_guard<tvb::Lock> lock(mMutex);
    return mGeneration;
}

HostSession::Stamp HostSession::CurrentStamp() const {
    std::lock_guard<tvb::Lock> lock(mMutex);
    // The page vouches for its host run only while that run lives: a host that ends marks it,
    // and the kernel marks it for a host that dies (TvbGeneration.h). The socket path is not
    // looked at again: requests keep going to this host while the connection stands, and the
    // cache answers as they would.
    if (!mLink.IsOpen())
        return {};
    const uint64_t generation = mPage.Current(mInstance);
    return generation == 0 ? Stamp{} : Stamp{mInstance, generation};
}

void HostSession::Drop() {
    std::lock_guard<tvb::Lock> lock(mMutex);
    mLink.Close();
}

void HostSession::EndBackoffForTesting() {
    std::lock_guard<tvb::Lock> lock(mMutex);
    mBackoffMs = 0;
}

bool HostSession::BackingOff() const {
    std::lock_guard<tvb::Lock> lock(mMutex);
    return !mLink.IsOpen() && mBackoffMs != 0 && Clock::now() < mQuietUntil;
}

uint64_t HostSession::Unanswered() const {
    std::lock_guard<tvb::Lock> lock(mMutex);
    return mUnanswered;
}

void HostSession::HeardFrom(const std::string& socketPath) {
    std::lock_guard<tvb::Lock> lock(mMutex);
    if (mBackoffMs != 0 && socketPath == mQuietPath)
        mBackoffMs = 0;
}

void HostSession::NoteGeneration(uint64_t generation) {
    std::lock_guard<tvb::Lock> lock(mMutex);
    mGeneration = generation;
}

} // namespace tvb::wire
