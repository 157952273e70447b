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
        bridges = Ids(Ask(c, MatchClass("com_ostrel_IOTVB")).entries);
        ASSERT_EQ(bridges.size(), 2u);
    }

    // The call's status; `id` is the subscription made.
    static wire::CallStatus Subscribe(wire::Connection& c, uint64_t entry, uint64_t* id = nullptr) {
        wire::SubscribeInterestAnswer answer;
        const wire::CallStatus status = c.Call(tvb::hosttest::Interest(entry), answer, kAnswerMs);
        if (id != nullptr)
            *id = answer.subscription;
        return status;
    }
    static wire::CallStatus Match(wire::Connection& c, uint64_t* id = nullptr) {
        wire::SubscribeMatchRequest request;
        request.type = wire::kFirstMatchType;
        request.criteria = MatchClass("IOMedia").criteria;
        wire::SubscribeMatchAnswer answer;
        const wire::CallStatus status = c.Call(request, answer, kAnswerMs);
        if (id != nullptr)
            *id = answer.subscription;
        return status;
    }

    std::vector<uint64_t> bridges;
};

} // namespace

TEST_F(HostSubscriptionCap, BeyondTheCapAPeerIsRefusedUntilItsSubscriptionsEnd) {
    wire::Connection greedy = Connect();
    std::vector<uint64_t> matches;
    // Half on the drive that goes later, half matches; both kinds count.
    for (size_t i = 0; i < kCap; ++i) {
        uint64_t id = 0;
        const wire::CallStatus r = i % 2 ? Subscribe(greedy, bridges[0], &id) : Match(greedy, &id);
        ASSERT_TRUE(r.Ok()) << i << ": " << r.error;
        if (i % 2 == 0)
            matches.push_back(id);
    }
    for (int kind = 0; kind < 2; ++kind) {
        const wire::CallStatus refused = kind == 0 ? Subscribe(greedy, bridges[1]) : Match(greedy);
        EXPECT_EQ(refused.status, wire::kStatusNoResources);
        EXPECT_NE(refused.error.find("4096 subscriptions"), std::string::npos) << refused.error;
    }
    // The refusal is an answer: the peer stays connected and served.
    EXPECT_EQ(StatusOf(greedy, wire::HelloRequest{}), wire::kStatusSuccess);
    // Another peer has a cap of its own.
    wire::Connection modest = Connect();
    EXPECT_TRUE(Subscribe(modest, bridges[1]).Ok());

    // Unsubscribing gives one place back.
    wire::UnsubscribeRequest unsubscribe;
    unsubscribe.subscription = matches.back();
    Ask(greedy, unsubscribe);
    EXPECT_TRUE(Match(greedy).Ok());
    EXPECT_EQ(Match(greedy).status, wire::kStatusNoResources);
    // A drive that goes takes its interest subscriptions, and their places, with it.
    CtlOk({"detach", "CAP"});
    for (size_t i = 0; i < kCap / 2; ++i)
        ASSERT_TRUE(Subscribe(greedy, bridges[1]).Ok()) << i;
    EXPECT_EQ(Subscribe(greedy, bridges[1]).status, wire::kStatusNoResources);
    EXPECT_EQ(CtlOk({"list"}),
              "OTHER disk3 volumes= watchers=" + std::to_string(kCap / 2 + 1) + "\n");
    // A peer that leaves takes all of its with it.
    greedy.Close();
    wire::Connection next = Connect();
    EXPECT_EQ(StatusOf(next, wire::HelloRequest{}), wire::kStatusSuccess);
    EXPECT_EQ(CtlOk({"list"}), "OTHER disk3 volumes= watchers=1\n");
}
