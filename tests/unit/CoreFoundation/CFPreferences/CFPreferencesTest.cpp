// Reading and writing the current user's preference files in a scratch HOME.
#include "SysTestSupport.h"

#include <CoreFoundation/CoreFoundation.h>

#include <plist/plist.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace tvb::systest;

const char* kSampleBody = R"(<dict>
	<key>AppName</key>
	<string>/Applications/Backup Tool.app</string>
	<key>Count</key>
	<integer>-42</integer>
	<key>Big</key>
	<integer>9000000000</integer>
	<key>Ratio</key>
	<real>0.25</real>
	<key>Enabled</key>
	<true/>
	<key>Disabled</key>
	<false/>
	<key>Blob</key>
	<data>AAEC/w==</data>
	<key>List</key>
	<array>
		<string>one</string>
		<integer>2</integer>
	</array>
	<key>Nested</key>
	<dict>
		<key>Inner</key>
		<string>caf&#xE9; &amp; more</string>
	</dict>
</dict>)";

std::string ToUtf8(CFTypeRef value) {
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID())
        return "<not a string>";
    char buffer[1024];
    if (!CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer,
                            kCFStringEncodingUTF8))
        return "<unconvertible>";
    return buffer;
}

// Pending values outlive a test, so every test works in a domain named after itself.
class CFPreferencesTest : public ::testing::Test {
protected:
    CFPreferencesTest()
        : mDomainName(::testing::UnitTest::GetInstance()->current_test_info()->name()),
          mDomain(CFStringCreateWithCString(nullptr, mDomainName.c_str(), kCFStringEncodingUTF8)) {}
    ~CFPreferencesTest() override { CFRelease(mDomain); }

    std::string PrefsPath(const std::string& domain) {
        return mHome / ("Library/Preferences/" + domain + ".plist");
    }
    std::string PrefsPath() { return PrefsPath(mDomainName); }

    // The value as a new reference, released after the test.
    CFPropertyListRef Copy(const char* key, CFStringRef domain) {
        CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
        CFPropertyListRef value = CFPreferencesCopyAppValue(name, domain);
        CFRelease(name);
        if (value != nullptr)
            mOwned.push_back(value);
        return value;
    }
    CFPropertyListRef Copy(const char* key) { return Copy(key, mDomain); }

    void TearDown() override {
        for (CFTypeRef value : mOwned)
            CFRelease(value);
    }

    void ExpectSampleValues();

    std::string mDomainName;
    CFStringRef mDomain;
    ScratchDir mHome;
    ScopedEnv mHomeEnv{"HOME", mHome.path().c_str()};
    std::vector<CFTypeRef> mOwned;
};

void CFPreferencesTest::ExpectSampleValues() {
    CFPropertyListRef appName = Copy("AppName");
    EXPECT_EQ("/Applications/Backup Tool.app", ToUtf8(appName));

    CFPropertyListRef count = Copy("Count");
    ASSERT_NE(nullptr, count);
    ASSERT_EQ(CFNumberGetTypeID(), CFGetTypeID(count));
    SInt32 small = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(count), kCFNumberSInt32Type, &small));
    EXPECT_EQ(-42, small);

    CFPropertyListRef big = Copy("Big");
    ASSERT_NE(nullptr, big);
    SInt64 wide = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(big), kCFNumberSInt64Type, &wide));
    EXPECT_EQ(9000000000LL, wide);

    CFPropertyListRef ratio = Copy("Ratio");
    ASSERT_NE(nullptr, ratio);
    double real = 0;
    EXPECT_TRUE(CFNumberIsFloatType(static_cast<CFNumberRef>(ratio)));
    CFNumberGetValue(static_cast<CFNumberRef>(ratio), kCFNumberDoubleType, &real);
    EXPECT_DOUBLE_EQ(0.25, real);

    EXPECT_EQ(kCFBooleanTrue, Copy("Enabled"));
    EXPECT_EQ(kCFBooleanFalse, Copy("Disabled"));

    CFPropertyListRef blob = Copy("Blob");
    ASSERT_NE(nullptr, blob);
    ASSERT_EQ(CFDataGetTypeID(), CFGetTypeID(blob));
    ASSERT_EQ(4, CFDataGetLength(static_cast<CFDataRef>(blob)));
    const UInt8 expected[] = {0x00, 0x01, 0x02, 0xFF};
    EXPECT_EQ(0, std::memcmp(expected, CFDataGetBytePtr(static_cast<CFDataRef>(blob)), 4));

    CFPropertyListRef list = Copy("List");
    ASSERT_NE(nullptr, list);
    ASSERT_EQ(CFArrayGetTypeID(), CFGetTypeID(list));
    ASSERT_EQ(2, CFArrayGetCount(static_cast<CFArrayRef>(list)));
    EXPECT_EQ("one", ToUtf8(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(list), 0)));

    CFPropertyListRef nested = Copy("Nested");
    ASSERT_NE(nullptr, nested);
    ASSERT_EQ(CFDictionaryGetTypeID(), CFGetTypeID(nested));
    EXPECT_EQ("caf\xC3\xA9 & more",
              ToUtf8(CFDictionaryGetValue(static_cast<CFDictionaryRef>(nested), CFSTR("Inner"))));
}

TEST_F(CFPreferencesTest, ReadsEveryValueTypeFromAnXmlFile) {
    WriteFile(PrefsPath(), XmlPlist(kSampleBody));
    ExpectSampleValues();
}

TEST_F(CFPreferencesTest, ReadsEveryValueTypeFromABinaryFile) {
    std::string xml = XmlPlist(kSampleBody);
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    ASSERT_NE(nullptr, root);
    char* binary = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &binary, &length);
    plist_free(root);
    ASSERT_NE(nullptr, binary);
    std::string bytes(binary, length);
    plist_to_bin_free(binary);
    ASSERT_EQ(0, bytes.compare(0, 8, "bplist00"));

    WriteFile(PrefsPath(), bytes);
    ExpectSampleValues();
}

TEST_F(CFPreferencesTest, MissingKeyFileOrDomainGivesNull) {
    EXPECT_EQ(nullptr, Copy("AppName")); // no file yet
    WriteFile(PrefsPath(), XmlPlist(kSampleBody));
    EXPECT_EQ(nullptr, Copy("NoSuchKey"));
    EXPECT_EQ(nullptr, Copy("AppName", CFSTR("Other Domain")));
    EXPECT_EQ(nullptr, CFPreferencesCopyAppValue(nullptr, mDomain));
    EXPECT_EQ(nullptr, CFPreferencesCopyAppValue(CFSTR("AppName"), nullptr));
}

TEST_F(CFPreferencesTest, FallsBackToTheGlobalDomainButTheApplicationWins) {
    WriteFile(PrefsPath(".GlobalPreferences"),
              XmlPlist("<dict><key>Shared</key><string>global</string>"
                       "<key>AppName</key><string>global</string></dict>"));
    WriteFile(PrefsPath(), XmlPlist(kSampleBody));
    EXPECT_EQ("global", ToUtf8(Copy("Shared")));
    EXPECT_EQ("/Applications/Backup Tool.app", ToUtf8(Copy("AppName")));
    EXPECT_EQ("global", ToUtf8(Copy("Shared", kCFPreferencesAnyApplication)));
}

TEST_F(CFPreferencesTest, CurrentApplicationOfAPlainToolIsItsExecutableName) {
    // This test program lives outside any bundle, so its domain is its file name.
    std::string program = std::filesystem::read_symlink("/proc/self/exe").filename();
    WriteFile(PrefsPath(program), XmlPlist("<dict><key>Mine</key><string>tool</string></dict>"));
    EXPECT_EQ("tool", ToUtf8(Copy("Mine", kCFPreferencesCurrentApplication)));
}

TEST_F(CFPreferencesTest, DomainNamesCannotLeaveThePreferencesFolder) {
    WriteFile(mHome / "Library/secret.plist",
              XmlPlist("<dict><key>AppName</key><string>outside</string></dict>"));
    WriteFile(mHome / "Library/Preferences/sub/x.plist",
              XmlPlist("<dict><key>AppName</key><string>below</string></dict>"));
    EXPECT_EQ(nullptr, Copy("AppName", CFSTR("../secret")));
    EXPECT_EQ(nullptr, Copy("AppName", CFSTR("sub/x")));
    EXPECT_EQ(nullptr, Copy("AppName", CFSTR("")));
    EXPECT_EQ(nullptr, Copy("AppName", CFSTR("..")));

    CFPreferencesSetAppValue(CFSTR("AppName"), CFSTR("x"), CFSTR("../evil"));
    EXPECT_FALSE(CFPreferencesAppSynchronize(CFSTR("../evil")));
    EXPECT_FALSE(std::filesystem::exists(mHome / "Library/evil.plist"));
}

TEST_F(CFPreferencesTest, SetValueIsSeenAtOnceAndWrittenOnSynchronize) {
    CFPreferencesSetAppValue(CFSTR("AppName"), CFSTR("/Apps/New.app"), mDomain);
    EXPECT_EQ("/Apps/New.app", ToUtf8(Copy("AppName")));
    EXPECT_FALSE(std::filesystem::exists(PrefsPath()));

    ASSERT_TRUE(CFPreferencesAppSynchronize(mDomain));
    std::string written = ReadFile(PrefsPath());
    EXPECT_EQ(0, written.compare(0, 5, "<?xml")) << written;
    EXPECT_NE(std::string::npos, written.find("<string>/Apps/New.app</string>")) << written;

    // Read back from the file alone: a hand edit is now visible.
    WriteFile(PrefsPath(), XmlPlist("<dict><key>AppName</key><string>edited</string></dict>"));
    EXPECT_EQ("edited", ToUtf8(Copy("AppName")));
}

TEST_F(CFPreferencesTest, SynchronizeKeepsOtherKeysAndRemovesNullValues) {
    WriteFile(PrefsPath(), XmlPlist(kSampleBody));
    CFPreferencesSetAppValue(CFSTR("Count"), nullptr, mDomain);
    EXPECT_EQ(nullptr, Copy("Count")); // the pending removal hides the file's value
    int seven = 7;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberIntType, &seven);
    CFPreferencesSetAppValue(CFSTR("Added"), number, mDomain);
    CFRelease(number);
    ASSERT_TRUE(CFPreferencesAppSynchronize(mDomain));

    plist_t root = nullptr;
    std::string written = ReadFile(PrefsPath());
    plist_from_memory(written.data(), static_cast<uint32_t>(written.size()), &root);
    ASSERT_NE(nullptr, root);
    EXPECT_EQ(nullptr, plist_dict_get_item(root, "Count"));
    EXPECT_NE(nullptr, plist_dict_get_item(root, "AppName"));
    plist_t added = plist_dict_get_item(root, "Added");
    ASSERT_NE(nullptr, added);
    uint64_t value = 0;
    plist_get_uint_val(added, &value);
    EXPECT_EQ(7u, value);
    plist_free(root);

    // No temporary file is left beside it.
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(mHome / "Library/Preferences")) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(1, files);
}

TEST_F(CFPreferencesTest, SetValueTakesASnapshotOfAMutableValue) {
    CFMutableArrayRef list = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(list, CFSTR("first"));
    CFPreferencesSetAppValue(CFSTR("List"), list, mDomain);
    CFArrayAppendValue(list, CFSTR("later"));
    CFRelease(list);
    CFPropertyListRef stored = Copy("List");
    ASSERT_NE(nullptr, stored);
    EXPECT_EQ(1, CFArrayGetCount(static_cast<CFArrayRef>(stored)));
    CFPreferencesSetAppValue(CFSTR("List"), nullptr, mDomain);
}

TEST_F(CFPreferencesTest, SynchronizeFailureKeepsThePendingValue) {
    // Library/Preferences is a file, so nothing can be written below it.
    WriteFile(mHome / "Library/Preferences", "not a folder");
    CFPreferencesSetAppValue(CFSTR("AppName"), CFSTR("pending"), mDomain);
    EXPECT_FALSE(CFPreferencesAppSynchronize(mDomain));
    EXPECT_EQ("pending", ToUtf8(Copy("AppName")));
    CFPreferencesSetAppValue(CFSTR("AppName"), nullptr, mDomain);
}

TEST_F(CFPreferencesTest, SynchronizeWritesOnceADamagedFileIsRemoved) {
    // The damaged file may hold what its owner wants back, so it is left for them to deal with.
    WriteFile(PrefsPath(), "garbage, not a property list");
    CFPreferencesSetAppValue(CFSTR("AppName"), CFSTR("fresh"), mDomain);
    EXPECT_FALSE(CFPreferencesAppSynchronize(mDomain));
    EXPECT_EQ("garbage, not a property list", ReadFile(PrefsPath()));
    std::filesystem::remove(PrefsPath());
    ASSERT_TRUE(CFPreferencesAppSynchronize(mDomain));
    EXPECT_EQ("fresh", ToUtf8(Copy("AppName")));
    EXPECT_NE(std::string::npos, ReadFile(PrefsPath()).find("fresh"));
}

} // namespace
