#include "Host.h"

#include <tvb/UniqueFd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include <malloc.h>

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace tvb::host {

namespace {

constexpr size_t kReadBudget = 256 * 1024; // per peer per round, so one peer cannot starve others

constexpr size_t kReservedDescriptors = 16; // listener, epoll, signals, stdio, timers, slack

constexpr size_t kTrimAfterSubscriptions = 1024;
// A burst of events may have grown a peer's output buffer; once sent, a buffer above this goes.
constexpr size_t kKeptOutputCapacity = 1u << 20;

size_t DefaultMaxPeers() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 4096;
    const size_t usable = static_cast<size_t>(limit.rlim_cur);
    return usable > kReservedDescriptors * 2 ? usable - kReservedDescriptors : usable / 2;
}

uint64_t RandomInstance() {
    std::random_device device;
    return (uint64_t(device()) << 32) ^ device() ^ uint64_t(getpid());
}

} // namespace

Host::Handled Host::Reply::Fail(int32_t code, std::string why) {
    status = code;
    error = std::move(why);
    return Handled::Answered;
}

template <typename Request> void Host::Serve(Peer& peer, const wire::FrameView& frame) {
    Request request;
    if (!wire::DecodeBody(frame.body, frame.bodyLength, request)) {
        Misbehaved(peer, std::string("malformed ") + wire::OpName(Request::kOp) + " request");
        return;
    }
    typename Request::Answer answer;
    Reply reply;
    reply.id = frame.header.id;
    const Handled handled = On(peer, request, answer, reply);
    mGenerationPage.Publish(mRegistry.Generation());
    if (handled == Handled::Answered)
        Respond(peer.id, Request::kOp, reply, answer);
}

const std::array<Host::Thunk, static_cast<size_t>(wire::Op::Count)>& Host::Dispatch() {
    static const std::array<Thunk, static_cast<size_t>(wire::Op::Count)> kTable = {
#define TVB_HOST_THUNK(name, request, answer) &Host::Serve<wire::name##Request>,
        TVB_OPERATIONS(TVB_HOST_THUNK, TVB_FIELD_DECLARE)
#undef TVB_HOST_THUNK
    };
    return kTable;
}

Host::Host(EventLoop& loop, UniqueFd listener, HostLimits limits)
    : mLoop(loop), mListener(std::move(listener)), mLimits(limits), mInstance(RandomInstance()),
      mUid(getuid()) {
    if (mLimits.maxPeers == 0)
        mLimits.maxPeers = DefaultMaxPeers();
}

Host::~Host() {
    mGenerationPage.Retire();
    for (EventLoop::TimerId id : mTimers)
        mLoop.CancelTimer(id);
    for (auto& [id, peer] : mPeers)
        if (!peer->dead)
            mLoop.Unwatch(peer->fd.Get());
    if (mListener)
        mLoop.Unwatch(mListener.Get());
}

bool Host::Start(std::string* error) {
    if (!mLoop.Watch(mListener.Get(), EPOLLIN, [this](uint32_t) { Accept(); })) {
        if (error)
            *error = "cannot watch the listening socket";
        return false;
    }
    mLoop.SetAfterRound([this] { ReapDeadPeers(); });
    if (!mLimits.generationFile.empty()) {
        if (mGenerationPage.Create(mLimits.generationFile, mInstance))
            mGenerationPage.Publish(mRegistry.Generation());
        else
            std::fprintf(stderr, "tvb-devhost: cannot publish the registry generation at %s\n",
                         mLimits.generationFile.c_str());
    }
    return true;
}

EventLoop::TimerId Host::AddTimer(Clock::time_point when, std::function<void()> callback) {
    // The id is known only after AddTimer returns, so the call-back finds it through a box.
    auto box = std::make_shared<EventLoop::TimerId>(0);
    *box = mLoop.AddTimer(when, [this, box, callback = std::move(callback)] {
        mTimers.erase(*box);
        callback();
    });
    mTimers.insert(*box);
    return *box;
}

Host::Peer* Host::FindPeer(uint64_t id) {
    auto it = mPeers.find(id);
    return it == mPeers.end() || it->second->dead ? nullptr : it->second.get();
}

void Host::Accept() {
    for (;;) {
        UniqueFd fd(accept4(mListener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                PauseAccepting();
            return;
        }
        ucred cred{};
        socklen_t length = sizeof cred;
        if (getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 ||
            cred.uid != mUid) {
            std::fprintf(stderr, "tvb-devhost: refused a peer of uid %u\n", unsigned(cred.uid));
            continue;
        }
        if (mLivePeers >= mLimits.maxPeers) {
            std::fprintf(stderr, "tvb-devhost: refused a peer: %zu peers already\n", mLivePeers);
            continue;
        }
        auto peer = std::make_unique<Peer>();
        peer->id = mNextPeer++;
        peer->fd = std::move(fd);
        const uint64_t id = peer->id;
        if (!mLoop.Watch(peer->fd.Get(), EPOLLIN | EPOLLRDHUP,
                         [this, id](uint32_t events) { OnPeerEvent(id, events); }))
            continue;
        mPeers.emplace(id, std::move(peer));
        ++mLivePeers;
    }
}

void Host::PauseAccepting() {
    // The pending connection keeps the listener readable; without a pause the loop would spin
    // until a descriptor frees up.
    std::fprintf(stderr, "tvb-devhost: cannot accept (%s); pausing\n", std::strerror(errno));
    mLoop.Unwatch(mListener.Get());
    AddTimer(Clock::now() + std::chrono::milliseconds(100),
             [this] { mLoop.Watch(mListener.Get(), EPOLLIN, [this](uint32_t) { Accept(); }); });
}

void Host::OnPeerEvent(uint64_t peerId, uint32_t events) {
    Peer* peer = FindPeer(peerId);
    if (peer == nullptr)
        return;
    // A peer that hung up both ways reads no answer: it gave up on what it left unread (a
    // request that timed out while the host was stopped), so that is not carried out, or a
    // press would be taken by a query nobody hears. A peer that only stopped writing is served.
    if (events & (EPOLLHUP | EPOLLERR)) {
        Disconnect(*peer);
        return;
    }
    if (events & EPOLLOUT)
        Flush(*peer);
    if (!peer->dead && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
        ReadFrom(*peer);
}

void Host::ReadFrom(Peer& peer) {
    constexpr size_t kChunk = 65536;
    size_t budget = kReadBudget;
    bool closed = false;
    while (budget > 0) {
        const size_t want = std::min(kChunk, budget);
        const ssize_t got = recv(peer.fd.Get(), peer.reader.Reserve(want), want, 0);
        if (got > 0) {
            peer.reader.Grow(static_cast<size_t>(got));
            budget -= static_cast<size_t>(got);
            // A stream socket hands over all it holds: a short read found it empty, and the
            // read that would say so again costs a system call per request.
            if (static_cast<size_t>(got) < want)
                break;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        closed = true;
        break;
    }
    for (;;) {
        wire::FrameView frame;
        const wire::DecodeStatus status = peer.reader.Next(frame);
        if (status == wire::DecodeStatus::NeedMore)
            break;
        if (status != wire::DecodeStatus::Frame) {
            Misbehaved(peer, wire::DescribeDecodeStatus(status));
            return;
        }
        HandleFrame(peer, frame);
        if (peer.dead)
            return;
    }
    // With the budget spent, level-triggered epoll brings us back next round for the rest.
    if (closed)
        Disconnect(peer);
}

void Host::HandleFrame(Peer& peer, const wire::FrameView& frame) {
    if (frame.header.kind != wire::FrameKind::Request) {
        Misbehaved(peer, "it sent something other than a request");
        return;
    }
    const auto& table = Dispatch();
    if (frame.header.code >= table.size()) {
        Reply reply;
        reply.id = frame.header.id;
        reply.Fail(wire::kStatusUnsupported, "unknown op " + std::to_string(frame.header.code));
        Respond(peer.id, static_cast<wire::Op>(frame.header.code), reply, wire::HelloAnswer{});
        return;
    }
    (this->*table[frame.header.code])(peer, frame);
}

void Host::Flush(Peer& peer) {
    while (peer.outputOffset < peer.output.size()) {
        const ssize_t sent = send(peer.fd.Get(), peer.output.data() + peer.outputOffset,
                                  peer.output.size() - peer.outputOffset, MSG_NOSIGNAL);
        if (sent > 0) {
            peer.outputOffset += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        Disconnect(peer);
        return;
    }
    if (peer.outputOffset == peer.output.size()) {
        if (peer.output.capacity() > kKeptOutputCapacity)
            std::vector<uint8_t>().swap(peer.output);
        peer.output.clear();
        peer.outputOffset = 0;
    } else if (peer.outputOffset > peer.output.size() / 2) {
        peer.output.erase(peer.output.begin(), peer.output.begin() + peer.outputOffset);
        peer.outputOffset = 0;
    }
    if (peer.output.size() - peer.outputOffset > mLimits.maxPendingOutput) {
        Misbehaved(peer, "it does not read what it is sent");
        return;
    }
    const bool pending = !peer.output.empty();
    if (pending != peer.writeWatched) {
        peer.writeWatched = pending;
        mLoop.Modify(peer.fd.Get(), EPOLLIN | EPOLLRDHUP | (pending ? EPOLLOUT : 0u));
    }
}

void Host::Misbehaved(Peer& peer, const std::string& why) {
    std::fprintf(stderr, "tvb-devhost: disconnecting peer %llu: %s\n",
                 static_cast<unsigned long long>(peer.id), why.c_str());
    Disconnect(peer);
}

void Host::Disconnect(Peer& peer) {
    if (peer.dead)
        return;
    peer.dead = true;
    --mLivePeers;
    mLoop.Unwatch(peer.fd.Get());
    peer.fd.Reset();
    peer.output.clear();
}

void Host::ReapDeadPeers() {
    size_t released = 0;
    for (auto it = mPeers.begin(); it != mPeers.end();) {
        if (!it->second->dead) {
            ++it;
            continue;
        }
        const uint64_t id = it->first;
        released += it->second->subscriptions;
        for (auto s = mMatchSubscriptions.begin(); s != mMatchSubscriptions.end();)
            s = s->second.peer == id ? mMatchSubscriptions.erase(s) : std::next(s);
        for (auto s = mInterestSubscriptions.begin(); s != mInterestSubscriptions.end();)
            s = s->second.peer == id ? mInterestSubscriptions.erase(s) : std::next(s);
        for (auto c = mConnections.begin(); c != mConnections.end();) {
            if (c->second.peer != id) {
                ++c;
                continue;
            }
            // The driver sees its client go away as a close.
            auto drive = mDrives.find(c->second.drive);
            if (drive != mDrives.end())
                drive->second.Close();
            c = mConnections.erase(c);
        }
        for (auto w = mWaits.begin(); w != mWaits.end();) {
            if (w->second.peer != id) {
                ++w;
                continue;
            }
            mLoop.CancelTimer(w->second.timer);
            mTimers.erase(w->second.timer);
            w = mWaits.erase(w);
        }
        it = mPeers.erase(it);
    }
    // Thousands of small nodes freed at once stay with malloc unless it is told to let go, and
    // the host lives as long as the session.
    if (released >= kTrimAfterSubscriptions)
        malloc_trim(0);
}

void Host::AnnounceArrivals(const std::vector<uint64_t>& added) {
    // Collect first: sending may drop a peer, which must not disturb this walk.
    std::vector<std::pair<uint64_t, wire::MatchedEvent>> events;
    for (const auto& [subscription, match] : mMatchSubscriptions) {
        wire::MatchedEvent event;
        for (uint64_t id : added)
            if (const RegistryEntry* entry = mRegistry.Find(id);
                entry && match.criteria.Matches(*entry))
                event.entries.push_back(id);
        if (event.entries.empty())
            continue;
        event.subscription = subscription;
        events.emplace_back(match.peer, std::move(event));
    }
    for (auto& [peer, event] : events)
        SendEvent(peer, event);
}

void Host::SendInterest(uint64_t entry, uint32_t messageType, uint64_t argument) {
    std::vector<std::pair<uint64_t, wire::InterestEvent>> events;
    for (const auto& [subscription, interest] : mInterestSubscriptions) {
        if (interest.entry == entry)
            events.emplace_back(interest.peer,
                                wire::InterestEvent{subscription, messageType, argument});
    }
    for (auto& [peer, event] : events)
        SendEvent(peer, event);
}

size_t Host::Watchers(uint64_t entry) const {
    size_t n = 0;
    for (const auto& [subscription, interest] : mInterestSubscriptions)
        if (interest.entry == entry && mPeers.count(interest.peer) &&
            !mPeers.at(interest.peer)->dead)
            ++n;
    return n;
}

void Host::RecordWait(const std::string& className, const std::string& name,
                      wire::WaitOutcome outcome) {
    if (mWaitRecords.size() >= mLimits.maxWaitRecords)
        mWaitRecords.pop_front();
    mWaitRecords.push_back(WaitRecord{className, name, outcome});
}

void Host::EvaluateWait(uint64_t waitId) {
    auto it = mWaits.find(waitId);
    if (it == mWaits.end())
        return;
    PendingWait& wait = it->second;
    const auto now = Clock::now();
    Reply reply;
    reply.id = wait.requestId;
    if (mRegistry.Find(wait.entry) == nullptr) {
        RecordWait(wait.className, wait.name, wire::WaitOutcome::Gone);
        reply.Fail(wire::kStatusNotFound, "the entry was terminated");
    } else if (!mRegistry.IsBusy(wait.entry, now)) {
        RecordWait(wait.className, wait.name, wire::WaitOutcome::Quiet);
    } else if (now >= wait.deadline) {
        RecordWait(wait.className, wait.name, wire::WaitOutcome::Timeout);
        reply.Fail(wire::kStatusTimeout, "");
    } else {
        // Still settling, perhaps longer than before: look again when it should be quiet.
        const auto when = std::min(wait.deadline, mRegistry.QuietAt(wait.entry));
        wait.timer = AddTimer(when, [this, waitId] { EvaluateWait(waitId); });
        return;
    }
    const uint64_t peer = wait.peer;
    mWaits.erase(it);
    Respond(peer, wire::Op::WaitQuiet, reply, wire::WaitQuietAnswer{});
}

Drive* Host::FindDrive(const std::string& key) {
    auto bySerial = mDrivesBySerial.find(key);
    if (bySerial != mDrivesBySerial.end() && !bySerial->second.empty())
        return &mDrives.at(*bySerial->second.begin());
    auto byBsd = mDrivesByBsdName.find(key);
    return byBsd == mDrivesByBsdName.end() ? nullptr : &mDrives.at(byBsd->second);
}

Drive* Host::WithDrive(const std::string& key, Reply& reply) {
    Drive* drive = FindDrive(key);
    if (drive == nullptr)
        reply.Fail(wire::kStatusNotFound, "no drive " + key);
    return drive;
}

void Host::TerminateDrive(Drive& drive) {
    const std::vector<uint64_t> doomed = mRegistry.Subtree(drive.UsbDevice());
    for (uint64_t entry : doomed)
        SendInterest(entry, wire::kMessageServiceIsTerminated, 0);
    for (auto s = mInterestSubscriptions.begin(); s != mInterestSubscriptions.end();) {
        if (std::find(doomed.begin(), doomed.end(), s->second.entry) == doomed.end()) {
            ++s;
            continue;
        }
        Unsubscribed(s->second.peer);
        s = mInterestSubscriptions.erase(s);
    }
    mRegistry.RemoveSubtree(drive.UsbDevice());
    // Waiters on the removed entries hear it now rather than at their time-out.
    std::vector<uint64_t> orphaned;
    for (const auto& [id, wait] : mWaits)
        if (mRegistry.Find(wait.entry) == nullptr)
            orphaned.push_back(id);
    for (uint64_t id : orphaned) {
        mLoop.CancelTimer(mWaits.at(id).timer);
        mTimers.erase(mWaits.at(id).timer);
        EvaluateWait(id);
    }
    auto serial = mDrivesBySerial.find(drive.Plan().serial);
    if (serial != mDrivesBySerial.end()) {
        serial->second.erase(drive.Id());
        if (serial->second.empty())
            mDrivesBySerial.erase(serial);
    }
    mDrivesByBsdName.erase(drive.BsdName());
    for (const Volume& volume : drive.Volumes())
        mVolumes.erase(volume.id);
    mDrives.erase(drive.Id());
}

} // namespace tvb::host
