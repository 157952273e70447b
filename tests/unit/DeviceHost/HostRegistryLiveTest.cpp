// The registry half of the protocol against a real host: what the IOKit stand-in relies on.
#include "LiveHost.h"

#include <chrono>

using namespace tvb;
using namespace tvb::hosttest;

namespace {

using Clock = std::chrono::steady_clock;

class HostRegistry : public LiveHost {
protected:
    uint64_t Only(wire::Connection& c, std::initializer_list<Field> criteria) {
        wire::PlistPtr r = Ask(c, "match", criteria);
        std::vector<uint64_t> ids = r ? Ids(r.get()) : std::vector<uint64_t>{};
        EXPECT_EQ(ids.size(), 1u);
        return ids.empty() ? 0 : ids[0];
    }

    std::string ClassOf(wire::Connection& c, uint64_t entry) {
        wire::PlistPtr r = Ask(c, "entry", {{"entry", entry}});
        return r && wire::StatusOf(r.get()) == 0 ? Str(r.get(), "class") : "<gone>";
    }
};

} // namespace

TEST_F(HostRegistry, HelloNamesTheHostRun) {
    wire::Connection c = Connect();
    wire::PlistPtr r = Ask(c, "hello", {});
    ASSERT_TRUE(r);
    uint64_t instance = 0, pid = 0;
    EXPECT_TRUE(wire::GetUInt(r.get(), "instance", instance));
    EXPECT_TRUE(wire::GetUInt(r.get(), "pid", pid));
    EXPECT_EQ(pid, static_cast<uint64_t>(mHost.Pid()));
}

TEST_F(HostRegistry, AttachedDriveIsFoundByClassByBsdNameAndThroughItsParents) {
    EXPECT_EQ(CtlOk({"attach", "SER1", "--volume", "Data:1000:500"}), "disk2\n");
    wire::Connection c = Connect();
    const uint64_t storage = Only(c, {{"class", "IOBlockStorageServices"}});
    wire::PlistPtr parents = Ask(c, "parents", {{"entry", storage}});
    ASSERT_TRUE(parents);
    std::vector<std::string> chain;
    for (uint64_t id : Ids(parents.get()))
        chain.push_back(ClassOf(c, id));
    EXPECT_EQ(chain, (std::vector<std::string>{"com_ostrel_IOTVB", "IOUSBDevice",
                                               "IOPlatformExpertDevice"}));
    const uint64_t bridge = Ids(parents.get()).at(0);
    wire::PlistPtr serial = Ask(c, "property", {{"entry", bridge}, {"key", "serial_number_core"}});
    ASSERT_TRUE(serial);
    EXPECT_EQ(Str(serial.get(), "value"), "SER1");

    const uint64_t partition = Only(c, {{"bsdName", "disk2s1"}});
    wire::PlistPtr up = Ask(c, "parents", {{"entry", partition}});
    ASSERT_TRUE(up);
    std::vector<uint64_t> ids = Ids(up.get());
    EXPECT_NE(std::find(ids.begin(), ids.end(), bridge), ids.end());
    // Class and BSD name together must both hold.
    wire::PlistPtr none = Ask(c, "match", {{"class", "IOUSBDevice"}, {"bsdName", "disk2s1"}});
    EXPECT_TRUE(Ids(none.get()).empty());
}

TEST_F(HostRegistry, MissingPropertyAndGoneEntryAreNotFound) {
    CtlOk({"attach", "SER1"});
    wire::Connection c = Connect();
    const uint64_t storage = Only(c, {{"class", "IOBlockStorageServices"}});
    wire::PlistPtr absent = Ask(c, "property", {{"entry", storage}, {"key", "serial_number_core"}});
    EXPECT_EQ(wire::StatusOf(absent.get()), wire::kStatusNotFound);
    CtlOk({"detach", "SER1"});
    for (const char* op : {"entry", "parents"}) {
        wire::PlistPtr r = Ask(c, op, {{"entry", storage}});
        EXPECT_EQ(wire::StatusOf(r.get()), wire::kStatusNotFound) << op;
    }
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
    wire::PlistPtr sub =
        Ask(c, "subscribe-match",
            {{"type", "IOServiceFirstMatch"}, {"class", "IOBlockStorageServices"}});
    ASSERT_TRUE(sub);
    EXPECT_EQ(Ids(sub.get()).size(), 1u); // the one present at registration
    uint64_t subscription = 0;
    ASSERT_TRUE(wire::GetUInt(sub.get(), "subscription", subscription));

    CtlOk({"attach", "LATE", "--second-storage"});
    wire::PlistPtr event = c.ReadEvent(kAnswerMs);
    ASSERT_TRUE(event);
    EXPECT_EQ(Str(event.get(), "event"), "matched");
    uint64_t from = 0;
    wire::GetUInt(event.get(), "subscription", from);
    EXPECT_EQ(from, subscription);
    std::vector<uint64_t> hits = Ids(event.get());
    ASSERT_EQ(hits.size(), 2u); // both services of the drive, in one event
    EXPECT_LT(hits[0], hits[1]);
    EXPECT_EQ(ClassOf(c, hits[0]), "IOBlockStorageServices");

    // A drive without block storage of interest to nobody else sends nothing more.
    Ask(c, "unsubscribe", {{"subscription", subscription}});
    CtlOk({"attach", "QUIET"});
    EXPECT_FALSE(c.ReadEvent(200));
}

TEST_F(HostRegistry, SubscriptionTypesOtherThanTheOnesOfferedAreUnsupported) {
    CtlOk({"attach", "S"});
    wire::Connection c = Connect();
    wire::PlistPtr m = Ask(c, "subscribe-match", {{"type", "IOServiceTerminate"}});
    EXPECT_EQ(wire::StatusOf(m.get()), wire::kStatusUnsupported);
    const uint64_t storage = Only(c, {{"class", "IOBlockStorageServices"}});
    wire::PlistPtr i =
        Ask(c, "subscribe-interest", {{"entry", storage}, {"type", "IOBusyInterest"}});
    EXPECT_EQ(wire::StatusOf(i.get()), wire::kStatusUnsupported);
    wire::PlistPtr u = Ask(c, "unsubscribe", {{"subscription", 12345}});
    EXPECT_EQ(wire::StatusOf(u.get()), wire::kStatusNotFound);
}

TEST_F(HostRegistry, DetachTerminatesEverySubscriberThenRemovesEntries) {
    CtlOk({"attach", "GONE", "--volume", "V:10:5"});
    CtlOk({"attach", "STAYS"});
    wire::Connection a = Connect(), b = Connect();
    const std::vector<uint64_t> bridges =
        Ids(Ask(a, "match", {{"class", "com_ostrel_IOTVB"}}).get());
    ASSERT_EQ(bridges.size(), 2u);
    const uint64_t bridge = bridges[0], other = bridges[1];
    const uint64_t media = Only(a, {{"bsdName", "disk2s1"}});
    Ask(a, "subscribe-interest", {{"entry", bridge}, {"type", "IOGeneralInterest"}});
    Ask(b, "subscribe-interest", {{"entry", bridge}, {"type", "IOGeneralInterest"}});
    Ask(b, "subscribe-interest", {{"entry", media}, {"type", "IOGeneralInterest"}});
    Ask(b, "subscribe-interest", {{"entry", other}, {"type", "IOGeneralInterest"}});
    EXPECT_EQ(CtlOk({"list"}),
              "GONE disk2 volumes=V watchers=2\nSTAYS disk3 volumes= watchers=1\n");

    CtlOk({"detach", "GONE"});
    for (wire::Connection* c : {&a, &b, &b}) {
        wire::PlistPtr event = c->ReadEvent(kAnswerMs);
        ASSERT_TRUE(event);
        EXPECT_EQ(Str(event.get(), "event"), "interest");
        uint64_t type = 0;
        wire::GetUInt(event.get(), "messageType", type);
        EXPECT_EQ(type, wire::kMessageServiceIsTerminated);
    }
    EXPECT_FALSE(b.ReadEvent(200)); // nothing for the drive that stays
    EXPECT_EQ(ClassOf(a, bridge), "<gone>");
    EXPECT_EQ(ClassOf(a, media), "<gone>");
    EXPECT_EQ(ClassOf(a, other), "com_ostrel_IOTVB");
    EXPECT_EQ(CtlOk({"list"}), "STAYS disk3 volumes= watchers=1\n");
}

TEST_F(HostRegistry, MessageReachesSubscribersAndRemovesNothing) {
    CtlOk({"attach", "MSG"});
    wire::Connection c = Connect();
    const uint64_t bridge = Only(c, {{"class", "com_ostrel_IOTVB"}});
    Ask(c, "subscribe-interest", {{"entry", bridge}, {"type", "IOGeneralInterest"}});
    CtlOk({"message", "MSG", "0xe0000101"});
    CtlOk({"message", "disk2", "e0000010"});
    for (uint64_t expected : {0xe0000101u, 0xe0000010u}) {
        wire::PlistPtr event = c.ReadEvent(kAnswerMs);
        ASSERT_TRUE(event);
        uint64_t type = 0;
        wire::GetUInt(event.get(), "messageType", type);
        EXPECT_EQ(type, expected);
    }
    EXPECT_EQ(ClassOf(c, bridge), "com_ostrel_IOTVB");
    EXPECT_EQ(CtlOk({"list"}), "MSG disk2 volumes= watchers=1\n");
}

TEST_F(HostRegistry, DisconnectingDropsSubscriptionsAndClosesUserClients) {
    CtlOk({"attach", "D"});
    {
        wire::Connection c = Connect();
        const uint64_t bridge = Only(c, {{"class", "com_ostrel_IOTVB"}});
        Ask(c, "subscribe-interest", {{"entry", bridge}, {"type", "IOGeneralInterest"}});
        Ask(c, "open", {{"entry", bridge}, {"type", 0}});
        EXPECT_EQ(CtlOk({"list"}), "D disk2 volumes= watchers=1\n");
    }
    // The hang-up reaches the host before tvbctl's connection does.
    EXPECT_EQ(CtlOk({"list"}), "D disk2 volumes= watchers=0\n");
    EXPECT_EQ(CtlOk({"calls", "D"}), "open\nclose\n");
}

TEST_F(HostRegistry, WaitQuietAnswersAtOnceWhenQuietAndRecordsIt) {
    CtlOk({"attach", "Q"});
    wire::Connection c = Connect();
    const uint64_t storage = Only(c, {{"class", "IOBlockStorageServices"}});
    wire::PlistPtr r = Ask(c, "wait-quiet", {{"entry", storage}, {"timeoutMs", 0}});
    EXPECT_EQ(wire::StatusOf(r.get()), wire::kStatusSuccess);
    EXPECT_EQ(CtlOk({"waits"}), "IOBlockStorageServices IOBlockStorageServices quiet\n");
    CtlOk({"waits", "--clear"});
    EXPECT_EQ(CtlOk({"waits"}), "");
}

TEST_F(HostRegistry, SettlingDriveMakesWaitQuietWaitThenAnswer) {
    const auto before = Clock::now();
    CtlOk({"attach", "SLOW", "--settle-ms", "400"});
    wire::Connection c = Connect();
    const uint64_t storage = Only(c, {{"class", "IOBlockStorageServices"}});
    wire::PlistPtr entry = Ask(c, "entry", {{"entry", storage}});
    bool busy = false;
    ASSERT_TRUE(wire::GetBool(entry.get(), "busy", busy));
    ASSERT_TRUE(busy) << "attach and the first look took longer than the settle time";

    wire::PlistPtr r = Ask(c, "wait-quiet", {{"entry", storage}, {"timeoutMs", 20000}});
    EXPECT_EQ(wire::StatusOf(r.get()), wire::kStatusSuccess);
    // Never before the drive has settled (a lower bound only; the upper one is the reaper).
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(400));
    entry = Ask(c, "entry", {{"entry", storage}});
    ASSERT_TRUE(wire::GetBool(entry.get(), "busy", busy));
    EXPECT_FALSE(busy);
    EXPECT_EQ(CtlOk({"waits"}), "IOBlockStorageServices IOBlockStorageServices quiet\n");
}

TEST_F(HostRegistry, WaitQuietTimesOutWithoutHoldingUpOtherPeers) {
    CtlOk({"attach", "STUCK", "--settle-ms", "600000"});
    wire::Connection waiter = Connect();
    const uint64_t bridge = Only(waiter, {{"class", "com_ostrel_IOTVB"}});
    // Send the wait without blocking on it, then use another peer meanwhile.
    ASSERT_TRUE(
        SendOnly(waiter, MakeRequest("wait-quiet", {{"entry", bridge}, {"timeoutMs", 100}}), 999));
    wire::Connection other = Connect();
    EXPECT_TRUE(Ask(other, "ping", {}));

    // Its own answer to the first wait is dropped by the connection as a stale id.
    wire::PlistPtr r = Ask(waiter, "wait-quiet", {{"entry", bridge}, {"timeoutMs", 300}});
    EXPECT_EQ(wire::StatusOf(r.get()), wire::kStatusTimeout);
    EXPECT_EQ(CtlOk({"waits"}),
              "com_ostrel_IOTVB com_ostrel_IOTVB timeout\ncom_ostrel_IOTVB com_ostrel_IOTVB "
              "timeout\n");
}

TEST_F(HostRegistry, WaitOnAnEntryThatIsDetachedEndsAtOnce) {
    CtlOk({"attach", "LEAVING", "--settle-ms", "600000"});
    wire::Connection c = Connect();
    const uint64_t storage = Only(c, {{"class", "IOBlockStorageServices"}});
    ASSERT_TRUE(
        SendOnly(c, MakeRequest("wait-quiet", {{"entry", storage}, {"timeoutMs", 600000}}), 4242));
    CtlOk({"detach", "LEAVING"});
    EXPECT_EQ(CtlOk({"waits"}), "IOBlockStorageServices IOBlockStorageServices gone\n");
}

TEST_F(HostRegistry, VolumesListEveryDriveInAttachOrder) {
    std::vector<wire::SimulatedVolume> volumes;
    EXPECT_TRUE(wire::FetchSimulatedVolumes(mHost.SocketPath(), volumes));
    EXPECT_TRUE(volumes.empty());
    CtlOk({"attach", "ONE", "--volume", "Data:3000:1000", "--volume", "Net:10:5:nobsd"});
    CtlOk({"attach", "TWO", "--volume", "Broken:8:8:unreadable"});
    ASSERT_TRUE(wire::FetchSimulatedVolumes(mHost.SocketPath(), volumes));
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
    ASSERT_TRUE(wire::FetchSimulatedVolumes(mHost.SocketPath(), volumes));
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].name, "Broken");
}

TEST_F(HostRegistry, OneVolumeIsAskedForByItsIdAndIsGoneWithItsDrive) {
    CtlOk({"attach", "ONE", "--volume", "Data:3000:1000", "--volume", "Other:10:5"});
    std::vector<wire::SimulatedVolume> all, one;
    ASSERT_TRUE(wire::FetchSimulatedVolumes(mHost.SocketPath(), all));
    ASSERT_EQ(all.size(), 2u);
    setenv("TVB_DEVHOST_SOCKET", mHost.SocketPath().c_str(), 1);
    ASSERT_TRUE(wire::FetchSimulatedVolume(all[1].id, one));
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].name, "Other");
    EXPECT_EQ(one[0].id, all[1].id);
    CtlOk({"detach", "ONE"});
    EXPECT_TRUE(wire::FetchSimulatedVolume(all[1].id, one));
    EXPECT_TRUE(one.empty());
    unsetenv("TVB_DEVHOST_SOCKET");
}

TEST(HostAbsent, FetchSimulatedVolumesFailsWithoutAHost) {
    std::vector<wire::SimulatedVolume> volumes{wire::SimulatedVolume{}};
    EXPECT_FALSE(wire::FetchSimulatedVolumes("/nonexistent/devhost.sock", volumes));
    EXPECT_EQ(volumes.size(), 1u);
}
