// The registry walks: exact class, property search with its settle waits, ancestry,
// BSD names, and the caller's references left as they were.
#include "PollerTestHost.h"

using namespace pollertest;

namespace {

io_service_t FirstMatch(CFMutableDictionaryRef matching) {
    return IOServiceGetMatchingService(gMasterPort, matching);
}

io_service_t ServiceOfClassBelow(io_service_t bridge, const char* className) {
    io_iterator_t iterator = 0;
    io_service_t found = 0;
    IOServiceGetMatchingServices(gMasterPort, IOServiceMatching(className), &iterator);
    while (io_service_t service = IOIteratorNext(iterator)) {
        if (found == 0 && HasParent(service, bridge)) {
            found = service;
            continue;
        }
        IOObjectRelease(service);
    }
    IOObjectRelease(iterator);
    return found;
}

class Registry : public ::testing::Test {
protected:
    void TearDown() override {
        for (io_service_t service : mOwned)
            IOObjectRelease(service);
    }
    io_service_t Own(io_service_t service) {
        mOwned.push_back(service);
        return service;
    }
    std::vector<io_service_t> mOwned;
};

TEST_F(Registry, FindParentServiceClassReturnsTheServiceItselfWithOneMoreReference) {
    AttachListed("REG-SELF");
    io_service_t bridge = Own(BridgeService("REG-SELF"));
    ASSERT_NE(bridge, 0u);
    uint32_t before = IOObjectGetUserRetainCount(bridge);
    io_service_t found = FindParentServiceClass(bridge, "com_ostrel_IOTVB");
    EXPECT_EQ(found, bridge);
    EXPECT_EQ(IOObjectGetUserRetainCount(bridge), before + 1);
    IOObjectRelease(found);
    EXPECT_EQ(IOObjectGetUserRetainCount(bridge), before);
}

TEST_F(Registry, FindParentServiceClassWalksUpFromBlockStorage) {
    AttachListed("REG-UP");
    io_service_t bridge = Own(BridgeService("REG-UP"));
    io_service_t storage = Own(ServiceOfClassBelow(bridge, "IOBlockStorageServices"));
    ASSERT_NE(storage, 0u);
    uint32_t storageRefs = IOObjectGetUserRetainCount(storage);
    io_service_t found = FindParentServiceClass(storage, "com_ostrel_IOTVB");
    EXPECT_TRUE(IOObjectIsEqualTo(found, bridge));
    IOObjectRelease(found);
    EXPECT_EQ(IOObjectGetUserRetainCount(storage), storageRefs);
    EXPECT_EQ(FindParentServiceClass(storage, "com_ostrel_IOTV"), 0u)
        << "class names match exactly";
}

TEST_F(Registry, SubclassOfTheBridgeClassDoesNotMatch) {
    Ctl({"attach", "REG-SUB", "--bridge-class", "com_ostrel_IOTVBPlus"});
    io_service_t bridge = Own(FirstMatch(IOServiceMatching("com_ostrel_IOTVBPlus")));
    ASSERT_NE(bridge, 0u);
    io_service_t storage = Own(ServiceOfClassBelow(bridge, "IOBlockStorageServices"));
    EXPECT_EQ(FindParentServiceClass(storage, "com_ostrel_IOTVB"), 0u);
}

TEST_F(Registry, SerialSearchWaitsOnlyOnTheFirstTwoEntriesExamined) {
    AttachListed("REG-WAIT", {"--serial-on-ancestor"});
    EXPECT_NE(ListedEntry("REG-WAIT"), nullptr) << "the serial may sit on an ancestor";
    io_service_t bridge = Own(BridgeService("REG-WAIT"));
    ASSERT_EQ(bridge, 0u) << "the serial sits on the USB device, not the bridge";
    io_service_t anyBridge = 0;
    io_iterator_t it = 0;
    IOServiceGetMatchingServices(gMasterPort, IOServiceMatching("com_ostrel_IOTVB"), &it);
    // The newest bridge is this drive's.
    while (io_service_t s = IOIteratorNext(it)) {
        if (anyBridge)
            IOObjectRelease(anyBridge);
        anyBridge = s;
    }
    IOObjectRelease(it);
    Own(anyBridge);
    io_service_t storage = Own(ServiceOfClassBelow(anyBridge, "IOBlockStorageServices"));

    Ctl({"waits", "--clear"});
    CFStringRef serial = ExtractOstrelSerialNumberOfDevice(storage);
    ASSERT_NE(serial, nullptr);
    EXPECT_TRUE(CFEqual(serial, CFSTR("REG-WAIT")));
    CFRelease(serial);
    // The walk gave back the USB device it found the serial on.
    io_iterator_t parents = 0;
    ASSERT_EQ(IORegistryEntryCreateIterator(anyBridge, kIOServicePlane, kIORegistryIterateParents,
                                            &parents),
              KERN_SUCCESS);
    io_service_t usbDevice = Own(IOIteratorNext(parents));
    IOObjectRelease(parents);
    ASSERT_NE(usbDevice, 0u);
    EXPECT_EQ(IOObjectGetUserRetainCount(usbDevice), 1u);
    // storage, bridge, USB device: waits on the first two only.
    std::vector<std::string> waits = CtlLines({"waits"});
    ASSERT_EQ(waits.size(), 2u);
    EXPECT_EQ(waits[0].rfind("IOBlockStorageServices ", 0), 0u);
    EXPECT_EQ(waits[1].rfind("com_ostrel_IOTVB ", 0), 0u);
}

TEST_F(Registry, SerialOnTheServiceItselfNeedsOneWait) {
    AttachListed("REG-ONE");
    io_service_t bridge = Own(BridgeService("REG-ONE"));
    Ctl({"waits", "--clear"});
    io_service_t top = FindParentServiceClassWithProperty(bridge, CFSTR("serial_number_core"));
    EXPECT_EQ(top, bridge);
    IOObjectRelease(top);
    EXPECT_EQ(CtlLines({"waits"}).size(), 1u);
}

TEST_F(Registry, SettlingDriveIsWaitedForBeforeItsSerialIsRead) {
    Ctl({"attach", "REG-SETTLE", "--settle-ms", "400"});
    io_service_t bridge = Own(BridgeService("REG-SETTLE"));
    ASSERT_NE(bridge, 0u);
    Ctl({"waits", "--clear"});
    CFStringRef serial = ExtractOstrelSerialNumberOfDevice(bridge);
    ASSERT_NE(serial, nullptr);
    CFRelease(serial);
    std::vector<std::string> waits = CtlLines({"waits"});
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_NE(waits[0].find("quiet"), std::string::npos);
}

TEST_F(Registry, HasParentTellsDescendantsFromSiblings) {
    AttachListed("REG-P1", {"--volume", "P1:10:5"});
    AttachListed("REG-P2", {"--volume", "P2:10:5"});
    io_service_t bridge1 = Own(BridgeService("REG-P1"));
    io_service_t bridge2 = Own(BridgeService("REG-P2"));
    io_service_t media1 = Own(ServiceOfClassBelow(bridge1, "IOMedia"));
    ASSERT_NE(media1, 0u);
    uint32_t refs = IOObjectGetUserRetainCount(bridge1);
    EXPECT_TRUE(HasParent(media1, bridge1));
    EXPECT_FALSE(HasParent(media1, bridge2));
    EXPECT_TRUE(HasParent(bridge1, bridge1));
    EXPECT_FALSE(HasParent(bridge1, media1));
    EXPECT_EQ(IOObjectGetUserRetainCount(bridge1), refs);
}

TEST_F(Registry, WalksFromAHandleThatNamesNothingFindNothing) {
    const io_service_t bogus = 0x7FFFFFF0;
    EXPECT_EQ(FindParentServiceClass(bogus, "com_ostrel_IOTVB"), 0u);
    EXPECT_EQ(FindParentServiceClassWithProperty(bogus, CFSTR("serial_number_core")), 0u);
    EXPECT_EQ(ExtractOstrelSerialNumberOfDevice(bogus), nullptr);
    EXPECT_FALSE(HasParent(bogus, bogus));
}

TEST_F(Registry, NoBsdNameSaysSoOnStandardOutput) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetServiceForBSDName(nullptr), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "IOBSDNameMatching returned a NULL dictionary.\n");
}

TEST_F(Registry, GetServiceForBSDNameFindsTheMediaOrNothing) {
    std::string bsd = AttachListed("REG-BSD", {"--volume", "V:10:5"});
    io_service_t bridge = Own(BridgeService("REG-BSD"));
    std::string partition = bsd + "s1";
    io_service_t media = Own(GetServiceForBSDName(partition.data()));
    ASSERT_NE(media, 0u);
    EXPECT_TRUE(HasParent(media, bridge));
    char missing[] = "disk999s9";
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetServiceForBSDName(missing), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no match is silent";
}

} // namespace
