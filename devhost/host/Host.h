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
#include "TvbWire.h"
#include "UniqueFd.h"

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tvb::host {

struct HostLimits {
    size_t maxPendingOutput = 8u << 20;         // unread bytes before a peer is dropped
    std::chrono::milliseconds slowAnswer{3000}; // the slow-answer fault's delay
    size_t maxWaitRecords = 10000;
    // Peers served at once; 0: the descriptor limit less a reserve, so the host itself never
    // runs out of descriptors. Surplus peers are hung up on as soon as they are accepted.
    size_t maxPeers = 0;
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
        std::string output;
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
        std::string className, name, outcome;
    };
    enum class Handled { Answered, Deferred, Malformed };
    struct Reply {
        uint64_t id = 0;
        int32_t status = wire::kStatusSuccess;
        wire::PlistPtr body = wire::NewDict();
        // Answered, so that an op can end with `return reply.Fail(...)`.
        Handled Fail(int32_t code, const std::string& why);
    };
    using Handler = Handled (Host::*)(Peer&, plist_t, Reply&);

    // Peers and bytes.
    void Accept();
    void PauseAccepting();
    void OnPeerEvent(uint64_t peerId, uint32_t events);
    void ReadFrom(Peer& peer);
    void HandleFrame(Peer& peer, wire::PlistPtr frame);
    void Send(uint64_t peerId, plist_t dict);
    void Respond(uint64_t peerId, Reply& reply);
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
    void RecordWait(const std::string& className, const std::string& name, const char* outcome);
    Drive* FindDrive(const std::string& key);
    size_t Watchers(uint64_t entry) const;
    void TerminateDrive(Drive& drive);

    // Registry ops (HostRegistryOps.cpp).
    Handled OpHello(Peer&, plist_t, Reply&);
    Handled OpMatch(Peer&, plist_t, Reply&);
    Handled OpEntry(Peer&, plist_t, Reply&);
    Handled OpProperty(Peer&, plist_t, Reply&);
    Handled OpParents(Peer&, plist_t, Reply&);
    Handled OpWaitQuiet(Peer&, plist_t, Reply&);
    Handled OpSubscribeMatch(Peer&, plist_t, Reply&);
    Handled OpSubscribeInterest(Peer&, plist_t, Reply&);
    Handled OpUnsubscribe(Peer&, plist_t, Reply&);
    // False, with the reply failed, when the peer holds as many subscriptions as it may.
    bool MaySubscribe(const Peer& peer, Reply& reply) const;
    // Takes one subscription off the peer's count once it is erased.
    void Unsubscribed(uint64_t peerId);
    Handled OpVolumes(Peer&, plist_t, Reply&);
    // The bridge driver's user client (HostUserClientOps.cpp).
    Handled OpOpen(Peer&, plist_t, Reply&);
    Handled OpClose(Peer&, plist_t, Reply&);
    Handled OpScalar(Peer&, plist_t, Reply&);
    Handled OpStruct(Peer&, plist_t, Reply&);
    // The peer's own connection, or null with the reply failed.
    UserClientConnection* PeerConnection(const Peer& peer, uint64_t id, Reply& reply);
    // Also its drive, or null with the reply failed.
    Drive* ConnectedDrive(const Peer& peer, uint64_t id, Reply& reply,
                          UserClientConnection*& connection);
    void AnswerStruct(uint64_t peerId, uint64_t requestId, uint64_t connectionId, uint64_t selector,
                      const std::vector<uint8_t>& input, uint64_t capacity);
    // Control ops for tvbctl (HostControlOps.cpp).
    Handled OpAttach(Peer&, plist_t, Reply&);
    Handled OpDetach(Peer&, plist_t, Reply&);
    Handled OpMessage(Peer&, plist_t, Reply&);
    Handled OpList(Peer&, plist_t, Reply&);
    Handled OpPress(Peer&, plist_t, Reply&);
    Handled OpLights(Peer&, plist_t, Reply&);
    Handled OpLeds(Peer&, plist_t request, Reply& reply);
    Handled OpCalls(Peer&, plist_t, Reply&);
    Handled OpFault(Peer&, plist_t, Reply&);
    Handled OpWaits(Peer&, plist_t, Reply&);
    // Resolves the request's "drive" key or fails the reply; Malformed when the key is absent.
    Handled WithDrive(plist_t request, Reply& reply, Drive*& drive);

    static const std::map<std::string, Handler>& Handlers();

    EventLoop& mLoop;
    UniqueFd mListener;
    HostLimits mLimits;
    uint64_t mInstance;
    uid_t mUid;

    uint64_t mNextPeer = 1;
    std::map<uint64_t, std::unique_ptr<Peer>> mPeers;
    size_t mLivePeers = 0; // dead peers linger in mPeers until the end of the round

    Registry mRegistry;
    std::map<uint64_t, Drive> mDrives; // by id: attach order
    uint64_t mNextDrive = 1;
    unsigned mNextUnit = 2;
    uint64_t mNextVolume = 1;

    uint64_t mNextSubscription = 1; // match and interest subscriptions share one number space
    std::map<uint64_t, MatchSubscription> mMatchSubscriptions;
    std::map<uint64_t, InterestSubscription> mInterestSubscriptions;
    uint64_t mNextConnection = 1;
    std::map<uint64_t, UserClientConnection> mConnections;
    uint64_t mNextWait = 1;
    std::map<uint64_t, PendingWait> mWaits;
    std::deque<WaitRecord> mWaitRecords;
    std::set<EventLoop::TimerId> mTimers; // cancelled with the host
};

} // namespace tvb::host
