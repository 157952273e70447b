// Registry navigation: matching by class and BSD name, ancestors, names, properties and the
// busy state.
#include "IOKitTestSupport.h"

namespace iokittest {
namespace {

class IOKitRegistry : public IOKitTest {};

constexpr IOOptionBits kAllAncestors = kIORegistryIterateRecursively | kIORegistryIterateParents;

std::string NameOf(io_registry_entry_t entry) {
    io_name_t name;
    return IORegistryEntryGetName(entry, name) == KERN_SUCCESS ? std::string(name) : "";
}

TEST_F(IOKitRegistry, MatchingByClassTakesSubclassesIn) {
    Attach("PLAIN");
    Attach("DERIVED", {"--bridge-class", "com_ostrel_IOTVBPlus"});
    std::vector<io_service_t> bridges = AllServices("com_ostrel_IOTVB");
    ASSERT_EQ(bridges.size(), 2u);
    EXPECT_EQ(ClassOf(bridges[0]), "com_ostrel_IOTVB");
    EXPECT_EQ(ClassOf(bridges[1]), "com_ostrel_IOTVBPlus");
    EXPECT_TRUE(IOObjectConformsTo(bridges[1], "com_ostrel_IOTVB"));
    EXPECT_TRUE(IOObjectConformsTo(bridges[1], "IOService"));
    EXPECT_FALSE(IOObjectConformsTo(bridges[0], "com_ostrel_IOTVBPlus"));
    std::vector<io_service_t> derived = AllServices("com_ostrel_IOTVBPlus");
    ASSERT_EQ(derived.size(), 1u);
    EXPECT_EQ(derived[0], bridges[1]);
    for (io_service_t s : bridges)
        IOObjectRelease(s);
    IOObjectRelease(derived[0]);
}

TEST_F(IOKitRegistry, MatchingByBSDNameFindsThatMediaOnly) {
    const std::string disk =
        Attach("BSD1", {"--volume", "Alpha:1000:500", "--volume", "Beta:2000:100"});
    ASSERT_FALSE(disk.empty());
    io_service_t media = IOServiceGetMatchingService(
        kIOMasterPortDefault, IOBSDNameMatching(kIOMasterPortDefault, 0, (disk + "s2").c_str()));
    ASSERT_NE(media, 0u);
    EXPECT_EQ(ClassOf(media), "IOMedia");
    EXPECT_EQ(NameOf(media), "Beta");
    CFTypeRef bsd = IORegistryEntryCreateCFProperty(media, CFSTR(kIOBSDNameKey), nullptr, 0);
    ASSERT_NE(bsd, nullptr);
    CFStringRef expected =
        CFStringCreateWithCString(nullptr, (disk + "s2").c_str(), kCFStringEncodingUTF8);
    EXPECT_TRUE(CFEqual(bsd, expected));
    CFRelease(expected);
    CFRelease(bsd);
    IOObjectRelease(media);

    io_iterator_t none = 0;
    EXPECT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault,
                                           IOBSDNameMatching(kIOMasterPortDefault, 0, "disk999"),
                                           &none),
              KERN_SUCCESS);
    EXPECT_EQ(IOIteratorNext(none), 0u);
    IOObjectRelease(none);
    EXPECT_EQ(IOBSDNameMatching(kIOMasterPortDefault, 0, nullptr), nullptr);
    EXPECT_EQ(IOServiceMatching(nullptr), nullptr);
}

TEST_F(IOKitRegistry, GetMatchingServiceReturnsTheFirstOfSeveral) {
    Attach("TWOSTORES", {"--second-storage"});
    std::vector<io_service_t> stores = AllServices("IOBlockStorageServices");
    ASSERT_EQ(stores.size(), 2u);
    io_service_t first = FirstService("IOBlockStorageServices");
    EXPECT_EQ(first, stores[0]);
    EXPECT_EQ(IOObjectGetUserRetainCount(first), 2u);
    IOObjectRelease(first);
    for (io_service_t s : stores)
        IOObjectRelease(s);
}

TEST_F(IOKitRegistry, MatchesRememberedByBSDNameAreLetGoOnceTheRegistryMoves) {
    // Each drive that comes brings BSD names never seen before; what was learnt about the
    // names of one registry generation is of no use at the next, and must not pile up.
    const std::string disk = Attach("REMEMBER1", {"--volume", "Vol:100:50"});
    auto mediaCalled = [](const std::string& bsdName, CFStringRef* value) {
        CFMutableDictionaryRef matching =
            IOBSDNameMatching(kIOMasterPortDefault, 0, bsdName.c_str());
        if (matching == nullptr)
            return std::string();
        if (value != nullptr)
            *value = static_cast<CFStringRef>(
                CFRetain(CFDictionaryGetValue(matching, CFSTR(kIOBSDNameKey))));
        io_service_t media = IOServiceGetMatchingService(kIOMasterPortDefault, matching);
        const std::string name = NameOf(media);
        IOObjectRelease(media);
        return name;
    };
    CFStringRef first = nullptr;
    ASSERT_EQ(mediaCalled(disk + "s1", &first), "Vol");
    ASSERT_NE(first, nullptr);
    // The session's first request reads no generation before it: asked again, it is kept.
    EXPECT_EQ(mediaCalled(disk + "s1", nullptr), "Vol");
    const CFIndex held = CFGetRetainCount(first);
    // Asked once more at the same generation: the same answer, and nothing more kept for it.
    EXPECT_EQ(mediaCalled(disk + "s1", nullptr), "Vol");
    EXPECT_EQ(CFGetRetainCount(first), held);

    const std::string other = Attach("REMEMBER2", {"--volume", "More:100:50"});
    EXPECT_EQ(mediaCalled(other + "s1", nullptr), "More");
    EXPECT_EQ(CFGetRetainCount(first), held - 1) << "the earlier generation's match is kept";
    EXPECT_EQ(mediaCalled(disk + "s1", nullptr), "Vol");
    CFRelease(first);
}

TEST_F(IOKitRegistry, MatchingDictionariesAreConsumedAndOddKeysRefused) {
    CFMutableDictionaryRef matching = IOServiceMatching("IOMedia");
    ASSERT_NE(matching, nullptr);
    CFDictionarySetValue(matching, CFSTR(kIONameMatchKey), CFSTR("Beta"));
    CFRetain(matching);
    io_iterator_t iterator = 99;
    EXPECT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &iterator),
              kIOReturnUnsupported);
    EXPECT_EQ(iterator, 0u);
    EXPECT_EQ(CFGetRetainCount(matching), 1);

    CFDictionaryRemoveValue(matching, CFSTR(kIONameMatchKey));
    CFDictionarySetValue(matching, CFSTR(kIOProviderClassKey), CFSTR("IOMedia"));
    CFRetain(matching);
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &iterator),
              KERN_SUCCESS);
    EXPECT_EQ(CFGetRetainCount(matching), 1);
    IOObjectRelease(iterator);
    CFRelease(matching);
}

TEST_F(IOKitRegistry, AncestorsComeNearestFirstUpToTheRoot) {
    const std::string disk = Attach("PARENTS", {"--volume", "Vol:100:50"});
    io_service_t media = IOServiceGetMatchingService(
        kIOMasterPortDefault, IOBSDNameMatching(kIOMasterPortDefault, 0, (disk + "s1").c_str()));
    ASSERT_NE(media, 0u);
    io_iterator_t iterator = 0;
    ASSERT_EQ(IORegistryEntryCreateIterator(media, kIOServicePlane, kAllAncestors, &iterator),
              KERN_SUCCESS);
    std::vector<std::string> classes;
    io_registry_entry_t last = 0;
    for (io_registry_entry_t e = IOIteratorNext(iterator); e != 0; e = IOIteratorNext(iterator)) {
        classes.push_back(ClassOf(e));
        if (last != 0)
            IOObjectRelease(last);
        last = e;
    }
    EXPECT_EQ(classes, (std::vector<std::string>{"IOMedia", "IOBlockStorageDriver",
                                                 "IOBlockStorageServices", "com_ostrel_IOTVB",
                                                 "IOUSBDevice", "IOPlatformExpertDevice"}));
    IOObjectRelease(iterator);

    // The root has no provider.
    ASSERT_NE(last, 0u);
    io_registry_entry_t parent = 7;
    EXPECT_EQ(IORegistryEntryGetParentEntry(last, kIOServicePlane, &parent), kIOReturnNoDevice);
    EXPECT_EQ(parent, 0u);
    IOObjectRelease(last);

    // Parents without recursion: the direct provider only, the same one GetParentEntry gives.
    ASSERT_EQ(
        IORegistryEntryCreateIterator(media, kIOServicePlane, kIORegistryIterateParents, &iterator),
        KERN_SUCCESS);
    io_registry_entry_t provider = IOIteratorNext(iterator);
    EXPECT_EQ(NameOf(provider), "Tarvelle USB Drive Media");
    EXPECT_EQ(IOIteratorNext(iterator), 0u);
    ASSERT_EQ(IORegistryEntryGetParentEntry(media, kIOServicePlane, &parent), KERN_SUCCESS);
    EXPECT_EQ(parent, provider);
    IOObjectRelease(parent);
    IOObjectRelease(provider);
    IOObjectRelease(iterator);

    // Children cannot be walked, nor other planes.
    EXPECT_EQ(IORegistryEntryCreateIterator(media, kIOServicePlane, kIORegistryIterateRecursively,
                                            &iterator),
              kIOReturnUnsupported);
    EXPECT_EQ(IORegistryEntryCreateIterator(media, "IOPower", kAllAncestors, &iterator),
              kIOReturnBadArgument);
    EXPECT_EQ(IOObjectGetUserRetainCount(media), 1u);
    IOObjectRelease(media);
}

TEST_F(IOKitRegistry, PropertiesComeBackAsNewCFObjectsOfTheirType) {
    Attach("STRSERIAL");
    Attach("12345", {"--serial-type", "number"});
    Attach("DATASERIAL", {"--serial-type", "data"});
    std::vector<io_service_t> bridges = AllServices("com_ostrel_IOTVB");
    ASSERT_EQ(bridges.size(), 3u);

    CFTypeRef text = IORegistryEntryCreateCFProperty(bridges[0], CFSTR("serial_number_core"),
                                                     kCFAllocatorDefault, 0);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(CFGetTypeID(text), CFStringGetTypeID());
    EXPECT_TRUE(CFEqual(text, CFSTR("STRSERIAL")));
    EXPECT_EQ(CFGetRetainCount(text), 1);
    CFRelease(text);

    CFTypeRef number = IORegistryEntryCreateCFProperty(bridges[1], CFSTR("serial_number_core"),
                                                       kCFAllocatorDefault, 0);
    ASSERT_NE(number, nullptr);
    ASSERT_EQ(CFGetTypeID(number), CFNumberGetTypeID());
    int64_t value = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt64Type, &value));
    EXPECT_EQ(value, 12345);
    CFRelease(number);

    CFTypeRef data = IORegistryEntryCreateCFProperty(bridges[2], CFSTR("serial_number_core"),
                                                     kCFAllocatorDefault, 0);
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(CFGetTypeID(data), CFDataGetTypeID());
    EXPECT_EQ(
        std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(static_cast<CFDataRef>(data))),
                    static_cast<size_t>(CFDataGetLength(static_cast<CFDataRef>(data)))),
        "DATASERIAL");
    CFRelease(data);

    io_service_t whole = FirstService("IOMedia");
    CFTypeRef flag = IORegistryEntryCreateCFProperty(whole, CFSTR("Whole"), nullptr, 0);
    EXPECT_EQ(flag, kCFBooleanTrue);
    if (flag != nullptr)
        CFRelease(flag);
    EXPECT_EQ(IORegistryEntryCreateCFProperty(whole, CFSTR("No Such Key"), nullptr, 0), nullptr);
    EXPECT_EQ(IORegistryEntryCreateCFProperty(whole, nullptr, nullptr, 0), nullptr);
    IOObjectRelease(whole);
    for (io_service_t s : bridges)
        IOObjectRelease(s);
}

TEST_F(IOKitRegistry, WaitQuietReturnsAtOnceWhenTheEntryIsQuiet) {
    Attach("QUIET");
    Ctl({"waits", "--clear"});
    io_service_t bridge = FirstService("com_ostrel_IOTVB");
    mach_timespec_t none = {0, 0};
    EXPECT_EQ(IOServiceWaitQuiet(bridge, &none), KERN_SUCCESS);
    EXPECT_EQ(IOServiceWaitQuiet(bridge, nullptr), KERN_SUCCESS);
    const std::string waits = CtlOutput({"waits"});
    EXPECT_NE(waits.find("com_ostrel_IOTVB com_ostrel_IOTVB quiet"), std::string::npos) << waits;
    EXPECT_EQ(waits.find("timeout"), std::string::npos) << waits;
    IOObjectRelease(bridge);
}

TEST_F(IOKitRegistry, WaitQuietWaitsWhileTheEntrySettles) {
    Attach("SETTLING", {"--settle-ms", "3000"});
    io_service_t bridge = FirstService("com_ostrel_IOTVB");
    mach_timespec_t none = {0, 0};
    mach_timespec_t plenty = {20, 0};
    // Busy now: no time at all is not enough; a long wait ends once it is quiet.
    EXPECT_EQ(IOServiceWaitQuiet(bridge, &none), kIOReturnTimeout);
    EXPECT_EQ(IOServiceWaitQuiet(bridge, &plenty), KERN_SUCCESS);
    EXPECT_EQ(IOServiceWaitQuiet(bridge, &none), KERN_SUCCESS);
    IOObjectRelease(bridge);
}

TEST_F(IOKitRegistry, WaitQuietGivesUpAfterItsTimeOut) {
    Attach("STUCK", {"--settle-ms", "60000"});
    Ctl({"waits", "--clear"});
    io_service_t storage = FirstService("IOBlockStorageServices");
    mach_timespec_t short_wait = {0, 200 * 1000 * 1000};
    EXPECT_EQ(IOServiceWaitQuiet(storage, &short_wait), kIOReturnTimeout);
    const std::string waits = CtlOutput({"waits"});
    EXPECT_NE(waits.find("IOBlockStorageServices IOBlockStorageServices timeout"),
              std::string::npos)
        << waits;
    IOObjectRelease(storage);
}

} // namespace
} // namespace iokittest
