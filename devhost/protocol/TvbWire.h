// Frames of the device host's protocol (the messages are declared in TvbProtocol.h) and the
// blocking client connection.
//
// A frame is a 28-byte header, little endian: u32 length of what follows it (24 + body, at most
// kMaxFrameBytes), u16 code (an Op, or an EventKind for events), u8 kind, u8 zero, i32 status
// (answers), u64 id (requests and their answers), u64 registry generation (answers and events).
// The body is the message's fields (TvbProtocol.h).
//
// Threading: the free functions are safe from any thread; a Connection or FrameReader is used by
// one thread at a time.
// Ownership: plain values; a FrameView borrows its reader's buffer until the next Append.
#pragma once

#include "TvbProtocol.h"

#include <tvb/UniqueFd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <type_traits>
#include <vector>

namespace tvb::wire {

enum class FrameKind : uint8_t { Request = 1, Answer = 2, Event = 3 };

constexpr size_t kLengthBytes = 4;
constexpr size_t kHeaderBytes = 28;

struct FrameHeader {
    uint16_t code = 0;
    FrameKind kind = FrameKind::Request;
    int32_t status = kStatusSuccess;
    uint64_t id = 0;
    uint64_t generation = 0;
};

// ---------------------------------------------------------------------------
// Field codec.

bool PlistDataIsSafe(const std::vector<uint8_t>& bytes);

// Appends fields to `out`. The vector grows in steps and is cut to what was written when the
// writer finishes (Finish() or its destructor), so that a field costs no resize of its own.
class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : mOut(out), mPos(out.size()) {}
    ~Writer() { Finish(); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // The bytes written so far end the vector; returns its size.
    size_t Finish() {
        mOut.resize(mPos);
        return mPos;
    }
    size_t Position() const { return mPos; }
    // False once a text, data, list or byte field went over its declared bound: the frame
    // must not be sent, since the other side would take it for a malformed one.
    bool WithinBounds() const { return mWithinBounds; }
    // For patching what was written before.
    uint8_t* At(size_t position) { return mOut.data() + position; }

    void Raw(const void* bytes, size_t length) {
        if (length == 0)
            return;
        std::memcpy(Room(length), bytes, length);
        mPos += length;
    }
    template <typename T> void Int(T value) {
        uint8_t* p = Room(sizeof(T));
        for (size_t i = 0; i < sizeof(T); ++i)
            p[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
        mPos += sizeof(T);
    }

    void operator()(bool value) { Int<uint8_t>(value ? 1 : 0); }
    void operator()(uint8_t value) { Int(value); }
    void operator()(uint32_t value) { Int(value); }
    void operator()(uint64_t value) { Int(value); }
    void operator()(const std::string& text) {
        Bound(text.size(), kMaxText);
        Int<uint32_t>(static_cast<uint32_t>(text.size()));
        Raw(text.data(), text.size());
    }
    void operator()(const std::vector<uint8_t>& bytes) {
        Bound(bytes.size(), kMaxData);
        Int<uint32_t>(static_cast<uint32_t>(bytes.size()));
        Raw(bytes.data(), bytes.size());
    }
    void operator()(const PlistData& value) { (*this)(value.bytes); }
    template <size_t N> void operator()(const std::array<uint8_t, N>& bytes) {
        Raw(bytes.data(), N);
    }
    template <typename T, uint32_t N> void operator()(const List<T, N>& list) {
        Bound(list.size(), N);
        Int<uint32_t>(static_cast<uint32_t>(list.size()));
        for (const T& item : list)
            (*this)(item);
    }
    template <typename T, uint32_t N> void operator()(const InlineList<T, N>& list) {
        Bound(list.count, N);
        Int<uint32_t>(list.count);
        for (uint32_t i = 0; i < list.count && i < N; ++i)
            (*this)(list.items[i]);
    }
    template <uint32_t N> void operator()(const InlineBytes<N>& bytes) {
        Bound(bytes.size, N);
        const uint32_t size = bytes.size < N ? bytes.size : N;
        Int<uint32_t>(size);
        Raw(bytes.bytes.data(), size);
    }
    // Records and messages.
    template <typename T,
              typename = decltype(VisitFields(std::declval<const T&>(), std::declval<Writer&>()))>
    void operator()(const T& record) {
        VisitFields(record, *this);
    }

private:
    void Bound(size_t size, size_t bound) {
        if (size > bound)
            mWithinBounds = false;
    }
    uint8_t* Room(size_t length) {
        if (mPos + length > mOut.size())
            mOut.resize(std::max<size_t>({mOut.size() * 2, mPos + length, 256}));
        return mOut.data() + mPos;
    }

    std::vector<uint8_t>& mOut;
    size_t mPos;
    bool mWithinBounds = true;
};

// The bytes a Writer would append for a field, a record or a message, without writing them:
// for an answer that must be cut to what one frame holds.
class Sizer {
public:
    size_t Size() const { return mSize; }

    void operator()(bool) { mSize += 1; }
    void operator()(uint8_t) { mSize += 1; }
    void operator()(uint32_t) { mSize += 4; }
    void operator()(uint64_t) { mSize += 8; }
    void operator()(const std::string& text) { mSize += 4 + text.size(); }
    void operator()(const std::vector<uint8_t>& bytes) { mSize += 4 + bytes.size(); }
    void operator()(const PlistData& value) { (*this)(value.bytes); }
    template <size_t N> void operator()(const std::array<uint8_t, N>&) { mSize += N; }
    template <typename T, uint32_t N> void operator()(const List<T, N>& list) {
        mSize += 4;
        for (const T& item : list)
            (*this)(item);
    }
    template <typename T,
              typename = decltype(VisitFields(std::declval<const T&>(), std::declval<Sizer&>()))>
    void operator()(const T& record) {
        VisitFields(record, *this);
    }

private:
    size_t mSize = 0;
};

template <typename T> size_t EncodedSize(const T& value) {
    Sizer sizer;
    sizer(value);
    return sizer.Size();
}

// Reads fields in place; after the first fault every read fails and Ok() stays false.
class Reader {
public:
    Reader(const uint8_t* data, size_t length) : mData(data), mLeft(length) {}

    bool Ok() const { return mOk; }
    // Everything read and nothing left over.
    bool Finished() const { return mOk && mLeft == 0; }
    size_t Left() const { return mLeft; }

    template <typename T> bool Int(T& out) {
        if (!Take(sizeof(T)))
            return false;
        uint64_t value = 0;
        for (size_t i = 0; i < sizeof(T); ++i)
            value |= uint64_t(mData[mPos - sizeof(T) + i]) << (8 * i);
        out = static_cast<T>(value);
        return true;
    }

    void operator()(bool& out) {
        uint8_t byte = 0;
        if (Int(byte) && byte > 1)
            mOk = false;
        out = byte != 0;
    }
    void operator()(uint8_t& out) { Int(out); }
    void operator()(uint32_t& out) { Int(out); }
    void operator()(uint64_t& out) { Int(out); }
    void operator()(std::string& out) {
        const uint8_t* bytes = nullptr;
        uint32_t size = 0;
        if (Sized(kMaxText, bytes, size))
            out.assign(reinterpret_cast<const char*>(bytes), size);
    }
    void operator()(std::vector<uint8_t>& out) {
        const uint8_t* bytes = nullptr;
        uint32_t size = 0;
        if (Sized(kMaxData, bytes, size))
            out.assign(bytes, bytes + size);
    }
    void operator()(PlistData& out) {
        (*this)(out.bytes);
        if (mOk && !out.bytes.empty() && !PlistDataIsSafe(out.bytes))
            mOk = false;
    }
    template <size_t N> void operator()(std::array<uint8_t, N>& out) {
        if (Take(N))
            std::memcpy(out.data(), mData + mPos - N, N);
    }
    template <typename T, uint32_t N> void operator()(List<T, N>& list) {
        uint32_t count = 0;
        if (!Count(N, count))
            return;
        list.clear();
        list.reserve(count);
        for (uint32_t i = 0; i < count && mOk; ++i) {
            list.emplace_back();
            (*this)(list.back());
        }
    }
    template <typename T, uint32_t N> void operator()(InlineList<T, N>& list) {
        uint32_t count = 0;
        if (!Count(N, count))
            return;
        list.count = count;
        for (uint32_t i = 0; i < count && mOk; ++i)
            (*this)(list.items[i]);
    }
    template <uint32_t N> void operator()(InlineBytes<N>& out) {
        const uint8_t* bytes = nullptr;
        uint32_t size = 0;
        if (Sized(N, bytes, size)) {
            out.size = size;
            std::memcpy(out.bytes.data(), bytes, size);
        }
    }
    template <typename T,
              typename = decltype(VisitFields(std::declval<T&>(), std::declval<Reader&>()))>
    void operator()(T& record) {
        VisitFields(record, *this);
    }

private:
    bool Take(size_t n) {
        if (!mOk || mLeft < n) {
            mOk = false;
            return false;
        }
        mPos += n;
        mLeft -= n;
        return true;
    }
    // A count within its bound and within the bytes left (every item takes at least one).
    bool Count(uint32_t bound, uint32_t& count) {
        if (!Int(count))
            return false;
        if (count > bound || count > mLeft) {
            mOk = false;
            return false;
        }
        return true;
    }
    bool Sized(uint32_t bound, const uint8_t*& bytes, uint32_t& size) {
        if (!Int(size))
            return false;
        if (size > bound || !Take(size)) {
            mOk = false;
            return false;
        }
        bytes = mData + mPos - size;
        return true;
    }

    const uint8_t* mData;
    size_t mPos = 0;
    size_t mLeft;
    bool mOk = true;
};

// ---------------------------------------------------------------------------
// Frames.

// Appends one frame with `body` written by `write(Writer&)`; false when it would exceed
// kMaxFrameBytes (nothing is appended then).
template <typename WriteBody>
bool AppendFrame(std::vector<uint8_t>& out, const FrameHeader& header, WriteBody&& write) {
    const size_t start = out.size();
    size_t length = 0;
    bool withinBounds = false;
    {
        Writer w(out);
        w.Int<uint32_t>(0); // patched below
        w.Int<uint16_t>(header.code);
        w.Int<uint8_t>(static_cast<uint8_t>(header.kind));
        w.Int<uint8_t>(0);
        w.Int<uint32_t>(static_cast<uint32_t>(header.status));
        w.Int<uint64_t>(header.id);
        w.Int<uint64_t>(header.generation);
        write(w);
        withinBounds = w.WithinBounds();
        length = w.Finish() - start - kLengthBytes;
    }
    if (!withinBounds || length > kMaxFrameBytes) {
        out.resize(start);
        return false;
    }
    for (size_t i = 0; i < 4; ++i)
        out[start + i] = static_cast<uint8_t>(length >> (8 * i));
    return true;
}

template <typename Request>
bool AppendRequest(std::vector<uint8_t>& out, uint64_t id, const Request& request) {
    FrameHeader header;
    header.code = static_cast<uint16_t>(Request::kOp);
    header.kind = FrameKind::Request;
    header.id = id;
    return AppendFrame(out, header, [&](Writer& w) { w(request); });
}

// A failed answer's reason, cut to the bound of a text: it often quotes the request.
std::string BoundedReason(const std::string& reason);

// A successful answer carries the answer's fields, a failed one only its reason.
template <typename Answer>
bool AppendAnswer(std::vector<uint8_t>& out, Op op, uint64_t id, int32_t status,
                  uint64_t generation, const Answer& answer, const std::string& error) {
    FrameHeader header{static_cast<uint16_t>(op), FrameKind::Answer, status, id, generation};
    return AppendFrame(out, header, [&](Writer& w) {
        if (status == kStatusSuccess)
            w(answer);
        else
            w(BoundedReason(error));
    });
}

template <typename Event>
bool AppendEvent(std::vector<uint8_t>& out, uint64_t generation, const Event& event) {
    FrameHeader header{static_cast<uint16_t>(Event::kKind), FrameKind::Event, kStatusSuccess, 0,
                       generation};
    return AppendFrame(out, header, [&](Writer& w) { w(event); });
}

// Decodes `body` into `message`: false unless it holds exactly the declared fields.
template <typename Message> bool DecodeBody(const uint8_t* body, size_t length, Message& message) {
    Reader r(body, length);
    r(message);
    return r.Finished();
}

enum class DecodeStatus {
    Frame,     // one frame
    NeedMore,  // not enough bytes yet
    Short,     // length below the header
    Oversized, // length above kMaxFrameBytes
    BadHeader, // unknown kind or a non-zero reserved byte
};
const char* DescribeDecodeStatus(DecodeStatus status);

struct FrameView {
    FrameHeader header;
    const uint8_t* body = nullptr;
    size_t bodyLength = 0;
};

// Decodes the first frame's header in `data`; `consumed` is the whole frame's size.
DecodeStatus DecodeFrame(const uint8_t* data, size_t length, FrameView& out, size_t& consumed);

// Decodes a frame's body as the message its header names, and encodes it again into `again`
// (when given): false for an unknown code or a body that is not exactly that message. For the
// fuzz targets and tests; the host and clients decode the one message they expect.
bool DecodeDeclaredBody(const FrameView& frame, std::vector<uint8_t>* again = nullptr);

// Collects stream bytes and hands out whole frames. After an error it stays failed.
class FrameReader {
public:
    // Room for at least `wanted` more bytes at Tail(); Grow(n) then records what was written.
    uint8_t* Reserve(size_t wanted);
    void Grow(size_t written) { mEnd += written; }
    void Append(const uint8_t* data, size_t length);
    // Frame (and `out` set, valid until the next Reserve or Append), NeedMore, or the error.
    DecodeStatus Next(FrameView& out);
    size_t Buffered() const { return mEnd - mBegin; }
    bool Failed() const { return mFailed; }

private:
    std::vector<uint8_t> mBuffer;
    size_t mBegin = 0, mEnd = 0;
    bool mFailed = false;
    DecodeStatus mError = DecodeStatus::NeedMore;
};

// $TVB_DEVHOST_SOCKET, else $XDG_RUNTIME_DIR/tvb-devhost.sock, else
// /tmp/tvb-devhost-<uid>/devhost.sock.
std::string DefaultSocketPath();

// A process told to quit stops waiting on the host. InterruptWaits, async-signal-safe for a quit
// signal's handler, makes a receive or send that signal breaks give up and every session fail its
// requests at once, so that the call-out in progress (a wait for a settling drive lasts seconds)
// returns and the event loop can end; ResumeWaits, once that loop has ended and again as the
// next one starts, undoes it. A quit caught just before a receive starts waiting does not cut
// that receive short, only the requests after it.
void InterruptWaits();
void ResumeWaits();
bool WaitsInterrupted();

// How a call went: answered (with the host's status), or why not.
struct CallStatus {
    // Refused: nothing was sent, as the request breaks a declared bound; the connection stands.
    enum Transport { Reply, NotConnected, Refused, SendFailed, Closed, TimedOut, BadAnswer };
    Transport transport = NotConnected;
    int32_t status = kStatusNotResponding; // the host's, when answered
    uint64_t generation = 0;               // the registry generation the answer carries
    std::string error;                     // the host's reason, or what went wrong here

    bool Answered() const { return transport == Reply; }
    bool Ok() const { return Answered() && status == kStatusSuccess; }
};

// One event, decoded.
struct Event {
    EventKind kind = EventKind::Count;
    uint64_t generation = 0;
    MatchedEvent matched;
    InterestEvent interest;
};

// A blocking client connection. Connect() accepts only a host of our own uid. A call is one
// send and, normally, one receive bounded by SO_RCVTIMEO; the buffers are kept, so a call with
// fixed-size fields allocates nothing. Events arriving meanwhile are queued for NextEvent(). A
// late answer to a request that timed out is dropped. A malformed frame closes the connection.
class Connection {
public:
    Connection() = default;
    ~Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;

    // On failure `error` says why, and errno is ENOENT or ECONNREFUSED only when nobody
    // listens at `path`.
    bool Connect(const std::string& path, std::string* error = nullptr);
    void Close();
    bool IsOpen() const { return static_cast<bool>(mFd); }
    // For run-loop sources: readable means call ReadAvailable().
    int Fd() const { return mFd.Get(); }

    template <typename Request>
    CallStatus Call(const Request& request, typename Request::Answer& answer, int timeoutMs) {
        CallStatus result;
        mSend.clear();
        if (!mFd) {
            result.error = "not connected to the device host";
            return result;
        }
        const uint64_t id = mNextId++;
        if (!AppendRequest(mSend, id, request)) {
            result.transport = CallStatus::Refused;
            result.error = "the request is larger than the protocol allows";
            return result;
        }
        FrameView frame;
        if (!Exchange(id, timeoutMs, frame, result))
            return result;
        // Under this request's number, an answer to another operation is a confused host, whose
        // body may still read as this one's (an Open's connection as a subscription).
        if (frame.header.code != static_cast<uint16_t>(Request::kOp))
            return Broken(result, "an answer to another operation");
        if (result.status == kStatusSuccess) {
            if (!DecodeBody(frame.body, frame.bodyLength, answer))
                return Broken(result, "malformed answer");
        } else {
            Reader r(frame.body, frame.bodyLength);
            r(result.error);
        }
        // Events that came in with the answer: the socket may hold nothing more to make the
        // caller look again.
        QueueBufferedFrames();
        return result;
    }

    // Reads what the socket holds without blocking and queues the events; false once the
    // connection is gone.
    bool ReadAvailable();
    // Whether the host is still at the other end (one non-blocking look, nothing consumed).
    bool PeerAlive();
    bool HasQueuedEvent() const { return !mEvents.empty(); }
    // A queued event, else waits up to timeoutMs (0: no wait) for one. False when none.
    bool NextEvent(Event& out, int timeoutMs);
    // Raw bytes, for tests that misbehave on purpose.
    bool SendBytes(const void* data, size_t length);
    // Sends a request numbered `id` without waiting for its answer (tests).
    template <typename Request> bool SendOnly(const Request& request, uint64_t id) {
        mSend.clear();
        return AppendRequest(mSend, id, request) && SendBytes(mSend.data(), mSend.size());
    }

private:
    // Sends mSend and waits for the answer numbered `id`; false (with `result` set) when none.
    bool Exchange(uint64_t id, int timeoutMs, FrameView& frame, CallStatus& result);
    // Receives once, blocking up to timeoutMs (0: not at all); false on disconnect.
    bool Receive(int timeoutMs, bool& timedOut);
    bool SetReceiveTimeout(int timeoutMs);
    CallStatus& Broken(CallStatus& result, const char* why);
    bool QueueEvent(const FrameView& frame);
    // Queues the events among the whole frames read and drops late answers; a malformed frame
    // closes the connection. False once it is closed.
    bool QueueBufferedFrames();

    tvb::UniqueFd mFd;
    uint64_t mNextId = 1;
    int mReceiveTimeoutMs = -1;
    std::vector<uint8_t> mSend;
    FrameReader mReader;
    std::deque<Event> mEvents;
};

} // namespace tvb::wire
