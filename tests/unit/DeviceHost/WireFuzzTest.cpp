// Seeded random inputs for the frame and message decoders: any crash, hang or leak here is a
// host crash. The libFuzzer target in devhost/fuzz runs the same checks unbounded.
#include "TvbWire.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace tvb::wire;

namespace {

// A small valid binary property list: {"k": "v"}.
const std::vector<uint8_t> kSmallPlist = {
    'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xd1, 1, 2, 0x51, 'k', 0x51, 'v', 8, 11,
    13,  0,   0,   0,   0,   0,   0,   1,   1,    0, 0, 0,    0,   0,    0,   0, 3,
    0,   0,   0,   0,   0,   0,   0,   0,   0,    0, 0, 0,    0,   0,    0,   15};

std::string ValidFrame(std::mt19937_64& rng) {
    std::vector<uint8_t> out;
    switch (rng() % 4) {
    case 0: {
        AttachRequest r;
        r.serial = std::string(rng() % 20, 's');
        r.bridgeSerial.assign(rng() % 2 ? 16 : 0, uint8_t(rng()));
        r.serialType = uint8_t(rng() % 3);
        for (size_t v = rng() % 4; v > 0; --v)
            r.volumes.push_back(VolumeSpec{std::string(rng() % 10, 'v'), rng(), rng(),
                                           rng() % 2 == 0, rng() % 2 == 0});
        AppendRequest(out, rng(), r);
        break;
    }
    case 1: {
        PropertyAnswer a;
        a.value.bytes = kSmallPlist;
        AppendAnswer(out, Op::Property, rng(), kStatusSuccess, rng(), a, "");
        break;
    }
    case 2: {
        MatchedEvent e;
        e.subscription = rng();
        for (size_t n = rng() % 6; n > 0; --n)
            e.entries.push_back(rng() % 1000);
        AppendEvent(out, rng(), e);
        break;
    }
    default: {
        StructRequest r;
        r.connection = rng();
        r.selector = uint32_t(rng() % 5);
        r.input.size = uint32_t(rng() % 40);
        for (uint32_t i = 0; i < r.input.size; ++i)
            r.input.bytes[i] = uint8_t(rng());
        r.outputCapacity = 24;
        AppendRequest(out, rng(), r);
        break;
    }
    }
    return std::string(out.begin(), out.end());
}

// Decodes everything in `bytes` as a stream; returns how many frames came out whole and held
// exactly their declared message, which must encode back to the same bytes.
int DrainAsStream(const std::string& bytes) {
    FrameReader reader;
    reader.Append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    int frames = 0;
    FrameView frame;
    std::vector<uint8_t> again;
    while (reader.Next(frame) == DecodeStatus::Frame) {
        again.clear();
        if (!DecodeDeclaredBody(frame, &again))
            continue;
        ++frames;
        EXPECT_EQ(again.size(), kHeaderBytes + frame.bodyLength);
        EXPECT_EQ(std::memcmp(again.data() + kHeaderBytes, frame.body, frame.bodyLength), 0);
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
            size_t at = kLengthBytes + rng() % (bytes.size() - kLengthBytes);
            switch (rng() % 3) {
            case 0:
                bytes[at] = char(bytes[at] ^ (1 << (rng() % 8)));
                break;
            case 1:
                bytes[at] = char(rng());
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
    // Both outcomes must occur, or the mutations are not reaching the decoders.
    EXPECT_GT(decoded, 0);
    EXPECT_GT(rejected, 0);
}

TEST(WireFuzz, RandomBodiesBehindPlausibleHeadersNeverCrash) {
    std::mt19937_64 rng(7);
    int accepted = 0;
    for (int round = 0; round < 4000; ++round) {
        const size_t n = rng() % 300;
        std::vector<uint8_t> out;
        FrameHeader header;
        header.code = uint16_t(rng() % (static_cast<unsigned>(Op::Count) + 2));
        header.kind = FrameKind(1 + rng() % 3);
        header.status = rng() % 4 == 0 ? kStatusNotFound : kStatusSuccess;
        AppendFrame(out, header, [&](Writer& w) {
            for (size_t i = 0; i < n; ++i)
                w.Int<uint8_t>(uint8_t(rng() % 4 == 0 ? 0 : rng()));
        });
        accepted += DrainAsStream(std::string(out.begin(), out.end()));
    }
    // Some noise happens to be a declared message (empty ones, small numbers); most is not.
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, 4000);
}
