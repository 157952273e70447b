// A drive's volumes among all mounted ones: names, summed sizes, the free share.
#include "PollerTestHost.h"

using namespace pollertest;

namespace {

std::string Utf8(CFStringRef text) {
    char buffer[4096];
    EXPECT_TRUE(CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8));
    return buffer;
}

class Volumes : public ::testing::Test {
protected:
    io_service_t Drive(const std::string& serial, const std::vector<std::string>& volumes) {
        std::vector<std::string> options;
        for (const auto& v : volumes) {
            options.push_back("--volume");
            options.push_back(v);
        }
        AttachListed(serial, options);
        io_service_t service = BridgeService(serial);
        EXPECT_NE(service, 0u);
        mOwned.push_back(service);
        return service;
    }
    std::string Names(io_service_t service) {
        CFStringRef names = GetFormattedVolumeNamesForService(service);
        EXPECT_NE(names, nullptr);
        std::string text = Utf8(names);
        CFRelease(names);
        return text;
    }
    void TearDown() override {
        for (io_service_t s : mOwned)
            IOObjectRelease(s);
    }
    std::vector<io_service_t> mOwned;
};

TEST_F(Volumes, DriveWithoutVolumesHasEmptyNamesZeroTotalsAndZeroShare) {
    io_service_t drive = Drive("VOL-NONE", {});
    EXPECT_EQ(Names(drive), "");
    uint64 total = 1, free = 1;
    GetVolumeTotalsForService(drive, total, free);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(free, 0u);
    EXPECT_EQ(GetVolumeUsedValue(drive), 0);
}

TEST_F(Volumes, NamesFollowIndexOrderEachWithCrLfAndOtherDrivesAreLeftOut) {
    io_service_t drive = Drive("VOL-TWO", {"Data:10:5", "Backup:10:5"});
    io_service_t other = Drive("VOL-OTHER", {"Elsewhere:10:5"});
    EXPECT_EQ(Names(drive), "Data\r\nBackup\r\n");
    EXPECT_EQ(Names(other), "Elsewhere\r\n");
}

TEST_F(Volumes, VolumesWithoutBsdNameOrUnreadableAreSkippedAndTheWalkGoesOn) {
    io_service_t drive =
        Drive("VOL-SKIP", {"Broken:10:5:unreadable", "Net:10:5:nobsd", "Kept:30:10"});
    EXPECT_EQ(Names(drive), "Kept\r\n");
    uint64 total = 0, free = 0;
    GetVolumeTotalsForService(drive, total, free);
    EXPECT_EQ(total, 30u);
    EXPECT_EQ(free, 10u);
}

TEST_F(Volumes, FreeShareIsTruncatedAndComputedFromSums) {
    EXPECT_EQ(GetVolumeUsedValue(Drive("VOL-33", {"A:3:1"})), 33);
    EXPECT_EQ(GetVolumeUsedValue(Drive("VOL-66", {"A:3:2"})), 66);
    EXPECT_EQ(GetVolumeUsedValue(Drive("VOL-25", {"A:120000000000:30000000000"})), 25);
    EXPECT_EQ(GetVolumeUsedValue(
                  Drive("VOL-40", {"A:40000000000:10000000000", "B:60000000000:30000000000"})),
              40);
    EXPECT_EQ(GetVolumeUsedValue(Drive("VOL-FULL", {"A:100:100"})), 100);
}

TEST_F(Volumes, FreeShareOfVolumesBeyond184PetabytesDoesNotOverflow) {
    // free × 100 no longer fits in 64 bits for any of these.
    EXPECT_EQ(GetVolumeUsedValue(Drive("VOL-400PB", {"A:400000000000000000:200000000000000000"})),
              50);
    EXPECT_EQ(GetVolumeUsedValue(Drive("VOL-SUMS", {"A:100000000000000000:99999999999999999",
                                                    "B:100000000000000000:0"})),
              49);
    EXPECT_EQ(GetVolumeUsedValue(Drive("VOL-MAX", {"A:18446744073709551615:18446744073709551614"})),
              99);
    EXPECT_EQ(
        GetVolumeUsedValue(Drive("VOL-MAXFULL", {"A:18446744073709551615:18446744073709551615"})),
        100);
}

TEST_F(Volumes, WalksGiveBackEveryHandleTheyTake) {
    std::string bsd = AttachListed("VOL-REFS", {"--volume", "A:10:5", "--volume", "B:10:5"});
    io_service_t drive = BridgeService("VOL-REFS");
    mOwned.push_back(drive);
    std::string partition = bsd + "s2";
    io_service_t media = GetServiceForBSDName(partition.data());
    ASSERT_NE(media, 0u);
    mOwned.push_back(media);
    uint32_t mediaRefs = IOObjectGetUserRetainCount(media);
    uint32_t driveRefs = IOObjectGetUserRetainCount(drive);

    EXPECT_EQ(GetVolumeUsedValue(drive), 50);
    EXPECT_EQ(Names(drive), "A\r\nB\r\n");
    EXPECT_EQ(IOObjectGetUserRetainCount(media), mediaRefs);
    EXPECT_EQ(IOObjectGetUserRetainCount(drive), driveRefs);
}

TEST_F(Volumes, NonAsciiNamesKeepTheirCharacters) {
    io_service_t drive = Drive("VOL-UNI", {"Donn\xC3\xA9"
                                           "es:10:5",
                                           "\xE5\x86\x99\xE7\x9C\x9F:10:5"});
    EXPECT_EQ(Names(drive), "Donn\xC3\xA9"
                            "es\r\n\xE5\x86\x99\xE7\x9C\x9F\r\n");
}

TEST_F(Volumes, NamesTextKeepsWholeNamesWithinItsLimitAndNoGaps) {
    // Ten names of 100 fill 1020 units with their CR LFs; the eleventh does not fit, and
    // the short one after it must not be slipped in behind the missing one.
    std::vector<std::string> volumes;
    std::string expected;
    for (int i = 0; i < 10; ++i) {
        std::string name = std::string(100, static_cast<char>('a' + i));
        volumes.push_back(name + ":10:5");
        expected += name + "\r\n";
    }
    volumes.push_back(std::string(100, 'k') + ":10:5");
    volumes.push_back("x:10:5");
    io_service_t drive = Drive("VOL-LONG", volumes);
    std::string names = Names(drive);
    EXPECT_EQ(names, expected);
    EXPECT_EQ(names.size(), 1020u);
}

} // namespace
