// A peer's match and interest subscriptions are capped together: beyond the cap it gets a clear
// refusal, and every way a subscription ends gives its place back.
#include "LiveHost.h"

using namespace tvb;
using namespace tvb::hosttest;

namespace {

constexpr size_t kCap = 4096; // HostLimits' default

class HostSubscriptionCap : public LiveHost {
protected:
    void SetUp() override {
        LiveHost::SetUp();
        CtlOk({"attach", "CAP"});
        CtlOk({"attach", "OTHER"});
        wire::Connection c = Connect();
        bridges = Ids(Ask(c, "match", {{"class", "com_ostrel_IOTVB"}}).get());
        ASSERT_EQ(bridges.size(), 2u);
    }

    static wire::PlistPtr Interest(wire::Connection& c, uint64_t entry) {
        return Ask(c, "subscribe-interest", {{"entry", entry}, {"type", "IOGeneralInterest"}});
    }
    static wire::PlistPtr Match(wire::Connection& c) {
        return Ask(c, "subscribe-match", {{"type", "IOServiceFirstMatch"}, {"class", "IOMedia"}});
    }

    std::vector<uint64_t> bridges;
};

} // namespace

TEST_F(HostSubscriptionCap, BeyondTheCapAPeerIsRefusedUntilItsSubscriptionsEnd) {
    wire::Connection greedy = Connect();
    std::vector<uint64_t> matches;
    // Half on the drive that goes later, half matches; both kinds count.
    for (size_t i = 0; i < kCap; ++i) {
        wire::PlistPtr r = i % 2 ? Interest(greedy, bridges[0]) : Match(greedy);
        ASSERT_EQ(wire::StatusOf(r.get()), wire::kStatusSuccess) << i;
        uint64_t id = 0;
        ASSERT_TRUE(wire::GetUInt(r.get(), "subscription", id));
        if (i % 2 == 0)
            matches.push_back(id);
    }
    for (int kind = 0; kind < 2; ++kind) {
        wire::PlistPtr refused = kind == 0 ? Interest(greedy, bridges[1]) : Match(greedy);
        EXPECT_EQ(wire::StatusOf(refused.get()), wire::kStatusNoResources);
        EXPECT_NE(Str(refused.get(), "error").find("4096 subscriptions"), std::string::npos);
    }
    // The refusal is an answer: the peer stays connected and served.
    EXPECT_TRUE(Ask(greedy, "ping", {}));
    // Another peer has a cap of its own.
    wire::Connection modest = Connect();
    EXPECT_EQ(wire::StatusOf(Interest(modest, bridges[1]).get()), wire::kStatusSuccess);

    // Unsubscribing gives one place back.
    Ask(greedy, "unsubscribe", {{"subscription", matches.back()}});
    EXPECT_EQ(wire::StatusOf(Match(greedy).get()), wire::kStatusSuccess);
    EXPECT_EQ(wire::StatusOf(Match(greedy).get()), wire::kStatusNoResources);
    // A drive that goes takes its interest subscriptions, and their places, with it.
    CtlOk({"detach", "CAP"});
    for (size_t i = 0; i < kCap / 2; ++i)
        ASSERT_EQ(wire::StatusOf(Interest(greedy, bridges[1]).get()), wire::kStatusSuccess) << i;
    EXPECT_EQ(wire::StatusOf(Interest(greedy, bridges[1]).get()), wire::kStatusNoResources);
    EXPECT_EQ(CtlOk({"list"}),
              "OTHER disk3 volumes= watchers=" + std::to_string(kCap / 2 + 1) + "\n");
    // A peer that leaves takes all of its with it.
    greedy.Close();
    wire::Connection next = Connect();
    EXPECT_TRUE(Ask(next, "ping", {}));
    EXPECT_EQ(CtlOk({"list"}), "OTHER disk3 volumes= watchers=1\n");
}
