// The device host's server: accepts peers of our own uid on a listening socket, decodes their
// frames, answers registry, user-client and control requests, and pushes match and interest
// events. A peer that misbehaves (bad frame, missing or ill-typed field, unread output piling
// up) is disconnected; the others never notice.
// Threading: everything runs on the loop thread.
// Ownership: the Host owns the listening socket, its peers, the registry and the drives. A dead
// peer is closed at once and forgotten after the current loop round.
#pragma once

#include "Drive.h"
#include "EventLoop.h"
#include "Registry.h"
#include "TvbGeneration.h"
#include "TvbWire.h"

#include <tvb/UniqueFd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <array>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace tvb::host {

struct HostLimits {
    size_t maxPendingOutput = 8u << 20;         // unread bytes before a peer is dropped
    std::chrono::milliseconds slowAnswer{3000}; // the slow-answer fault's delay
    size_t maxWaitRecords = 10000;
    // Peers served at once; 0: the descriptor limit less a reserve, so the host itself never
    // runs out of descriptors. Surplus peers are hung up on as soon as they are accepted.
    size_t maxPeers = 0;
    // Where the registry generation is published for clients; empty: nowhere.
    std::string generationFile;
    // Match and interest subscriptions one peer may hold at once; more are refused with
    // kStatusNoResources, so one peer cannot make the host grow without bound.
    size_t maxSubscriptionsPerPeer = 4096;
};

class Host {
public:
    Host(EventLoop& loop, UniqueFd listener, HostLimits limits = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    bool Start(std::string* error);
    uint64_t Instance() const { return mInstance; }
    size_t PeerCount() const { return mLivePeers; }

private:
    struct Peer {
        uint64_t id = 0;
        UniqueFd fd;
        wire::FrameReader reader;
        std::vector<uint8_t> output;
        size_t outputOffset = 0;
        bool writeWatched = false;
        bool dead = false;
        size_t subscriptions = 0; // match and interest, counted against the cap
    };
    struct MatchSubscription {
        uint64_t peer;
        MatchCriteria criteria;
    };
    struct InterestSubscription {
        uint64_t peer;
        uint64_t entry;
    };
    struct UserClientConnection {
        uint64_t peer;
        uint64_t entry;
        uint64_t drive;
        bool bracketOpen = false;
    };
    struct PendingWait {
        uint64_t peer;
        uint64_t requestId;
        uint64_t entry;
        std::string className, name;
        Clock::time_point deadline;
        EventLoop::TimerId timer = 0;
    };
    struct WaitRecord {
        std::string className, name;
        wire::WaitOutcome outcome;
    };
    enum class Handled { Answered, Deferred };
    struct Reply {
        uint64_t id = 0;
        int32_t status = wire::kStatusSuccess;
        std::string error;
        // Answered, so that an op can end with `return reply.Fail(...)`.
        Handled Fail(int32_t code, std::string why);
    };
    // Decodes one request frame and serves it; one per operation, indexed by its code.
    using Thunk = void (Host::*)(Peer&, const wire::FrameView&);
    template <typename Request> void Serve(Peer& peer, const wire::FrameView& frame);
    static const std::array<Thunk, static_cast<size_t>(wire::Op::Count)>& Dispatch();

    // Peers and bytes.
    void Accept();
    void PauseAccepting();
    void OnPeerEvent(uint64_t peerId, uint32_t events);
    void ReadFrom(Peer& peer);
    void HandleFrame(Peer& peer, const wire::FrameView& frame);
    template <typename Answer>
    void Respond(uint64_t peerId, wire::Op op, const Reply& reply, const Answer& answer);
    template <typename Event> void SendEvent(uint64_t peerId, const Event& event);
    void Flush(Peer& peer);
    void Misbehaved(Peer& peer, const std::string& why);
    void Disconnect(Peer& peer);
    void ReapDeadPeers();
    Peer* FindPeer(uint64_t id);
    EventLoop::TimerId AddTimer(Clock::time_point when, std::function<void()> callback);

    // Registry helpers.
    void AnnounceArrivals(const std::vector<uint64_t>& added);
    void SendInterest(uint64_t entry, uint32_t messageType, uint64_t argument);
    void EvaluateWait(uint64_t waitId);
    void RecordWait(const std::string& className, const std::string& name,
                    wire::WaitOutcome outcome);
    Drive* FindDrive(const std::string& key);
    size_t Watchers(uint64_t entry) const;
    void TerminateDrive(Drive& drive);
    // The drive a control request names, or null with the reply failed.
    Drive* WithDrive(const std::string& key, Reply& reply);

    // One handler per operation: registry ops in HostRegistryOps.cpp, the bridge driver's user
    // client in HostUserClientOps.cpp, tvbctl's in HostControlOps.cpp.
#define TVB_HOST_HANDLER(name, request, answer)                                                    \
    Handled On(Peer&, const wire::name##Request&, wire::name##Answer&, Reply&);
    TVB_OPERATIONS(TVB_HOST_HANDLER, TVB_FIELD_DECLARE)
#undef TVB_HOST_HANDLER

    // False, with the reply failed, when the peer holds as many subscriptions as it may.
    bool MaySubscribe(const Peer& peer, Reply& reply) const;
    // Takes one subscription off the peer's count once it is erased.
    void Unsubscribed(uint64_t peerId);
    // The peer's own connection, or null with the reply failed.
    UserClientConnection* PeerConnection(const Peer& peer, uint64_t id, Reply& reply);
    // Also its drive, or null with the reply failed.
    Drive* ConnectedDrive(const Peer& peer, uint64_t id, Reply& reply,
                          UserClientConnection*& connection);
    void AnswerStruct(uint64_t peerId, uint64_t requestId, uint64_t connectionId, uint64_t selector,
                      const std::vector<uint8_t>& input, uint64_t capacity);

    EventLoop& mLoop;
    UniqueFd mListener;
    HostLimits mLimits;
    uint64_t mInstance;
    uid_t mUid;

    uint64_t mNextPeer = 1;
    std::map<uint64_t, std::unique_ptr<Peer>> mPeers;
    size_t mLivePeers = 0; // dead peers linger in mPeers until the end of the round

    Registry mRegistry;
    wire::GenerationPage mGenerationPage;
    std::map<uint64_t, Drive> mDrives; // by id: attach order
    std::unordered_map<std::string, std::set<uint64_t>> mDrivesBySerial;
    std::unordered_map<std::string, uint64_t> mDrivesByBsdName;
    std::unordered_map<uint64_t, std::pair<uint64_t, size_t>> mVolumes; // id: drive, index
    uint64_t mNextDrive = 1;
    unsigned mNextUnit = 2;
    uint64_t mNextVolume = 1;

    uint64_t mNextSubscription = 1; // match and interest subscriptions share one number space
    std::map<uint64_t, MatchSubscription> mMatchSubscriptions;
    std::map<uint64_t, InterestSubscription> mInterestSubscriptions;
    uint64_t mNextConnection = 1;
    std::unordered_map<uint64_t, UserClientConnection> mConnections;
    uint64_t mNextWait = 1;
    std::map<uint64_t, PendingWait> mWaits;
    std::deque<WaitRecord> mWaitRecords;
    std::set<EventLoop::TimerId> mTimers; // cancelled with the host
};

template <typename Answer>
inline void Host::Respond(uint64_t peerId, wire::Op op, const Reply& reply, const Answer& answer) {
    Peer* peer = FindPeer(peerId);
    if (peer == nullptr)
        return;
    if (!wire::AppendAnswer(peer->output, op, reply.id, reply.status, mRegistry.Generation(),
                            answer, reply.error)) {
        std::fprintf(stderr, "tvb-devhost: an answer to peer %llu is too large to send\n",
                     static_cast<unsigned long long>(peerId));
        Reply failed = reply;
        failed.Fail(wire::kStatusError, "the answer is too large");
        wire::AppendAnswer(peer->output, op, reply.id, failed.status, mRegistry.Generation(),
                           answer, failed.error);
    }
    Flush(*peer);
}

template <typename Event> inline void Host::SendEvent(uint64_t peerId, const Event& event) {
    Peer* peer = FindPeer(peerId);
    if (peer == nullptr)
        return;
    if (!wire::AppendEvent(peer->output, mRegistry.Generation(), event)) {
        std::fprintf(stderr, "tvb-devhost: an event for peer %llu is too large to send\n",
                     static_cast<unsigned long long>(peerId));
        return;
    }
    Flush(*peer);
}

} // namespace tvb::host
