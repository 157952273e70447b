#include "Drive.h"
#include "Registry.h"

#include <gtest/gtest.h>

#include <memory>

using namespace tvb;
using namespace tvb::host;

namespace {

std::vector<std::string> ClassesOf(const Registry& r, const std::vector<uint64_t>& ids) {
    std::vector<std::string> out;
    for (uint64_t id : ids)
        out.push_back(r.Find(id)->ClassName());
    return out;
}

std::string StringProperty(const RegistryEntry* e, const char* key) {
    std::string v;
    GetString(e->properties.get(), key, v);
    return v;
}

DriveSpec MakePlan(const std::string& serial, std::vector<VolumeSpec> volumes = {}) {
    DriveSpec plan;
    plan.serial = serial;
    plan.volumes = std::move(volumes);
    return plan;
}

MatchCriteria ByClass(const std::string& c) {
    MatchCriteria m;
    m.className = c;
    return m;
}

MatchCriteria ByBsd(const std::string& b) {
    MatchCriteria m;
    m.bsdName = b;
    return m;
}

} // namespace

TEST(Registry, BusyStateCountsUpwardButNotDownward) {
    Registry r;
    const auto now = Clock::now();
    const uint64_t a = r.Add(r.Root(), {"A"}, "a");
    const uint64_t b = r.Add(a, {"B"}, "b");
    const uint64_t sibling = r.Add(r.Root(), {"S"}, "s");
    r.Find(b)->busyUntil = now + std::chrono::seconds(10);
    EXPECT_TRUE(r.IsBusy(b, now));
    EXPECT_TRUE(r.IsBusy(a, now));
    EXPECT_TRUE(r.IsBusy(r.Root(), now));
    EXPECT_FALSE(r.IsBusy(sibling, now));
    EXPECT_EQ(r.QuietAt(a), now + std::chrono::seconds(10));
    EXPECT_FALSE(r.IsBusy(a, now + std::chrono::seconds(10)));
}

TEST(Registry, RemoveSubtreeTakesDescendantsAndLeavesSiblings) {
    Registry r;
    const uint64_t a = r.Add(r.Root(), {"A"}, "a");
    const uint64_t b = r.Add(a, {"B"}, "b");
    const uint64_t c = r.Add(b, {"C"}, "c");
    const uint64_t d = r.Add(r.Root(), {"D"}, "d");
    EXPECT_EQ(r.Subtree(a), (std::vector<uint64_t>{a, b, c}));
    r.RemoveSubtree(a);
    EXPECT_EQ(r.Find(a), nullptr);
    EXPECT_EQ(r.Find(c), nullptr);
    ASSERT_NE(r.Find(d), nullptr);
    EXPECT_EQ(r.Find(r.Root())->children, std::vector<uint64_t>{d});
    // Ids are never handed out twice.
    EXPECT_GT(r.Add(r.Root(), {"E"}, "e"), d);
    r.RemoveSubtree(r.Root());
    EXPECT_NE(r.Find(r.Root()), nullptr);
}

TEST(Registry, AddRefusesMissingProvider) {
    Registry r;
    EXPECT_EQ(r.Add(999, {"A"}, "a"), 0u);
    EXPECT_EQ(r.Add(r.Root(), {}, "no class"), 0u);
    EXPECT_EQ(r.Size(), 1u);
}

// A registry with drives built into it; volumes are numbered from nextVolume on.
class DriveSubtree : public ::testing::Test {
protected:
    Drive& Build(DriveSpec plan, uint64_t id = 1, unsigned unit = 2) {
        drives.push_back(std::make_unique<Drive>(id, std::move(plan), unit));
        drives.back()->Build(r, Clock::now(), nextVolume);
        return *drives.back();
    }

    Registry r;
    uint64_t nextVolume = 1;
    std::vector<std::unique_ptr<Drive>> drives;
};

TEST_F(DriveSubtree, BuildsUsbBridgeStorageDriverMediaChain) {
    Drive& drive =
        Build(MakePlan("S1", {{"Data", 100, 40, false, false}, {"Backup", 200, 10, false, false}}));

    const auto storages = r.Match(ByClass("IOBlockStorageServices"));
    ASSERT_EQ(storages.size(), 1u);
    EXPECT_EQ(
        ClassesOf(r, r.Parents(storages[0])),
        (std::vector<std::string>{"com_ostrel_IOTVB", "IOUSBDevice", "IOPlatformExpertDevice"}));
    const RegistryEntry* bridge = r.Find(drive.Bridge());
    EXPECT_EQ(StringProperty(bridge, kSerialProperty), "S1");
    EXPECT_TRUE(bridge->userClient);
    EXPECT_EQ(bridge->name, "com_ostrel_IOTVB");
    EXPECT_EQ(r.Find(drive.UsbDevice())->name, "Tarvelle USB Drive");

    const auto whole = r.Match(ByBsd("disk2"));
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(ClassesOf(r, r.Parents(whole[0])).front(), "IOBlockStorageDriver");
    const auto second = r.Match(ByBsd("disk2s2"));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(r.Find(second[0])->provider, whole[0]);
    EXPECT_EQ(r.Find(second[0])->name, "Backup");
    ASSERT_EQ(drive.Volumes().size(), 2u);
    EXPECT_EQ(drive.Volumes()[0].bsdName, "disk2s1");
    EXPECT_EQ(drive.Volumes()[1].id, drive.Volumes()[0].id + 1);
}

TEST_F(DriveSubtree, SerialOnAncestorLeavesBridgeWithoutIt) {
    DriveSpec plan = MakePlan("ANC");
    plan.serialOnAncestor = true;
    Drive& drive = Build(plan);
    EXPECT_EQ(GetItem(r.Find(drive.Bridge())->properties.get(), kSerialProperty), nullptr);
    EXPECT_EQ(StringProperty(r.Find(drive.UsbDevice()), kSerialProperty), "ANC");
}

TEST_F(DriveSubtree, NoBridgePutsStorageUnderUsbDeviceWithoutUserClient) {
    DriveSpec plan = MakePlan("PLAIN", {{"Stick", 8, 4, false, false}});
    plan.noBridge = true;
    Drive& drive = Build(plan);
    EXPECT_EQ(drive.Bridge(), 0u);
    EXPECT_EQ(drive.Service(), drive.UsbDevice());
    EXPECT_TRUE(r.Match(ByClass(kBridgeClass)).empty());
    const auto storages = r.Match(ByClass("IOBlockStorageServices"));
    ASSERT_EQ(storages.size(), 1u);
    EXPECT_EQ(r.Find(storages[0])->provider, drive.UsbDevice());
    EXPECT_EQ(r.Match(ByBsd("disk2s1")).size(), 1u);
}

TEST_F(DriveSubtree, SubclassBridgeMatchesBaseClassButNamesItself) {
    DriveSpec plan = MakePlan("SUB");
    plan.bridgeClass = "com_ostrel_IOTVBPlus";
    Build(plan);
    const auto bridges = r.Match(ByClass(kBridgeClass));
    ASSERT_EQ(bridges.size(), 1u);
    EXPECT_EQ(r.Find(bridges[0])->ClassName(), "com_ostrel_IOTVBPlus");
    EXPECT_EQ(r.Match(ByClass("com_ostrel_IOTVBPlus")), bridges);
}

TEST_F(DriveSubtree, SecondStorageSharesTheBridgeAndHasNoMedia) {
    DriveSpec plan = MakePlan("TWO");
    plan.secondStorage = true;
    Drive& drive = Build(plan);
    const auto storages = r.Match(ByClass("IOBlockStorageServices"));
    ASSERT_EQ(storages.size(), 2u);
    EXPECT_EQ(r.Find(storages[0])->provider, drive.Bridge());
    EXPECT_EQ(r.Find(storages[1])->provider, drive.Bridge());
    EXPECT_TRUE(r.Find(storages[1])->children.empty());
}

TEST_F(DriveSubtree, SerialTypesOtherThanString) {
    DriveSpec number = MakePlan("12345");
    number.serialType = SerialType::Number;
    Drive& n = Build(number);
    uint64_t value = 0;
    ASSERT_TRUE(GetUInt(r.Find(n.Bridge())->properties.get(), kSerialProperty, value));
    EXPECT_EQ(value, 12345u);

    DriveSpec data = MakePlan("AB");
    data.serialType = SerialType::Data;
    Drive& d = Build(data, 2, 3);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(GetData(r.Find(d.Bridge())->properties.get(), kSerialProperty, bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{'A', 'B'}));
}

TEST_F(DriveSubtree, VolumeWithoutBsdNameGetsNoMediaAndNoPartitionNumber) {
    nextVolume = 7;
    Drive& drive = Build(
        MakePlan("NET",
                 {{"A", 1, 1, false, false}, {"Net", 1, 1, true, false}, {"B", 1, 1, false, true}}),
        1, 4);
    ASSERT_EQ(drive.Volumes().size(), 3u);
    EXPECT_EQ(drive.Volumes()[0].bsdName, "disk4s1");
    EXPECT_EQ(drive.Volumes()[1].bsdName, "");
    EXPECT_EQ(drive.Volumes()[1].media, 0u);
    EXPECT_EQ(drive.Volumes()[2].bsdName, "disk4s2");
    EXPECT_TRUE(drive.Volumes()[2].unreadable);
    EXPECT_EQ(r.Match(ByClass("IOMedia")).size(), 3u); // whole disk + two partitions
    EXPECT_EQ(nextVolume, 10u);
}

TEST_F(DriveSubtree, SettleTimeMakesEveryNewEntryBusy) {
    DriveSpec plan = MakePlan("SLOW", {{"V", 1, 1, false, false}});
    plan.settleMs = 500;
    Drive drive(1, plan, 2);
    const auto now = Clock::now();
    const auto added = drive.Build(r, now, nextVolume);
    ASSERT_FALSE(added.empty());
    for (uint64_t id : added) {
        EXPECT_TRUE(r.IsBusy(id, now)) << r.Find(id)->ClassName();
        EXPECT_FALSE(r.IsBusy(id, now + std::chrono::milliseconds(500)));
    }
}
