#include "BinaryPlistGuard.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tvb::plistguard {

namespace {

uint64_t ReadBigEndian(const uint8_t* p, size_t size) {
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value = (value << 8) | p[i];
    return value;
}

// The binary format: "bplist00", objects, an offset table and a 32-byte trailer. Only the
// containers matter here; every other object is a leaf whatever its bytes.
class BinaryScreen final {
public:
    BinaryScreen(const uint8_t* data, size_t length) : mData(data), mLength(length) {}

    bool IsSafe() {
        if (mLength < 8 + 32 || std::memcmp(mData, "bplist0", 7) != 0)
            return false;
        const uint8_t* trailer = mData + mLength - 32;
        mOffsetSize = trailer[6];
        mRefSize = trailer[7];
        uint64_t count = ReadBigEndian(trailer + 8, 8);
        uint64_t top = ReadBigEndian(trailer + 16, 8);
        uint64_t table = ReadBigEndian(trailer + 24, 8);
        if (mOffsetSize < 1 || mOffsetSize > 8 || mRefSize < 1 || mRefSize > 8)
            return false;
        uint64_t objectArea = mLength - 32;
        if (count == 0 || count > objectArea || top >= count || table < 8 || table > objectArea ||
            count > (objectArea - table) / mOffsetSize)
            return false;
        mCount = count;
        mTable = table;
        // Writers share strings, numbers, data and dates, never containers, so a list they write
        // expands to fewer nodes than it has bytes; only a hand-made graph of shared containers
        // expands further, up to kMaxNodes from a few kilobytes.
        mNodeBudget = std::min<uint64_t>(kMaxNodes, mLength);
        mState.assign(count, Unvisited);
        mHeight.assign(count, 0);
        mNodes.assign(count, 0);
        return Visit(top);
    }

private:
    enum State : uint8_t { Unvisited, InProgress, Done };

    struct Frame {
        uint64_t object;
        const uint8_t* refs; // the object's reference list
        uint64_t refCount;
        uint64_t next;
    };

    bool ObjectOffset(uint64_t object, uint64_t& offset) const {
        offset = ReadBigEndian(mData + mTable + object * mOffsetSize, mOffsetSize);
        return offset >= 8 && offset < mTable;
    }

    // The length that follows a marker: its low nibble, or an integer object when that is 0xF.
    bool Count(uint8_t marker, uint64_t& position, uint64_t& count) const {
        count = marker & 0x0F;
        if (count != 0x0F)
            return true;
        if (position >= mTable || (mData[position] >> 4) != 0x1)
            return false;
        size_t size = size_t{1} << (mData[position] & 0x0F);
        if (size > 8 || position + 1 + size > mTable)
            return false;
        count = ReadBigEndian(mData + position + 1, size);
        position += 1 + size;
        return true;
    }

    // A container's reference list (refCount 0 for a leaf). Strings holding NUL are refused:
    // libplist aborts on them when asked for their value.
    bool Inspect(uint64_t object, const uint8_t*& refs, uint64_t& refCount) const {
        refs = nullptr;
        refCount = 0;
        uint64_t offset;
        if (!ObjectOffset(object, offset))
            return false;
        uint8_t marker = mData[offset];
        uint8_t kind = marker >> 4;
        uint64_t position = offset + 1;
        uint64_t count = 0;
        if (kind == 0x5 || kind == 0x6 || kind == 0x7) {
            if (!Count(marker, position, count))
                return false;
            uint64_t unit = kind == 0x6 ? 2 : 1;
            if (count > (mTable - position) / unit)
                return false;
            for (uint64_t i = 0; i < count; ++i) {
                const uint8_t* c = mData + position + i * unit;
                if (c[0] == 0 && (unit == 1 || c[1] == 0))
                    return false;
            }
            return true;
        }
        if (kind != 0xA && kind != 0xB && kind != 0xC && kind != 0xD)
            return true;
        if (!Count(marker, position, count))
            return false;
        if (kind == 0xD) {
            if (count > UINT64_MAX / 2)
                return false;
            count *= 2;
        }
        if (count > (mTable - position) / mRefSize)
            return false;
        refs = mData + position;
        refCount = count;
        return true;
    }

    // Depth-first without recursion, remembering each object's height and expanded size so
    // that shared objects are measured once.
    bool Visit(uint64_t root) {
        std::vector<Frame> stack;
        if (!Push(root, stack))
            return false;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next < frame.refCount) {
                uint64_t child = ReadBigEndian(frame.refs + frame.next * mRefSize, mRefSize);
                ++frame.next;
                if (child >= mCount || mState[child] == InProgress)
                    return false;
                // A shared object measured before may now hang deeper than it did then.
                if (mState[child] == Done && stack.size() + mHeight[child] > kMaxDepth)
                    return false;
                if (mState[child] == Unvisited && !Push(child, stack))
                    return false;
                continue;
            }
            uint64_t height = 0;
            uint64_t nodes = 1;
            for (uint64_t i = 0; i < frame.refCount; ++i) {
                uint64_t child = ReadBigEndian(frame.refs + i * mRefSize, mRefSize);
                if (mHeight[child] > height)
                    height = mHeight[child];
                nodes += mNodes[child];
                if (nodes > mNodeBudget)
                    return false;
            }
            mHeight[frame.object] = height + 1;
            mNodes[frame.object] = nodes;
            mState[frame.object] = Done;
            stack.pop_back();
        }
        return true;
    }

    bool Push(uint64_t object, std::vector<Frame>& stack) {
        if (stack.size() >= kMaxDepth)
            return false;
        Frame frame{object, nullptr, 0, 0};
        if (!Inspect(object, frame.refs, frame.refCount))
            return false;
        mState[object] = InProgress;
        stack.push_back(frame);
        return true;
    }

    const uint8_t* mData;
    size_t mLength;
    size_t mOffsetSize = 0;
    size_t mRefSize = 0;
    uint64_t mCount = 0;
    uint64_t mTable = 0;
    uint64_t mNodeBudget = 0;
    std::vector<State> mState;
    std::vector<uint64_t> mHeight;
    std::vector<uint64_t> mNodes;
};

} // namespace

bool BinaryPlistIsSafe(const uint8_t* data, size_t length) {
    if (data == nullptr || length < 8 || std::memcmp(data, "bplist00", 8) != 0)
        return false;
    return BinaryScreen(data, length).IsSafe();
}

} // namespace tvb::plistguard
