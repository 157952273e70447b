#include "IONotificationPort_Internal.h"

#include <IOKit/IOMessage.h>

#include "IOKitHost_Internal.h"
#include "IOKitMatching_Internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace wire = tvb::wire;
using iokit::EntryKey;
using iokit::HandleTable;
using iokit::InterestNotification;
using iokit::MatchNotification;

namespace {

constexpr int kFirstRetryMs = 50;
constexpr int kLongestRetryMs = 1000;
// Just past the process session's first back-off, so that the host is asked again.
constexpr int kFirstRedeliveryMs = 1100;
constexpr int kLongestRedeliveryMs = 8800;

// Whom the process last told that it waits for a host; empty once a host was reached.
// Shared by all ports so that the process says it once, not once per port or retry.
class WaitingNotice {
public:
    static void Waiting(const std::string& path) {
        std::lock_guard<std::mutex> lock(Mutex());
        if (Said() == path)
            return;
        Said() = path;
        std::fprintf(stderr, "%s: waiting for the device host at %s\n",
                     program_invocation_short_name, path.c_str());
    }
    static void Reached() {
        std::lock_guard<std::mutex> lock(Mutex());
        Said().clear();
    }

private:
    // Never destroyed: a port may still retry while static destructors run.
    static std::mutex& Mutex() {
        static auto* mutex = new std::mutex;
        return *mutex;
    }
    static std::string& Said() {
        static auto* said = new std::string;
        return *said;
    }
};

template <typename T> void EraseFrom(std::vector<std::shared_ptr<T>>& list, const T* item) {
    list.erase(
        std::remove_if(list.begin(), list.end(),
                       [item](const std::shared_ptr<T>& each) { return each.get() == item; }),
        list.end());
}

} // namespace

// ---------------------------------------------------------------------------
// Notifications.

namespace iokit {

io_object_t MatchNotification::Next() {
    if (mPending.empty()) {
        mArmed = true;
        FinishDrain();
        return 0;
    }
    if (!mDraining) {
        mDraining = true;
        mDrainUnanswered = tvb::wire::HostSession::Shared().Unanswered();
        mHandedOut.clear();
    }
    const EntryKey key = mPending.front();
    mPending.pop_front();
    mHandedOut.push_back(key);
    return HandleTable::Shared().RetainEntry(key);
}

// The caller asks for the next service only once it has dealt with the last one, so a drain
// that ends with questions unanswered may have dealt with its services without the host.
void MatchNotification::FinishDrain() {
    if (!mDraining)
        return;
    mDraining = false;
    const bool unanswered = tvb::wire::HostSession::Shared().Unanswered() != mDrainUnanswered;
    for (const EntryKey& key : mHandedOut) {
        if (unanswered && std::find(mKept.begin(), mKept.end(), key) == mKept.end())
            mKept.push_back(key);
    }
    mHandedOut.clear();
    if (port() != nullptr)
        port()->DrainEnded(unanswered);
}

void MatchNotification::Append(uint64_t instance, const std::vector<uint64_t>& ids) {
    for (uint64_t id : ids)
        mPending.push_back(EntryKey{instance, id});
}

bool MatchNotification::TakeDelivery() {
    if (!mArmed || mPending.empty())
        return false;
    mArmed = false;
    return true;
}

void MatchNotification::Fire() {
    if (mCallback != nullptr)
        mCallback(mRefCon, handle);
}

void MatchNotification::RequeueKept() {
    mPending.insert(mPending.begin(), mKept.begin(), mKept.end());
    mKept.clear();
}

void InterestNotification::Fire(io_service_t service, uint32_t messageType, uint64_t argument) {
    if (mCallback != nullptr)
        mCallback(mRefCon, service, messageType,
                  reinterpret_cast<void*>(static_cast<uintptr_t>(argument)));
}

} // namespace iokit

// ---------------------------------------------------------------------------
// The port.

IONotificationPort* IONotificationPort::Create() {
    auto* port = new IONotificationPort;
    if (!port->mWaker.IsOpen()) {
        delete port;
        return nullptr;
    }
    CFFileDescriptorContext context = {0, port, nullptr, nullptr, nullptr};
    port->mDescriptor =
        CFFileDescriptorCreate(nullptr, port->mWaker.Fd(), false, Callout, &context);
    if (port->mDescriptor != nullptr)
        port->mSource = CFFileDescriptorCreateRunLoopSource(nullptr, port->mDescriptor, 0);
    if (port->mSource == nullptr) {
        delete port;
        return nullptr;
    }
    CFFileDescriptorEnableCallBacks(port->mDescriptor, kCFFileDescriptorReadCallBack);
    port->TryConnect();
    return port;
}

IONotificationPort::~IONotificationPort() {
    if (mDescriptor != nullptr) {
        CFFileDescriptorInvalidate(mDescriptor);
        CFRelease(mDescriptor);
    }
    if (mSource != nullptr) {
        CFRunLoopSourceInvalidate(mSource);
        CFRelease(mSource);
    }
    mWaker.Unwatch();
}

void IONotificationPort::Release() {
    if (--mReferences == 0)
        delete this;
}

void IONotificationPort::Destroy() {
    if (mState == State::Destroyed)
        return;
    mState = State::Destroyed;
    // Every list the dispatch calls out from is emptied, so no call-back follows this one;
    // events still queued find no notification.
    for (auto& match : mMatches)
        match->Detach();
    for (auto& interest : mInterests)
        interest->Detach();
    for (auto& interest : mTerminations)
        interest->Detach();
    for (auto& interest : mWaitingInterests)
        interest->Detach();
    mMatches.clear();
    mInterests.clear();
    mTerminations.clear();
    mWaitingInterests.clear();
    DropSocket();
    mWaker.DisarmRetry();
    // Off every run loop now (this also invalidates the source), not when the last
    // reference goes.
    CFFileDescriptorInvalidate(mDescriptor);
    Release();
}

void IONotificationPort::Callout(CFFileDescriptorRef, CFOptionFlags, void* info) {
    static_cast<IONotificationPort*>(info)->Service();
}

void IONotificationPort::Service() {
    // Any call-back below may destroy the port.
    const KeepAlive keepAlive(this);
    const bool retryDue = mWaker.Consume();
    if (mState == State::Connected && mSession.Link().IsOpen())
        mSession.Link().ReadAvailable();
    // Events that came before a disconnection are still delivered, in order.
    DispatchQueuedEvents();
    if (mState == State::Connected && !mSession.Link().IsOpen())
        LoseConnection();
    // Terminations go before matches so that services found again are not taken for
    // duplicates; connecting may add some (interests in services the new host lacks).
    DeliverTerminations();
    if (mState == State::Waiting && retryDue)
        TryConnect();
    else if (mState == State::Connected && retryDue)
        RequeueKeptMatches();
    DispatchQueuedEvents();
    DeliverTerminations();
    DeliverMatches();
    // The descriptor's call-back is one-shot; an invalidated one stays off.
    CFFileDescriptorEnableCallBacks(mDescriptor, kCFFileDescriptorReadCallBack);
}

// A host gone since the run loop last looked is noticed before a registration, so that
// the registration waits for the next host instead of going into a dead socket.
void IONotificationPort::NoticeLostConnection() {
    if (mState == State::Connected && !mSession.Link().ReadAvailable())
        LoseConnection();
    if (mSession.Link().HasQueuedEvent() || !mTerminations.empty())
        mWaker.Wake();
}

bool IONotificationPort::TryConnect() {
    tvb::wire::HostSession::Seen seen;
    if (!mSession.Connect(&seen)) {
        ++mFailedAttempts;
        WaitingNotice::Waiting(wire::DefaultSocketPath());
        mBackoffMs = mBackoffMs == 0 ? kFirstRetryMs : std::min(mBackoffMs * 2, kLongestRetryMs);
        mWaker.ArmRetry(mBackoffMs);
        return false;
    }
    WaitingNotice::Reached();
    wire::HostSession::Shared().HeardFrom(mSession.SocketPath());
    mInstance = seen.instance;
    mEpoch = seen.epoch;
    mState = State::Connected;
    mBackoffMs = 0;
    mWaker.DisarmRetry();
    mWaker.Watch(mSession.Link().Fd());
    auto matches = mMatches;
    for (auto& match : matches) {
        if (!mSession.Link().IsOpen())
            break;
        Subscribe(*match);
    }
    SubscribeWaitingInterests();
    // Services found again and terminations are delivered from the run loop, never from here.
    mWaker.Wake();
    return mState == State::Connected;
}

void IONotificationPort::SubscribeWaitingInterests() {
    auto waiting = std::move(mWaitingInterests);
    mWaitingInterests.clear();
    for (auto& interest : waiting) {
        const IOReturn status =
            mSession.Link().IsOpen() ? Subscribe(*interest) : kIOReturnNotResponding;
        if (status == kIOReturnSuccess)
            mInterests.push_back(interest);
        else if (status == kIOReturnNotResponding)
            mWaitingInterests.push_back(interest); // this host went too: the next one tells
        else
            mTerminations.push_back(interest); // no such service here: no message will come
    }
}

void IONotificationPort::DropSocket() {
    mWaker.Unwatch();
    mSession.Drop();
}

void IONotificationPort::LoseConnection() {
    DropSocket();
    mState = State::Waiting;
    for (auto& match : mMatches)
        match->subscription = 0;
    for (auto& interest : mInterests) {
        interest->subscription = 0;
        mTerminations.push_back(interest);
    }
    mInterests.clear();
    ForgetKeptMatches();
    mBackoffMs = kFirstRetryMs;
    mWaker.ArmRetry(mBackoffMs);
    mWaker.Wake();
}

template <typename Message>
bool IONotificationPort::Ask(const Message& request, typename Message::Answer& answer,
                             int32_t* status) {
    // Only on the connection the port watches and subscribed on: a host that went away unseen
    // (its end of file not read yet) must not be replaced by the next one behind the port's back.
    const int32_t result = mSession.Call(request, answer, wire::kRequestTimeoutMs,
                                         wire::HostSession::Expect{0, mEpoch});
    // Unanswered, or that connection gone (no port request concerns a user client, whose loss
    // kStatusNoDevice also tells): the socket is dropped; the run loop notices and reconnects.
    const bool lost = result == wire::kStatusNotResponding || result == wire::kStatusNoDevice;
    if (status != nullptr)
        *status = lost ? wire::kStatusNotResponding : result;
    if (lost)
        DropSocket();
    // Events read with the answer leave nothing on the socket to wake the run loop for them;
    // neither does a connection closed for what came after the answer.
    if (lost || mSession.Link().HasQueuedEvent() || !mSession.Link().IsOpen())
        mWaker.Wake();
    return result == kIOReturnSuccess;
}

IOReturn IONotificationPort::Subscribe(MatchNotification& match) {
    wire::SubscribeMatchRequest request;
    request.type = kIOFirstMatchNotification;
    request.criteria = iokit::ToWire(match.Criteria());
    wire::SubscribeMatchAnswer answer;
    int32_t status = kIOReturnSuccess;
    if (!Ask(request, answer, &status))
        return status;
    match.subscription = answer.subscription;
    std::vector<uint64_t> entries;
    entries.reserve(answer.entries.size());
    entries.insert(entries.end(), answer.entries.begin(), answer.entries.end());
    match.Append(mInstance, std::move(entries));
    return kIOReturnSuccess;
}

IOReturn IONotificationPort::Subscribe(InterestNotification& interest) {
    // Entries are named per host run: another run's entry is none of this host's.
    if (interest.Service().instance != mInstance)
        return kIOReturnNotFound;
    wire::SubscribeInterestRequest request;
    request.entry = interest.Service().id;
    request.type = interest.Type();
    wire::SubscribeInterestAnswer answer;
    int32_t status = kIOReturnSuccess;
    if (!Ask(request, answer, &status))
        return status;
    interest.subscription = answer.subscription;
    return kIOReturnSuccess;
}

void IONotificationPort::Unsubscribe(uint64_t subscription) {
    if (mState != State::Connected || !mSession.Link().IsOpen() || subscription == 0)
        return;
    wire::UnsubscribeRequest request;
    request.subscription = subscription;
    wire::UnsubscribeAnswer answer;
    Ask(request, answer);
}

IOReturn IONotificationPort::AddMatching(const iokit::MatchCriteria& criteria,
                                         IOServiceMatchingCallback callback, void* refCon,
                                         io_iterator_t* notification) {
    NoticeLostConnection();
    auto match = std::make_shared<MatchNotification>(this, criteria, callback, refCon);
    // Without a host the notification waits for one; TryConnect subscribes it.
    if (mState == State::Connected) {
        const IOReturn status = Subscribe(*match);
        if (status != kIOReturnSuccess && status != kIOReturnNotResponding)
            return status;
    }
    match->handle = HandleTable::Shared().Add(match);
    mMatches.push_back(match);
    *notification = match->handle;
    return kIOReturnSuccess;
}

IOReturn IONotificationPort::AddInterest(io_service_t service, const char* interestType,
                                         IOServiceInterestCallback callback, void* refCon,
                                         io_object_t* notification) {
    auto entry = HandleTable::Shared().FindAs<iokit::RegistryEntryObject>(
        service, iokit::ObjectKind::RegistryEntry);
    if (!entry)
        return MACH_SEND_INVALID_DEST;
    NoticeLostConnection();
    auto interest =
        std::make_shared<InterestNotification>(this, entry->Key(), interestType, callback, refCon);
    IOReturn status = mState == State::Connected ? Subscribe(*interest) : kIOReturnNotResponding;
    if (status == kIOReturnSuccess)
        mInterests.push_back(interest);
    else if (status == kIOReturnNotResponding)
        mWaitingInterests.push_back(interest); // the next host says whether the service lives
    else
        return status;
    *notification = HandleTable::Shared().Add(interest);
    return kIOReturnSuccess;
}

void IONotificationPort::Forget(MatchNotification* match) {
    const uint64_t subscription = match->subscription;
    match->Detach();
    EraseFrom(mMatches, match);
    Unsubscribe(subscription);
}

void IONotificationPort::Forget(InterestNotification* interest) {
    const uint64_t subscription = interest->finished ? 0 : interest->subscription;
    interest->Detach();
    EraseFrom(mInterests, interest);
    EraseFrom(mTerminations, interest);
    EraseFrom(mWaitingInterests, interest);
    Unsubscribe(subscription);
}

void IONotificationPort::DispatchQueuedEvents() {
    // The host that sent them answers: the process's requests to it need not wait.
    if (mSession.Link().HasQueuedEvent())
        wire::HostSession::Shared().HeardFrom(mSession.SocketPath());
    wire::Event event;
    while (mSession.Link().HasQueuedEvent()) {
        if (!mSession.Link().NextEvent(event, 0))
            break;
        mSession.NoteGeneration(event.generation);
        DispatchEvent(event);
    }
}

void IONotificationPort::DispatchEvent(const wire::Event& event) {
    if (event.kind == wire::EventKind::Matched) {
        for (auto& match : mMatches) {
            if (match->subscription == event.matched.subscription) {
                match->Append(mInstance, std::vector<uint64_t>(event.matched.entries.begin(),
                                                               event.matched.entries.end()));
                break;
            }
        }
        return;
    }
    if (event.kind != wire::EventKind::Interest)
        return;
    const uint32_t messageType = event.interest.messageType;
    for (auto& interest : mInterests) {
        if (interest->subscription != event.interest.subscription)
            continue;
        std::shared_ptr<InterestNotification> keep = interest;
        if (messageType == kIOMessageServiceIsTerminated) {
            // The host has already removed the subscription.
            keep->finished = true;
            keep->Detach();
            EraseFrom(mInterests, keep.get());
        }
        DeliverInterest(keep, messageType, event.interest.argument);
        return;
    }
}

void IONotificationPort::DeliverInterest(const std::shared_ptr<InterestNotification>& interest,
                                         uint32_t messageType, uint64_t argument) {
    // The service handle is lent for the call-back only.
    io_service_t service = HandleTable::Shared().RetainEntry(interest->Service());
    interest->Fire(service, messageType, argument);
    HandleTable::Shared().Release(service);
}

void IONotificationPort::DeliverTerminations() {
    while (!mTerminations.empty()) {
        std::shared_ptr<InterestNotification> interest = mTerminations.front();
        mTerminations.erase(mTerminations.begin());
        interest->finished = true;
        interest->Detach();
        DeliverInterest(interest, kIOMessageServiceIsTerminated, 0);
    }
}

void IONotificationPort::DeliverMatches() {
    auto matches = mMatches;
    // A match released or a port destroyed by an earlier call-back is detached by then.
    for (auto& match : matches) {
        if (match->port() == this && match->TakeDelivery())
            match->Fire();
    }
}

void IONotificationPort::DrainEnded(bool unanswered) {
    if (mState != State::Connected) {
        ForgetKeptMatches();
        return;
    }
    if (!unanswered) {
        mRedeliveryMs = 0;
        return;
    }
    mRedeliveryMs =
        mRedeliveryMs == 0 ? kFirstRedeliveryMs : std::min(mRedeliveryMs * 2, kLongestRedeliveryMs);
    mWaker.ArmRetry(mRedeliveryMs);
}

void IONotificationPort::RequeueKeptMatches() {
    for (auto& match : mMatches)
        match->RequeueKept();
}

// The next connection yields every service again.
void IONotificationPort::ForgetKeptMatches() {
    for (auto& match : mMatches)
        match->ForgetKept();
    mRedeliveryMs = 0;
}
