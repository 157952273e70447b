// Binary property lists assembled object by object, so that references can be shared, looped
// or nested as no writer would, for the tests of what the screens refuse.
// Threading: one test thread. Ownership: Build returns the bytes by value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class BinaryBuilder {
public:
    explicit BinaryBuilder(unsigned refSize = 4) : mRefSize(refSize) {}

    uint64_t String(const std::string& ascii) {
        std::string object(1, static_cast<char>(0x50 | ascii.size()));
        return Add(object + ascii);
    }
    uint64_t Bool(bool value) {
        return Add(std::string(1, static_cast<char>(value ? 0x09 : 0x08)));
    }
    uint64_t Array(const std::vector<uint64_t>& refs) { return Add(Container(0xA0, refs)); }
    uint64_t Dict(const std::vector<uint64_t>& keys, const std::vector<uint64_t>& values) {
        std::vector<uint64_t> refs = keys;
        refs.insert(refs.end(), values.begin(), values.end());
        return Add(Container(0xD0, refs, keys.size()));
    }
    // An array whose references are filled in later (for cycles and forward chains).
    uint64_t Reserve(size_t refCount) {
        return Add(Container(0xA0, std::vector<uint64_t>(refCount, 0)));
    }
    void Patch(uint64_t array, const std::vector<uint64_t>& refs) {
        mObjects[array] = Container(0xA0, refs);
    }

    std::string Build(uint64_t top) const {
        std::string data = "bplist00";
        std::vector<uint64_t> offsets;
        for (const std::string& object : mObjects) {
            offsets.push_back(data.size());
            data += object;
        }
        uint64_t table = data.size();
        for (uint64_t offset : offsets)
            Append(data, offset, 8);
        data += std::string(6, '\0');
        data += static_cast<char>(8); // offset size
        data += static_cast<char>(mRefSize);
        Append(data, mObjects.size(), 8);
        Append(data, top, 8);
        Append(data, table, 8);
        return data;
    }

private:
    uint64_t Add(std::string object) {
        mObjects.push_back(std::move(object));
        return mObjects.size() - 1;
    }
    std::string Container(int marker, const std::vector<uint64_t>& refs,
                          size_t count = SIZE_MAX) const {
        if (count == SIZE_MAX)
            count = refs.size();
        std::string object;
        if (count < 15) {
            object += static_cast<char>(marker | count);
        } else {
            object += static_cast<char>(marker | 0x0F);
            object += static_cast<char>(0x13);
            Append(object, count, 8);
        }
        for (uint64_t ref : refs)
            Append(object, ref, mRefSize);
        return object;
    }
    static void Append(std::string& out, uint64_t value, unsigned size) {
        for (unsigned i = size; i-- > 0;)
            out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }

    unsigned mRefSize;
    std::vector<std::string> mObjects;
};
