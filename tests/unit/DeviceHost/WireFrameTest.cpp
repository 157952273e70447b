// The declared messages' binary layout: round trips, bounds, and the frames around them.
#include "TvbGeneration.h"
#include "TvbWire.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tvb::wire;

namespace {

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

std::string CyclicPlist() {
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
    return b;
}

std::string ExplodingPlist() {
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
    return b;
}

template <typename Message> std::vector<uint8_t> BodyOf(const Message& message) {
    std::vector<uint8_t> out;
    Writer w(out);
    w(message);
    return out;
}

// Decodes a property answer whose value holds `plist`.
bool PropertyDecodes(const std::string& plist) {
    PropertyAnswer answer;
    answer.value.bytes.assign(plist.begin(), plist.end());
    const std::vector<uint8_t> body = BodyOf(answer);
    PropertyAnswer back;
    return DecodeBody(body.data(), body.size(), back);
}

std::vector<uint8_t> FrameOf(uint64_t id, const AttachRequest& request) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(AppendRequest(out, id, request));
    return out;
}

AttachRequest SampleAttach() {
    AttachRequest r;
    r.serial = "SERIAL";
    r.bridgeSerial = {0, 1, 2, 0xff};
    r.settleMs = 250;
    r.noBridge = true;
    r.bridgeClass = "com_ostrel_IOTVBPlus";
    r.serialType = 2;
    r.volumes.push_back(VolumeSpec{"Data", 3000, 1000, false, true});
    r.volumes.push_back(VolumeSpec{"", UINT64_MAX, 0, true, false});
    return r;
}

} // namespace

TEST(WireMessages, RoundTripKeepsEveryFieldType) {
    const AttachRequest sent = SampleAttach();
    const std::vector<uint8_t> frame = FrameOf(77, sent);
    FrameView view;
    size_t consumed = 0;
    ASSERT_EQ(DecodeFrame(frame.data(), frame.size(), view, consumed), DecodeStatus::Frame);
    EXPECT_EQ(consumed, frame.size());
    EXPECT_EQ(view.header.code, static_cast<uint16_t>(Op::Attach));
    EXPECT_EQ(view.header.kind, FrameKind::Request);
    EXPECT_EQ(view.header.id, 77u);
    AttachRequest got;
    ASSERT_TRUE(DecodeBody(view.body, view.bodyLength, got));
    EXPECT_EQ(got.serial, sent.serial);
    EXPECT_EQ(got.bridgeSerial, sent.bridgeSerial);
    EXPECT_EQ(got.settleMs, 250u);
    EXPECT_TRUE(got.noBridge);
    EXPECT_FALSE(got.serialOnAncestor);
    EXPECT_EQ(got.bridgeClass, sent.bridgeClass);
    EXPECT_EQ(got.serialType, 2);
    ASSERT_EQ(got.volumes.size(), 2u);
    EXPECT_EQ(got.volumes[0].name, "Data");
    EXPECT_TRUE(got.volumes[0].unreadable);
    EXPECT_EQ(got.volumes[1].totalBytes, UINT64_MAX);
    EXPECT_TRUE(got.volumes[1].noBsd);

    // Fixed-capacity fields carry only what they hold.
    StructRequest call;
    call.selector = 3;
    call.input.size = 4;
    call.input.bytes = {1, 42, 0, 0};
    EXPECT_EQ(BodyOf(call).size(), 8u + 4 + 4 + 4 + 4);
    StructRequest back;
    const std::vector<uint8_t> body = BodyOf(call);
    ASSERT_TRUE(DecodeBody(body.data(), body.size(), back));
    EXPECT_EQ(back.input.size, 4u);
    EXPECT_EQ(back.input.bytes[1], 42);
}

TEST(WireMessages, EncodedSizeIsWhatTheWriterWrites) {
    // Text, data, lists of records, integers of every width and bools.
    EXPECT_EQ(EncodedSize(SampleAttach()), BodyOf(SampleAttach()).size());
    VolumesAnswer volumes;
    volumes.volumes.push_back(VolumeInfo{1, "Caf\xC3\xA9", "disk2s1", 10, 5, true});
    volumes.volumes.push_back(VolumeInfo{2, std::string(300, 'n'), "", 0, 0, false});
    EXPECT_EQ(EncodedSize(volumes), BodyOf(volumes).size());
    LedsAnswer leds;
    leds.inputs.push_back({1, 2, 3, 4});
    EXPECT_EQ(EncodedSize(leds), BodyOf(leds).size());
    PropertyAnswer property;
    property.value.bytes = {1, 2, 3};
    EXPECT_EQ(EncodedSize(property), BodyOf(property).size());
}

TEST(WireMessages, HeaderIsLittleEndianWithTheBodyLength) {
    const std::vector<uint8_t> frame = FrameOf(0x0102030405060708ull, AttachRequest{});
    const uint32_t length = frame[0] | frame[1] << 8 | frame[2] << 16 | uint32_t(frame[3]) << 24;
    EXPECT_EQ(length, frame.size() - kLengthBytes);
    EXPECT_EQ(frame[12], 0x08);
    EXPECT_EQ(frame[19], 0x01);
}

TEST(WireMessages, BodiesMustHoldExactlyTheDeclaredFields) {
    const std::vector<uint8_t> body = BodyOf(SampleAttach());
    AttachRequest got;
    // Every cut is refused, and so is a byte too many.
    for (size_t cut = 0; cut < body.size(); ++cut)
        EXPECT_FALSE(DecodeBody(body.data(), cut, got)) << cut;
    std::vector<uint8_t> longer = body;
    longer.push_back(0);
    EXPECT_FALSE(DecodeBody(longer.data(), longer.size(), got));
    // A bool is 0 or 1.
    WaitsRequest waits;
    const uint8_t two = 2;
    EXPECT_FALSE(DecodeBody(&two, 1, waits));
}

TEST(WireMessages, ListsAreRefusedAtTheirCountBeyondTheBoundOrTheBytes) {
    // 100,000 entries is beyond the bound: refused at the count, whatever follows.
    ParentsAnswer big;
    big.entries.assign(100000, 7);
    const std::vector<uint8_t> tooMany = BodyOf(big);
    ParentsAnswer got;
    EXPECT_FALSE(DecodeBody(tooMany.data(), tooMany.size(), got));
    EXPECT_TRUE(got.entries.empty());
    // A count that claims more items than bytes remain reserves nothing and fails.
    const uint8_t claim[] = {0xff, 0xff, 0, 0, 1, 2, 3};
    EXPECT_FALSE(DecodeBody(claim, sizeof claim, got));
    EXPECT_EQ(got.entries.capacity(), 0u);
    // At the bound it decodes, item for item.
    big.entries.assign(kMaxEntries, 0);
    for (uint32_t i = 0; i < kMaxEntries; ++i)
        big.entries[i] = i * 3;
    const std::vector<uint8_t> atBound = BodyOf(big);
    ASSERT_TRUE(DecodeBody(atBound.data(), atBound.size(), got));
    EXPECT_EQ(got.entries, big.entries);
    // Fixed-capacity lists are bound by their capacity.
    ScalarAnswer scalars;
    const uint8_t seventeen[] = {17, 0, 0, 0};
    EXPECT_FALSE(DecodeBody(seventeen, sizeof seventeen, scalars));
}

TEST(WireMessages, FailedAnswerCarriesOnlyItsReason) {
    std::vector<uint8_t> out;
    ASSERT_TRUE(AppendAnswer(out, Op::Match, 5, kStatusNotFound, 9, MatchAnswer{}, "no drive X"));
    FrameView view;
    size_t consumed = 0;
    ASSERT_EQ(DecodeFrame(out.data(), out.size(), view, consumed), DecodeStatus::Frame);
    EXPECT_EQ(view.header.status, kStatusNotFound);
    EXPECT_EQ(view.header.generation, 9u);
    std::string why;
    ASSERT_TRUE(DecodeBody(view.body, view.bodyLength, why));
    EXPECT_EQ(why, "no drive X");
    EXPECT_TRUE(DecodeDeclaredBody(view));
}

// The other side would take such a frame for a malformed one and hang up on its sender, so
// nothing beyond a bound is encoded; a failure reason, which often quotes the request, is cut.
TEST(WireMessages, NothingBeyondADeclaredBoundIsEncodedAndLongReasonsAreCut) {
    const std::vector<uint8_t> before = {1, 2, 3};
    auto refused = [&](const auto& request) {
        std::vector<uint8_t> out = before;
        return !AppendRequest(out, 1, request) && out == before;
    };
    AttachRequest attach;
    attach.serial.assign(kMaxText + 1, 's');
    EXPECT_TRUE(refused(attach)) << "text";
    attach.serial.pop_back();
    EXPECT_FALSE(refused(attach)) << "text at its bound";
    attach.bridgeSerial.assign(kMaxData + 1, 0);
    EXPECT_TRUE(refused(attach)) << "data";
    attach.bridgeSerial.clear();
    attach.volumes.resize(kMaxDriveVolumes + 1);
    EXPECT_TRUE(refused(attach)) << "list";
    ScalarRequest scalar;
    scalar.inputs.count = kMaxScalars + 1;
    EXPECT_TRUE(refused(scalar)) << "inline list";
    StructRequest structure;
    structure.input.size = kMaxStructBytes + 1;
    EXPECT_TRUE(refused(structure)) << "inline bytes";

    std::string reason = "unknown fault ";
    while (reason.size() < 2 * kMaxText)
        reason += "\xe2\x82\xac"; // three bytes
    std::vector<uint8_t> out;
    ASSERT_TRUE(AppendAnswer(out, Op::Fault, 5, kStatusBadArgument, 9, FaultAnswer{}, reason));
    FrameView view;
    size_t consumed = 0;
    ASSERT_EQ(DecodeFrame(out.data(), out.size(), view, consumed), DecodeStatus::Frame);
    std::string why;
    ASSERT_TRUE(DecodeBody(view.body, view.bodyLength, why));
    EXPECT_GT(why.size(), kMaxText - 3);
    EXPECT_EQ(reason.compare(0, why.size(), why), 0);
    EXPECT_EQ((why.size() - 14) % 3, 0u) << "cut inside a character";
}

TEST(WireFrame, DecodeWaitsForWholeFrameAndRejectsEachMalformedKind) {
    const std::vector<uint8_t> frame = FrameOf(1, SampleAttach());
    FrameView view;
    size_t consumed = 0;
    for (size_t cut = 0; cut < frame.size(); ++cut)
        EXPECT_EQ(DecodeFrame(frame.data(), cut, view, consumed), DecodeStatus::NeedMore) << cut;
    const uint8_t empty[] = {0, 0, 0, 0};
    EXPECT_EQ(DecodeFrame(empty, 4, view, consumed), DecodeStatus::Short);
    const uint32_t huge = kMaxFrameBytes + 1;
    const uint8_t oversized[] = {uint8_t(huge), uint8_t(huge >> 8), uint8_t(huge >> 16),
                                 uint8_t(huge >> 24)};
    EXPECT_EQ(DecodeFrame(oversized, 4, view, consumed), DecodeStatus::Oversized);
    std::vector<uint8_t> badKind = frame;
    badKind[6] = 0;
    EXPECT_EQ(DecodeFrame(badKind.data(), badKind.size(), view, consumed), DecodeStatus::BadHeader);
    std::vector<uint8_t> reserved = frame;
    reserved[7] = 1;
    EXPECT_EQ(DecodeFrame(reserved.data(), reserved.size(), view, consumed),
              DecodeStatus::BadHeader);
}

TEST(WirePlistGuard, PropertyValuesPassTheSharedGuard) {
    EXPECT_TRUE(PropertyDecodes(NestedArrays(8, true)));
    // Deep enough to overflow the stack of a recursive parser.
    EXPECT_FALSE(PropertyDecodes(NestedArrays(100000, true)));
    EXPECT_FALSE(PropertyDecodes(CyclicPlist()));
    EXPECT_FALSE(PropertyDecodes(ExplodingPlist()));
    EXPECT_FALSE(PropertyDecodes("bplist00 but nothing else of one"));
}

TEST(FrameReader, SplitsStreamIntoFramesAcrossArbitraryChunks) {
    std::vector<uint8_t> stream;
    for (uint64_t id = 1; id <= 5; ++id) {
        AttachRequest r = SampleAttach();
        r.serial = std::string(id * 100, 's');
        AppendRequest(stream, id, r);
    }
    std::mt19937 rng(7);
    FrameReader reader;
    std::vector<uint64_t> ids;
    size_t at = 0;
    while (at < stream.size()) {
        const size_t n = std::min<size_t>(1 + rng() % 300, stream.size() - at);
        reader.Append(stream.data() + at, n);
        at += n;
        FrameView view;
        while (reader.Next(view) == DecodeStatus::Frame) {
            AttachRequest got;
            ASSERT_TRUE(DecodeBody(view.body, view.bodyLength, got));
            EXPECT_EQ(got.serial.size(), view.header.id * 100);
            ids.push_back(view.header.id);
        }
    }
    EXPECT_EQ(ids, (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(reader.Buffered(), 0u);
}

TEST(FrameReader, StaysFailedAfterBadFrame) {
    FrameReader reader;
    const uint8_t empty[] = {0, 0, 0, 0};
    reader.Append(empty, 4);
    FrameView view;
    EXPECT_EQ(reader.Next(view), DecodeStatus::Short);
    const std::vector<uint8_t> good = FrameOf(1, AttachRequest{});
    reader.Append(good.data(), good.size());
    EXPECT_EQ(reader.Next(view), DecodeStatus::Short);
    EXPECT_TRUE(reader.Failed());
}

// A peer scripted byte for byte: listens in a folder of its own, and what it is to send is
// written before the connection's call, so the call's one receive finds it all.
class ScriptedPeer {
public:
    ScriptedPeer() {
        char pattern[] = "/tmp/tvb-wire-peer-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return;
        mDir = pattern;
        path = mDir + "/peer.sock";
        mListener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (bind(mListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(mListener, 1) != 0)
            path.clear();
    }
    ~ScriptedPeer() {
        for (int fd : {mPeer, mListener})
            if (fd >= 0)
                close(fd);
        if (!mDir.empty()) {
            unlink(path.c_str());
            rmdir(mDir.c_str());
        }
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    bool Accept() {
        mPeer = accept4(mListener, nullptr, nullptr, SOCK_CLOEXEC);
        return mPeer >= 0;
    }
    bool Send(const std::vector<uint8_t>& bytes) {
        return send(mPeer, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

    std::string path;

private:
    std::string mDir;
    int mListener = -1;
    int mPeer = -1;
};

// A scripted peer writes the answer to a call and the frames behind it in one send before the
// call is made, so that the call's one receive gets them all.
class WireCallWithFramesBehindTheAnswer : public ::testing::Test {
protected:
    CallStatus Call(const std::vector<uint8_t>& behind, SubscribeInterestAnswer& answer) {
        EXPECT_FALSE(peer.path.empty());
        EXPECT_TRUE(connection.Connect(peer.path));
        EXPECT_TRUE(peer.Accept());
        std::vector<uint8_t> bytes;
        SubscribeInterestAnswer subscribed;
        subscribed.subscription = 7;
        EXPECT_TRUE(
            AppendAnswer(bytes, Op::SubscribeInterest, 1, kStatusSuccess, 40, subscribed, ""));
        bytes.insert(bytes.end(), behind.begin(), behind.end());
        EXPECT_TRUE(peer.Send(bytes));
        return connection.Call(SubscribeInterestRequest{}, answer, 1000);
    }

    ScriptedPeer peer;
    Connection connection;
};

// A caller watching the socket would find nothing more to read: what came with the answer must
// be queued by the call, or it waits for the next byte the host happens to send.
TEST_F(WireCallWithFramesBehindTheAnswer, EventsAreQueuedByTheCall) {
    std::vector<uint8_t> behind;
    MatchedEvent arrival;
    arrival.subscription = 3;
    arrival.entries.push_back(99);
    ASSERT_TRUE(AppendEvent(behind, 41, arrival));
    SubscribeInterestAnswer answer;
    const CallStatus status = Call(behind, answer);
    ASSERT_TRUE(status.Ok()) << status.error;
    EXPECT_EQ(answer.subscription, 7u);
    ASSERT_TRUE(connection.HasQueuedEvent());
    Event event;
    ASSERT_TRUE(connection.NextEvent(event, 0));
    EXPECT_EQ(event.kind, EventKind::Matched);
    EXPECT_EQ(event.generation, 41u);
    EXPECT_EQ(event.matched.subscription, 3u);
    ASSERT_EQ(event.matched.entries.size(), 1u);
    EXPECT_EQ(event.matched.entries[0], 99u);
    EXPECT_TRUE(connection.IsOpen());
}

TEST_F(WireCallWithFramesBehindTheAnswer, AMalformedFrameClosesTheConnectionButKeepsTheAnswer) {
    std::vector<uint8_t> behind;
    ASSERT_TRUE(AppendEvent(behind, 41, MatchedEvent{}));
    behind[6] = 9; // no such frame kind
    SubscribeInterestAnswer answer;
    const CallStatus status = Call(behind, answer);
    ASSERT_TRUE(status.Ok()) << status.error;
    EXPECT_EQ(answer.subscription, 7u);
    EXPECT_FALSE(connection.HasQueuedEvent());
    EXPECT_FALSE(connection.IsOpen());
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

// Anyone of the user may put something else where the page belongs: a FIFO must not hold the
// session's opening up until a writer comes (for ever), and neither side may use it.
TEST(GenerationPageFile, SomethingOtherThanAFileInItsPlaceIsNoPageAndNoWait) {
    char folder[] = "/tmp/tvb-generation-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = GenerationPage::PathFor(std::string(folder) + "/host.sock");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10); // a blocked open ends the child by signal
        GenerationPage client, host;
        _exit(client.Open(path) || client.Current(1) != 0 ? 1 : host.Create(path, 1) ? 2 : 0);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the client took it; 2: the host took it";
    unlink(path.c_str());
    rmdir(folder);
}
