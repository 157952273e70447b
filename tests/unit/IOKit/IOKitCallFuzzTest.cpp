// Random sequences of IOKit calls on handles live, released and made up, while drives come
// and go: the handle table's parking, naming again and caches must keep every handle's user
// reference count exactly what the calls made it (as a model counts them), never revive a
// handle nobody holds, and leave nothing behind once everything is released.
// TVB_FUZZ_CALLS sets the number of calls (default 6000) for longer campaigns.
#include "IOKitTestSupport.h"

#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace iokittest {
namespace {

const char* const kClasses[] = {"IOService", "IOMedia",  "com_ostrel_IOTVB", "IOUSBDevice",
                                "IOStorage", "OSObject", "NoSuchClass"};
const char* const kKeys[] = {"BSD Name", "serial_number_core", "Size", "Nothing"};

class IOKitCallFuzz : public IOKitTest {
protected:
    uint64_t Below(uint64_t n) { return mRng() % n; }
    const char* AnyClass() { return kClasses[Below(std::size(kClasses))]; }

    // Mostly one the test holds, sometimes one it let go, 0 or a made-up name.
    io_object_t AnyHandle() {
        const uint64_t r = Below(10);
        if (r < 7 && !mHeld.empty()) {
            auto it = mHeld.begin();
            std::advance(it, Below(mHeld.size()));
            return it->first;
        }
        if (r < 9 && !mSeen.empty())
            return mSeen[Below(mSeen.size())];
        return r == 9 ? 0 : io_object_t(mRng());
    }
    void Got(io_object_t handle) {
        if (handle == 0)
            return;
        if (mHeld[handle]++ == 0)
            mSeen.push_back(handle);
    }
    // What the model says the test holds of `handle`.
    uint32_t Held(io_object_t handle) const {
        auto it = mHeld.find(handle);
        return it == mHeld.end() ? 0 : it->second;
    }
    void Dropped(io_object_t handle) {
        if (--mHeld[handle] == 0)
            mHeld.erase(handle);
    }

    void OneCall() {
        const io_object_t h = AnyHandle();
        switch (Below(18)) {
        case 0: {
            io_iterator_t iterator = 0;
            if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching(AnyClass()),
                                             &iterator) == KERN_SUCCESS)
                Got(iterator);
            break;
        }
        case 1:
            Got(IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching(AnyClass())));
            break;
        case 2:
        case 3:
            Got(IOIteratorNext(h));
            break;
        case 4:
            Below(2) ? IOIteratorReset(h) : void(IOIteratorIsValid(h));
            break;
        case 5: {
            const bool held = Held(h) > 0;
            EXPECT_EQ(IOObjectRetain(h) == KERN_SUCCESS, held) << std::hex << h;
            if (held)
                Got(h);
            break;
        }
        case 6:
        case 7: {
            const bool held = Held(h) > 0;
            EXPECT_EQ(IOObjectRelease(h) == KERN_SUCCESS, held) << std::hex << h;
            if (held)
                Dropped(h);
            break;
        }
        case 8: {
            io_name_t name;
            const kern_return_t status =
                Below(2) ? IOObjectGetClass(h, name) : IORegistryEntryGetName(h, name);
            if (Held(h) == 0) {
                EXPECT_NE(status, KERN_SUCCESS) << "a handle nobody holds answered";
            }
            break;
        }
        case 9: {
            io_registry_entry_t parent = 0;
            if (IORegistryEntryGetParentEntry(h, kIOServicePlane, &parent) == KERN_SUCCESS)
                Got(parent);
            break;
        }
        case 10: {
            io_iterator_t iterator = 0;
            const IOOptionBits options =
                Below(2) ? kIORegistryIterateRecursively | kIORegistryIterateParents : 0;
            if (IORegistryEntryCreateIterator(h, kIOServicePlane, options, &iterator) ==
                KERN_SUCCESS)
                Got(iterator);
            break;
        }
        case 11: {
            CFStringRef key = CFStringCreateWithCString(nullptr, kKeys[Below(std::size(kKeys))],
                                                        kCFStringEncodingUTF8);
            if (CFTypeRef value = IORegistryEntryCreateCFProperty(h, key, nullptr, 0))
                CFRelease(value);
            CFRelease(key);
            break;
        }
        case 12:
            IOObjectIsEqualTo(h, AnyHandle());
            IOObjectConformsTo(h, AnyClass());
            break;
        case 13: {
            io_connect_t connect = 0;
            if (IOServiceOpen(h, mach_task_self(), 0, &connect) == KERN_SUCCESS)
                Got(connect);
            break;
        }
        case 14: {
            // Closing gives back the reference opening gave, whether or not the close worked.
            const bool held = Held(h) > 0;
            const kern_return_t status = Below(2) ? IOServiceClose(h) : IOConnectRelease(h);
            if (held && status != MACH_SEND_INVALID_DEST)
                Dropped(h);
            else
                EXPECT_EQ(status, MACH_SEND_INVALID_DEST) << std::hex << h;
            break;
        }
        case 15: {
            if (Below(2)) {
                if (IOConnectAddRef(h) == KERN_SUCCESS)
                    Got(h);
                break;
            }
            io_service_t service = 0;
            if (IOConnectGetService(h, &service) == KERN_SUCCESS)
                Got(service);
            break;
        }
        case 16: {
            uint64_t none = 0;
            uint32_t count = 0;
            uint8_t bytes[24] = {1, 50, 1, 1};
            size_t size = Below(2) ? 24 : 4;
            const uint32_t selector = uint32_t(Below(5));
            if (selector < 2)
                IOConnectCallScalarMethod(h, selector, &none, 0, &none, &count);
            else
                IOConnectCallStructMethod(h, selector, bytes, selector == 3 ? 4 : 0, bytes, &size);
            break;
        }
        default:
            // Drives come and go under the handles (a tvbctl run: now and then only).
            if (Below(25) == 0) {
                const std::string serial = "CHURN" + std::to_string(Below(3));
                // Either may be refused: the drive is not there, or is already.
                if (Below(2))
                    host.Ctl({"detach", serial});
                else
                    host.Ctl({"attach", serial, "--volume", "V:100:10"});
            }
            break;
        }
    }

    void ExpectCountsAsModelled() {
        for (const auto& [handle, count] : mHeld)
            ASSERT_EQ(IOObjectGetUserRetainCount(handle), count) << "handle " << std::hex << handle;
    }

    void ReleaseEverything() {
        for (const auto& [handle, count] : mHeld)
            for (uint32_t i = 0; i < count; ++i)
                EXPECT_EQ(IOObjectRelease(handle), KERN_SUCCESS) << std::hex << handle;
        mHeld.clear();
    }

    std::mt19937_64 mRng{std::random_device{}()};
    std::map<io_object_t, uint32_t> mHeld; // handle: user references the test holds
    std::vector<io_object_t> mSeen;        // every handle it ever held
};

TEST_F(IOKitCallFuzz, UserReferencesStayAsTheCallsMadeThemAndNothingLeaks) {
    const uint64_t seed = std::random_device{}();
    mRng.seed(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    const char* configured = std::getenv("TVB_FUZZ_CALLS");
    const long calls = configured != nullptr ? std::atol(configured) : 6000;
    Attach("STAYS", {"--volume", "A:100:50", "--volume", "B:100:20"});
    Attach("CHURN0");
    for (long n = 0; n < calls && !HasFatalFailure(); ++n) {
        OneCall();
        ExpectCountsAsModelled();
    }
    ReleaseEverything();
    // IOKitTest's tear-down checks that no handle outlives the test.
}

} // namespace
} // namespace iokittest
