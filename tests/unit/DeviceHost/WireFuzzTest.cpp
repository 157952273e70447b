// Seeded random inputs for the frame decoder: any crash, hang or leak here is a host crash.
#include "TvbWire.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace tvb::wire;

namespace {

std::string ValidFrame(std::mt19937_64& rng) {
    PlistPtr d = NewDict();
    SetString(d.get(), "op", rng() % 2 ? "match" : "struct");
    SetUInt(d.get(), "id", rng());
    SetInt(d.get(), "status", int32_t(rng()));
    std::vector<uint8_t> blob(rng() % 40);
    for (auto& b : blob)
        b = uint8_t(rng());
    SetData(d.get(), "input", blob.data(), blob.size());
    std::vector<uint64_t> entries(rng() % 6);
    for (auto& e : entries)
        e = rng() % 1000;
    SetUIntArray(d.get(), "entries", entries);
    PlistPtr inner = NewDict();
    SetBool(inner.get(), "unreadable", rng() % 2);
    SetString(inner.get(), "name", std::string(rng() % 20, 'v'));
    plist_t array = plist_new_array();
    plist_array_append_item(array, inner.release());
    plist_array_append_item(array, plist_new_real(0.5));
    plist_array_append_item(array, plist_new_date(int32_t(rng() % 100000), 0));
    plist_dict_set_item(d.get(), "volumes", array);
    std::string out;
    EncodeFrame(d.get(), out);
    return out;
}

// Decodes everything in `bytes` as a stream; returns how many frames came out whole.
int DrainAsStream(const std::string& bytes) {
    FrameReader reader;
    reader.Append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    int frames = 0;
    PlistPtr frame;
    while (reader.Next(frame) == DecodeStatus::Frame) {
        ++frames;
        // Whatever decodes must be usable by the field readers.
        std::string s;
        uint64_t u;
        std::vector<uint64_t> list;
        std::vector<uint8_t> data;
        GetString(frame.get(), "op", s);
        GetUInt(frame.get(), "id", u);
        GetUIntArray(frame.get(), "entries", list);
        GetData(frame.get(), "input", data);
        std::string again;
        EncodeFrame(frame.get(), again);
    }
    return frames;
}

} // namespace

TEST(WireFuzz, TruncationsOfValidFramesNeverYieldAFrame) {
    std::mt19937_64 rng(1);
    for (int round = 0; round < 300; ++round) {
        std::string frame = ValidFrame(rng);
        ASSERT_EQ(DrainAsStream(frame), 1);
        size_t cut = rng() % frame.size();
        EXPECT_EQ(DrainAsStream(frame.substr(0, cut)), 0) << "cut " << cut;
    }
}

TEST(WireFuzz, BitFlipsAndByteNoiseNeverCrashTheDecoder) {
    std::mt19937_64 rng(20240611);
    int decoded = 0, rejected = 0;
    for (int round = 0; round < 6000; ++round) {
        std::string bytes = ValidFrame(rng);
        const int edits = 1 + int(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            size_t at = 4 + rng() % (bytes.size() - 4);
            switch (rng() % 4) {
            case 0:
                bytes[at] = char(bytes[at] ^ (1 << (rng() % 8)));
                break;
            case 1:
                bytes[at] = char(rng());
                break;
            case 2: // the trailer holds the offsets that steer the parser
                bytes[bytes.size() - 1 - rng() % 32] = char(rng());
                break;
            default:
                bytes[at] = char(0xff);
                break;
            }
        }
        if (DrainAsStream(bytes) == 1)
            ++decoded;
        else
            ++rejected;
    }
    // Both outcomes must occur, or the mutations are not reaching the parser.
    EXPECT_GT(decoded, 0);
    EXPECT_GT(rejected, 0);
}

TEST(WireFuzz, RandomBytesBehindPlausibleHeaderNeverCrash) {
    std::mt19937_64 rng(7);
    int accepted = 0;
    for (int round = 0; round < 4000; ++round) {
        size_t n = 1 + rng() % 300;
        std::string bytes(4, '\0');
        bytes[2] = char(n >> 8);
        bytes[3] = char(n);
        std::string body = rng() % 2 ? "bplist00" : "";
        while (body.size() < n)
            body += char(rng());
        body.resize(n);
        accepted += DrainAsStream(bytes + body);
    }
    // Noise after the magic is never a property list, let alone a dictionary.
    EXPECT_EQ(accepted, 0);
}
