#include "TvbWire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace tvb::wire;

namespace {

std::string EncodeOrDie(plist_t dict) {
    std::string out;
    EXPECT_TRUE(EncodeFrame(dict, out));
    return out;
}

DecodeResult Decode(const std::string& bytes) {
    return DecodeFrame(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string Header(uint32_t n) {
    std::string h(4, '\0');
    h[0] = char(n >> 24);
    h[1] = char(n >> 16);
    h[2] = char(n >> 8);
    h[3] = char(n);
    return h;
}

std::string RawBinaryPlist(plist_t node) {
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &raw, &length);
    std::string bytes(raw, length);
    plist_to_bin_free(raw);
    return bytes;
}

// A binary property list of `depth` arrays, each holding the next, around an empty dictionary.
std::string NestedArrays(uint32_t depth, bool rootIsDict) {
    std::string b = "bplist00";
    std::vector<uint64_t> offsets;
    auto ref = [&](uint32_t r) {
        for (int k = 3; k >= 0; --k)
            b += char(r >> (8 * k));
    };
    if (rootIsDict) {
        offsets.push_back(b.size());
        b += char(0xD1); // {"k": object 2}
        ref(1);
        ref(2);
        offsets.push_back(b.size());
        b += char(0x51);
        b += 'k';
    }
    uint32_t first = uint32_t(offsets.size());
    for (uint32_t i = 0; i < depth; ++i) {
        offsets.push_back(b.size());
        b += char(0xA1);
        ref(first + i + 1);
    }
    offsets.push_back(b.size());
    b += char(0xD0);
    uint64_t table = b.size();
    uint64_t objects = offsets.size();
    for (uint64_t o : offsets)
        ref(uint32_t(o));
    std::string trailer(32, '\0');
    trailer[6] = 4;
    trailer[7] = 4;
    for (int k = 0; k < 8; ++k) {
        trailer[8 + k] = char(objects >> (56 - 8 * k));
        trailer[24 + k] = char(table >> (56 - 8 * k));
    }
    return b + trailer;
}

PlistPtr SampleRequest() {
    PlistPtr dict = NewDict();
    SetString(dict.get(), "op", "struct");
    SetUInt(dict.get(), "id", 77);
    SetInt(dict.get(), "status", kStatusNotFound);
    SetBool(dict.get(), "busy", true);
    const uint8_t bytes[] = {0, 1, 2, 0xff};
    SetData(dict.get(), "input", bytes, sizeof bytes);
    SetUIntArray(dict.get(), "entries", {1, 2, UINT64_MAX});
    return dict;
}

} // namespace

TEST(WireFrame, RoundTripKeepsEveryFieldType) {
    PlistPtr sent = SampleRequest();
    std::string bytes = EncodeOrDie(sent.get());
    DecodeResult got = Decode(bytes);
    ASSERT_EQ(got.status, DecodeStatus::Frame);
    EXPECT_EQ(got.consumed, bytes.size());

    std::string op;
    uint64_t id = 0;
    bool busy = false;
    std::vector<uint8_t> input;
    std::vector<uint64_t> entries;
    EXPECT_TRUE(GetString(got.frame.get(), "op", op));
    EXPECT_EQ(op, "struct");
    EXPECT_TRUE(GetUInt(got.frame.get(), "id", id));
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(StatusOf(got.frame.get()), kStatusNotFound);
    EXPECT_TRUE(GetBool(got.frame.get(), "busy", busy));
    EXPECT_TRUE(busy);
    EXPECT_TRUE(GetData(got.frame.get(), "input", input));
    EXPECT_EQ(input, (std::vector<uint8_t>{0, 1, 2, 0xff}));
    EXPECT_TRUE(GetUIntArray(got.frame.get(), "entries", entries));
    EXPECT_EQ(entries, (std::vector<uint64_t>{1, 2, UINT64_MAX}));
}

TEST(WireFrame, HeaderIsBigEndianPayloadLength) {
    PlistPtr sent = SampleRequest();
    std::string bytes = EncodeOrDie(sent.get());
    ASSERT_GT(bytes.size(), 4u);
    uint32_t n = (uint32_t(uint8_t(bytes[0])) << 24) | (uint32_t(uint8_t(bytes[1])) << 16) |
                 (uint32_t(uint8_t(bytes[2])) << 8) | uint32_t(uint8_t(bytes[3]));
    EXPECT_EQ(n, bytes.size() - 4);
    EXPECT_EQ(bytes.compare(4, 8, "bplist00"), 0);
}

TEST(WireFrame, EmptyDataAndEmptyStringSurvive) {
    PlistPtr sent = NewDict();
    SetData(sent.get(), "output", nullptr, 0);
    SetString(sent.get(), "name", "");
    DecodeResult got = Decode(EncodeOrDie(sent.get()));
    ASSERT_EQ(got.status, DecodeStatus::Frame);
    std::vector<uint8_t> output{9};
    std::string name = "x";
    EXPECT_TRUE(GetData(got.frame.get(), "output", output));
    EXPECT_TRUE(output.empty());
    EXPECT_TRUE(GetString(got.frame.get(), "name", name));
    EXPECT_TRUE(name.empty());
}

TEST(WireFrame, EncodeRefusesNonDictionaryRoot) {
    PlistPtr array(plist_new_array());
    std::string out;
    EXPECT_FALSE(EncodeFrame(array.get(), out));
    EXPECT_FALSE(EncodeFrame(nullptr, out));
    EXPECT_TRUE(out.empty());
}

TEST(WireFrame, DecodeWaitsForWholeFrame) {
    PlistPtr sent = SampleRequest();
    std::string bytes = EncodeOrDie(sent.get());
    for (size_t cut : {size_t(0), size_t(3), size_t(4), bytes.size() - 1}) {
        DecodeResult got = Decode(bytes.substr(0, cut));
        EXPECT_EQ(got.status, DecodeStatus::NeedMore) << "cut at " << cut;
        EXPECT_FALSE(got.frame);
    }
}

TEST(WireFrame, DecodeRejectsEachMalformedKind) {
    EXPECT_EQ(Decode(Header(0)).status, DecodeStatus::Empty);
    // The size alone condemns an oversized frame; its body never has to arrive.
    EXPECT_EQ(Decode(Header(kMaxFrameBytes + 1)).status, DecodeStatus::Oversized);
    EXPECT_EQ(Decode(Header(0xffffffffu)).status, DecodeStatus::Oversized);
    EXPECT_EQ(Decode(Header(5) + "hello").status, DecodeStatus::Undecodable);

    PlistPtr xmlish = SampleRequest();
    char* xml = nullptr;
    uint32_t xmlLength = 0;
    plist_to_xml(xmlish.get(), &xml, &xmlLength);
    std::string xmlText(xml, xmlLength);
    plist_to_xml_free(xml);
    EXPECT_EQ(Decode(Header(uint32_t(xmlText.size())) + xmlText).status, DecodeStatus::Undecodable);

    PlistPtr array(plist_new_array());
    plist_array_append_item(array.get(), plist_new_uint(1));
    std::string arrayBytes = RawBinaryPlist(array.get());
    EXPECT_EQ(Decode(Header(uint32_t(arrayBytes.size())) + arrayBytes).status,
              DecodeStatus::NotDictionary);
}

TEST(WireFrame, DecodeAcceptsFrameOfExactlyMaximumSize) {
    PlistPtr big = NewDict();
    // Grow the data until the encoded payload is exactly kMaxFrameBytes.
    std::vector<uint8_t> blob(kMaxFrameBytes - 64, 0x5a);
    SetData(big.get(), "blob", blob.data(), blob.size());
    std::string payload = RawBinaryPlist(big.get());
    size_t overshoot = kMaxFrameBytes - payload.size();
    blob.resize(blob.size() + overshoot);
    SetData(big.get(), "blob", blob.data(), blob.size());
    payload = RawBinaryPlist(big.get());
    ASSERT_EQ(payload.size(), kMaxFrameBytes);
    EXPECT_EQ(Decode(Header(kMaxFrameBytes) + payload).status, DecodeStatus::Frame);

    blob.push_back(1);
    SetData(big.get(), "blob", blob.data(), blob.size());
    std::string tooBig;
    EXPECT_FALSE(EncodeFrame(big.get(), tooBig));
}

TEST(WireFrame, DecodeRejectsDeepNestingWithoutRecursing) {
    std::string shallow = NestedArrays(8, true);
    EXPECT_EQ(Decode(Header(uint32_t(shallow.size())) + shallow).status, DecodeStatus::Frame);
    // Deep enough to overflow the stack of a recursive parser.
    std::string deep = NestedArrays(100000, true);
    EXPECT_EQ(Decode(Header(uint32_t(deep.size())) + deep).status, DecodeStatus::Undecodable);
}

TEST(WireFrame, DecodeRejectsReferenceCycle) {
    // {"k": [ <itself> ]}: the array refers to itself.
    std::string b = "bplist00";
    b += char(0xD1);
    b += char(1);
    b += char(2);
    b += char(0x51);
    b += 'k';
    b += char(0xA1);
    b += char(2);
    uint8_t table = uint8_t(b.size());
    b += char(8);
    b += char(11);
    b += char(13);
    std::string trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = 3;
    trailer[31] = char(table);
    b += trailer;
    EXPECT_EQ(Decode(Header(uint32_t(b.size())) + b).status, DecodeStatus::Undecodable);
}

TEST(WireFrame, DecodeRejectsSharedReferenceExplosion) {
    // 24 arrays, each naming the next one twice: 2^24 nodes once expanded.
    std::string b = "bplist00";
    std::vector<uint32_t> offsets;
    const uint32_t levels = 24;
    offsets.push_back(uint32_t(b.size()));
    b += char(0xD1);
    b += char(0);
    b += char(1);
    b += char(0);
    b += char(2);
    offsets.push_back(uint32_t(b.size()));
    b += char(0x51);
    b += 'k';
    for (uint32_t i = 0; i < levels; ++i) {
        offsets.push_back(uint32_t(b.size()));
        b += char(0xA2);
        uint16_t next = uint16_t(offsets.size() + 0);
        for (int twice = 0; twice < 2; ++twice) {
            b += char(next >> 8);
            b += char(next);
        }
    }
    offsets.push_back(uint32_t(b.size()));
    b += char(0xD0);
    uint32_t table = uint32_t(b.size());
    for (uint32_t o : offsets) {
        b += char(o >> 8);
        b += char(o);
    }
    std::string trailer(32, '\0');
    trailer[6] = 2;
    trailer[7] = 2;
    trailer[14] = char(offsets.size() >> 8);
    trailer[15] = char(offsets.size());
    trailer[30] = char(table >> 8);
    trailer[31] = char(table);
    b += trailer;
    EXPECT_EQ(Decode(Header(uint32_t(b.size())) + b).status, DecodeStatus::Undecodable);
}

TEST(FrameReader, SplitsStreamIntoFramesAcrossArbitraryChunks) {
    std::string stream;
    for (uint64_t i = 1; i <= 5; ++i) {
        PlistPtr d = NewDict();
        SetUInt(d.get(), "id", i);
        EncodeFrame(d.get(), stream);
    }
    FrameReader reader;
    std::vector<uint64_t> ids;
    for (size_t pos = 0; pos < stream.size(); pos += 3) {
        size_t n = std::min<size_t>(3, stream.size() - pos);
        reader.Append(reinterpret_cast<const uint8_t*>(stream.data() + pos), n);
        PlistPtr frame;
        while (reader.Next(frame) == DecodeStatus::Frame) {
            uint64_t id = 0;
            ASSERT_TRUE(GetUInt(frame.get(), "id", id));
            ids.push_back(id);
        }
    }
    EXPECT_EQ(ids, (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(reader.Buffered(), 0u);
}

TEST(FrameReader, StaysFailedAfterBadFrame) {
    FrameReader reader;
    std::string bad = Header(0);
    PlistPtr good = NewDict();
    EncodeFrame(good.get(), bad);
    reader.Append(reinterpret_cast<const uint8_t*>(bad.data()), bad.size());
    PlistPtr frame;
    EXPECT_EQ(reader.Next(frame), DecodeStatus::Empty);
    EXPECT_TRUE(reader.Failed());
    EXPECT_EQ(reader.Next(frame), DecodeStatus::Empty);
    EXPECT_FALSE(frame);
}

TEST(WireFields, GettersRefuseMissingAndIllTypedFields) {
    PlistPtr d = SampleRequest();
    std::string s = "untouched";
    uint64_t u = 5;
    bool b = false;
    std::vector<uint8_t> data{1};
    std::vector<uint64_t> list{1};
    EXPECT_FALSE(GetString(d.get(), "id", s));
    EXPECT_FALSE(GetString(d.get(), "absent", s));
    EXPECT_EQ(s, "untouched");
    EXPECT_FALSE(GetUInt(d.get(), "op", u));
    EXPECT_EQ(u, 5u);
    EXPECT_FALSE(GetBool(d.get(), "id", b));
    EXPECT_FALSE(GetData(d.get(), "op", data));
    EXPECT_EQ(data.size(), 1u);
    EXPECT_FALSE(GetUIntArray(d.get(), "input", list));
    EXPECT_FALSE(GetString(nullptr, "op", s));

    // An array holding a non-integer is ill-typed as a whole.
    PlistPtr mixed = NewDict();
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_uint(1));
    plist_array_append_item(array, plist_new_string("2"));
    plist_dict_set_item(mixed.get(), "entries", array);
    EXPECT_FALSE(GetUIntArray(mixed.get(), "entries", list));
    EXPECT_EQ(list, (std::vector<uint64_t>{1}));
}

TEST(WireFields, StatusOfMissingStatusIsAnError) {
    PlistPtr d = NewDict();
    EXPECT_EQ(StatusOf(d.get()), kStatusError);
    SetInt(d.get(), "status", 0);
    EXPECT_EQ(StatusOf(d.get()), kStatusSuccess);
}

TEST(WireSocketPath, PrefersExplicitThenRuntimeDirThenTmp) {
    std::string savedExplicit, savedRuntime;
    bool hadExplicit = false, hadRuntime = false;
    if (const char* v = getenv("TVB_DEVHOST_SOCKET")) {
        hadExplicit = true;
        savedExplicit = v;
    }
    if (const char* v = getenv("XDG_RUNTIME_DIR")) {
        hadRuntime = true;
        savedRuntime = v;
    }
    setenv("TVB_DEVHOST_SOCKET", "/x/y.sock", 1);
    setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
    EXPECT_EQ(DefaultSocketPath(), "/x/y.sock");
    setenv("TVB_DEVHOST_SOCKET", "", 1);
    EXPECT_EQ(DefaultSocketPath(), "/run/user/7/tvb-devhost.sock");
    unsetenv("TVB_DEVHOST_SOCKET");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(DefaultSocketPath(),
              "/tmp/tvb-devhost-" + std::to_string(getuid()) + "/devhost.sock");
    if (hadExplicit)
        setenv("TVB_DEVHOST_SOCKET", savedExplicit.c_str(), 1);
    if (hadRuntime)
        setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
}
