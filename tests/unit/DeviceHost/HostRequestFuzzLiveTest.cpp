// Well-formed requests with random contents, every operation of the declaration, from peers that
// come and go: the frame decoder's fuzzing never gets past decoding, this reaches the handlers.
// What answers name (entries, connections, subscriptions, drives, volumes, classes) is kept by
// field name and offered again to fields of that name, so requests reach live objects as often
// as made-up ones. The host (sanitized in this build) must answer every request, never hang up
// on a peer that sent nothing malformed, and end cleanly.
// TVB_FUZZ_REQUESTS sets the number of requests (default 5000) for longer campaigns.
#include "LiveHost.h"
#include "TvbBridge.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <type_traits>

using namespace tvb;
using namespace tvb::hosttest;

namespace {

// Field visitors that pass each field's declared name along.
#define FUZZ_FIELD(type, name) visit(#name, m.name);
#define FUZZ_MESSAGES(name, request, answer)                                                       \
    template <typename V> void Named(wire::name##Request& m, V&& visit) {                          \
        (void)m, (void)visit;                                                                      \
        request                                                                                    \
    }                                                                                              \
    template <typename V> void Named(const wire::name##Answer& m, V&& visit) {                     \
        (void)m, (void)visit;                                                                      \
        answer                                                                                     \
    }
#define FUZZ_RECORD(name, fields)                                                                  \
    template <typename V> void Named(wire::name& m, V&& visit) {                                   \
        fields                                                                                     \
    }                                                                                              \
    template <typename V> void Named(const wire::name& m, V&& visit) {                             \
        fields                                                                                     \
    }
TVB_OPERATIONS(FUZZ_MESSAGES, FUZZ_FIELD)
TVB_RECORDS(FUZZ_RECORD, FUZZ_FIELD)
template <typename V> void Named(const wire::MatchedEvent& m, V&& visit) {
    visit("entries", m.entries);
}

// Names under which values are pooled: fields that name the same kind of thing share one.
std::string PoolOf(const std::string& field) {
    static const std::map<std::string, std::string> kSame = {
        {"entries", "entry"}, {"id", "volume"},     {"bsdName", "drive"},
        {"serial", "drive"},  {"classes", "class"}, {"className", "class"}};
    auto it = kSame.find(field);
    return it != kSame.end() ? it->second : field;
}

class Fuzzer {
public:
    explicit Fuzzer(uint64_t seed) : mRng(seed) {
        for (const char* t : {"IOService", "IOMedia", "com_ostrel_IOTVB", "IOBlockStorageDriver"})
            Keep("class", t);
        for (const char* t : {"BSD Name", "serial_number_core", "Size", "Whole"})
            Keep("key", t);
        for (const char* t : {wire::kFirstMatchType, wire::kGeneralInterestType})
            Keep("type", t);
        for (const char* t : {"refuse-open", "refuse-selector0", "fail-command", "short-answer"})
            Keep("kind", t);
        for (uint64_t v : {0xe0000010ull, 0xe0000100ull, 0xe0000101ull, 0xe0000110ull})
            Keep("messageType", v);
        Keep("type", uint64_t(0)); // the bridge's only user-client type
    }

    template <typename Message> void Fill(Message& m) {
        Named(m, [this](const char* field, auto& value) { Make(PoolOf(field), value); });
    }
    template <typename Message> void Learn(const Message& m) {
        Named(m, [this](const char* field, const auto& value) { Take(PoolOf(field), value); });
    }
    uint64_t Below(uint64_t n) { return mRng() % n; }

private:
    // Mostly a known value, and then mostly a recent one: older ones are often gone.
    template <typename T>
    bool Pick(std::map<std::string, std::vector<T>>& pools, const std::string& pool, T& out) {
        auto it = pools.find(pool);
        if (it == pools.end() || it->second.empty() || Below(10) < 3)
            return false;
        const std::vector<T>& values = it->second;
        const size_t recent = std::min<size_t>(values.size(), 8);
        out = Below(2) ? values[values.size() - 1 - Below(recent)] : values[Below(values.size())];
        return true;
    }
    void Keep(const std::string& pool, uint64_t v) { Keep(mIds[pool], v); }
    void Keep(const std::string& pool, const std::string& v) { Keep(mTexts[pool], v); }
    // Newest last.
    template <typename T> void Keep(std::vector<T>& values, const T& v) {
        auto seen = std::find(values.begin(), values.end(), v);
        if (seen != values.end())
            values.erase(seen);
        else if (values.size() == 64)
            values.erase(values.begin());
        values.push_back(v);
    }

    void Make(const std::string&, bool& v) { v = Below(2); }
    void Make(const std::string&, uint8_t& v) { v = Below(4) == 0 ? uint8_t(mRng()) : Below(4); }
    void Make(const std::string& pool, uint32_t& v) {
        uint64_t known = 0;
        if (Pick(mIds, pool, known))
            v = uint32_t(known);
        else
            v = Below(4) != 0 ? uint32_t(Below(6)) : Below(2) ? UINT32_MAX : uint32_t(mRng());
    }
    void Make(const std::string& pool, uint64_t& v) {
        // A drive's service is the entry with a user client.
        if (pool == "entry" && Below(3) == 0 && Pick(mIds, "service", v))
            return;
        if (Pick(mIds, pool, v))
            return;
        const uint64_t r = Below(4);
        v = r == 0 ? 0 : r == 1 ? UINT64_MAX : r == 2 ? Below(64) : mRng();
    }
    void Make(const std::string& pool, std::string& v) {
        if (Pick(mTexts, pool, v))
            return;
        v.assign(Below(8) == 0 ? Below(wire::kMaxText + 1) : Below(12), 'a');
        for (char& c : v)
            c = char(Below(4) == 0 ? mRng() : 'a' + Below(26));
    }
    void Make(const std::string&, wire::Data& v) {
        const uint64_t r = Below(3);
        v.resize(r == 0 ? 0 : r == 1 ? Below(20) : Below(2048));
        for (uint8_t& b : v)
            b = uint8_t(mRng());
    }
    void Make(const std::string& pool, wire::PlistData& v) { Make(pool, v.bytes); }
    void Make(const std::string& pool, wire::LedInput& v) {
        for (uint8_t& b : v)
            Make(pool, b);
    }
    template <typename T, uint32_t N> void Make(const std::string& pool, wire::List<T, N>& v) {
        v.resize(Below(8) == 0 ? Below(std::min<uint32_t>(N, 100) + 1) : Below(4));
        for (T& item : v)
            Make(pool, item);
    }
    template <typename T, uint32_t N>
    void Make(const std::string& pool, wire::InlineList<T, N>& v) {
        v.count = uint32_t(Below(N + 1));
        for (uint32_t i = 0; i < v.count; ++i)
            Make(pool, v.items[i]);
    }
    template <uint32_t N> void Make(const std::string&, wire::InlineBytes<N>& v) {
        v.size = uint32_t(Below(4) == 0 ? Below(N + 1) : Below(30));
        for (uint32_t i = 0; i < v.size; ++i)
            v.bytes[i] = uint8_t(mRng());
    }
    template <typename Record> auto Make(const std::string&, Record& r) -> decltype(Named(r, 0)) {
        Fill(r);
    }

    void Take(const std::string& pool, uint64_t v) {
        if (v != 0)
            Keep(pool, v);
    }
    void Take(const std::string& pool, const std::string& v) {
        if (!v.empty() && v.size() < 64)
            Keep(pool, v);
    }
    template <typename T, uint32_t N>
    void Take(const std::string& pool, const wire::List<T, N>& v) {
        for (const T& item : v)
            Take(pool, item);
    }
    template <typename Other> void Take(const std::string& pool, const Other& v) {
        TakeRecord(pool, v, 0);
    }
    template <typename Record>
    auto TakeRecord(const std::string&, const Record& r, int) -> decltype(Named(r, 0)) {
        Learn(r);
    }
    template <typename Other> void TakeRecord(const std::string&, const Other&, long) {}

    std::mt19937_64 mRng;
    std::map<std::string, std::vector<uint64_t>> mIds;
    std::map<std::string, std::vector<std::string>> mTexts;
};

class HostRequestFuzz : public LiveHost {
protected:
    // Sends one random request of the given kind on `c` and checks that it is answered.
    template <typename Request> void Exercise(wire::Connection& c, Fuzzer& fuzz) {
        Request request;
        fuzz.Fill(request);
        // Deferred answers of seconds would only slow the run down.
        if constexpr (std::is_same_v<Request, wire::WaitQuietRequest>)
            request.timeoutMs %= 30;
        if constexpr (std::is_same_v<Request, wire::AttachRequest>)
            request.settleMs %= 30;
        // Half the user-client calls take the bridge's own shapes, or few would get past them.
        if constexpr (std::is_same_v<Request, wire::ScalarRequest>) {
            if (fuzz.Below(2)) {
                request.selector %= 2;
                request.inputs.count = 0;
                request.outputCount = 0;
            }
        }
        if constexpr (std::is_same_v<Request, wire::StructRequest>) {
            if (fuzz.Below(2)) {
                const bool leds = fuzz.Below(2);
                request.selector = leds ? bridge::kSelectorLeds : bridge::kSelectorButtonMap;
                request.input.size = leds ? bridge::kLedInputSize : 0;
                request.outputCapacity =
                    leds ? bridge::kDummyResponseSize : bridge::kButtonMapResponseSize;
            }
        }
        typename Request::Answer answer;
        const wire::CallStatus status = c.Call(request, answer, kAnswerMs);
        ASSERT_TRUE(status.Answered() && c.IsOpen())
            << wire::OpName(Request::kOp) << ": " << status.error << "\n"
            << mHost.Stderr();
        if (status.status == wire::kStatusSuccess) {
            ++mSucceeded[Request::kOp];
            fuzz.Learn(answer);
        }
        wire::Event event;
        while (c.NextEvent(event, 0))
            fuzz.Learn(event.matched);
    }

    void ExerciseOne(wire::Op op, wire::Connection& c, Fuzzer& fuzz) {
        switch (op) {
#define FUZZ_CASE(name, request, answer)                                                           \
    case wire::Op::name:                                                                           \
        Exercise<wire::name##Request>(c, fuzz);                                                    \
        break;
            TVB_OPERATIONS(FUZZ_CASE, FUZZ_FIELD)
#undef FUZZ_CASE
        case wire::Op::Count:
            break;
        }
    }

    // Random detaches soon outnumber random attaches, and random opens seldom hit a bridge:
    // keeps two drives attached and gives the peer a user client of its own.
    void Replenish(wire::Connection& c, Fuzzer& fuzz) {
        wire::ListAnswer listed;
        if (Call(c, wire::ListRequest{}, listed) != wire::kStatusSuccess)
            return;
        uint64_t service = listed.drives.empty() ? 0 : listed.drives.back().service;
        for (size_t n = listed.drives.size(); n < 2; ++n) {
            wire::AttachRequest attach;
            attach.serial = "REPLENISHED" + std::to_string(mAttached++);
            attach.volumes.push_back(wire::VolumeSpec{"Vol", 1000, 400, false, false});
            wire::AttachAnswer attached;
            EXPECT_EQ(Call(c, attach, attached), wire::kStatusSuccess);
            service = attached.service;
        }
        wire::OpenRequest open;
        open.entry = service;
        wire::OpenAnswer opened;
        if (Call(c, open, opened) != wire::kStatusSuccess) // a refuse-open fault may stand
            return;
        fuzz.Learn(opened);
        wire::ScalarRequest bracket; // selector 0, as the daemon starts every exchange
        bracket.connection = opened.connection;
        wire::ScalarAnswer bracketed;
        Call(c, bracket, bracketed);
    }

    std::map<wire::Op, int> mSucceeded;
    int mAttached = 0;
};

} // namespace

TEST_F(HostRequestFuzz, EveryWellFormedRequestIsAnsweredAndTheHostEndsCleanly) {
    const char* configured = std::getenv("TVB_FUZZ_REQUESTS");
    const long requests = configured != nullptr ? std::atol(configured) : 5000;
    const uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    Fuzzer fuzz(seed);
    // Two real drives give the requests something to find.
    CtlOk({"attach", "FUZZ1", "--volume", "One:1000:500"});
    CtlOk({"attach", "FUZZ2", "--volume", "Two:1000:10", "--volume", "Three:10:1"});

    std::vector<wire::Connection> peers;
    for (int i = 0; i < 3; ++i)
        peers.push_back(Connect());
    size_t peer = 0;
    for (long n = 0; n < requests && !HasFatalFailure(); ++n) {
        // A peer keeps the floor for a while: user-client connections are its own.
        if (fuzz.Below(40) == 0)
            peer = fuzz.Below(peers.size());
        wire::Connection& c = peers[peer];
        if (fuzz.Below(100) == 0)
            c = Connect(); // its subscriptions and user-client connections die with the old one
        if (n % 20 == 0)
            Replenish(c, fuzz);
        ExerciseOne(wire::Op(fuzz.Below(size_t(wire::Op::Count))), c, fuzz);
    }
    peers.clear();

    // Every operation got past its first check at least once, or the run proved little.
    for (size_t op = 0; op < size_t(wire::Op::Count) && requests >= 5000; ++op)
        EXPECT_GT(mSucceeded[wire::Op(op)], 0) << wire::OpName(wire::Op(op)) << " never succeeded";
    wire::Connection fresh = Connect();
    EXPECT_EQ(StatusOf(fresh, wire::HelloRequest{}), wire::kStatusSuccess);
    EXPECT_EQ(Ctl({"list"}).exitCode, 0);
    EXPECT_EQ(mHost.Stop(), 0) << mHost.Stderr();
}
