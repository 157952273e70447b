// The io_object_t call-back set, on handles from a real device host started for this suite.
#include "VURuvevidova/LCFArrayIOObject.h"

#include "WrapTestSupport.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <memory>

#include "DeviceHost.h"

namespace {

#ifdef TVB_WITH_DEVICE_HOST

class LCFArrayIOObject : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sHost = std::make_unique<tvbtest::DeviceHost>();
        setenv("TVB_DEVHOST_SOCKET", sHost->SocketPath().c_str(), 1);
        std::string error;
        ASSERT_TRUE(sHost->Start(&error)) << error;
        ASSERT_EQ(sHost->Ctl({"attach", "WRAPIO01"}).exitCode, 0);
    }
    static void TearDownTestSuite() { sHost.reset(); }

    // A new reference to the first service of the class; the test releases it.
    static io_service_t First(const char* className) {
        return IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching(className));
    }

    static const void* Value(io_object_t object) { return LCFArrayValueFrom<io_object_t>(object); }

    static std::unique_ptr<tvbtest::DeviceHost> sHost;
};

std::unique_ptr<tvbtest::DeviceHost> LCFArrayIOObject::sHost;

TEST_F(LCFArrayIOObject, EachAppendRetainsTheHandleAndEachRemovalReleasesIt) {
    io_service_t bridge = First("com_ostrel_IOTVB");
    ASSERT_NE(bridge, 0u);
    ASSERT_EQ(IOObjectGetUserRetainCount(bridge), 1u);
    LCFArrayCallBacksIOObject callBacks(NULL);
    {
        LCFArrayTemplate<io_object_t> array(0, callBacks, NULL);
        EXPECT_EQ(array.AddItem(bridge), 1);
        EXPECT_EQ(array.AddItem(bridge), 2);
        EXPECT_EQ(array.AddItem(bridge), 3);
        EXPECT_EQ(IOObjectGetUserRetainCount(bridge), 4u);
        array.RemoveItemsAt(1, 1);
        EXPECT_EQ(IOObjectGetUserRetainCount(bridge), 3u);
        io_object_t removed = 0;
        ASSERT_TRUE(array.RemoveLastItem(removed));
        EXPECT_EQ(removed, bridge);
        EXPECT_EQ(IOObjectGetUserRetainCount(bridge), 2u);
        io_object_t fetched = 0;
        ASSERT_TRUE(array.FetchItemAt(1, fetched));
        EXPECT_EQ(fetched, bridge);
    }
    // The destructor released the one still listed.
    EXPECT_EQ(IOObjectGetUserRetainCount(bridge), 1u);
    IOObjectRelease(bridge);
}

TEST_F(LCFArrayIOObject, DescriptionIsTheClassNameOrEmpty) {
    io_service_t bridge = First("com_ostrel_IOTVB");
    ASSERT_NE(bridge, 0u);
    CFStringRef description =
        LCFArrayCallBacksIOObject::ArrayCopyDescriptionCallBack(Value(bridge));
    EXPECT_EQ(Text(description), "com_ostrel_IOTVB");
    CFRelease(description);
    IOObjectRelease(bridge);

    // A handle released to zero is dead: its class can no longer be read.
    CFStringRef dead = LCFArrayCallBacksIOObject::ArrayCopyDescriptionCallBack(Value(bridge));
    EXPECT_EQ(Text(dead), "");
    CFRelease(dead);
    CFStringRef none = LCFArrayCallBacksIOObject::ArrayCopyDescriptionCallBack(Value(0));
    EXPECT_EQ(Text(none), "");
    CFRelease(none);
}

TEST_F(LCFArrayIOObject, AHandleThatTakesNoReferenceIsHeldAsNothing) {
    io_service_t bridge = First("com_ostrel_IOTVB");
    ASSERT_NE(bridge, 0u);
    IOObjectRelease(bridge); // dead from here on
    LCFArrayCallBacksIOObject callBacks(NULL);
    io_service_t named = 0;
    {
        LCFArrayTemplate<io_object_t> array(0, callBacks, NULL);
        EXPECT_EQ(array.AddItem(bridge), 1);
        EXPECT_EQ(array.AddItem(0), 2);
        io_object_t held = bridge;
        ASSERT_TRUE(array.FetchItemAt(1, held));
        EXPECT_EQ(held, 0u);
        // Named again, the object comes back under its old name with one reference, which
        // is the caller's and must survive the array.
        named = First("com_ostrel_IOTVB");
        ASSERT_EQ(named, bridge);
        ASSERT_EQ(IOObjectGetUserRetainCount(named), 1u);
        array.RemoveItemsAt(1, 1);
    }
    EXPECT_EQ(IOObjectGetUserRetainCount(named), 1u);
    IOObjectRelease(named);
}

TEST_F(LCFArrayIOObject, EqualityIsIdentityOfTheRegistryObject) {
    io_service_t bridge = First("com_ostrel_IOTVB");
    io_service_t storage = First("IOBlockStorageServices");
    ASSERT_NE(bridge, 0u);
    ASSERT_NE(storage, 0u);
    EXPECT_TRUE(LCFArrayCallBacksIOObject::ArrayEqualCallBack(Value(bridge), Value(bridge)));
    EXPECT_FALSE(LCFArrayCallBacksIOObject::ArrayEqualCallBack(Value(bridge), Value(storage)));

    LCFArrayCallBacksIOObject callBacks(NULL);
    LCFArrayTemplate<io_object_t> array(0, callBacks, NULL);
    array.AddItem(storage);
    array.AddItem(bridge);
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(array, CFRangeMake(0, 2), Value(bridge)), 1);
    IOObjectRelease(bridge);
    IOObjectRelease(storage);
}

#else

TEST(LCFArrayIOObject, NeedsTheDeviceHost) {
    GTEST_SKIP() << "built without the device host";
}

#endif

} // namespace
