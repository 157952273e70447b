#include "TvbWire.h"

#include "BinaryPlistGuard.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace tvb::wire {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReceiveChunk = 64 * 1024;

uint64_t ReadLittle(const uint8_t* p, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i)
        v |= uint64_t(p[i]) << (8 * i);
    return v;
}

} // namespace

const char* OpName(Op op) {
    static const char* const kNames[] = {
#define TVB_OP_NAME(name, request, answer) #name,
        TVB_OPERATIONS(TVB_OP_NAME, TVB_FIELD_DECLARE)
#undef TVB_OP_NAME
    };
    const auto index = static_cast<size_t>(op);
    return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "unknown";
}

bool PlistDataIsSafe(const std::vector<uint8_t>& bytes) {
    return plistguard::BinaryPlistIsSafe(bytes.data(), bytes.size());
}

std::string BoundedReason(const std::string& reason) {
    if (reason.size() <= kMaxText)
        return reason;
    size_t cut = kMaxText;
    // Not inside a UTF-8 character.
    while (cut > 0 && (static_cast<unsigned char>(reason[cut]) & 0xc0) == 0x80)
        --cut;
    return reason.substr(0, cut);
}

const char* DescribeDecodeStatus(DecodeStatus status) {
    switch (status) {
    case DecodeStatus::Frame:
        return "frame";
    case DecodeStatus::NeedMore:
        return "incomplete frame";
    case DecodeStatus::Short:
        return "frame shorter than its header";
    case DecodeStatus::Oversized:
        return "oversized frame";
    case DecodeStatus::BadHeader:
        return "malformed frame header";
    }
    return "unknown";
}

DecodeStatus DecodeFrame(const uint8_t* data, size_t length, FrameView& out, size_t& consumed) {
    if (length < kLengthBytes)
        return DecodeStatus::NeedMore;
    const uint64_t size = ReadLittle(data, 4);
    if (size < kHeaderBytes - kLengthBytes)
        return DecodeStatus::Short;
    if (size > kMaxFrameBytes)
        return DecodeStatus::Oversized;
    if (length - kLengthBytes < size)
        return DecodeStatus::NeedMore;
    const uint8_t kind = data[6];
    if (kind < uint8_t(FrameKind::Request) || kind > uint8_t(FrameKind::Event) || data[7] != 0)
        return DecodeStatus::BadHeader;
    out.header.code = static_cast<uint16_t>(ReadLittle(data + 4, 2));
    out.header.kind = static_cast<FrameKind>(kind);
    out.header.status = static_cast<int32_t>(static_cast<uint32_t>(ReadLittle(data + 8, 4)));
    out.header.id = ReadLittle(data + 12, 8);
    out.header.generation = ReadLittle(data + 20, 8);
    out.body = data + kHeaderBytes;
    out.bodyLength = kLengthBytes + size - kHeaderBytes;
    consumed = kLengthBytes + size;
    return DecodeStatus::Frame;
}

namespace {

template <typename Message> bool RoundTrip(const FrameView& frame, std::vector<uint8_t>* again) {
    Message message;
    if (!DecodeBody(frame.body, frame.bodyLength, message))
        return false;
    if (again != nullptr)
        AppendFrame(*again, frame.header, [&](Writer& w) { w(message); });
    return true;
}

} // namespace

bool DecodeDeclaredBody(const FrameView& frame, std::vector<uint8_t>* again) {
    const uint16_t code = frame.header.code;
    switch (frame.header.kind) {
    case FrameKind::Request:
        switch (static_cast<Op>(code)) {
#define TVB_CHECK_REQUEST(name, request, answer)                                                   \
    case Op::name:                                                                                 \
        return RoundTrip<name##Request>(frame, again);
            TVB_OPERATIONS(TVB_CHECK_REQUEST, TVB_FIELD_DECLARE)
#undef TVB_CHECK_REQUEST
        case Op::Count:
            break;
        }
        return false;
    case FrameKind::Answer:
        if (frame.header.status != kStatusSuccess)
            return RoundTrip<Text>(frame, again);
        switch (static_cast<Op>(code)) {
#define TVB_CHECK_ANSWER(name, request, answer)                                                    \
    case Op::name:                                                                                 \
        return RoundTrip<name##Answer>(frame, again);
            TVB_OPERATIONS(TVB_CHECK_ANSWER, TVB_FIELD_DECLARE)
#undef TVB_CHECK_ANSWER
        case Op::Count:
            break;
        }
        return false;
    case FrameKind::Event:
        switch (static_cast<EventKind>(code)) {
#define TVB_CHECK_EVENT(name, fields)                                                              \
    case EventKind::name:                                                                          \
        return RoundTrip<name##Event>(frame, again);
            TVB_EVENTS(TVB_CHECK_EVENT, TVB_FIELD_DECLARE)
#undef TVB_CHECK_EVENT
        case EventKind::Count:
            break;
        }
        return false;
    }
    return false;
}

uint8_t* FrameReader::Reserve(size_t wanted) {
    // Drop consumed bytes first, so the buffer stays near one frame in size.
    if (mBegin > 0) {
        if (mBegin < mEnd)
            std::memmove(mBuffer.data(), mBuffer.data() + mBegin, mEnd - mBegin);
        mEnd -= mBegin;
        mBegin = 0;
    }
    if (mBuffer.size() < mEnd + wanted)
        mBuffer.resize(mEnd + wanted);
    return mBuffer.data() + mEnd;
}

void FrameReader::Append(const uint8_t* data, size_t length) {
    if (mFailed || length == 0)
        return;
    std::memcpy(Reserve(length), data, length);
    Grow(length);
}

DecodeStatus FrameReader::Next(FrameView& out) {
    if (mFailed)
        return mError;
    size_t consumed = 0;
    const DecodeStatus status = DecodeFrame(mBuffer.data() + mBegin, mEnd - mBegin, out, consumed);
    if (status == DecodeStatus::Frame) {
        mBegin += consumed;
    } else if (status != DecodeStatus::NeedMore) {
        mFailed = true;
        mError = status;
        mBegin = mEnd = 0;
    }
    return status;
}

namespace {
std::atomic<int> gWaitsInterrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
} // namespace

void InterruptWaits() {
    gWaitsInterrupted.store(1, std::memory_order_relaxed);
}

void ResumeWaits() {
    gWaitsInterrupted.store(0, std::memory_order_relaxed);
}

bool WaitsInterrupted() {
    return gWaitsInterrupted.load(std::memory_order_relaxed) != 0;
}

std::string DefaultSocketPath() {
    const char* explicitPath = std::getenv("TVB_DEVHOST_SOCKET");
    if (explicitPath != nullptr && *explicitPath != '\0')
        return explicitPath;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0')
        return std::string(runtime) + "/tvb-devhost.sock";
    return "/tmp/tvb-devhost-" + std::to_string(getuid()) + "/devhost.sock";
}

Connection::Connection(Connection&& other) noexcept {
    *this = std::move(other);
}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        mFd = std::move(other.mFd);
        mNextId = other.mNextId;
        mReceiveTimeoutMs = other.mReceiveTimeoutMs;
        mSend = std::move(other.mSend);
        mReader = std::move(other.mReader);
        mEvents = std::move(other.mEvents);
    }
    return *this;
}

bool Connection::Connect(const std::string& path, std::string* error) {
    Close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        if (error)
            *error = "socket path is empty or too long: " + path;
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    tvb::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        const int failure = errno;
        if (error)
            *error = std::string("socket: ") + std::strerror(failure);
        errno = failure;
        return false;
    }
    // A listener that never accepts (a stopped host) must not hold connect() forever.
    timeval limit{1, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int failure = errno;
        if (error)
            *error = "cannot reach the device host at " + path + ": " + std::strerror(failure);
        errno = failure;
        return false;
    }
    // Anyone can make a directory in /tmp first: only a host of our own user is trusted.
    ucred cred{};
    socklen_t credLength = sizeof cred;
    if (getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &cred, &credLength) != 0 ||
        cred.uid != getuid()) {
        if (error)
            *error = "the process listening on " + path + " belongs to uid " +
                     std::to_string(cred.uid) + ", not to us";
        errno = EACCES;
        return false;
    }
    mFd = std::move(fd);
    mReceiveTimeoutMs = -1;
    mReader = FrameReader();
    mEvents.clear();
    return true;
}

void Connection::Close() {
    mFd.Reset();
}

bool Connection::SendBytes(const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0 && mFd) {
        // SO_SNDTIMEO bounds a send to a host that does not read.
        const ssize_t sent = send(mFd.Get(), bytes, length, MSG_NOSIGNAL);
        if (sent > 0) {
            bytes += sent;
            length -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR && !WaitsInterrupted())
            continue;
        Close();
        return false;
    }
    return length == 0;
}

bool Connection::SetReceiveTimeout(int timeoutMs) {
    if (timeoutMs == mReceiveTimeoutMs)
        return true;
    timeval limit{timeoutMs / 1000, static_cast<suseconds_t>(timeoutMs % 1000) * 1000};
    if (setsockopt(mFd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0)
        return false;
    mReceiveTimeoutMs = timeoutMs;
    return true;
}

bool Connection::Receive(int timeoutMs, bool& timedOut) {
    timedOut = false;
    if (!mFd)
        return false;
    if (timeoutMs > 0 && !SetReceiveTimeout(timeoutMs))
        return false;
    for (;;) {
        uint8_t* tail = mReader.Reserve(kReceiveChunk);
        const ssize_t got = recv(mFd.Get(), tail, kReceiveChunk, timeoutMs > 0 ? 0 : MSG_DONTWAIT);
        if (got > 0) {
            mReader.Grow(static_cast<size_t>(got));
            return true;
        }
        // A receive bounded by SO_RCVTIMEO is never restarted after a handler: a quit signal
        // breaks it here.
        if (got < 0 && errno == EINTR && !WaitsInterrupted())
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            timedOut = true;
            return true;
        }
        Close();
        return false;
    }
}

CallStatus& Connection::Broken(CallStatus& result, const char* why) {
    Close();
    result.transport = CallStatus::BadAnswer;
    result.status = kStatusNotResponding;
    result.error = why;
    return result;
}

bool Connection::QueueEvent(const FrameView& frame) {
    Event event;
    event.generation = frame.header.generation;
    bool ok = false;
    switch (static_cast<EventKind>(frame.header.code)) {
    case EventKind::Matched:
        event.kind = EventKind::Matched;
        ok = DecodeBody(frame.body, frame.bodyLength, event.matched);
        break;
    case EventKind::Interest:
        event.kind = EventKind::Interest;
        ok = DecodeBody(frame.body, frame.bodyLength, event.interest);
        break;
    case EventKind::Count:
        break;
    }
    if (ok)
        mEvents.push_back(std::move(event));
    return ok;
}

bool Connection::Exchange(uint64_t id, int timeoutMs, FrameView& frame, CallStatus& result) {
    if (!SendBytes(mSend.data(), mSend.size())) {
        result.transport = CallStatus::SendFailed;
        result.error = "cannot send to the device host";
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool first = true; // the whole time-out, so that SO_RCVTIMEO is set only when it changes
    for (;;) {
        // Frames already buffered first: the answer may have come with an event.
        for (;;) {
            const DecodeStatus status = mReader.Next(frame);
            if (status == DecodeStatus::NeedMore)
                break;
            if (status != DecodeStatus::Frame) {
                Broken(result, DescribeDecodeStatus(status));
                return false;
            }
            if (frame.header.kind == FrameKind::Event) {
                if (!QueueEvent(frame)) {
                    Broken(result, "malformed event");
                    return false;
                }
                continue;
            }
            if (frame.header.kind != FrameKind::Answer) {
                Broken(result, "the host sent a request");
                return false;
            }
            if (frame.header.id != id)
                continue; // the late answer to a request that timed out
            result.transport = CallStatus::Reply;
            result.status = frame.header.status;
            result.generation = frame.header.generation;
            return true;
        }
        const auto left =
            first ? timeoutMs
                  : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                        .count();
        first = false;
        bool timedOut = false;
        if (left <= 0 || !Receive(static_cast<int>(left), timedOut) || timedOut) {
            result.transport = mFd ? CallStatus::TimedOut : CallStatus::Closed;
            result.error = mFd ? "the device host did not answer in time"
                               : "the device host closed the connection";
            return false;
        }
    }
}

bool Connection::ReadAvailable() {
    if (!mFd)
        return false;
    for (;;) {
        bool timedOut = false;
        if (!Receive(0, timedOut))
            break;
        if (timedOut)
            break;
    }
    return QueueBufferedFrames();
}

bool Connection::QueueBufferedFrames() {
    FrameView frame;
    for (;;) {
        const DecodeStatus status = mReader.Next(frame);
        if (status == DecodeStatus::NeedMore)
            break;
        if (status != DecodeStatus::Frame || frame.header.kind == FrameKind::Request ||
            (frame.header.kind == FrameKind::Event && !QueueEvent(frame))) {
            Close();
            break;
        }
        // Answers without a caller are late ones: dropped.
    }
    return IsOpen();
}

bool Connection::PeerAlive() {
    if (!mFd)
        return false;
    uint8_t byte;
    const ssize_t got = recv(mFd.Get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)))
        return true;
    Close();
    return false;
}

bool Connection::NextEvent(Event& out, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (mEvents.empty() && mFd) {
        ReadAvailable();
        if (!mEvents.empty() || !mFd)
            break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        bool timedOut = false;
        if (left <= 0 || !Receive(static_cast<int>(left), timedOut) || timedOut) {
            ReadAvailable();
            break;
        }
    }
    if (mEvents.empty())
        return false;
    out = std::move(mEvents.front());
    mEvents.pop_front();
    return true;
}

} // namespace tvb::wire
