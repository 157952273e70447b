// The registry half of the protocol against a real host: what the IOKit stand-in relies on.
#include "LiveHost.h"

#include <chrono>

using namespace tvb;
using namespace tvb::hosttest;

namespace {

using Clock = std::chrono::steady_clock;

class HostRegistry : public LiveHost {
protected:
    uint64_t Only(wire::Connection& c, const wire::MatchRequest& match) {
        std::vector<uint64_t> ids = Ids(Ask(c, match).entries);
        EXPECT_EQ(ids.size(), 1u);
        return ids.empty() ? 0 : ids[0];
    }

    std::string ClassOf(wire::Connection& c, uint64_t entry) {
        wire::EntryAnswer answer;
        return Call(c, About<wire::EntryRequest>(entry), answer) == wire::kStatusSuccess
                   ? answer.className
                   : "<gone>";
    }

    bool Busy(wire::Connection& c, uint64_t entry) {
        return Ask(c, About<wire::EntryRequest>(entry)).busy;
    }

    static uint32_t NextType(wire::Connection& c) {
        wire::Event event;
        EXPECT_TRUE(c.NextEvent(event, kAnswerMs));
        EXPECT_EQ(event.kind, wire::EventKind::Interest);
        return event.interest.messageType;
    }
};

wire::VolumesAnswer Volumes(wire::Connection& c, uint64_t only = 0) {
    wire::VolumesRequest request;
    request.volume = only;
    return Ask(c, request);
}

} // namespace

TEST_F(HostRegistry, HelloNamesTheHostRun) {
    wire::Connection c = Connect();
    const wire::HelloAnswer hello = Ask(c, wire::HelloRequest{});
    EXPECT_NE(hello.instance, 0u);
    EXPECT_EQ(hello.pid, static_cast<uint64_t>(mHost.Pid()));
}

TEST_F(HostRegistry, AttachedDriveIsFoundByClassByBsdNameAndThroughItsParents) {
    EXPECT_EQ(CtlOk({"attach", "SER1", "--volume", "Data:1000:500"}), "disk2\n");
    wire::Connection c = Connect();
    const uint64_t storage = Only(c, MatchClass("IOBlockStorageServices"));
    const std::vector<uint64_t> parents = Ids(Ask(c, About<wire::ParentsRequest>(storage)).entries);
    std::vector<std::string> chain;
    for (uint64_t id : parents)
        chain.push_back(ClassOf(c, id));
    EXPECT_EQ(chain, (std::vector<std::string>{"com_ostrel_IOTVB", "IOUSBDevice",
                                               "IOPlatformExpertDevice"}));
    const uint64_t bridge = parents.at(0);
    wire::PropertyRequest serial = About<wire::PropertyRequest>(bridge);
    serial.key = "serial_number_core";
    EXPECT_EQ(TextOf(Ask(c, serial).value), "SER1");

    const uint64_t partition = Only(c, MatchBsd("disk2s1"));
    std::vector<uint64_t> ids = Ids(Ask(c, About<wire::ParentsRequest>(partition)).entries);
    EXPECT_NE(std::find(ids.begin(), ids.end(), bridge), ids.end());
    // Class and BSD name together must both hold.
    wire::MatchRequest both = MatchBsd("disk2s1");
    both.criteria.hasClass = true;
    both.criteria.className = "IOUSBDevice";
    EXPECT_TRUE(Ask(c, both).entries.empty());
}

TEST_F(HostRegistry, MissingPropertyAndGoneEntryAreNotFound) {
    CtlOk({"attach", "SER1"});
    wire::Connection c = Connect();
    const uint64_t storage = Only(c, MatchClass("IOBlockStorageServices"));
    wire::PropertyRequest absent = About<wire::PropertyRequest>(storage);
    absent.key = "serial_number_core";
    EXPECT_EQ(StatusOf(c, absent), wire::kStatusNotFound);
    CtlOk({"detach", "SER1"});
    EXPECT_EQ(StatusOf(c, About<wire::EntryRequest>(storage)), wire::kStatusNotFound);
    EXPECT_EQ(StatusOf(c, About<wire::ParentsRequest>(storage)), wire::kStatusNotFound);
}

TEST_F(HostRegistry, WholeDiskNumbersAreNeverReused) {
    EXPECT_EQ(CtlOk({"attach", "A"}), "disk2\n");
    CtlOk({"detach", "A"});
    EXPECT_EQ(CtlOk({"attach", "A"}), "disk3\n");
    EXPECT_EQ(CtlOk({"attach", "B"}), "disk4\n");
}

TEST_F(HostRegistry, FirstMatchSubscriberHearsOfEachNewStorageService) {
    CtlOk({"attach", "EARLY"});
    wire::Connection c = Connect();
    wire::SubscribeMatchRequest sub;
    sub.type = wire::kFirstMatchType;
    sub.criteria = MatchClass("IOBlockStorageServices").criteria;
    const wire::SubscribeMatchAnswer subscribed = Ask(c, sub);
    EXPECT_EQ(subscribed.entries.size(), 1u); // the one present at registration

    CtlOk({"attach", "LATE", "--second-storage"});
    wire::Event event;
    ASSERT_TRUE(c.NextEvent(event, kAnswerMs));
    EXPECT_EQ(event.kind, wire::EventKind::Matched);
    EXPECT_EQ(event.matched.subscription, subscribed.subscription);
    std::vector<uint64_t> hits = Ids(event.matched.entries);
    ASSERT_EQ(hits.size(), 2u); // both services of the drive, in one event
    EXPECT_LT(hits[0], hits[1]);
    EXPECT_EQ(ClassOf(c, hits[0]), "IOBlockStorageServices");

    // A drive without block storage of interest to nobody else sends nothing more.
    wire::UnsubscribeRequest unsubscribe;
    unsubscribe.subscription = subscribed.subscription;
    Ask(c, unsubscribe);
    CtlOk({"attach", "QUIET"});
    EXPECT_FALSE(c.NextEvent(event, 200));
}

TEST_F(HostRegistry, SubscriptionTypesOtherThanTheOnesOfferedAreUnsupported) {
    CtlOk({"attach", "S"});
    wire::Connection c = Connect();
    wire::SubscribeMatchRequest terminate;
    terminate.type = "IOServiceTerminate";
    EXPECT_EQ(StatusOf(c, terminate), wire::kStatusUnsupported);
    const uint64_t storage = Only(c, MatchClass("IOBlockStorageServices"));
    EXPECT_EQ(StatusOf(c, Interest(storage, "IOBusyInterest")), wire::kStatusUnsupported);
    wire::UnsubscribeRequest unknown;
    unknown.subscription = 12345;
    EXPECT_EQ(StatusOf(c, unknown), wire::kStatusNotFound);
}

TEST_F(HostRegistry, DetachTerminatesEverySubscriberThenRemovesEntries) {
    CtlOk({"attach", "GONE", "--volume", "V:10:5"});
    CtlOk({"attach", "STAYS"});
    wire::Connection a = Connect(), b = Connect();
    const std::vector<uint64_t> bridges = Ids(Ask(a, MatchClass("com_ostrel_IOTVB")).entries);
    ASSERT_EQ(bridges.size(), 2u);
    const uint64_t bridge = bridges[0], other = bridges[1];
    const uint64_t media = Only(a, MatchBsd("disk2s1"));
    Ask(a, Interest(bridge));
    Ask(b, Interest(bridge));
    Ask(b, Interest(media));
    Ask(b, Interest(other));
    EXPECT_EQ(CtlOk({"list"}),
              "GONE disk2 volumes=V watchers=2\nSTAYS disk3 volumes= watchers=1\n");

    CtlOk({"detach", "GONE"});
    for (wire::Connection* c : {&a, &b, &b})
        EXPECT_EQ(NextType(*c), wire::kMessageServiceIsTerminated);
    wire::Event event;
    EXPECT_FALSE(b.NextEvent(event, 200)); // nothing for the drive that stays
    EXPECT_EQ(ClassOf(a, bridge), "<gone>");
    EXPECT_EQ(ClassOf(a, media), "<gone>");
    EXPECT_EQ(ClassOf(a, other), "com_ostrel_IOTVB");
    EXPECT_EQ(CtlOk({"list"}), "STAYS disk3 volumes= watchers=1\n");
}

TEST_F(HostRegistry, MessageReachesSubscribersAndRemovesNothing) {
    CtlOk({"attach", "MSG"});
    wire::Connection c = Connect();
    const uint64_t bridge = Only(c, MatchClass("com_ostrel_IOTVB"));
    Ask(c, Interest(bridge));
    CtlOk({"message", "MSG", "0xe0000101"});
    CtlOk({"message", "disk2", "e0000010"});
    for (uint32_t expected : {0xe0000101u, 0xe0000010u})
        EXPECT_EQ(NextType(c), expected);
    EXPECT_EQ(ClassOf(c, bridge), "com_ostrel_IOTVB");
    EXPECT_EQ(CtlOk({"list"}), "MSG disk2 volumes= watchers=1\n");
}

TEST_F(HostRegistry, DisconnectingDropsSubscriptionsAndClosesUserClients) {
    CtlOk({"attach", "D"});
    {
        wire::Connection c = Connect();
        const uint64_t bridge = Only(c, MatchClass("com_ostrel_IOTVB"));
        Ask(c, Interest(bridge));
        Ask(c, About<wire::OpenRequest>(bridge));
        EXPECT_EQ(CtlOk({"list"}), "D disk2 volumes= watchers=1\n");
    }
    // The hang-up reaches the host before tvbctl's connection does.
    EXPECT_EQ(CtlOk({"list"}), "D disk2 volumes= watchers=0\n");
    EXPECT_EQ(CtlOk({"calls", "D"}), "open\nclose\n");
}

TEST_F(HostRegistry, WaitQuietAnswersAtOnceWhenQuietAndRecordsIt) {
    CtlOk({"attach", "Q"});
    wire::Connection c = Connect();
    const uint64_t storage = Only(c, MatchClass("IOBlockStorageServices"));
    EXPECT_EQ(StatusOf(c, WaitQuiet(storage, 0)), wire::kStatusSuccess);
    EXPECT_EQ(CtlOk({"waits"}), "IOBlockStorageServices IOBlockStorageServices quiet\n");
    CtlOk({"waits", "--clear"});
    EXPECT_EQ(CtlOk({"waits"}), "");
}

TEST_F(HostRegistry, SettlingDriveMakesWaitQuietWaitThenAnswer) {
    const auto before = Clock::now();
    CtlOk({"attach", "SLOW", "--settle-ms", "400"});
    wire::Connection c = Connect();
    const uint64_t storage = Only(c, MatchClass("IOBlockStorageServices"));
    ASSERT_TRUE(Busy(c, storage)) << "attach and the first look took longer than the settle time";

    EXPECT_EQ(StatusOf(c, WaitQuiet(storage, 20000)), wire::kStatusSuccess);
    // Never before the drive has settled (a lower bound only; the upper one is the reaper).
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(400));
    EXPECT_FALSE(Busy(c, storage));
    EXPECT_EQ(CtlOk({"waits"}), "IOBlockStorageServices IOBlockStorageServices quiet\n");
}

TEST_F(HostRegistry, WaitQuietTimesOutWithoutHoldingUpOtherPeers) {
    CtlOk({"attach", "STUCK", "--settle-ms", "600000"});
    wire::Connection waiter = Connect();
    const uint64_t bridge = Only(waiter, MatchClass("com_ostrel_IOTVB"));
    // Send the wait without blocking on it, then use another peer meanwhile.
    ASSERT_TRUE(waiter.SendOnly(WaitQuiet(bridge, 100), 999));
    wire::Connection other = Connect();
    Ask(other, wire::HelloRequest{});

    // Its own answer to the first wait is dropped by the connection as a stale id.
    EXPECT_EQ(StatusOf(waiter, WaitQuiet(bridge, 300)), wire::kStatusTimeout);
    EXPECT_EQ(CtlOk({"waits"}),
              "com_ostrel_IOTVB com_ostrel_IOTVB timeout\ncom_ostrel_IOTVB com_ostrel_IOTVB "
              "timeout\n");
}

TEST_F(HostRegistry, WaitOnAnEntryThatIsDetachedEndsAtOnce) {
    CtlOk({"attach", "LEAVING", "--settle-ms", "600000"});
    wire::Connection c = Connect();
    const uint64_t storage = Only(c, MatchClass("IOBlockStorageServices"));
    ASSERT_TRUE(c.SendOnly(WaitQuiet(storage, 600000), 4242));
    CtlOk({"detach", "LEAVING"});
    EXPECT_EQ(CtlOk({"waits"}), "IOBlockStorageServices IOBlockStorageServices gone\n");
}

TEST_F(HostRegistry, VolumesListEveryDriveInAttachOrder) {
    wire::Connection c = Connect();
    EXPECT_TRUE(Volumes(c).volumes.empty());
    CtlOk({"attach", "ONE", "--volume", "Data:3000:1000", "--volume", "Net:10:5:nobsd"});
    CtlOk({"attach", "TWO", "--volume", "Broken:8:8:unreadable"});
    wire::VolumesAnswer answer = Volumes(c);
    const auto& volumes = answer.volumes;
    ASSERT_EQ(volumes.size(), 3u);
    EXPECT_EQ(volumes[0].name, "Data");
    EXPECT_EQ(volumes[0].bsdName, "disk2s1");
    EXPECT_EQ(volumes[0].totalBytes, 3000u);
    EXPECT_EQ(volumes[0].freeBytes, 1000u);
    EXPECT_FALSE(volumes[0].unreadable);
    EXPECT_EQ(volumes[1].name, "Net");
    EXPECT_EQ(volumes[1].bsdName, "");
    EXPECT_EQ(volumes[2].bsdName, "disk3s1");
    EXPECT_TRUE(volumes[2].unreadable);
    EXPECT_NE(volumes[0].id, volumes[1].id);
    EXPECT_EQ(CtlOk({"volumes"}), "disk2s1 Data 3000 1000\n- Net 10 5\ndisk3s1 Broken 8 8\n");

    CtlOk({"detach", "ONE"});
    answer = Volumes(c);
    ASSERT_EQ(answer.volumes.size(), 1u);
    EXPECT_EQ(answer.volumes[0].name, "Broken");
}

TEST_F(HostRegistry, VolumesOfLongNamesFillOneAnswerWithoutHidingTheOthers) {
    CtlOk({"attach", "PLAIN", "--volume", "Data:3000:1000"});
    wire::Connection c = Connect();
    // Five drives of 64 names of 4000 bytes: more than one frame holds.
    for (int drive = 0; drive < 5; ++drive) {
        wire::AttachRequest attach;
        attach.serial = "LONG" + std::to_string(drive);
        for (int i = 0; i < 64; ++i)
            attach.volumes.push_back(wire::VolumeSpec{
                std::string(4000, static_cast<char>('a' + i % 26)), 10, 5, false, false});
        Ask(c, attach);
    }
    const wire::VolumesAnswer answer = Volumes(c);
    ASSERT_GT(answer.volumes.size(), 200u);
    EXPECT_LT(answer.volumes.size(), 5u * 64u + 1u);
    EXPECT_EQ(answer.volumes[0].name, "Data");
    EXPECT_EQ(answer.volumes[1].name, std::string(4000, 'a'));
}

TEST_F(HostRegistry, OneVolumeIsAskedForByItsIdAndIsGoneWithItsDrive) {
    CtlOk({"attach", "ONE", "--volume", "Data:3000:1000", "--volume", "Other:10:5"});
    wire::Connection c = Connect();
    const wire::VolumesAnswer all = Volumes(c);
    ASSERT_EQ(all.volumes.size(), 2u);
    const wire::VolumesAnswer one = Volumes(c, all.volumes[1].id);
    ASSERT_EQ(one.volumes.size(), 1u);
    EXPECT_EQ(one.volumes[0].name, "Other");
    EXPECT_EQ(one.volumes[0].id, all.volumes[1].id);
    CtlOk({"detach", "ONE"});
    EXPECT_TRUE(Volumes(c, all.volumes[1].id).volumes.empty());
}

TEST_F(HostRegistry, EveryAnswerCarriesTheGenerationAndAttachDetachMoveIt) {
    wire::Connection c = Connect();
    wire::HelloAnswer hello;
    const wire::CallStatus before = c.Call(wire::HelloRequest{}, hello, kAnswerMs);
    ASSERT_TRUE(before.Ok());
    CtlOk({"attach", "GEN"});
    const wire::CallStatus attached = c.Call(wire::HelloRequest{}, hello, kAnswerMs);
    EXPECT_GT(attached.generation, before.generation);
    wire::HelloAnswer again;
    EXPECT_EQ(c.Call(wire::HelloRequest{}, again, kAnswerMs).generation, attached.generation);
    CtlOk({"detach", "GEN"});
    EXPECT_GT(c.Call(wire::HelloRequest{}, again, kAnswerMs).generation, attached.generation);
}
