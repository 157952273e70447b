// The registry half of the protocol: what the IOKit stand-in asks of the host.
#include "Host.h"

namespace tvb::host {

namespace {

constexpr uint64_t kMaxWaitMs = 24ull * 3600 * 1000;

// Reads the optional "class" and "bsdName" of a match; false when either is ill-typed.
bool ReadCriteria(plist_t request, MatchCriteria& criteria) {
    for (const char* key : {"class", "bsdName"}) {
        if (wire::GetItem(request, key) == nullptr)
            continue;
        std::string value;
        if (!wire::GetString(request, key, value))
            return false;
        (key[0] == 'c' ? criteria.className : criteria.bsdName) = value;
    }
    return true;
}

} // namespace

Host::Handled Host::OpHello(Peer&, plist_t, Reply& reply) {
    wire::SetUInt(reply.body.get(), "instance", mInstance);
    wire::SetUInt(reply.body.get(), "pid", static_cast<uint64_t>(getpid()));
    return Handled::Answered;
}

Host::Handled Host::OpMatch(Peer&, plist_t request, Reply& reply) {
    MatchCriteria criteria;
    if (!ReadCriteria(request, criteria))
        return Handled::Malformed;
    wire::SetUIntArray(reply.body.get(), "entries", mRegistry.Match(criteria));
    return Handled::Answered;
}

Host::Handled Host::OpEntry(Peer&, plist_t request, Reply& reply) {
    uint64_t id = 0;
    if (!wire::GetUInt(request, "entry", id))
        return Handled::Malformed;
    const RegistryEntry* entry = mRegistry.Find(id);
    if (entry == nullptr)
        return reply.Fail(wire::kStatusNotFound, "");
    plist_t body = reply.body.get();
    wire::SetString(body, "class", entry->ClassName());
    wire::SetString(body, "name", entry->name);
    wire::SetBool(body, "busy", mRegistry.IsBusy(id, Clock::now()));
    wire::SetStringArray(body, "classes", entry->classes);
    return Handled::Answered;
}

Host::Handled Host::OpProperty(Peer&, plist_t request, Reply& reply) {
    uint64_t id = 0;
    std::string key;
    if (!wire::GetUInt(request, "entry", id) || !wire::GetString(request, "key", key))
        return Handled::Malformed;
    const RegistryEntry* entry = mRegistry.Find(id);
    plist_t value = entry ? wire::GetItem(entry->properties.get(), key.c_str()) : nullptr;
    if (value == nullptr)
        return reply.Fail(wire::kStatusNotFound, "");
    plist_dict_set_item(reply.body.get(), "value", plist_copy(value));
    return Handled::Answered;
}

Host::Handled Host::OpParents(Peer&, plist_t request, Reply& reply) {
    uint64_t id = 0;
    if (!wire::GetUInt(request, "entry", id))
        return Handled::Malformed;
    if (mRegistry.Find(id) == nullptr)
        return reply.Fail(wire::kStatusNotFound, "");
    wire::SetUIntArray(reply.body.get(), "entries", mRegistry.Parents(id));
    return Handled::Answered;
}

Host::Handled Host::OpWaitQuiet(Peer& peer, plist_t request, Reply& reply) {
    uint64_t id = 0, timeoutMs = 0;
    if (!wire::GetUInt(request, "entry", id) || !wire::GetUInt(request, "timeoutMs", timeoutMs))
        return Handled::Malformed;
    const RegistryEntry* entry = mRegistry.Find(id);
    if (entry == nullptr)
        return reply.Fail(wire::kStatusNotFound, "");
    const auto now = Clock::now();
    if (!mRegistry.IsBusy(id, now)) {
        RecordWait(entry->ClassName(), entry->name, "quiet");
        return Handled::Answered;
    }
    PendingWait wait;
    wait.peer = peer.id;
    wait.requestId = reply.id;
    wait.entry = id;
    wait.className = entry->ClassName();
    wait.name = entry->name;
    wait.deadline = now + std::chrono::milliseconds(std::min(timeoutMs, kMaxWaitMs));
    const uint64_t waitId = mNextWait++;
    mWaits.emplace(waitId, std::move(wait));
    // Evaluating now either answers a zero time-out or arms the timer.
    EvaluateWait(waitId);
    return Handled::Deferred;
}

Host::Handled Host::OpSubscribeMatch(Peer& peer, plist_t request, Reply& reply) {
    std::string type;
    MatchCriteria criteria;
    if (!wire::GetString(request, "type", type) || !ReadCriteria(request, criteria))
        return Handled::Malformed;
    if (type != "IOServiceFirstMatch")
        return reply.Fail(wire::kStatusUnsupported,
                          "only IOServiceFirstMatch notifications exist here");
    if (!MaySubscribe(peer, reply))
        return Handled::Answered;
    ++peer.subscriptions;
    const uint64_t id = mNextSubscription++;
    wire::SetUInt(reply.body.get(), "subscription", id);
    wire::SetUIntArray(reply.body.get(), "entries", mRegistry.Match(criteria));
    mMatchSubscriptions.emplace(id, MatchSubscription{peer.id, std::move(criteria)});
    return Handled::Answered;
}

Host::Handled Host::OpSubscribeInterest(Peer& peer, plist_t request, Reply& reply) {
    uint64_t entry = 0;
    std::string type;
    if (!wire::GetUInt(request, "entry", entry) || !wire::GetString(request, "type", type))
        return Handled::Malformed;
    if (mRegistry.Find(entry) == nullptr)
        return reply.Fail(wire::kStatusNotFound, "");
    if (type != "IOGeneralInterest")
        return reply.Fail(wire::kStatusUnsupported,
                          "only IOGeneralInterest notifications exist here");
    if (!MaySubscribe(peer, reply))
        return Handled::Answered;
    ++peer.subscriptions;
    const uint64_t id = mNextSubscription++;
    mInterestSubscriptions.emplace(id, InterestSubscription{peer.id, entry});
    wire::SetUInt(reply.body.get(), "subscription", id);
    return Handled::Answered;
}

Host::Handled Host::OpUnsubscribe(Peer& peer, plist_t request, Reply& reply) {
    uint64_t id = 0;
    if (!wire::GetUInt(request, "subscription", id))
        return Handled::Malformed;
    auto match = mMatchSubscriptions.find(id);
    if (match != mMatchSubscriptions.end() && match->second.peer == peer.id) {
        mMatchSubscriptions.erase(match);
        Unsubscribed(peer.id);
        return Handled::Answered;
    }
    auto interest = mInterestSubscriptions.find(id);
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

// With "volume" (an id), only that volume (an empty list once it is gone): a client checking one
// volume need not have the whole list encoded.
Host::Handled Host::OpVolumes(Peer&, plist_t request, Reply& reply) {
    uint64_t onlyId = 0;
    const bool filtered = wire::GetItem(request, "volume") != nullptr;
    if (filtered && !wire::GetUInt(request, "volume", onlyId))
        return Handled::Malformed;
    plist_t list = plist_new_array();
    for (const auto& [id, drive] : mDrives) {
        for (const Volume& v : drive.Volumes()) {
            if (filtered && v.id != onlyId)
                continue;
            plist_t item = plist_new_dict();
            wire::SetUInt(item, "id", v.id);
            wire::SetString(item, "name", v.name);
            if (!v.bsdName.empty())
                wire::SetString(item, "bsdName", v.bsdName);
            wire::SetUInt(item, "totalBytes", v.totalBytes);
            wire::SetUInt(item, "freeBytes", v.freeBytes);
            wire::SetBool(item, "unreadable", v.unreadable);
            plist_array_append_item(list, item);
        }
    }
    plist_dict_set_item(reply.body.get(), "volumes", list);
    return Handled::Answered;
}

} // namespace tvb::host
