// Notification ports: one session with the device host per port (the same session code as
// the process's requests, with a connection of its own), carrying that port's subscriptions
// and their events. The port's run-loop source watches one descriptor that
// is readable when the socket has data, when the port has something of its own to deliver,
// or when it is time to retry a lost connection. While connected nothing else wakes it.
//
// When the connection breaks, every interest notification of the port receives
// kIOMessageServiceIsTerminated; the port retries with a back-off of up to 1 s and, once
// back, subscribes its matching notifications again, whose iterators then yield the
// services found by the new host. A request of the port goes only on the connection it watches:
// one that finds that connection gone (the host went and came back before the run loop looked)
// drops it as the run loop would, rather than carry on over a new one the port never watches.
//
// As on Mac OS X, where the kernel is always there, a port can be made and notifications
// registered while no host is reachable (before the first one started, or between two):
// registration then never blocks and never fails for want of a host. The notification is
// kept and sent when the retry reaches a host. A first match then yields the services that
// host has; an interest in a service of that same host run is subscribed, one in a service
// it does not have (an earlier run's, or one gone meanwhile) receives
// kIOMessageServiceIsTerminated. The first failed attempt after start or after a lost
// connection says once on stderr that the process waits for the host.
//
// A host that stops answering while a first-match iterator is drained (a time-out, a
// back-off; in a call-back or in the drain right after registration) would leave the services
// it gave out unread for good, since no second arrival comes. The port hands them out again,
// after 1.1 s and then less and less often, until a drain runs through with every question
// answered, or the connection breaks (the next connection yields every service anyway). A
// call-back must therefore take a service it already knows calmly, as the poller's does.
//
// Threading: a port and its notifications belong to the thread of the run loop its source
// runs on; call-backs run there, never inside the registration calls. So neither takes a lock;
// the one lock is the process-wide "waiting for the host" notice, which ports on different
// threads share. (The handle table and the session's connection lock for themselves.)
// Ownership: the port owns its source and socket; notifications are handles owned by their
// users and only referenced by the port while registered. The port is counted: its creator
// holds one reference, which IONotificationPortDestroy drops, and a dispatch holds another
// for its length, so a call-back may destroy the port and the dispatch still reads on. Once
// destroyed the port makes no further call-out; the last reference deletes it.
#pragma once

#include <CoreFoundation/CFFileDescriptor.h>
#include <IOKit/IOKitLib.h>

#include "IOKitMatching_Internal.h"
#include "IOKitObjects_Internal.h"
#include "TvbSession.h"

#include <tvb/UniqueFd.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace iokit {

// The one descriptor a port's run-loop source watches (Linux: epoll over the host socket,
// an eventfd and a timerfd).
class PortWaker {
public:
    PortWaker();
    PortWaker(const PortWaker&) = delete;
    PortWaker& operator=(const PortWaker&) = delete;

    bool IsOpen() const { return static_cast<bool>(mPoll); }
    int Fd() const { return mPoll.Get(); }
    void Watch(int socketFd);
    void Unwatch();
    // Makes the descriptor readable until the next Consume.
    void Wake();
    void ArmRetry(int delayMs);
    void DisarmRetry();
    bool RetryArmed() const { return mRetryArmed; }
    // Clears the wake-up and the timer; true when the retry time has come.
    bool Consume();

private:
    tvb::UniqueFd mPoll;
    tvb::UniqueFd mEvent;
    tvb::UniqueFd mTimer;
    int mWatched = -1; // the session's socket, owned by the session
    bool mRetryArmed = false;
};

class MatchNotification;
class InterestNotification;

} // namespace iokit

struct IONotificationPort {
public:
    static IONotificationPort* Create();
    // Ends every registration of the port and takes its source off the run loops, then drops
    // the creator's reference; a running dispatch keeps the port until it returns.
    void Destroy();
    CFRunLoopSourceRef Source() const { return mSource; }

    IOReturn AddMatching(const iokit::MatchCriteria& criteria, IOServiceMatchingCallback callback,
                         void* refCon, io_iterator_t* notification);
    IOReturn AddInterest(io_service_t service, const char* interestType,
                         IOServiceInterestCallback callback, void* refCon,
                         io_object_t* notification);
    // A notification's last user reference is gone: unsubscribe it.
    void Forget(iokit::MatchNotification* match);
    void Forget(iokit::InterestNotification* interest);

    // For tests: whether the port's socket to the host is up, the retry timer armed, and
    // how many attempts to reach a host have failed.
    bool IsConnected() const { return mState == State::Connected; }
    bool IsRetrying() const { return mWaker.RetryArmed(); }
    int FailedAttempts() const { return mFailedAttempts; }

private:
    // Waiting: no host reached yet or the connection was lost; the retry timer runs.
    enum class State { Waiting, Connected, Destroyed };

    // Holds a reference for its scope.
    class KeepAlive {
    public:
        explicit KeepAlive(IONotificationPort* port) : mPort(port) { ++mPort->mReferences; }
        ~KeepAlive() { mPort->Release(); }
        KeepAlive(const KeepAlive&) = delete;
        KeepAlive& operator=(const KeepAlive&) = delete;

    private:
        IONotificationPort* const mPort;
    };

    IONotificationPort() = default;
    ~IONotificationPort();
    void Release();

    static void Callout(CFFileDescriptorRef descriptor, CFOptionFlags types, void* info);
    void Service();
    void NoticeLostConnection();
    bool TryConnect();
    void LoseConnection();
    void DropSocket();
    // kIOReturnNotResponding when the host did not answer or the connection the port watches
    // is gone: the socket is dropped then and the notification waits for the next connection.
    IOReturn Subscribe(iokit::MatchNotification& match);
    IOReturn Subscribe(iokit::InterestNotification& interest);
    void SubscribeWaitingInterests();
    void Unsubscribe(uint64_t subscription);
    template <typename Message>
    bool Ask(const Message& request, typename Message::Answer& answer, int32_t* status = nullptr);
    void DispatchQueuedEvents();
    void DispatchEvent(const tvb::wire::Event& event);
    void DeliverTerminations();
    void DeliverMatches();
    void RequeueKeptMatches();
    void ForgetKeptMatches();
    friend class iokit::MatchNotification;
    // A first-match iterator was drained; `unanswered`: some request went unanswered meanwhile,
    // and the services it gave out wait to be handed out again.
    void DrainEnded(bool unanswered);
    void DeliverInterest(const std::shared_ptr<iokit::InterestNotification>& interest,
                         uint32_t messageType, uint64_t argument);

    iokit::PortWaker mWaker;
    CFFileDescriptorRef mDescriptor = nullptr;
    CFRunLoopSourceRef mSource = nullptr;
    tvb::wire::HostSession mSession;
    uint64_t mInstance = 0;
    uint64_t mEpoch = 0; // the session's connection the subscriptions live on
    State mState = State::Waiting;
    int mBackoffMs = 0;
    int mRedeliveryMs = 0; // while services wait to be handed out again
    int mFailedAttempts = 0;
    std::vector<std::shared_ptr<iokit::MatchNotification>> mMatches;
    std::vector<std::shared_ptr<iokit::InterestNotification>> mInterests;
    // Registered while no host was reached: not subscribed yet.
    std::vector<std::shared_ptr<iokit::InterestNotification>> mWaitingInterests;
    std::vector<std::shared_ptr<iokit::InterestNotification>> mTerminations;
    int mReferences = 1; // the creator's
};

namespace iokit {

// A notification's way back to its port, cut when the port goes first.
class PortLink {
public:
    explicit PortLink(IONotificationPort* port) : mPort(port) {}
    IONotificationPort* port() const { return mPort; }
    void Detach() { mPort = nullptr; }

protected:
    // The last user reference is gone: the port unsubscribes `notification`.
    template <typename Notification> void ForgetAtPort(Notification* notification) {
        if (mPort != nullptr)
            mPort->Forget(notification);
    }

private:
    IONotificationPort* mPort;
};

// A first-match notification; also the iterator handed to its call-back.
class MatchNotification final : public IteratorObject, public PortLink {
public:
    MatchNotification(IONotificationPort* port, MatchCriteria criteria,
                      IOServiceMatchingCallback callback, void* refCon)
        : PortLink(port), mCriteria(std::move(criteria)), mCallback(callback), mRefCon(refCon) {}
    const char* ClassName() const override { return "IOServiceUserNotification"; }
    io_object_t Next() override;
    void Reset() override {}
    void Died() override { ForgetAtPort(this); }

    const MatchCriteria& Criteria() const { return mCriteria; }
    void Append(uint64_t instance, const std::vector<uint64_t>& ids);
    // True once when the iterator was drained and new matches wait: the call-back is due.
    bool TakeDelivery();
    void Fire();
    // Kept services wait in the iterator again, first.
    void RequeueKept();
    void ForgetKept() { mKept.clear(); }

    io_iterator_t handle = 0;
    uint64_t subscription = 0;

private:
    const MatchCriteria mCriteria;
    const IOServiceMatchingCallback mCallback;
    void* const mRefCon;
    std::deque<EntryKey> mPending;
    bool mArmed = false; // set when Next reaches the end
    void FinishDrain();
    // Since the first Next after the last drain: what was given out, and the session's count
    // of unanswered requests then.
    bool mDraining = false;
    uint64_t mDrainUnanswered = 0;
    std::vector<EntryKey> mHandedOut;
    std::vector<EntryKey> mKept; // given out while the host did not answer
};

class InterestNotification final : public Object, public PortLink {
public:
    InterestNotification(IONotificationPort* port, EntryKey service, std::string type,
                         IOServiceInterestCallback callback, void* refCon)
        : Object(ObjectKind::InterestNotification), PortLink(port), mService(service),
          mType(std::move(type)), mCallback(callback), mRefCon(refCon) {}
    const char* ClassName() const override { return "IOServiceMessageUserNotification"; }
    void Died() override { ForgetAtPort(this); }

    EntryKey Service() const { return mService; }
    const std::string& Type() const { return mType; }
    void Fire(io_service_t service, uint32_t messageType, uint64_t argument);

    uint64_t subscription = 0;
    bool finished = false; // terminated: no further messages

private:
    const EntryKey mService;
    const std::string mType;
    const IOServiceInterestCallback mCallback;
    void* const mRefCon;
};

} // namespace iokit
