#include "CFTestSupport.h"

#include "CFNumber_Internal.h"
#include "CFPropertyList_Internal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const char kHeader[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                       "<plist version=\"1.0\">\n";

std::string XML(CFPropertyListRef plist) {
    auto data = Own(CFPropertyListCreateXMLData(nullptr, plist));
    return Bytes(data.get());
}

CFMutableDictionaryRef NewDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

CFMutableArrayRef NewArray() {
    return CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
}

CFDataRef NewBytes(int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i)
        bytes += static_cast<char>(i);
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), count);
}

// A tree with every supported type, nested.
CFDictionaryRef NewSample() {
    CFMutableDictionaryRef root = NewDictionary();
    auto name = Own(NewString("A & B <c>"));
    auto count = Own(NewInt(42));
    auto ratio = Own(NewDouble(0.5));
    auto blob = Own(NewBytes(10));
    auto minusSeven = Own(NewInt(-7));
    auto list = Own(NewArray());
    auto emptyArray = Own(NewArray());
    auto emptyDict = Own(NewDictionary());
    CFArrayAppendValue(list.get(), minusSeven.get());
    CFArrayAppendValue(list.get(), CFSTR("x"));
    CFArrayAppendValue(list.get(), emptyArray.get());
    CFArrayAppendValue(list.get(), emptyDict.get());
    CFDictionarySetValue(root, CFSTR("name"), name.get());
    CFDictionarySetValue(root, CFSTR("count"), count.get());
    CFDictionarySetValue(root, CFSTR("ratio"), ratio.get());
    CFDictionarySetValue(root, CFSTR("on"), kCFBooleanTrue);
    CFDictionarySetValue(root, CFSTR("off"), kCFBooleanFalse);
    CFDictionarySetValue(root, CFSTR("blob"), blob.get());
    CFDictionarySetValue(root, CFSTR("list"), list.get());
    CFDictionarySetValue(root, CFSTR("empty"), emptyDict.get());
    return root;
}

CFPropertyListRef Parse(const std::string& text, CFOptionFlags options = kCFPropertyListImmutable) {
    auto data = Own(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                 static_cast<CFIndex>(text.size())));
    CFStringRef error = nullptr;
    CFPropertyListRef plist = CFPropertyListCreateFromXMLData(nullptr, data.get(), options, &error);
    if (error != nullptr)
        CFRelease(error);
    return plist;
}

CFDataRef BinaryForm(CFPropertyListRef plist) {
    __CFPlistNodePtr node(__CFPropertyListCopyPlistNode(plist));
    if (node == nullptr)
        return nullptr;
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node.get(), &bytes, &length);
    CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<UInt8*>(bytes), length);
    std::free(bytes);
    return data;
}

} // namespace

TEST(CFPropertyList, XMLDataMatchesCoreFoundationByteForByte) {
    auto sample = Own(NewSample());
    std::string expected = std::string(kHeader) + "<dict>\n"
                                                  "\t<key>blob</key>\n"
                                                  "\t<data>\n"
                                                  "\tAAECAwQFBgcICQ==\n"
                                                  "\t</data>\n"
                                                  "\t<key>count</key>\n"
                                                  "\t<integer>42</integer>\n"
                                                  "\t<key>empty</key>\n"
                                                  "\t<dict/>\n"
                                                  "\t<key>list</key>\n"
                                                  "\t<array>\n"
                                                  "\t\t<integer>-7</integer>\n"
                                                  "\t\t<string>x</string>\n"
                                                  "\t\t<array/>\n"
                                                  "\t\t<dict/>\n"
                                                  "\t</array>\n"
                                                  "\t<key>name</key>\n"
                                                  "\t<string>A &amp; B &lt;c&gt;</string>\n"
                                                  "\t<key>off</key>\n"
                                                  "\t<false/>\n"
                                                  "\t<key>on</key>\n"
                                                  "\t<true/>\n"
                                                  "\t<key>ratio</key>\n"
                                                  "\t<real>0.5</real>\n"
                                                  "</dict>\n"
                                                  "</plist>\n";
    EXPECT_EQ(XML(sample.get()), expected);
}

TEST(CFPropertyList, TopLevelScalarsAndEmptyContainersSitAtColumnZero) {
    auto emptyArray = Own(NewArray());
    auto emptyData = Own(CFDataCreate(nullptr, nullptr, 0));
    EXPECT_EQ(XML(CFSTR("hi")), std::string(kHeader) + "<string>hi</string>\n</plist>\n");
    EXPECT_EQ(XML(emptyArray.get()), std::string(kHeader) + "<array/>\n</plist>\n");
    EXPECT_EQ(XML(emptyData.get()), std::string(kHeader) + "<data>\n</data>\n</plist>\n");
}

TEST(CFPropertyList, DataIsWrappedShorterTheDeeperItIsIndented) {
    auto blob = Own(NewBytes(60));
    auto dict = Own(NewDictionary());
    CFDictionarySetValue(dict.get(), CFSTR("k"), blob.get());
    std::string expected =
        std::string(kHeader) +
        "<dict>\n"
        "\t<key>k</key>\n"
        "\t<data>\n"
        "\tAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEy\n"
        "\tMzQ1Njc4OTo7\n"
        "\t</data>\n"
        "</dict>\n"
        "</plist>\n";
    EXPECT_EQ(XML(dict.get()), expected);
    // At column zero a line holds 76 characters, so all 80 need two lines: 76 + 4.
    std::string top = XML(blob.get());
    EXPECT_NE(
        top.find("\nAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\n"
                 "OTo7\n</data>"),
        std::string::npos);
}

TEST(CFPropertyList, RealsAreWrittenAsCoreFoundationFormatsThem) {
    auto array = Own(NewArray());
    for (double value : {0.0, 2.0, 0.1, -1.5e-10}) {
        auto number = Own(NewDouble(value));
        CFArrayAppendValue(array.get(), number.get());
    }
    CFArrayAppendValue(array.get(), kCFNumberPositiveInfinity);
    CFArrayAppendValue(array.get(), kCFNumberNaN);
    std::string expected = std::string(kHeader) + "<array>\n"
                                                  "\t<real>0.0</real>\n"
                                                  "\t<real>2</real>\n"
                                                  "\t<real>0.10000000000000001</real>\n"
                                                  "\t<real>-1.5e-10</real>\n"
                                                  "\t<real>+infinity</real>\n"
                                                  "\t<real>nan</real>\n"
                                                  "</array>\n"
                                                  "</plist>\n";
    EXPECT_EQ(XML(array.get()), expected);
}

TEST(CFPropertyList, KeysAreSortedByCharacterAndEscaped) {
    auto dict = Own(NewDictionary());
    for (const char* key : {"b", "a<b", "B", "\xC3\xA9", "a"}) {
        auto cfKey = Own(NewString(key));
        CFDictionarySetValue(dict.get(), cfKey.get(), kCFBooleanTrue);
    }
    std::string xml = XML(dict.get());
    auto at = [&xml](const char* text) { return xml.find(text); };
    EXPECT_LT(at("<key>B</key>"), at("<key>a</key>"));
    EXPECT_LT(at("<key>a</key>"), at("<key>a&lt;b</key>"));
    EXPECT_LT(at("<key>a&lt;b</key>"), at("<key>b</key>"));
    EXPECT_LT(at("<key>b</key>"), at("<key>\xC3\xA9</key>"));
    EXPECT_NE(at("<key>\xC3\xA9</key>"), std::string::npos);
}

TEST(CFPropertyList, ObjectsThatAreNotPropertyListsGiveNull) {
    auto url = Own(CFURLCreateWithString(nullptr, CFSTR("file:///tmp"), nullptr));
    auto array = Own(NewArray());
    CFArrayAppendValue(array.get(), url.get());
    auto numberKeyed = Own(NewDictionary());
    auto key = Own(NewInt(1));
    CFDictionarySetValue(numberKeyed.get(), key.get(), CFSTR("v"));
    EXPECT_EQ(CFPropertyListCreateXMLData(nullptr, url.get()), nullptr);
    EXPECT_EQ(CFPropertyListCreateXMLData(nullptr, array.get()), nullptr);
    EXPECT_EQ(CFPropertyListCreateXMLData(nullptr, numberKeyed.get()), nullptr);
    EXPECT_EQ(CFPropertyListCreateXMLData(nullptr, nullptr), nullptr);
    EXPECT_EQ(__CFPropertyListCopyPlistNode(array.get()), nullptr);
    EXPECT_EQ(__CFPropertyListCopyPlistNode(numberKeyed.get()), nullptr);
}

TEST(CFPropertyList, AnArrayHoldingItselfIsRefusedNotFollowedForever) {
    auto array = Own(NewArray());
    CFArrayAppendValue(array.get(), array.get());
    EXPECT_FALSE(CFPropertyListIsValid(array.get(), kCFPropertyListXMLFormat_v1_0));
    EXPECT_EQ(CFPropertyListCreateXMLData(nullptr, array.get()), nullptr);
    EXPECT_EQ(__CFPropertyListCopyPlistNode(array.get()), nullptr);
    CFArrayRemoveAllValues(array.get()); // break the cycle so nothing leaks
}

TEST(CFPropertyList, XMLOutputReadsBackEqual) {
    auto sample = Own(NewSample());
    auto parsed = Own(Parse(XML(sample.get())));
    ASSERT_NE(parsed.get(), nullptr);
    EXPECT_TRUE(CFEqual(parsed.get(), sample.get()));
}

TEST(CFPropertyList, LibplistBinaryRoundTripKeepsEveryType) {
    auto sample = Own(NewSample());
    auto binary = Own(BinaryForm(sample.get()));
    ASSERT_NE(binary.get(), nullptr);
    ASSERT_EQ(Bytes(binary.get()).compare(0, 8, "bplist00"), 0);
    CFStringRef error = nullptr;
    auto parsed = Own(
        CFPropertyListCreateFromXMLData(nullptr, binary.get(), kCFPropertyListImmutable, &error));
    EXPECT_EQ(error, nullptr);
    ASSERT_NE(parsed.get(), nullptr);
    EXPECT_TRUE(CFEqual(parsed.get(), sample.get()));
    // Integers stay integers and reals stay reals.
    auto dict = static_cast<CFDictionaryRef>(parsed.get());
    EXPECT_FALSE(
        CFNumberIsFloatType(static_cast<CFNumberRef>(CFDictionaryGetValue(dict, CFSTR("count")))));
    EXPECT_TRUE(
        CFNumberIsFloatType(static_cast<CFNumberRef>(CFDictionaryGetValue(dict, CFSTR("ratio")))));
}

TEST(CFPropertyList, UnsignedAndNegative64BitIntegersSurviveEveryPath) {
    auto huge = Own(__CFNumberCreateUnsigned64(nullptr, UINT64_MAX));
    auto minusOne = Own(NewInt(-1));
    auto array = Own(NewArray());
    CFArrayAppendValue(array.get(), huge.get());
    CFArrayAppendValue(array.get(), minusOne.get());
    std::string xml = XML(array.get());
    EXPECT_NE(xml.find("<integer>18446744073709551615</integer>"), std::string::npos);
    EXPECT_NE(xml.find("<integer>-1</integer>"), std::string::npos);
    EXPECT_FALSE(CFEqual(huge.get(), minusOne.get()));

    auto fromXML = Own(Parse(xml));
    auto binary = Own(BinaryForm(array.get()));
    auto fromBinary = Own(Parse(Bytes(binary.get())));
    for (CFPropertyListRef parsed : {fromXML.get(), fromBinary.get()}) {
        ASSERT_NE(parsed, nullptr);
        auto list = static_cast<CFArrayRef>(parsed);
        uint64_t large = 0;
        EXPECT_TRUE(__CFNumberGetLargeUnsigned(
            static_cast<CFNumberRef>(CFArrayGetValueAtIndex(list, 0)), &large));
        EXPECT_EQ(large, UINT64_MAX);
        SInt64 negative = 0;
        auto second = static_cast<CFNumberRef>(CFArrayGetValueAtIndex(list, 1));
        EXPECT_FALSE(__CFNumberGetLargeUnsigned(second, nullptr));
        EXPECT_TRUE(CFNumberGetValue(second, kCFNumberSInt64Type, &negative));
        EXPECT_EQ(negative, -1);
    }
}

TEST(CFPropertyList, PlistNodesConvertToCoreFoundationObjects) {
    __CFPlistNodePtr dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "AppName", plist_new_string("/Applications/\xC3\xA9.app"));
    plist_dict_set_item(dict.get(), "Flag", plist_new_bool(1));
    plist_dict_set_item(dict.get(), "Bytes", plist_new_data("\x00\x01", 2));
    auto plist = Own(__CFPropertyListCreateFromPlistNode(dict.get()));
    ASSERT_NE(plist.get(), nullptr);
    auto cfDict = static_cast<CFDictionaryRef>(plist.get());
    EXPECT_EQ(Text(static_cast<CFStringRef>(CFDictionaryGetValue(cfDict, CFSTR("AppName")))),
              "/Applications/\xC3\xA9.app");
    EXPECT_EQ(CFDictionaryGetValue(cfDict, CFSTR("Flag")), kCFBooleanTrue);
    EXPECT_EQ(CFDataGetLength(static_cast<CFDataRef>(CFDictionaryGetValue(cfDict, CFSTR("Bytes")))),
              2);
}

TEST(CFPropertyList, UnsupportedOrInvalidNodesGiveNull) {
    __CFPlistNodePtr date(plist_new_date(0, 0));
    __CFPlistNodePtr badText(plist_new_string("\xFF\xFE"));
    __CFPlistNodePtr array(plist_new_array());
    plist_array_append_item(array.get(), plist_new_string("fine"));
    plist_array_append_item(array.get(), plist_new_date(0, 0));
    EXPECT_EQ(__CFPropertyListCreateFromPlistNode(date.get()), nullptr);
    EXPECT_EQ(__CFPropertyListCreateFromPlistNode(badText.get()), nullptr);
    EXPECT_EQ(__CFPropertyListCreateFromPlistNode(array.get()), nullptr);
    EXPECT_EQ(__CFPropertyListCreateFromPlistNode(nullptr), nullptr);
}

TEST(CFPropertyList, MalformedDataGivesNullAndAReason) {
    for (std::string text : {std::string("not a property list"), std::string("bplist00\x01\x02"),
                             std::string(kHeader) + "<dict><key>a</key>"}) {
        auto data = Own(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                     static_cast<CFIndex>(text.size())));
        CFStringRef error = nullptr;
        CFPropertyListRef plist =
            CFPropertyListCreateFromXMLData(nullptr, data.get(), kCFPropertyListImmutable, &error);
        EXPECT_EQ(plist, nullptr) << text;
        EXPECT_NE(error, nullptr) << text;
        if (plist != nullptr)
            CFRelease(plist);
        if (error != nullptr)
            CFRelease(error);
    }
}

TEST(CFPropertyList, MutabilityOptionDecidesWhatMayChange) {
    std::string text = std::string(kHeader) +
                       "<dict><key>list</key><array><string>s</string></array></dict></plist>\n";
    auto frozen = Own(Parse(text, kCFPropertyListImmutable));
    auto containers = Own(Parse(text, kCFPropertyListMutableContainers));
    auto leaves = Own(Parse(text, kCFPropertyListMutableContainersAndLeaves));
    ASSERT_TRUE(frozen && containers && leaves);

    auto listOf = [](CFPropertyListRef plist) {
        return const_cast<CFMutableArrayRef>(static_cast<CFArrayRef>(
            CFDictionaryGetValue(static_cast<CFDictionaryRef>(plist), CFSTR("list"))));
    };
    testing::internal::CaptureStderr();
    CFArrayAppendValue(listOf(frozen.get()), CFSTR("t"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("immutable"), std::string::npos);
    EXPECT_EQ(CFArrayGetCount(listOf(frozen.get())), 1);
    CFArrayAppendValue(listOf(containers.get()), CFSTR("t"));
    EXPECT_EQ(CFArrayGetCount(listOf(containers.get())), 2);

    auto leaf = const_cast<CFMutableStringRef>(
        static_cast<CFStringRef>(CFArrayGetValueAtIndex(listOf(leaves.get()), 0)));
    CFStringAppendCString(leaf, "!", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(leaf), "s!");
}

TEST(CFPropertyList, DeepCopyIsEqualButSharesNoContainer) {
    auto sample = Own(NewSample());
    auto copy =
        Own(CFPropertyListCreateDeepCopy(nullptr, sample.get(), kCFPropertyListMutableContainers));
    ASSERT_NE(copy.get(), nullptr);
    EXPECT_TRUE(CFEqual(copy.get(), sample.get()));
    auto copiedList = const_cast<CFMutableArrayRef>(static_cast<CFArrayRef>(
        CFDictionaryGetValue(static_cast<CFDictionaryRef>(copy.get()), CFSTR("list"))));
    auto originalList =
        CFDictionaryGetValue(static_cast<CFDictionaryRef>(sample.get()), CFSTR("list"));
    EXPECT_NE(static_cast<const void*>(copiedList), originalList);
    CFArrayRemoveAllValues(copiedList);
    EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(originalList)), 4);
    EXPECT_FALSE(CFEqual(copy.get(), sample.get()));
}

TEST(CFPropertyList, OpenStepFormatHasNoNumbersOrBooleans) {
    auto number = Own(NewInt(1));
    EXPECT_TRUE(CFPropertyListIsValid(CFSTR("s"), kCFPropertyListOpenStepFormat));
    EXPECT_FALSE(CFPropertyListIsValid(number.get(), kCFPropertyListOpenStepFormat));
    EXPECT_TRUE(CFPropertyListIsValid(number.get(), kCFPropertyListBinaryFormat_v1_0));
    EXPECT_FALSE(CFPropertyListIsValid(kCFBooleanTrue, kCFPropertyListOpenStepFormat));
}
