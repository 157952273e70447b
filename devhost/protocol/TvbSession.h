// A process's session with the device host: connection, hello, the host's identity, re-connection
// and bounded waits, in one place. Shared() serves the IOKit stand-in's requests and the File
// Manager's volume queries alike; a notification port keeps a session of its own for its events.
//
// A host that does not answer costs one time-out and a short hello: the session then fails
// every request at once (kStatusNotResponding) until its back-off has passed, when one request
// tries the host again. A request that times out while the host still answers its hello (a
// driver taking its time) costs only that request and the connection it was made on.
// A host that is simply absent (nothing listens) is tried on every request, which costs a
// failed connect() and no wait. After hello the session maps the host's generation page
// (TvbGeneration.h), so that callers can check their caches without a request.
//
// Threading: requests are serialised by a mutex; a request blocks its caller for at most its
// time-out. Ownership: messages are the caller's.
#pragma once

#include "TvbGeneration.h"
#include "TvbWire.h"
#include "tvb/Lock.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace tvb::wire {

constexpr int kRequestTimeoutMs = 1000;

// What a request expects of the host that answers it (HostSession::Expect). Declared outside
// the class so that Call can take one by default: a nested struct's member initializers are
// not usable in its enclosing class's default arguments.
struct SessionExpect {
    uint64_t instance = 0; // non-zero: the request is about this host run's entries
    uint64_t epoch = 0;    // non-zero: the request belongs to this connection (user clients)
};

class HostSession {
public:
    // The process's session, at the default socket path (read when it first connects).
    static HostSession& Shared();
    // A session of its own; an empty path means the default one.
    explicit HostSession(std::string socketPath = {});

    using Expect = SessionExpect;
    struct Seen {
        uint64_t instance = 0;   // the host run that answered
        uint64_t epoch = 0;      // which connection of this session carried it
        uint64_t generation = 0; // the registry generation the answer carries
    };

    // The host's status, or kStatusNotResponding when no host answered (or the session is
    // backing off), kStatusNotFound when `expect.instance` is another host run,
    // kStatusNoDevice when the connection of `expect.epoch` is gone, kStatusBadArgument when
    // the request breaks one of the protocol's bounds (then nothing is sent).
    template <typename Request>
    int32_t Call(const Request& request, typename Request::Answer& answer,
                 int timeoutMs = kRequestTimeoutMs, Expect expect = {}, Seen* seen = nullptr) {
        std::lock_guard<tvb::Lock> lock(mMutex);
        const bool reused = mLink.IsOpen();
        int32_t ready = ReadyLocked(expect);
        if (ready != kStatusSuccess)
            return ready;
        CallStatus status = mLink.Call(request, answer, timeoutMs);
        if (reused && (status.transport == CallStatus::SendFailed ||
                       status.transport == CallStatus::Closed)) {
            // The host went away since the last request (it never saw this one): once more
            // with whoever listens now.
            mLink.Close();
            ready = ReadyLocked(expect);
            if (ready != kStatusSuccess)
                return ready;
            status = mLink.Call(request, answer, timeoutMs);
        }
        return FinishLocked(status, seen);
    }

    // A host run and the registry generation it published; invalid (all zero) when unknown.
    struct Stamp {
        uint64_t instance = 0;
        uint64_t generation = 0;
        bool Valid() const { return instance != 0 && generation != 0; }
        bool operator==(const Stamp& other) const {
            return instance == other.instance && generation == other.generation;
        }
        bool operator!=(const Stamp& other) const { return !(*this == other); }
    };

    // Connects now if needed; false when no host answers.
    bool Connect(Seen* seen = nullptr);
    // The last registry generation an answer or event carried (0 before any).
    uint64_t Generation() const;
    // The host run at the other end and the registry generation it publishes now, read from
    // memory without a system call; invalid when it cannot be known (no connection yet, no
    // page, the page's host ended or died, another host run took it over). What was learnt
    // from that run at that generation is still true while this returns the same.
    Stamp CurrentStamp() const;
    uint64_t CurrentGeneration() const { return CurrentStamp().generation; }
    // Forgets the connection (a later request connects again).
    void Drop();
    // Whether the session is failing requests without asking (for tests).
    bool BackingOff() const;
    // How many requests have come back unanswered (no host, a time-out, a back-off): what was
    // handled meanwhile may have been handled without the host.
    uint64_t Unanswered() const;
    // Lets the next request try the host at once (for tests).
    void EndBackoffForTesting();

    // The connection itself, for a notification port that watches its descriptor and reads its
    // events. Only the thread that owns such a session may use it.
    Connection& Link() { return mLink; }
    // Records the generation an event carried.
    void NoteGeneration(uint64_t generation);
    // The host at `socketPath` was heard from on another connection (a notification port's
    // events): it answers again, so a back-off from it ends now. A drive's arrival would
    // otherwise find every question about it failed until the back-off had passed.
    void HeardFrom(const std::string& socketPath);
    // The socket this session reaches the host on.
    std::string SocketPath() const { return mPath.empty() ? DefaultSocketPath() : mPath; }

private:
    using Clock = std::chrono::steady_clock;

    int32_t ReadyLocked(const Expect& expect);
    int32_t FinishLocked(const CallStatus& status, Seen* seen);
    bool EnsureConnectedLocked(int helloTimeoutMs = kRequestTimeoutMs);
    void BackOffLocked();

    mutable tvb::Lock mMutex;
    std::string mPath;
    std::string mQuietPath;   // the socket that did not answer
    std::string mToldProblem; // the last reason to fail a connection said on stderr
    Connection mLink;
    GenerationPage mPage;
    uint64_t mInstance = 0;
    uint64_t mEpoch = 0;
    uint64_t mGeneration = 0;
    int mBackoffMs = 0;
    Clock::time_point mQuietUntil{};
    uint64_t mUnanswered = 0;
};

} // namespace tvb::wire
