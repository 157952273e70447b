// The registry half of the protocol: what the IOKit stand-in asks of the host.
#include "Host.h"

namespace tvb::host {

namespace {

constexpr uint64_t kMaxWaitMs = 24ull * 3600 * 1000;

MatchCriteria CriteriaFrom(const wire::Criteria& wanted) {
    MatchCriteria criteria;
    if (wanted.hasClass)
        criteria.className = wanted.className;
    if (wanted.hasBsdName)
        criteria.bsdName = wanted.bsdName;
    return criteria;
}

template <typename Ids> void CopyIds(const std::vector<uint64_t>& ids, Ids& out) {
    out.assign(ids.begin(), ids.end());
}

} // namespace

Host::Handled Host::On(Peer&, const wire::HelloRequest&, wire::HelloAnswer& answer, Reply&) {
    answer.instance = mInstance;
    answer.pid = static_cast<uint64_t>(getpid());
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::MatchRequest& request, wire::MatchAnswer& answer,
                       Reply&) {
    CopyIds(mRegistry.Match(CriteriaFrom(request.criteria)), answer.entries);
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::EntryRequest& request, wire::EntryAnswer& answer,
                       Reply& reply) {
    const RegistryEntry* entry = mRegistry.Find(request.entry);
    if (entry == nullptr)
        return reply.Fail(wire::kStatusNotFound, "");
    answer.className = entry->ClassName();
    answer.name = entry->name;
    answer.busy = mRegistry.IsBusy(request.entry, Clock::now());
    answer.classes.assign(entry->classes.begin(), entry->classes.end());
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::PropertyRequest& request, wire::PropertyAnswer& answer,
                       Reply& reply) {
    const std::vector<uint8_t>* value = mRegistry.EncodedProperty(request.entry, request.key);
    if (value == nullptr)
        return reply.Fail(wire::kStatusNotFound, "");
    answer.value.bytes = *value;
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::ParentsRequest& request, wire::ParentsAnswer& answer,
                       Reply& reply) {
    if (mRegistry.Find(request.entry) == nullptr)
        return reply.Fail(wire::kStatusNotFound, "");
    CopyIds(mRegistry.Parents(request.entry), answer.entries);
    return Handled::Answered;
}

Host::Handled Host::On(Peer& peer, const wire::WaitQuietRequest& request, wire::WaitQuietAnswer&,
                       Reply& reply) {
    const RegistryEntry* entry = mRegistry.Find(request.entry);
    if (entry == nullptr)
        return reply.Fail(wire::kStatusNotFound, "");
    const auto now = Clock::now();
    if (!mRegistry.IsBusy(request.entry, now)) {
        RecordWait(entry->ClassName(), entry->name, wire::WaitOutcome::Quiet);
        return Handled::Answered;
    }
    PendingWait wait;
    wait.peer = peer.id;
    wait.requestId = reply.id;
    wait.entry = request.entry;
    wait.className = entry->ClassName();
    wait.name = entry->name;
    wait.deadline = now + std::chrono::milliseconds(std::min(request.timeoutMs, kMaxWaitMs));
    const uint64_t waitId = mNextWait++;
    mWaits.emplace(waitId, std::move(wait));
    // Evaluating now either answers a zero time-out or arms the timer.
    EvaluateWait(waitId);
    return Handled::Deferred;
}

Host::Handled Host::On(Peer& peer, const wire::SubscribeMatchRequest& request,
                       wire::SubscribeMatchAnswer& answer, Reply& reply) {
    if (request.type != wire::kFirstMatchType)
        return reply.Fail(wire::kStatusUnsupported,
                          "only IOServiceFirstMatch notifications exist here");
    if (!MaySubscribe(peer, reply))
        return Handled::Answered;
    ++peer.subscriptions;
    MatchCriteria criteria = CriteriaFrom(request.criteria);
    const uint64_t id = mNextSubscription++;
    answer.subscription = id;
    CopyIds(mRegistry.Match(criteria), answer.entries);
    mMatchSubscriptions.emplace(id, MatchSubscription{peer.id, std::move(criteria)});
    return Handled::Answered;
}

Host::Handled Host::On(Peer& peer, const wire::SubscribeInterestRequest& request,
                       wire::SubscribeInterestAnswer& answer, Reply& reply) {
    if (mRegistry.Find(request.entry) == nullptr)
        return reply.Fail(wire::kStatusNotFound, "");
    if (request.type != wire::kGeneralInterestType)
        return reply.Fail(wire::kStatusUnsupported,
                          "only IOGeneralInterest notifications exist here");
    if (!MaySubscribe(peer, reply))
        return Handled::Answered;
    ++peer.subscriptions;
    const uint64_t id = mNextSubscription++;
    mInterestSubscriptions.emplace(id, InterestSubscription{peer.id, request.entry});
    answer.subscription = id;
    return Handled::Answered;
}

Host::Handled Host::On(Peer& peer, const wire::UnsubscribeRequest& request,
                       wire::UnsubscribeAnswer&, Reply& reply) {
    auto match = mMatchSubscriptions.find(request.subscription);
    if (match != mMatchSubscriptions.end() && match->second.peer == peer.id) {
        mMatchSubscriptions.erase(match);
        Unsubscribed(peer.id);
        return Handled::Answered;
    }
    auto interest = mInterestSubscriptions.find(request.subscription);
    if (interest != mInterestSubscriptions.end() && interest->second.peer == peer.id) {
        mInterestSubscriptions.erase(interest);
        Unsubscribed(peer.id);
        return Handled::Answered;
    }
    return reply.Fail(wire::kStatusNotFound, "");
}

bool Host::MaySubscribe(const Peer& peer, Reply& reply) const {
    if (peer.subscriptions < mLimits.maxSubscriptionsPerPeer)
        return true;
    reply.Fail(wire::kStatusNoResources, "a peer may hold " +
                                             std::to_string(mLimits.maxSubscriptionsPerPeer) +
                                             " subscriptions at once; release some first");
    return false;
}

void Host::Unsubscribed(uint64_t peerId) {
    // A dead peer still counts until it is reaped; its count goes with it.
    auto it = mPeers.find(peerId);
    if (it != mPeers.end() && it->second->subscriptions > 0)
        --it->second->subscriptions;
}

namespace {

wire::VolumeInfo InfoOf(const Volume& v) {
    return wire::VolumeInfo{v.id, v.name, v.bsdName, v.totalBytes, v.freeBytes, v.unreadable};
}

} // namespace

// With a volume id, only that volume (none once it is gone): a client checking one volume need
// not have the whole list encoded.
Host::Handled Host::On(Peer&, const wire::VolumesRequest& request, wire::VolumesAnswer& answer,
                       Reply&) {
    if (request.volume != 0) {
        auto found = mVolumes.find(request.volume);
        if (found != mVolumes.end())
            answer.volumes.push_back(
                InfoOf(mDrives.at(found->second.first).Volumes().at(found->second.second)));
        return Handled::Answered;
    }
    // As many as one frame holds, in attach order: drives with long names would otherwise
    // make the answer too large to send, and every drive's volumes would go unseen.
    size_t room = wire::kMaxFrameBytes - (wire::kHeaderBytes - wire::kLengthBytes) -
                  wire::EncodedSize(wire::VolumesAnswer{});
    for (const auto& [id, drive] : mDrives) {
        for (const Volume& v : drive.Volumes()) {
            wire::VolumeInfo info = InfoOf(v);
            const size_t size = wire::EncodedSize(info);
            if (size > room || answer.volumes.size() >= wire::VolumeInfos::kBound)
                return Handled::Answered;
            room -= size;
            answer.volumes.push_back(std::move(info));
        }
    }
    return Handled::Answered;
}

} // namespace tvb::host
