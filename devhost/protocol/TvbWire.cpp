#include "TvbWire.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tvb::wire {

namespace {

struct BinFree {
    void operator()(char* p) const noexcept { plist_to_bin_free(p); }
};

bool IsDict(plist_t node) {
    return node != nullptr && plist_get_node_type(node) == PLIST_DICT;
}

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// libplist parses a binary property list recursively and expands every reference into its own
// node, so a small hostile frame can exhaust the stack (deep nesting) or memory (shared
// references). This walks the object graph without recursion, with memoised heights and
// expanded sizes, before libplist ever sees the bytes.
constexpr uint32_t kMaxNesting = 32;
constexpr uint64_t kMaxExpandedNodes = 1u << 18;

uint64_t ReadBigEndian(const uint8_t* p, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i)
        v = (v << 8) | p[i];
    return v;
}

class BinaryPlistShape {
public:
    BinaryPlistShape(const uint8_t* data, size_t length) : mData(data), mLength(length) {}

    bool Acceptable() {
        static const char kMagic[] = "bplist00";
        constexpr size_t kTrailer = 32;
        if (mLength < 8 + kTrailer || std::memcmp(mData, kMagic, 8) != 0)
            return false;
        const uint8_t* trailer = mData + mLength - kTrailer;
        mOffsetSize = trailer[6];
        mRefSize = trailer[7];
        const uint64_t count = ReadBigEndian(trailer + 8, 8);
        const uint64_t top = ReadBigEndian(trailer + 16, 8);
        const uint64_t tableOffset = ReadBigEndian(trailer + 24, 8);
        if (!ValidWidth(mOffsetSize) || !ValidWidth(mRefSize) || count == 0 || top >= count)
            return false;
        const uint64_t tableEnd = mLength - kTrailer;
        if (tableOffset < 8 || tableOffset > tableEnd ||
            count > (tableEnd - tableOffset) / mOffsetSize)
            return false;
        mTable = mData + tableOffset;
        mObjectEnd = tableOffset;
        mCount = count;
        mState.assign(count, Unvisited);
        mHeight.assign(count, 0);
        mSize.assign(count, 0);
        return Visit(top);
    }

private:
    enum State : uint8_t { Unvisited, Open, Done };
    struct Frame {
        uint64_t object;
        std::vector<uint64_t> children;
        size_t next = 0;
    };

    static bool ValidWidth(uint8_t w) { return w >= 1 && w <= 8; } // libplist writes 3, too

    // The references an object holds; false when its bytes run out of bounds.
    bool Children(uint64_t object, std::vector<uint64_t>& out) {
        out.clear();
        const uint64_t offset = ReadBigEndian(mTable + object * mOffsetSize, mOffsetSize);
        if (offset < 8 || offset >= mObjectEnd)
            return false;
        const uint8_t marker = mData[offset];
        const uint8_t kind = marker >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD)
            return true; // scalars: libplist checks their own bounds
        uint64_t pos = offset + 1;
        uint64_t n = marker & 0x0F;
        if (n == 0x0F) {
            if (pos >= mObjectEnd || (mData[pos] >> 4) != 0x1)
                return false;
            const size_t width = size_t(1) << (mData[pos] & 0x0F);
            if (width > 8 || pos + 1 + width > mObjectEnd)
                return false;
            n = ReadBigEndian(mData + pos + 1, width);
            pos += 1 + width;
        }
        const uint64_t refs = kind == 0xD ? n * 2 : n;
        if (n > mObjectEnd || refs > (mObjectEnd - pos) / mRefSize)
            return false;
        out.reserve(refs);
        for (uint64_t i = 0; i < refs; ++i) {
            const uint64_t ref = ReadBigEndian(mData + pos + i * mRefSize, mRefSize);
            if (ref >= mCount)
                return false;
            out.push_back(ref);
        }
        return true;
    }

    bool Visit(uint64_t top) {
        std::vector<Frame> stack;
        stack.push_back(Frame{top, {}});
        mState[top] = Open;
        if (!Children(top, stack.back().children))
            return false;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next < frame.children.size()) {
                const uint64_t child = frame.children[frame.next++];
                if (mState[child] == Open)
                    return false; // a cycle
                if (mState[child] == Done)
                    continue;
                if (stack.size() >= kMaxNesting)
                    return false;
                mState[child] = Open;
                Frame next{child, {}};
                if (!Children(child, next.children))
                    return false;
                stack.push_back(std::move(next));
                continue;
            }
            uint64_t height = 0, size = 1;
            for (uint64_t child : frame.children) {
                height = std::max<uint64_t>(height, mHeight[child]);
                size += mSize[child];
                if (size > kMaxExpandedNodes)
                    return false;
            }
            if (height + 1 > kMaxNesting)
                return false;
            mHeight[frame.object] = height + 1;
            mSize[frame.object] = size;
            mState[frame.object] = Done;
            stack.pop_back();
        }
        return true;
    }

    const uint8_t* mData;
    size_t mLength;
    const uint8_t* mTable = nullptr;
    uint64_t mObjectEnd = 0, mCount = 0;
    uint8_t mOffsetSize = 0, mRefSize = 0;
    std::vector<State> mState;
    std::vector<uint64_t> mHeight, mSize;
};

} // namespace

PlistPtr NewDict() {
    return PlistPtr(plist_new_dict());
}

PlistPtr NewRequest(const char* op) {
    PlistPtr request = NewDict();
    SetString(request.get(), "op", op);
    return request;
}

void SetString(plist_t dict, const char* key, const std::string& value) {
    plist_dict_set_item(dict, key, plist_new_string(value.c_str()));
}

void SetUInt(plist_t dict, const char* key, uint64_t value) {
    plist_dict_set_item(dict, key, plist_new_uint(value));
}

void SetInt(plist_t dict, const char* key, int64_t value) {
    plist_dict_set_item(dict, key, plist_new_uint(static_cast<uint64_t>(value)));
}

void SetBool(plist_t dict, const char* key, bool value) {
    plist_dict_set_item(dict, key, plist_new_bool(value ? 1 : 0));
}

void SetData(plist_t dict, const char* key, const void* bytes, size_t length) {
    // libplist copies the bytes; an empty data node still needs a valid pointer.
    static const char none = 0;
    plist_dict_set_item(dict, key,
                        plist_new_data(length ? static_cast<const char*>(bytes) : &none, length));
}

void SetUIntArray(plist_t dict, const char* key, const std::vector<uint64_t>& values) {
    plist_t array = plist_new_array();
    for (uint64_t v : values)
        plist_array_append_item(array, plist_new_uint(v));
    plist_dict_set_item(dict, key, array);
}

void SetItem(plist_t dict, const char* key, PlistPtr value) {
    plist_dict_set_item(dict, key, value.release());
}

plist_t GetItem(plist_t dict, const char* key) {
    if (!IsDict(dict))
        return nullptr;
    return plist_dict_get_item(dict, key);
}

bool GetString(plist_t dict, const char* key, std::string& out) {
    plist_t node = GetItem(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
        return false;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr)
        return false;
    out.assign(text, length);
    return true;
}

bool GetUInt(plist_t dict, const char* key, uint64_t& out) {
    plist_t node = GetItem(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT)
        return false;
    plist_get_uint_val(node, &out);
    return true;
}

bool GetBool(plist_t dict, const char* key, bool& out) {
    plist_t node = GetItem(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_BOOLEAN)
        return false;
    uint8_t value = 0;
    plist_get_bool_val(node, &value);
    out = value != 0;
    return true;
}

bool GetData(plist_t dict, const char* key, std::vector<uint8_t>& out) {
    plist_t node = GetItem(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_DATA)
        return false;
    uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(node, &length);
    if (bytes == nullptr && length != 0)
        return false;
    out.assign(reinterpret_cast<const uint8_t*>(bytes),
               reinterpret_cast<const uint8_t*>(bytes) + length);
    return true;
}

bool GetUIntArray(plist_t dict, const char* key, std::vector<uint64_t>& out) {
    plist_t node = GetItem(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_ARRAY)
        return false;
    std::vector<uint64_t> values;
    uint32_t count = plist_array_get_size(node);
    values.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        plist_t item = plist_array_get_item(node, i);
        if (item == nullptr || plist_get_node_type(item) != PLIST_UINT)
            return false;
        uint64_t v = 0;
        plist_get_uint_val(item, &v);
        values.push_back(v);
    }
    out = std::move(values);
    return true;
}

int32_t StatusOf(plist_t response) {
    uint64_t status = 0;
    if (!GetUInt(response, "status", status))
        return kStatusError;
    return static_cast<int32_t>(static_cast<uint32_t>(status));
}

const char* DescribeDecodeStatus(DecodeStatus status) {
    switch (status) {
    case DecodeStatus::Frame:
        return "frame";
    case DecodeStatus::NeedMore:
        return "incomplete frame";
    case DecodeStatus::Empty:
        return "empty frame";
    case DecodeStatus::Oversized:
        return "oversized frame";
    case DecodeStatus::Undecodable:
        return "undecodable property list";
    case DecodeStatus::NotDictionary:
        return "root is not a dictionary";
    }
    return "unknown";
}

bool EncodeFrame(plist_t dict, std::string& out) {
    if (!IsDict(dict))
        return false;
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &raw, &length);
    std::unique_ptr<char, BinFree> bin(raw);
    if (!bin || length == 0 || length > kMaxFrameBytes)
        return false;
    const unsigned char header[kFrameHeaderBytes] = {
        static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
        static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
    out.append(reinterpret_cast<const char*>(header), sizeof header);
    out.append(bin.get(), length);
    return true;
}

DecodeResult DecodeFrame(const uint8_t* data, size_t length) {
    DecodeResult result;
    if (length < kFrameHeaderBytes)
        return result;
    const uint32_t size = (uint32_t(data[0]) << 24) | (uint32_t(data[1]) << 16) |
                          (uint32_t(data[2]) << 8) | uint32_t(data[3]);
    if (size == 0) {
        result.status = DecodeStatus::Empty;
        return result;
    }
    if (size > kMaxFrameBytes) {
        result.status = DecodeStatus::Oversized;
        return result;
    }
    if (length - kFrameHeaderBytes < size)
        return result;
    if (!BinaryPlistShape(data + kFrameHeaderBytes, size).Acceptable()) {
        result.status = DecodeStatus::Undecodable;
        return result;
    }
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(data + kFrameHeaderBytes), size, &root);
    PlistPtr node(root);
    if (!node) {
        result.status = DecodeStatus::Undecodable;
        return result;
    }
    if (!IsDict(node.get())) {
        result.status = DecodeStatus::NotDictionary;
        return result;
    }
    result.status = DecodeStatus::Frame;
    result.consumed = kFrameHeaderBytes + size;
    result.frame = std::move(node);
    return result;
}

void FrameReader::Append(const uint8_t* data, size_t length) {
    if (mFailed)
        return;
    // Drop consumed bytes before the buffer grows, so it stays near one frame in size.
    if (mOffset > 0 && mOffset >= mBuffer.size() / 2) {
        mBuffer.erase(0, mOffset);
        mOffset = 0;
    }
    mBuffer.append(reinterpret_cast<const char*>(data), length);
}

DecodeStatus FrameReader::Next(PlistPtr& out) {
    if (mFailed)
        return mError;
    DecodeResult result =
        DecodeFrame(reinterpret_cast<const uint8_t*>(mBuffer.data()) + mOffset, Buffered());
    if (result.status == DecodeStatus::Frame) {
        mOffset += result.consumed;
        if (mOffset == mBuffer.size()) {
            mBuffer.clear();
            mOffset = 0;
        }
        out = std::move(result.frame);
    } else if (result.status != DecodeStatus::NeedMore) {
        mFailed = true;
        mError = result.status;
        mBuffer.clear();
        mOffset = 0;
    }
    return result.status;
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

Connection::~Connection() {
    Close();
}

Connection::Connection(Connection&& other) noexcept {
    *this = std::move(other);
}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        Close();
        mFd = other.mFd;
        other.mFd = -1;
        mNextId = other.mNextId;
        mWaitingId = other.mWaitingId;
        mResponse = std::move(other.mResponse);
        mEvents = std::move(other.mEvents);
        mReader = std::move(other.mReader);
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
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        if (error)
            *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (error)
            *error = "cannot reach the device host at " + path + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    // Anyone can make a directory in /tmp first: only a host of our own user is trusted.
    ucred cred{};
    socklen_t credLength = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLength) != 0 || cred.uid != getuid()) {
        if (error)
            *error = "the process listening on " + path + " belongs to uid " +
                     std::to_string(cred.uid) + ", not to us";
        close(fd);
        return false;
    }
    mFd = fd;
    mReader = FrameReader();
    mEvents.clear();
    mResponse.reset();
    mWaitingId = 0;
    return true;
}

void Connection::Close() {
    if (mFd >= 0) {
        close(mFd);
        mFd = -1;
    }
}

bool Connection::SendBytes(const void* data, size_t length, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const char* bytes = static_cast<const char*>(data);
    while (length > 0 && mFd >= 0) {
        ssize_t sent = send(mFd, bytes, length, MSG_NOSIGNAL);
        if (sent > 0) {
            bytes += sent;
            length -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{mFd, POLLOUT, 0};
            int ready = poll(&p, 1, RemainingMs(deadline));
            if (ready == 0)
                return false;
            if (ready < 0 && errno != EINTR)
                return false;
            continue;
        }
        Close();
        return false;
    }
    return length == 0;
}

void Connection::Dispatch(PlistPtr frame) {
    if (GetItem(frame.get(), "event") != nullptr) {
        mEvents.push_back(std::move(frame));
        return;
    }
    uint64_t id = 0;
    if (GetUInt(frame.get(), "id", id) && id == mWaitingId && mWaitingId != 0)
        mResponse = std::move(frame);
    // Anything else is the late answer to a request that already timed out.
}

bool Connection::ReadSome(int timeoutMs) {
    if (mFd < 0)
        return false;
    pollfd p{mFd, POLLIN, 0};
    int ready = poll(&p, 1, timeoutMs);
    if (ready < 0)
        return errno == EINTR;
    if (ready == 0)
        return true;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t got = recv(mFd, buffer, sizeof buffer, 0);
        if (got > 0) {
            mReader.Append(buffer, static_cast<size_t>(got));
            if (static_cast<size_t>(got) < sizeof buffer)
                break;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        Close();
        break;
    }
    for (;;) {
        PlistPtr frame;
        DecodeStatus status = mReader.Next(frame);
        if (status == DecodeStatus::Frame) {
            Dispatch(std::move(frame));
            continue;
        }
        if (status != DecodeStatus::NeedMore) {
            Close();
            return false;
        }
        break;
    }
    return mFd >= 0;
}

bool Connection::ReadAvailable() {
    return ReadSome(0);
}

PlistPtr Connection::Request(plist_t request, int timeoutMs, std::string* error) {
    if (mFd < 0) {
        if (error)
            *error = "not connected to the device host";
        return nullptr;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const uint64_t id = mNextId++;
    SetUInt(request, "id", id);
    std::string frame;
    if (!EncodeFrame(request, frame)) {
        if (error)
            *error = "request cannot be encoded";
        return nullptr;
    }
    mWaitingId = id;
    mResponse.reset();
    if (!SendBytes(frame.data(), frame.size(), timeoutMs)) {
        mWaitingId = 0;
        if (error)
            *error = "cannot send to the device host";
        return nullptr;
    }
    while (!mResponse) {
        if (!ReadSome(RemainingMs(deadline))) {
            mWaitingId = 0;
            if (error)
                *error = "the device host closed the connection";
            return nullptr;
        }
        if (!mResponse && RemainingMs(deadline) == 0) {
            mWaitingId = 0;
            if (error)
                *error = "the device host did not answer in time";
            return nullptr;
        }
    }
    mWaitingId = 0;
    return std::move(mResponse);
}

PlistPtr Connection::ReadEvent(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (mEvents.empty()) {
        const int left = RemainingMs(deadline);
        if (!ReadSome(left) || left == 0)
            break;
    }
    if (mEvents.empty())
        return nullptr;
    PlistPtr event = std::move(mEvents.front());
    mEvents.pop_front();
    return event;
}

namespace {

bool FetchVolumes(const std::string& socketPath, PlistPtr request,
                  std::vector<SimulatedVolume>& out) {
    Connection connection;
    if (!connection.Connect(socketPath))
        return false;
    PlistPtr response = connection.Request(request.get(), 1000);
    if (!response || StatusOf(response.get()) != kStatusSuccess)
        return false;
    plist_t list = GetItem(response.get(), "volumes");
    if (list == nullptr || plist_get_node_type(list) != PLIST_ARRAY)
        return false;
    std::vector<SimulatedVolume> volumes;
    for (uint32_t i = 0, n = plist_array_get_size(list); i < n; ++i) {
        plist_t item = plist_array_get_item(list, i);
        SimulatedVolume volume;
        if (!GetString(item, "name", volume.name) ||
            !GetUInt(item, "totalBytes", volume.totalBytes) ||
            !GetUInt(item, "freeBytes", volume.freeBytes))
            return false;
        GetUInt(item, "id", volume.id);
        GetString(item, "bsdName", volume.bsdName);
        GetBool(item, "unreadable", volume.unreadable);
        volumes.push_back(std::move(volume));
    }
    out = std::move(volumes);
    return true;
}

} // namespace

bool FetchSimulatedVolumes(const std::string& socketPath, std::vector<SimulatedVolume>& out) {
    return FetchVolumes(socketPath, NewRequest("volumes"), out);
}

bool FetchSimulatedVolumes(std::vector<SimulatedVolume>& out) {
    return FetchSimulatedVolumes(DefaultSocketPath(), out);
}

bool FetchSimulatedVolume(uint64_t id, std::vector<SimulatedVolume>& out) {
    PlistPtr request = NewRequest("volumes");
    SetUInt(request.get(), "volume", id);
    return FetchVolumes(DefaultSocketPath(), std::move(request), out);
}

} // namespace tvb::wire
