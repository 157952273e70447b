// Bundles made by hand in a scratch folder, and the one the build makes with tvb_add_app_bundle.
#include "SysTestSupport.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace tvb::systest;

CFURLRef DirectoryURL(const std::string& path) {
    return CFURLCreateFromFileSystemRepresentation(nullptr,
                                                   reinterpret_cast<const UInt8*>(path.data()),
                                                   static_cast<CFIndex>(path.size()), true);
}

std::string PathOf(CFURLRef url) {
    UInt8 buffer[4096];
    if (url == nullptr || !CFURLGetFileSystemRepresentation(url, true, buffer, sizeof buffer))
        return "<none>";
    return reinterpret_cast<const char*>(buffer);
}

std::string Utf8(CFTypeRef value) {
    char buffer[1024];
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID() ||
        !CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer,
                            kCFStringEncodingUTF8))
        return "<none>";
    return buffer;
}

class CFBundleTest : public ::testing::Test {
protected:
    // A bundle object for path, released after the test; NULL when CFBundleCreate refuses it.
    CFBundleRef Open(const std::string& path) {
        CFURLRef url = DirectoryURL(path);
        CFBundleRef bundle = CFBundleCreate(nullptr, url);
        CFRelease(url);
        if (bundle != nullptr)
            mBundles.push_back(bundle);
        return bundle;
    }
    void TearDown() override {
        for (CFBundleRef bundle : mBundles)
            CFRelease(bundle);
    }

    std::pair<UInt32, UInt32> PackageInfo(const std::string& path) {
        CFBundleRef bundle = Open(path);
        EXPECT_NE(nullptr, bundle) << path;
        UInt32 type = 0, creator = 0;
        CFBundleGetPackageInfo(bundle, &type, &creator);
        return {type, creator};
    }

    ScratchDir mDir;
    std::vector<CFBundleRef> mBundles;
};

TEST_F(CFBundleTest, CreateNeedsAnExistingDirectory) {
    EXPECT_EQ(nullptr, Open(mDir / "Missing.app"));
    WriteFile(mDir / "File.app", "not a folder");
    EXPECT_EQ(nullptr, Open(mDir / "File.app"));
    EXPECT_EQ(nullptr, CFBundleCreate(nullptr, nullptr));
    EXPECT_EQ(nullptr, CFBundleCreate(
                           nullptr, static_cast<CFURLRef>(static_cast<CFTypeRef>(CFSTR("/tmp")))));

    CFBundleRef bundle = Open(MakeBundle(mDir / "Plain.app", {}));
    ASSERT_NE(nullptr, bundle);
    EXPECT_EQ(CFBundleGetTypeID(), CFGetTypeID(bundle));
    EXPECT_EQ(1, CFGetRetainCount(bundle));
    // A folder without Info.plist is a bundle with an empty info dictionary.
    ASSERT_NE(nullptr, CFBundleGetInfoDictionary(bundle));
    EXPECT_EQ(0, CFDictionaryGetCount(CFBundleGetInfoDictionary(bundle)));
    EXPECT_EQ(nullptr, CFBundleGetIdentifier(bundle));

    CFURLRef url = CFBundleCopyBundleURL(bundle);
    EXPECT_EQ(mDir / "Plain.app", PathOf(url));
    EXPECT_TRUE(CFURLHasDirectoryPath(url));
    CFRelease(url);
}

TEST_F(CFBundleTest, PackageInfoComesFromInfoPlistBeforePkgInfo) {
    std::string path =
        MakeBundle(mDir / "Both.app",
                   {InfoPlist({{"CFBundlePackageType", "APPL"}, {"CFBundleSignature", "TvPl"}}),
                    std::string("FMWKxxxx"), std::nullopt, ""});
    auto [type, creator] = PackageInfo(path);
    EXPECT_EQ(FourCC("APPL"), type);
    EXPECT_EQ(0x5476506Cu, creator); // 'TvPl', most significant byte first
}

TEST_F(CFBundleTest, PackageInfoFallsBackToPkgInfo) {
    auto [type, creator] = PackageInfo(
        MakeBundle(mDir / "Old.app", {std::nullopt, std::string("APPLabcd"), std::nullopt, ""}));
    EXPECT_EQ(FourCC("APPL"), type);
    EXPECT_EQ(FourCC("abcd"), creator);

    // Each code falls back on its own: a signature that is not four characters, or not a string.
    std::string mixed = MakeBundle(
        mDir / "Mixed.app", {XmlPlist("<dict><key>CFBundlePackageType</key><string>APPL</string>"
                                      "<key>CFBundleSignature</key><integer>1234</integer></dict>"),
                             std::string("XXXXwxyz"), std::nullopt, ""});
    std::tie(type, creator) = PackageInfo(mixed);
    EXPECT_EQ(FourCC("APPL"), type);
    EXPECT_EQ(FourCC("wxyz"), creator);

    std::string longCode =
        MakeBundle(mDir / "Long.app",
                   {InfoPlist({{"CFBundlePackageType", "APPLE"}, {"CFBundleSignature", "abc"}}),
                    std::string("BNDLqrst"), std::nullopt, ""});
    std::tie(type, creator) = PackageInfo(longCode);
    EXPECT_EQ(FourCC("BNDL"), type);
    EXPECT_EQ(FourCC("qrst"), creator);
}

TEST_F(CFBundleTest, PackageInfoWithoutAnySourceIsBundleAndQuestionMarks) {
    auto [type, creator] = PackageInfo(MakeBundle(mDir / "Bare.app", {}));
    EXPECT_EQ(FourCC("BNDL"), type);
    EXPECT_EQ(0x3F3F3F3Fu, creator);

    // A PkgInfo too short for a creator, and an Info.plist with no codes.
    std::tie(type, creator) =
        PackageInfo(MakeBundle(mDir / "Short.app", {InfoPlist({{"CFBundleName", "Short"}}),
                                                    std::string("APPL??"), std::nullopt, ""}));
    EXPECT_EQ(FourCC("APPL"), type);
    EXPECT_EQ(FourCC("????"), creator);
}

TEST_F(CFBundleTest, InfoDictionaryKeepsWhatConvertsAndDropsTheRest) {
    CFBundleRef bundle = Open(
        MakeBundle(mDir / "Dated.app",
                   {XmlPlist("<dict><key>CFBundleIdentifier</key><string>local.test.dated</string>"
                             "<key>Built</key><date>2008-01-01T00:00:00Z</date>"
                             "<key>CFBundleVersion</key><string>1.2</string></dict>"),
                    std::nullopt, std::nullopt, ""}));
    ASSERT_NE(nullptr, bundle);
    EXPECT_EQ("local.test.dated", Utf8(CFBundleGetIdentifier(bundle)));
    EXPECT_EQ("1.2", Utf8(CFBundleGetValueForInfoDictionaryKey(bundle, kCFBundleVersionKey)));
    EXPECT_EQ(nullptr, CFBundleGetValueForInfoDictionaryKey(bundle, CFSTR("Built")));
    EXPECT_EQ(nullptr, CFBundleGetValueForInfoDictionaryKey(bundle, CFSTR("Missing")));
}

TEST_F(CFBundleTest, CorruptInfoPlistLeavesAnEmptyDictionaryAndPkgInfoStillCounts) {
    CFBundleRef bundle = Open(
        MakeBundle(mDir / "Corrupt.app",
                   {std::string("<?xml version=\"1.0\"?><plist><dict><key>CFBundleSignature</key>"),
                    std::string("APPLpkgi"), std::nullopt, ""}));
    ASSERT_NE(nullptr, bundle);
    EXPECT_EQ(0, CFDictionaryGetCount(CFBundleGetInfoDictionary(bundle)));
    UInt32 creator = 0;
    CFBundleGetPackageInfo(bundle, nullptr, &creator);
    EXPECT_EQ(FourCC("pkgi"), creator);

    // A non-dictionary root is no better.
    WriteFile(mDir / "Corrupt.app/Contents/Info.plist",
              XmlPlist("<array><string>x</string></array>"));
    CFBundleRef again = Open(mDir / "Corrupt.app");
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(0, CFDictionaryGetCount(CFBundleGetInfoDictionary(again)));
}

TEST_F(CFBundleTest, ExecutableURLFollowsCFBundleExecutable) {
    std::string path =
        MakeBundle(mDir / "Named.app", {InfoPlist({{"CFBundleExecutable", "runner"}}), std::nullopt,
                                        std::string("/bin/true"), "runner"});
    CFURLRef url = CFBundleCopyExecutableURL(Open(path));
    EXPECT_EQ(path + "/Contents/MacOS/runner", PathOf(url));
    if (url != nullptr) {
        EXPECT_FALSE(CFURLHasDirectoryPath(url));
        CFRelease(url);
    }

    // Without the key the bundle's own name is the executable's.
    std::string byName = MakeBundle(
        mDir / "ByName.app", {std::nullopt, std::nullopt, std::string("/bin/true"), "ByName"});
    url = CFBundleCopyExecutableURL(Open(byName));
    EXPECT_EQ(byName + "/Contents/MacOS/ByName", PathOf(url));
    if (url != nullptr)
        CFRelease(url);
}

TEST_F(CFBundleTest, ExecutableURLIsNullWhenThereIsNoSuchFileInContentsMacOS) {
    std::string missing =
        MakeBundle(mDir / "Missing.app",
                   {InfoPlist({{"CFBundleExecutable", "gone"}}), std::nullopt, std::nullopt, ""});
    EXPECT_EQ(nullptr, CFBundleCopyExecutableURL(Open(missing)));

    // A name that climbs out of Contents/MacOS is refused even though its target exists.
    WriteFile(mDir / "outside", "#!/bin/sh\n", 0755);
    std::string escaping =
        MakeBundle(mDir / "Escape.app", {InfoPlist({{"CFBundleExecutable", "../../../outside"}}),
                                         std::nullopt, std::nullopt, ""});
    EXPECT_EQ(nullptr, CFBundleCopyExecutableURL(Open(escaping)));

    std::string folder =
        MakeBundle(mDir / "Folder.app",
                   {InfoPlist({{"CFBundleExecutable", "dir"}}), std::nullopt, std::nullopt, ""});
    std::filesystem::create_directories(folder + "/Contents/MacOS/dir");
    EXPECT_EQ(nullptr, CFBundleCopyExecutableURL(Open(folder)));
}

TEST_F(CFBundleTest, BuiltFixtureBundleCarriesWhatTheBuildWrote) {
    EXPECT_EQ("APPLTvFx", ReadFile(FixtureBundle() + "/Contents/PkgInfo"));
    CFBundleRef bundle = Open(FixtureBundle());
    ASSERT_NE(nullptr, bundle);
    EXPECT_EQ("local.tvb.fixture", Utf8(CFBundleGetIdentifier(bundle)));
    EXPECT_EQ("TvbFixture", Utf8(CFBundleGetValueForInfoDictionaryKey(bundle, kCFBundleNameKey)));
    CFURLRef url = CFBundleCopyExecutableURL(bundle);
    EXPECT_EQ(FixtureBundle() + "/Contents/MacOS/tvb_fixture_app", PathOf(url));
    if (url != nullptr)
        CFRelease(url);

    // Info.plist alone gives the codes: without PkgInfo nothing changes.
    ScratchDir copy;
    std::filesystem::copy(FixtureBundle() + "/Contents/Info.plist", copy / "Info.plist");
    std::string infoOnly = MakeBundle(
        mDir / "InfoOnly.app", {ReadFile(copy / "Info.plist"), std::nullopt, std::nullopt, ""});
    auto [type, creator] = PackageInfo(infoOnly);
    EXPECT_EQ(FourCC("APPL"), type);
    EXPECT_EQ(FourCC("TvFx"), creator);
}

TEST_F(CFBundleTest, MainBundleOfAPlainToolIsItsFolder) {
    CFBundleRef main = CFBundleGetMainBundle();
    ASSERT_NE(nullptr, main);
    EXPECT_EQ(main, CFBundleGetMainBundle());
    char exe[4096];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(length, 0);
    std::string folder(exe, static_cast<size_t>(length));
    folder.erase(folder.rfind('/'));
    CFURLRef url = CFBundleCopyBundleURL(main);
    EXPECT_EQ(folder, PathOf(url));
    CFRelease(url);
    EXPECT_EQ(nullptr, CFBundleGetIdentifier(main));
}

} // namespace
