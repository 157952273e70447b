// The device list as the notifications keep it: one entry per serial, removal on
// termination, and which messages raise the lights-refresh request.
#include "PlatformFaults.h"
#include "PollerTestHost.h"

#include <IOKit/IOMessage.h>

#include <algorithm>

using namespace pollertest;

namespace {

std::vector<std::string> ListedSerials() {
    std::vector<std::string> serials;
    service_serial* entry = nullptr;
    for (long index = 1; pollButtonServices.FetchItemAt(index, entry); ++index) {
        char text[128];
        CFStringGetCString(entry->serial, text, sizeof text, kCFStringEncodingUTF8);
        serials.push_back(text);
    }
    return serials;
}

std::vector<std::string> ListedOf(const std::vector<std::string>& wanted) {
    std::vector<std::string> out;
    for (const auto& serial : ListedSerials())
        if (std::find(wanted.begin(), wanted.end(), serial) != wanted.end())
            out.push_back(serial);
    return out;
}

void Detach(const std::string& serial) {
    service_serial* entry = ListedEntry(serial);
    Ctl({"detach", serial});
    if (entry != nullptr) {
        ASSERT_TRUE(RunLoopUntil([&] { return ListedEntry(serial) == nullptr; }))
            << serial << " stays listed";
    }
}

// Interest subscriptions on the host across every drive with this serial.
int Watchers(const std::string& serial) {
    int watchers = 0;
    for (const std::string& line : CtlLines({"list"})) {
        const size_t at = line.find(" watchers=");
        if (line.rfind(serial + " ", 0) == 0 && at != std::string::npos)
            watchers += std::atoi(line.c_str() + at + 10);
    }
    return watchers;
}

TEST(DeviceList, EachBridgeDriveIsListedOnceWithItsOwnReference) {
    AttachListed("LIST-A", {"--second-storage"});
    service_serial* entry = ListedEntry("LIST-A");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(ListedCount("LIST-A"), 1);
    EXPECT_EQ(IOObjectGetUserRetainCount(entry->service), 1u) << "only the entry holds the bridge";
    EXPECT_EQ(CFGetRetainCount(entry->serial), 2) << "the entry's and its notification record's";
}

TEST(DeviceList, SameSerialOnAnotherDriveIsNotListedAndItsSerialIsReleased) {
    AttachListed("LIST-DUP");
    service_serial* first = ListedEntry("LIST-DUP");
    ASSERT_NE(first, nullptr);
    AttachListed("LIST-DUP", {"--allow-duplicate"});
    EXPECT_EQ(ListedCount("LIST-DUP"), 1);
    EXPECT_EQ(ListedEntry("LIST-DUP"), first);
    EXPECT_EQ(Watchers("LIST-DUP"), 1) << "the second drive got no interest notification";
}

TEST(DeviceList, DrivesWithoutAUsableBridgeAreSkippedButRaiseTheRequest) {
    for (const auto& options :
         std::vector<std::vector<std::string>>{{"--no-bridge"},
                                               {"--bridge-class", "com_ostrel_IOTVBPlus"},
                                               {"--serial-type", "number"},
                                               {"--serial-type", "data"}}) {
        std::string serial = "LIST-SKIP-" + options.back();
        AttachListed(serial, options); // fails if updatePctFree is not raised
        EXPECT_EQ(ListedEntry(serial), nullptr) << serial;
    }
}

TEST(DeviceList, RemovingFirstMiddleAndLastKeepsTheOthersInOrder) {
    const std::vector<std::string> row = {"ROW-1", "ROW-2", "ROW-3"};
    for (const auto& serial : row)
        AttachListed(serial);
    ASSERT_EQ(ListedOf(row), row);

    Detach("ROW-2");
    EXPECT_EQ(ListedOf(row), (std::vector<std::string>{"ROW-1", "ROW-3"}));
    AttachListed("ROW-2");
    EXPECT_EQ(ListedOf(row), (std::vector<std::string>{"ROW-1", "ROW-3", "ROW-2"}));
    Detach("ROW-1");
    EXPECT_EQ(ListedOf(row), (std::vector<std::string>{"ROW-3", "ROW-2"}));
    Detach("ROW-2");
    EXPECT_EQ(ListedOf(row), (std::vector<std::string>{"ROW-3"}));
    Detach("ROW-3");
    EXPECT_TRUE(ListedOf(row).empty());
}

TEST(DeviceList, UnpluggedDriveIsListedAgainWithANewEntry) {
    AttachListed("LIST-AGAIN");
    ASSERT_NE(ListedEntry("LIST-AGAIN"), nullptr);
    Detach("LIST-AGAIN");
    EXPECT_EQ(Ctl({"list"}).find("LIST-AGAIN"), std::string::npos);
    AttachListed("LIST-AGAIN");
    EXPECT_NE(ListedEntry("LIST-AGAIN"), nullptr);
}

TEST(DeviceList, OnlyRefreshWorthyMessagesRaiseTheRequest) {
    struct {
        natural_t code;
        bool raises;
    } cases[] = {{kIOMessageServiceIsAttemptingOpen, false},
                 {kIOMessageServiceWasClosed, false},
                 {0xe0000230, true},
                 {1, true}};
    for (const auto& c : cases) {
        updatePctFree = false;
        GeneralMessage(nullptr, 0, c.code, nullptr);
        EXPECT_EQ(updatePctFree, c.raises) << std::hex << c.code;
    }
}

TEST(DeviceList, MessagesFromTheDriveReachGeneralMessage) {
    AttachListed("LIST-MSG");
    updatePctFree = false;
    Ctl({"message", "LIST-MSG", "e0000230"});
    EXPECT_TRUE(RunLoopUntil([] { return updatePctFree; }));
}

TEST(DeviceList, TerminationRecordWithoutSerialRemovesNothing) {
    AttachListed("LIST-KEEP");
    size_t before = ListedSerials().size();
    auto* record = static_cast<InstanceData*>(malloc(sizeof(InstanceData)));
    record->notification = 0;
    record->deviceName =
        CFStringCreateWithCString(kCFAllocatorDefault, "name", kCFStringEncodingASCII);
    record->deviceSerialNumber = NULL;
    record->lastButtonCounter = 0xFFFF;
    GeneralMessage(record, 0, kIOMessageServiceIsTerminated, nullptr); // frees the record
    EXPECT_EQ(ListedSerials().size(), before);
    EXPECT_NE(ListedEntry("LIST-KEEP"), nullptr);
}

TEST(DeviceList, DriveWhoseSerialIsReadableOnlyAtListingIsStillRemovedAndListedAgain) {
    // The listing's own look-up (the walk's look plus the value) succeeds; any later read
    // of the serial fails.
    FailSerialReadsAfter(2);
    AttachListed("LIST-ONCE");
    FailSerialReadsAfter(-1);
    ASSERT_NE(ListedEntry("LIST-ONCE"), nullptr);

    Detach("LIST-ONCE"); // fails when the termination finds no entry
    AttachListed("LIST-ONCE");
    EXPECT_NE(ListedEntry("LIST-ONCE"), nullptr) << "refused as a duplicate of a gone drive";
    EXPECT_EQ(ListedCount("LIST-ONCE"), 1);
}

TEST(DeviceList, TerminationRemovesTheEntryWithoutRaisingTheRequest) {
    AttachListed("LIST-TERM");
    updatePctFree = false;
    Ctl({"detach", "LIST-TERM"});
    ASSERT_TRUE(RunLoopUntil([] { return ListedEntry("LIST-TERM") == nullptr; }));
    EXPECT_FALSE(updatePctFree);
    EXPECT_EQ(Ctl({"list"}).find("LIST-TERM"), std::string::npos);
}

} // namespace
