#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

std::string Unescaped(const char* text, CFStringRef leaveEscaped) {
    auto original = Own(NewString(text));
    auto result =
        Own(CFURLCreateStringByReplacingPercentEscapes(nullptr, original.get(), leaveEscaped));
    return Text(result.get());
}

std::string Escaped(const char* text, CFStringRef leaveUnescaped = nullptr,
                    CFStringRef escapeToo = nullptr,
                    CFStringEncoding encoding = kCFStringEncodingUTF8) {
    auto original = Own(NewString(text));
    auto result = Own(CFURLCreateStringByAddingPercentEscapes(nullptr, original.get(),
                                                              leaveUnescaped, escapeToo, encoding));
    return Text(result.get());
}

std::string FileSystemPath(CFURLRef url) {
    auto path = Own(CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle));
    return Text(path.get());
}

} // namespace

TEST(CFURL, FilePathBecomesAnEscapedFileURL) {
    auto path = Own(NewString("/tmp/For Button Manage/Launch#1;x?y%"));
    auto url = Own(CFURLCreateWithFileSystemPath(nullptr, path.get(), kCFURLPOSIXPathStyle, false));
    EXPECT_EQ(Text(CFURLGetString(url.get())),
              "file:///tmp/For%20Button%20Manage/Launch%231%3Bx%3Fy%25");
    EXPECT_FALSE(CFURLHasDirectoryPath(url.get()));
    EXPECT_EQ(FileSystemPath(url.get()), "/tmp/For Button Manage/Launch#1;x?y%");
}

TEST(CFURL, DirectoryURLsEndInASlashAndFilesDoNot) {
    auto dir = Own(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Users/me/Documents"),
                                                 kCFURLPOSIXPathStyle, true));
    auto file = Own(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Users/me/notes/"),
                                                  kCFURLPOSIXPathStyle, false));
    auto root = Own(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/"), kCFURLPOSIXPathStyle, true));
    EXPECT_EQ(Text(CFURLGetString(dir.get())), "file:///Users/me/Documents/");
    EXPECT_TRUE(CFURLHasDirectoryPath(dir.get()));
    EXPECT_EQ(FileSystemPath(dir.get()), "/Users/me/Documents");
    EXPECT_EQ(Text(CFURLGetString(file.get())), "file:///Users/me/notes");
    EXPECT_EQ(Text(CFURLGetString(root.get())), "file:///");
    EXPECT_EQ(FileSystemPath(root.get()), "/");
}

TEST(CFURL, NonASCIIPathsRoundTripThroughUTF8Escapes) {
    auto path = Own(NewString("/Volumes/\xC3\xA9t\xC3\xA9/\xE2\x82\xAC"));
    auto url = Own(CFURLCreateWithFileSystemPath(nullptr, path.get(), kCFURLPOSIXPathStyle, false));
    EXPECT_EQ(Text(CFURLGetString(url.get())), "file:///Volumes/%C3%A9t%C3%A9/%E2%82%AC");
    UInt8 buffer[PATH_MAX];
    ASSERT_TRUE(CFURLGetFileSystemRepresentation(url.get(), true, buffer, sizeof buffer));
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "/Volumes/\xC3\xA9t\xC3\xA9/\xE2\x82\xAC");
    auto back = Own(CFURLCreateFromFileSystemRepresentation(
        nullptr, buffer, static_cast<CFIndex>(strlen(reinterpret_cast<char*>(buffer))), false));
    EXPECT_TRUE(CFEqual(back.get(), url.get()));
}

TEST(CFURL, FileSystemRepresentationRefusesATooSmallBuffer) {
    auto url =
        Own(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/abc"), kCFURLPOSIXPathStyle, false));
    UInt8 buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(url.get(), true, buffer, 4));
    EXPECT_EQ(buffer[4], 'x');
    EXPECT_TRUE(CFURLGetFileSystemRepresentation(url.get(), true, buffer, 5));
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "/abc");
}

// File names are bytes: one in another encoding must still name its own file.
TEST(CFURL, FileSystemRepresentationGivesBackBytesThatAreNotUTF8) {
    const UInt8 latin1[] = {'/', 't', 'm', 'p', '/', 'c', 'a', 'f', 0xE9, '/', 0xFF, 'x'};
    auto url = Own(CFURLCreateFromFileSystemRepresentation(nullptr, latin1, sizeof latin1, false));
    ASSERT_NE(url.get(), nullptr);
    EXPECT_EQ(Text(CFURLGetString(url.get())), "file:///tmp/caf%E9/%FFx");
    UInt8 buffer[64];
    ASSERT_TRUE(CFURLGetFileSystemRepresentation(url.get(), true, buffer, sizeof buffer));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)),
              std::string(reinterpret_cast<const char*>(latin1), sizeof latin1));
    // No string can hold the path, so there is none rather than a wrong one.
    EXPECT_EQ(CFURLCopyFileSystemPath(url.get(), kCFURLPOSIXPathStyle), nullptr);
}

TEST(CFURL, EscapedNulNamesNoFile) {
    auto url = Own(CFURLCreateWithString(nullptr, CFSTR("file:///tmp/a%00b"), nullptr));
    ASSERT_NE(url.get(), nullptr);
    UInt8 buffer[64];
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(url.get(), true, buffer, sizeof buffer));
    EXPECT_EQ(FileSystemPath(url.get()), "<null>");
    const UniChar withNul[] = {'/', 'a', 0, 'b'};
    auto path = Own(CFStringCreateWithCharacters(nullptr, withNul, 4));
    auto fromPath =
        Own(CFURLCreateWithFileSystemPath(nullptr, path.get(), kCFURLPOSIXPathStyle, false));
    ASSERT_NE(fromPath.get(), nullptr);
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(fromPath.get(), true, buffer, sizeof buffer));
}

TEST(CFURL, RelativePathsAreRelativeToTheCurrentDirectory) {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    auto url = Own(
        CFURLCreateWithFileSystemPath(nullptr, CFSTR("sub dir/file"), kCFURLPOSIXPathStyle, false));
    EXPECT_EQ(Text(CFURLGetString(url.get())), "sub%20dir/file");
    ASSERT_NE(CFURLGetBaseURL(url.get()), nullptr);
    EXPECT_EQ(FileSystemPath(url.get()), "sub dir/file");
    UInt8 buffer[PATH_MAX];
    ASSERT_TRUE(CFURLGetFileSystemRepresentation(url.get(), true, buffer, sizeof buffer));
    std::string expected = std::string(cwd) + (std::string(cwd) == "/" ? "" : "/") + "sub dir/file";
    EXPECT_EQ(reinterpret_cast<char*>(buffer), expected);

    // A colon in the first name must not turn that name into a scheme.
    auto colon =
        Own(CFURLCreateWithFileSystemPath(nullptr, CFSTR("a:b/c:d"), kCFURLPOSIXPathStyle, false));
    EXPECT_EQ(Text(CFURLGetString(colon.get())), "a%3Ab/c:d");
    EXPECT_EQ(FileSystemPath(colon.get()), "a:b/c:d");
    ASSERT_TRUE(CFURLGetFileSystemRepresentation(colon.get(), true, buffer, sizeof buffer));
    EXPECT_EQ(reinterpret_cast<char*>(buffer),
              std::string(cwd) + (std::string(cwd) == "/" ? "" : "/") + "a:b/c:d");
}

TEST(CFURL, CreateWithStringRefusesIllegalCharactersAndBadEscapes) {
    EXPECT_EQ(CFURLCreateWithString(nullptr, CFSTR("file:///a b"), nullptr), nullptr);
    EXPECT_EQ(CFURLCreateWithString(nullptr, CFSTR("file:///a%2"), nullptr), nullptr);
    EXPECT_EQ(CFURLCreateWithString(nullptr, CFSTR("file:///a%zz"), nullptr), nullptr);
    EXPECT_EQ(CFURLCreateWithString(nullptr, CFSTR("http://h/\xC3\xA9"), nullptr), nullptr);
    auto url =
        Own(CFURLCreateWithString(nullptr, CFSTR("http://host:80/p/a%20t?q=1#frag"), nullptr));
    ASSERT_NE(url.get(), nullptr);
    auto scheme = Own(CFURLCopyScheme(url.get()));
    auto path = Own(CFURLCopyPath(url.get()));
    EXPECT_EQ(Text(scheme.get()), "http");
    EXPECT_EQ(Text(path.get()), "/p/a%20t");
    EXPECT_EQ(FileSystemPath(url.get()), "/p/a t");
}

TEST(CFURL, RelativeURLsResolveAgainstTheirBase) {
    auto base = Own(CFURLCreateWithString(nullptr, CFSTR("http://a/b/c/d;p?q"), nullptr));
    struct Case {
        CFStringRef relative;
        const char* absolute;
    } cases[] = {
        {CFSTR("g"), "http://a/b/c/g"},
        {CFSTR("./g/"), "http://a/b/c/g/"},
        {CFSTR("/g"), "http://a/g"},
        {CFSTR("//g"), "http://g"},
        {CFSTR("?y"), "http://a/b/c/d;p?y"},
        {CFSTR("#s"), "http://a/b/c/d;p?q#s"},
        {CFSTR("../g"), "http://a/b/g"},
        {CFSTR("../../../g"), "http://a/g"},
        {CFSTR("g/./h/../i"), "http://a/b/c/g/i"},
        {CFSTR("ftp://x/y"), "ftp://x/y"},
    };
    for (const auto& c : cases) {
        auto relative = Own(CFURLCreateWithString(nullptr, c.relative, base.get()));
        ASSERT_NE(relative.get(), nullptr) << c.absolute;
        auto absolute = Own(CFURLCopyAbsoluteURL(relative.get()));
        EXPECT_EQ(Text(CFURLGetString(absolute.get())), c.absolute);
        EXPECT_EQ(CFURLGetBaseURL(absolute.get()), nullptr);
    }
}

TEST(CFURL, PathComponentsAreAppendedEscapedAndDeleted) {
    auto dir = Own(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Users/me/Documents"),
                                                 kCFURLPOSIXPathStyle, true));
    auto folder = Own(CFURLCreateCopyAppendingPathComponent(nullptr, dir.get(),
                                                            CFSTR("For Button Manage"), true));
    auto file = Own(
        CFURLCreateCopyAppendingPathComponent(nullptr, folder.get(), CFSTR("LaunchBackup"), false));
    EXPECT_EQ(Text(CFURLGetString(file.get())),
              "file:///Users/me/Documents/For%20Button%20Manage/LaunchBackup");
    auto name = Own(CFURLCopyLastPathComponent(folder.get()));
    EXPECT_EQ(Text(name.get()), "For Button Manage");
    auto slashed = Own(CFURLCreateWithString(nullptr, CFSTR("file:///tmp/a%2Fb"), nullptr));
    auto slashedName = Own(CFURLCopyLastPathComponent(slashed.get()));
    EXPECT_EQ(Text(slashedName.get()), "a/b") << "an escaped slash is part of the name";
    auto parent = Own(CFURLCreateCopyDeletingLastPathComponent(nullptr, file.get()));
    EXPECT_TRUE(CFEqual(parent.get(), folder.get()));
}

TEST(CFURL, ReplacingEscapesDecodesUTF8Sequences) {
    EXPECT_EQ(Unescaped("a%20b", CFSTR("")), "a b");
    EXPECT_EQ(Unescaped("%e2%82%ac%C3%A9", CFSTR("")), "\xE2\x82\xAC\xC3\xA9");
    EXPECT_EQ(Unescaped("no escapes", CFSTR("")), "no escapes");
    auto emoji = Own(NewString("%F0%9F%98%80"));
    auto decoded = Own(CFURLCreateStringByReplacingPercentEscapes(nullptr, emoji.get(), CFSTR("")));
    ASSERT_NE(decoded.get(), nullptr);
    EXPECT_EQ(CFStringGetLength(decoded.get()), 2); // one surrogate pair
}

TEST(CFURL, ReplacingEscapesLeavesTheListedCharactersEscaped) {
    EXPECT_EQ(Unescaped("a%2Fb%20c", CFSTR("/")), "a%2Fb c");
    // NULL replaces nothing, and does not even look at the escapes.
    EXPECT_EQ(Unescaped("a%20b%", nullptr), "a%20b%");
}

TEST(CFURL, ReplacingEscapesFailsOnMalformedOrNonUTF8Escapes) {
    const char* bad[] = {"%",        "abc%2",  "%ZZ",       "%2G",       "%C3",
                         "%C3%28",   "%FF",    "%C0%80",    "%ED%A0%80", "%F4%90%80%80",
                         "ok%E2%82", "%80abc", "%E2%82%AC%"};
    for (const char* text : bad)
        EXPECT_EQ(Unescaped(text, CFSTR("")), "<null>") << text;
}

TEST(CFURL, AddingEscapesEscapesWhatAURLMayNotHold) {
    EXPECT_EQ(Escaped("a b%c\"<>\\^`{|}"), "a%20b%25c%22%3C%3E%5C%5E%60%7B%7C%7D");
    EXPECT_EQ(Escaped("AZaz09-_.!~*'();/?:@&=+$,#[]"), "AZaz09-_.!~*'();/?:@&=+$,#[]");
    EXPECT_EQ(Escaped("\xC3\xA9\x7F\t"), "%C3%A9%7F%09");
    EXPECT_EQ(Escaped("\xF0\x9F\x98\x80"), "%F0%9F%98%80");
}

TEST(CFURL, AddingEscapesHonoursBothCharacterLists) {
    EXPECT_EQ(Escaped("a b/c?d", nullptr, CFSTR("/?")), "a%20b%2Fc%3Fd");
    EXPECT_EQ(Escaped("a b/c", CFSTR(" "), nullptr), "a b/c");
}

TEST(CFURL, AddingEscapesFailsWhenTheEncodingCannotHoldACharacter) {
    EXPECT_EQ(Escaped("caf\xC3\xA9", nullptr, nullptr, kCFStringEncodingASCII), "<null>");
    EXPECT_EQ(Escaped("caf\xC3\xA9", nullptr, nullptr, kCFStringEncodingISOLatin1), "caf%E9");
}

TEST(CFURL, EscapingThenReplacingRestoresTheOriginal) {
    std::string all;
    for (int c = 1; c < 128; ++c)
        all += static_cast<char>(c);
    all += "\xC3\xA9\xE2\x82\xAC";
    std::string escaped = Escaped(all.c_str());
    EXPECT_EQ(escaped.find(' '), std::string::npos);
    EXPECT_EQ(Unescaped(escaped.c_str(), CFSTR("")), all);
}
