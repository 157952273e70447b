// The wire protocol between the simulated device host and its clients (tvbctl, the IOKit and
// File Manager stand-ins). A frame is a 4-byte big-endian length N (1 <= N <= kMaxFrameBytes)
// followed by N bytes of a binary property list whose root is a dictionary.
//
// Requests are {"op": string, "id": uint, ...}; each gets one response {"id", "status", ...}.
// Events {"event": string, ...} arrive unsolicited, possibly between a request and its response.
//
// Threading: the free functions are safe from any thread; a Connection or FrameReader is used
// by one thread at a time.
// Ownership: plist nodes travel in PlistPtr, which frees the node. Functions that take a bare
// plist_t only borrow it; GetItem returns a node still owned by its dictionary.
#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace tvb::wire {

constexpr uint32_t kMaxFrameBytes = 1u << 20;
constexpr size_t kFrameHeaderBytes = 4;

// Status values are IOReturn codes carried as signed 32-bit numbers.
constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusError = static_cast<int32_t>(0xe00002bc);
constexpr int32_t kStatusNoResources = static_cast<int32_t>(0xe00002be);
constexpr int32_t kStatusNoDevice = static_cast<int32_t>(0xe00002c0);
constexpr int32_t kStatusBadArgument = static_cast<int32_t>(0xe00002c2);
constexpr int32_t kStatusUnsupported = static_cast<int32_t>(0xe00002c7);
constexpr int32_t kStatusNotOpen = static_cast<int32_t>(0xe00002cd);
constexpr int32_t kStatusTimeout = static_cast<int32_t>(0xe00002d6);
constexpr int32_t kStatusNotPermitted = static_cast<int32_t>(0xe00002e2);
constexpr int32_t kStatusNotFound = static_cast<int32_t>(0xe00002f0);

constexpr uint32_t kMessageServiceIsTerminated = 0xe0000010;

struct PlistFree {
    void operator()(void* node) const noexcept {
        if (node != nullptr)
            plist_free(node);
    }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Building dictionaries. Values are copied; SetItem takes over its node.
PlistPtr NewDict();
PlistPtr NewRequest(const char* op); // a dictionary with its "op" set
void SetString(plist_t dict, const char* key, const std::string& value);
void SetUInt(plist_t dict, const char* key, uint64_t value);
void SetInt(plist_t dict, const char* key, int64_t value); // stored as the two's-complement uint
void SetBool(plist_t dict, const char* key, bool value);
void SetData(plist_t dict, const char* key, const void* bytes, size_t length);
void SetUIntArray(plist_t dict, const char* key, const std::vector<uint64_t>& values);
void SetItem(plist_t dict, const char* key, PlistPtr value);
template <typename Strings>
void SetStringArray(plist_t dict, const char* key, const Strings& values) {
    plist_t array = plist_new_array();
    for (const std::string& value : values)
        plist_array_append_item(array, plist_new_string(value.c_str()));
    plist_dict_set_item(dict, key, array);
}

// Reading dictionaries: false (and `out` untouched) when the key is missing or ill-typed.
// A null or non-dictionary `dict` counts as missing.
plist_t GetItem(plist_t dict, const char* key);
bool GetString(plist_t dict, const char* key, std::string& out);
bool GetUInt(plist_t dict, const char* key, uint64_t& out);
bool GetBool(plist_t dict, const char* key, bool& out);
bool GetData(plist_t dict, const char* key, std::vector<uint8_t>& out);
bool GetUIntArray(plist_t dict, const char* key, std::vector<uint64_t>& out);
// The response's status, or kStatusError when it has none.
int32_t StatusOf(plist_t response);

// Frames.
enum class DecodeStatus {
    Frame,         // one frame decoded
    NeedMore,      // not enough bytes yet
    Empty,         // length 0
    Oversized,     // length above kMaxFrameBytes
    Undecodable,   // payload is not a binary property list
    NotDictionary, // root is not a dictionary
};
const char* DescribeDecodeStatus(DecodeStatus status);

// Appends the frame for `dict` to `out`; false when `dict` is not a dictionary or too large.
bool EncodeFrame(plist_t dict, std::string& out);

struct DecodeResult {
    DecodeStatus status = DecodeStatus::NeedMore;
    size_t consumed = 0; // bytes of one whole frame when status is Frame
    PlistPtr frame;      // set only when status is Frame
};
// Decodes the first frame in `data`. Anything but Frame or NeedMore means the stream is bad.
DecodeResult DecodeFrame(const uint8_t* data, size_t length);

// Collects stream bytes and hands out whole frames. After an error it stays failed.
class FrameReader {
public:
    void Append(const uint8_t* data, size_t length);
    // Frame (and `out` set), NeedMore, or the error that broke the stream.
    DecodeStatus Next(PlistPtr& out);
    size_t Buffered() const { return mBuffer.size() - mOffset; }
    bool Failed() const { return mFailed; }

private:
    std::string mBuffer;
    size_t mOffset = 0;
    bool mFailed = false;
    DecodeStatus mError = DecodeStatus::NeedMore;
};

// $TVB_DEVHOST_SOCKET, else $XDG_RUNTIME_DIR/tvb-devhost.sock, else
// /tmp/tvb-devhost-<uid>/devhost.sock.
std::string DefaultSocketPath();

// A blocking client connection. Connect() accepts only a host of our own uid. Request() numbers
// the request, sends it and waits for its response; events arriving meanwhile are queued for
// ReadEvent(). A response that arrives after its request timed out is dropped. A malformed frame
// from the host closes the connection.
class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;

    bool Connect(const std::string& path, std::string* error = nullptr);
    void Close();
    bool IsOpen() const { return mFd >= 0; }
    // For run-loop sources: readable means call ReadAvailable().
    int Fd() const { return mFd; }

    // Adds "id" to `request`. Null on time-out, disconnect or a malformed reply.
    PlistPtr Request(plist_t request, int timeoutMs, std::string* error = nullptr);
    // Reads what the socket holds without blocking and queues the events; false once the
    // connection is gone.
    bool ReadAvailable();
    bool HasQueuedEvent() const { return !mEvents.empty(); }
    // A queued event, else waits up to timeoutMs (0: no wait) for one. Null when none.
    PlistPtr ReadEvent(int timeoutMs);
    // Raw bytes, for tests that misbehave on purpose.
    bool SendBytes(const void* data, size_t length, int timeoutMs = 1000);

private:
    bool ReadSome(int timeoutMs); // false on disconnect or malformed stream
    void Dispatch(PlistPtr frame);

    int mFd = -1;
    uint64_t mNextId = 1;
    uint64_t mWaitingId = 0;
    PlistPtr mResponse;
    std::deque<PlistPtr> mEvents;
    FrameReader mReader;
};

struct SimulatedVolume {
    uint64_t id = 0; // unique during one host run, never reused
    std::string name;
    std::string bsdName; // empty: the volume has no BSD device
    uint64_t totalBytes = 0, freeBytes = 0;
    bool unreadable = false;
};
// The host's simulated volumes in attach order; false when no host answers within about 1 s.
bool FetchSimulatedVolumes(std::vector<SimulatedVolume>& out);
bool FetchSimulatedVolumes(const std::string& socketPath, std::vector<SimulatedVolume>& out);
// Only the volume with this id: `out` is empty once it is gone. False when no host answers.
bool FetchSimulatedVolume(uint64_t id, std::vector<SimulatedVolume>& out);

} // namespace tvb::wire
