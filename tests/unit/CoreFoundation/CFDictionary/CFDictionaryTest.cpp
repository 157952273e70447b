#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

CFMutableDictionaryRef NewTypeDictionary(CFIndex capacity = 0) {
    return CFDictionaryCreateMutable(kCFAllocatorDefault, capacity, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

std::vector<std::string> Keys(CFDictionaryRef dict) {
    std::vector<const void*> keys(static_cast<size_t>(CFDictionaryGetCount(dict)));
    CFDictionaryGetKeysAndValues(dict, keys.data(), nullptr);
    std::vector<std::string> texts;
    for (const void* key : keys)
        texts.push_back(Text(static_cast<CFStringRef>(key)));
    return texts;
}

void CollectKey(const void* key, const void*, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(Text(static_cast<CFStringRef>(key)));
}

} // namespace

TEST(CFDictionary, SetValueReplacingReleasesTheOldValue) {
    auto key = Own(CFStringCreateMutableCopy(kCFAllocatorDefault, 0, CFSTR("key")));
    auto first = Own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    auto second = Own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    auto dict = Own(NewTypeDictionary());
    CFDictionarySetValue(dict.get(), key.get(), first.get());
    EXPECT_EQ(CFGetRetainCount(key.get()), 2);
    EXPECT_EQ(CFGetRetainCount(first.get()), 2);
    CFDictionarySetValue(dict.get(), key.get(), second.get());
    EXPECT_EQ(CFGetRetainCount(first.get()), 1);
    EXPECT_EQ(CFGetRetainCount(second.get()), 2);
    EXPECT_EQ(CFGetRetainCount(key.get()), 2); // the key is held once, not twice
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 1);
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), key.get()), second.get());
}

TEST(CFDictionary, SettingTheValueAlreadyThereKeepsItAlive) {
    // The dictionary holds the only reference: releasing before retaining would free it.
    CFMutableStringRef value = CFStringCreateMutable(kCFAllocatorDefault, 0);
    auto dict = Own(NewTypeDictionary());
    CFDictionarySetValue(dict.get(), CFSTR("k"), value);
    CFRelease(value);
    CFDictionaryReplaceValue(dict.get(), CFSTR("k"), value);
    CFDictionarySetValue(dict.get(), CFSTR("k"), value);
    EXPECT_EQ(CFGetRetainCount(CFDictionaryGetValue(dict.get(), CFSTR("k"))), 1);
}

TEST(CFDictionary, AddOnlyAddsAndReplaceOnlyReplaces) {
    auto one = Own(NewInt(1));
    auto two = Own(NewInt(2));
    auto dict = Own(NewTypeDictionary());
    CFDictionaryReplaceValue(dict.get(), CFSTR("a"), one.get());
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 0);
    CFDictionaryAddValue(dict.get(), CFSTR("a"), one.get());
    CFDictionaryAddValue(dict.get(), CFSTR("a"), two.get());
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("a")), one.get());
    CFDictionaryReplaceValue(dict.get(), CFSTR("a"), two.get());
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("a")), two.get());
    EXPECT_EQ(CFGetRetainCount(one.get()), 1);
}

TEST(CFDictionary, RemovalAndDestructionReleaseKeysAndValues) {
    auto key = Own(CFStringCreateMutableCopy(kCFAllocatorDefault, 0, CFSTR("key")));
    auto value = Own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    CFMutableDictionaryRef dict = NewTypeDictionary();
    CFDictionarySetValue(dict, key.get(), value.get());
    CFDictionaryRemoveValue(dict, CFSTR("key"));
    EXPECT_EQ(CFGetRetainCount(key.get()), 1);
    EXPECT_EQ(CFGetRetainCount(value.get()), 1);
    CFDictionarySetValue(dict, key.get(), value.get());
    CFDictionaryRemoveAllValues(dict);
    EXPECT_EQ(CFGetRetainCount(value.get()), 1);
    CFDictionarySetValue(dict, key.get(), value.get());
    CFRelease(dict);
    EXPECT_EQ(CFGetRetainCount(key.get()), 1);
    EXPECT_EQ(CFGetRetainCount(value.get()), 1);
}

TEST(CFDictionary, KeysMatchByEqualityNotIdentity) {
    auto stored = Own(NewString("serial_number_core"));
    auto probe = Own(NewString("serial_number_core"));
    auto intKey = Own(NewInt(7));
    auto realKey = Own(NewDouble(7.0));
    auto dict = Own(NewTypeDictionary());
    CFDictionarySetValue(dict.get(), stored.get(), kCFBooleanTrue);
    CFDictionarySetValue(dict.get(), intKey.get(), kCFBooleanFalse);
    ASSERT_NE(stored.get(), probe.get());
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), probe.get()), kCFBooleanTrue);
    // 7 and 7.0 are equal numbers, so they are one key.
    EXPECT_TRUE(CFDictionaryContainsKey(dict.get(), realKey.get()));
    const void* value = nullptr;
    EXPECT_FALSE(CFDictionaryGetValueIfPresent(dict.get(), CFSTR("absent"), &value));
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("absent")), nullptr);
}

TEST(CFDictionary, CopyStringKeysAreFrozenCopies) {
    auto key = Own(CFStringCreateMutableCopy(kCFAllocatorDefault, 0, CFSTR("before")));
    auto dict =
        Own(CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFCopyStringDictionaryKeyCallBacks,
                                      &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(dict.get(), key.get(), kCFBooleanTrue);
    EXPECT_EQ(CFGetRetainCount(key.get()), 1);
    CFStringAppendCString(key.get(), "-after", kCFStringEncodingUTF8);
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("before")), kCFBooleanTrue);
    EXPECT_FALSE(CFDictionaryContainsKey(dict.get(), key.get()));
}

TEST(CFDictionary, NullCallBacksUsePointerIdentityAndNoRetain) {
    auto key = Own(NewString("k"));
    auto twin = Own(NewString("k"));
    auto value = Own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    CFMutableDictionaryRef dict =
        CFDictionaryCreateMutable(kCFAllocatorDefault, 0, nullptr, nullptr);
    CFDictionarySetValue(dict, key.get(), value.get());
    CFDictionarySetValue(dict, reinterpret_cast<const void*>(42),
                         reinterpret_cast<const void*>(43));
    EXPECT_EQ(CFGetRetainCount(value.get()), 1);
    EXPECT_EQ(CFDictionaryGetValue(dict, key.get()), value.get());
    EXPECT_FALSE(CFDictionaryContainsKey(dict, twin.get()));
    EXPECT_EQ(CFDictionaryGetValue(dict, reinterpret_cast<const void*>(42)),
              reinterpret_cast<const void*>(43));
    CFRelease(dict);
    EXPECT_EQ(CFGetRetainCount(value.get()), 1);
}

TEST(CFDictionary, IterationFollowsInsertionOrder) {
    auto dict = Own(NewTypeDictionary());
    for (const char* name : {"zeta", "alpha", "mid", "beta"}) {
        auto key = Own(NewString(name));
        CFDictionarySetValue(dict.get(), key.get(), kCFBooleanTrue);
    }
    CFDictionaryRemoveValue(dict.get(), CFSTR("alpha"));
    CFDictionarySetValue(dict.get(), CFSTR("alpha"), kCFBooleanFalse);
    CFDictionarySetValue(dict.get(), CFSTR("zeta"), kCFBooleanFalse); // replacing keeps the place
    EXPECT_EQ(Keys(dict.get()), (std::vector<std::string>{"zeta", "mid", "beta", "alpha"}));
    std::vector<std::string> applied;
    CFDictionaryApplyFunction(dict.get(), CollectKey, &applied);
    EXPECT_EQ(applied, Keys(dict.get()));
}

TEST(CFDictionary, StaysConsistentThroughManyInsertionsAndRemovals) {
    auto dict = Own(NewTypeDictionary());
    for (SInt64 i = 0; i < 2000; ++i) {
        auto key = Own(NewInt(i));
        auto value = Own(NewInt(i * 10));
        CFDictionarySetValue(dict.get(), key.get(), value.get());
    }
    for (SInt64 i = 0; i < 2000; i += 2) {
        auto key = Own(NewInt(i));
        CFDictionaryRemoveValue(dict.get(), key.get());
    }
    ASSERT_EQ(CFDictionaryGetCount(dict.get()), 1000);
    for (SInt64 i = 0; i < 2000; ++i) {
        auto key = Own(NewDouble(static_cast<double>(i)));
        auto value = static_cast<CFNumberRef>(CFDictionaryGetValue(dict.get(), key.get()));
        if (i % 2 == 0) {
            EXPECT_EQ(value, nullptr) << i;
            continue;
        }
        SInt64 stored = -1;
        ASSERT_NE(value, nullptr) << i;
        CFNumberGetValue(value, kCFNumberSInt64Type, &stored);
        EXPECT_EQ(stored, i * 10);
    }
}

// Small dictionaries are searched in order and get their index as they grow; equal keys must
// be found, and repeated keys refused, on both sides of that change and after emptying.
TEST(CFDictionary, FindsEqualKeysWhileGrowingPastItsIndexAndAfterEmptying) {
    auto dict = Own(NewTypeDictionary());
    auto name = [](int i) { return "key-" + std::to_string(i); };
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 20; ++i) {
            auto key = Own(NewString(name(i).c_str()));
            auto twin = Own(NewString(name(i).c_str()));
            CFDictionarySetValue(dict.get(), key.get(), kCFBooleanTrue);
            CFDictionaryAddValue(dict.get(), twin.get(), kCFBooleanFalse); // already there
            ASSERT_EQ(CFDictionaryGetCount(dict.get()), i + 1);
            for (int j = 0; j <= i; ++j) {
                auto probe = Own(NewString(name(j).c_str()));
                EXPECT_EQ(CFDictionaryGetValue(dict.get(), probe.get()), kCFBooleanTrue)
                    << round << " " << i << " " << j;
            }
            auto absent = Own(NewString(name(i + 1).c_str()));
            EXPECT_FALSE(CFDictionaryContainsKey(dict.get(), absent.get()));
        }
        auto gone = Own(NewString(name(3).c_str()));
        CFDictionaryRemoveValue(dict.get(), gone.get());
        EXPECT_FALSE(CFDictionaryContainsKey(dict.get(), gone.get()));
        EXPECT_EQ(CFDictionaryGetCount(dict.get()), 19);
        CFDictionaryRemoveAllValues(dict.get());
        EXPECT_FALSE(CFDictionaryContainsKey(dict.get(), CFSTR("key-0")));
    }
}

TEST(CFDictionary, EqualityIgnoresOrderButComparesValues) {
    auto one = Own(NewInt(1));
    auto otherOne = Own(NewDouble(1.0));
    auto two = Own(NewInt(2));
    auto left = Own(NewTypeDictionary());
    auto right = Own(NewTypeDictionary());
    CFDictionarySetValue(left.get(), CFSTR("a"), one.get());
    CFDictionarySetValue(left.get(), CFSTR("b"), two.get());
    CFDictionarySetValue(right.get(), CFSTR("b"), two.get());
    CFDictionarySetValue(right.get(), CFSTR("a"), otherOne.get());
    EXPECT_TRUE(CFEqual(left.get(), right.get()));
    EXPECT_EQ(CFHash(left.get()), CFHash(right.get()));
    CFDictionarySetValue(right.get(), CFSTR("a"), two.get());
    EXPECT_FALSE(CFEqual(left.get(), right.get()));
    CFDictionaryRemoveValue(right.get(), CFSTR("a"));
    EXPECT_FALSE(CFEqual(left.get(), right.get()));
}

TEST(CFDictionary, CreateKeepsTheFirstOfRepeatedKeysAndIsImmutable) {
    auto one = Own(NewInt(1));
    auto two = Own(NewInt(2));
    const void* keys[] = {CFSTR("k"), CFSTR("k")};
    const void* values[] = {one.get(), two.get()};
    auto dict =
        Own(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
                               &kCFTypeDictionaryValueCallBacks));
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 1);
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("k")), one.get());
    EXPECT_EQ(CFGetRetainCount(two.get()), 1);
    testing::internal::CaptureStderr();
    CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(dict.get()), CFSTR("x"), one.get());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("immutable"), std::string::npos);
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 1);
}

TEST(CFDictionary, MutableCopyIsIndependent) {
    auto dict = Own(NewTypeDictionary());
    CFDictionarySetValue(dict.get(), CFSTR("a"), kCFBooleanTrue);
    auto copy = Own(CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, dict.get()));
    CFDictionarySetValue(copy.get(), CFSTR("b"), kCFBooleanTrue);
    CFDictionaryRemoveValue(dict.get(), CFSTR("a"));
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 0);
    EXPECT_EQ(Keys(copy.get()), (std::vector<std::string>{"a", "b"}));
}

TEST(CFDictionary, BoundedDictionaryRefusesNewKeysPastItsCapacity) {
    auto dict = Own(NewTypeDictionary(1));
    CFDictionarySetValue(dict.get(), CFSTR("a"), kCFBooleanTrue);
    testing::internal::CaptureStderr();
    CFDictionarySetValue(dict.get(), CFSTR("b"), kCFBooleanTrue);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("capacity"), std::string::npos);
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 1);
    // Replacing the value of a present key needs no room.
    CFDictionarySetValue(dict.get(), CFSTR("a"), kCFBooleanFalse);
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("a")), kCFBooleanFalse);
}
