// Preference files nobody should have to trust: every one gives NULL, none crashes or hangs.
#include "BinaryPlistBuilder.h"
#include "SysTestSupport.h"

#include <CoreFoundation/CoreFoundation.h>

#include <plist/plist.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tvb::systest;

const std::string kValidXml =
    XmlPlist("<dict><key>AppName</key><string>/Applications/Tool.app</string>"
             "<key>Other</key><array><integer>1</integer><string>two</string></array></dict>");

std::string ToBinary(const std::string& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    char* binary = nullptr;
    uint32_t length = 0;
    if (root != nullptr)
        plist_to_bin(root, &binary, &length);
    plist_free(root);
    std::string bytes = binary ? std::string(binary, length) : std::string();
    plist_to_bin_free(binary);
    return bytes;
}

// {"AppName": <value>} where value is made by the caller.
template <typename MakeValue>
std::string DictWithAppName(BinaryBuilder& builder, MakeValue makeValue) {
    uint64_t key = builder.String("AppName");
    uint64_t value = makeValue(builder);
    return builder.Build(builder.Dict({key}, {value}));
}

class CFPreferencesBadInputTest : public ::testing::Test {
protected:
    std::string Path() { return mHome / "Library/Preferences/Bad Domain.plist"; }

    // Whether the value under AppName came back (and is a string).
    bool ReadsAppName() {
        // A read that blocks (on a FIFO, say) must fail the test, not hang it.
        alarm(30);
        CFPropertyListRef value = CFPreferencesCopyAppValue(CFSTR("AppName"), CFSTR("Bad Domain"));
        alarm(0);
        if (value == nullptr)
            return false;
        bool isString = CFGetTypeID(value) == CFStringGetTypeID();
        CFRelease(value);
        EXPECT_TRUE(isString);
        return true;
    }

    ScratchDir mHome;
    ScopedEnv mHomeEnv{"HOME", mHome.path().c_str()};
};

TEST_F(CFPreferencesBadInputTest, ValidFilesAreReadSoTheOtherTestsMeanSomething) {
    WriteFile(Path(), kValidXml);
    EXPECT_TRUE(ReadsAppName());
    WriteFile(Path(), ToBinary(kValidXml));
    EXPECT_TRUE(ReadsAppName());
    BinaryBuilder builder;
    WriteFile(Path(), DictWithAppName(builder, [](BinaryBuilder& b) { return b.String("x"); }));
    EXPECT_TRUE(ReadsAppName());
}

TEST_F(CFPreferencesBadInputTest, EmptyGarbageAndNonDictionaryFilesGiveNull) {
    for (const std::string& contents :
         {std::string(), std::string("\0\0\0\0", 4), std::string("not a property list"),
          std::string("bplist00"), std::string("<?xml version=\"1.0\"?><plist><dict>"),
          XmlPlist("<array><string>AppName</string></array>"),
          XmlPlist("<string>AppName</string>")}) {
        WriteFile(Path(), contents);
        EXPECT_FALSE(ReadsAppName()) << contents;
    }
}

TEST_F(CFPreferencesBadInputTest, EveryTruncationOfAValidFileGivesNull) {
    for (const std::string& whole : {kValidXml, ToBinary(kValidXml)}) {
        ASSERT_FALSE(whole.empty());
        for (size_t length = 0; length < whole.size(); ++length) {
            WriteFile(Path(), whole.substr(0, length));
            // A cut inside trailing white space still leaves a complete document.
            if (whole.find_first_not_of(" \n\t", length) == std::string::npos)
                continue;
            EXPECT_FALSE(ReadsAppName()) << "cut at " << length << " of " << whole.size();
        }
    }
}

TEST_F(CFPreferencesBadInputTest, CorruptedBytesNeverCrash) {
    // Whatever comes back, the process survives every flipped byte (ASan watches the reads).
    std::mt19937 random(20240607);
    for (const std::string& whole : {kValidXml, ToBinary(kValidXml)}) {
        for (int round = 0; round < 300; ++round) {
            std::string damaged = whole;
            for (int flips = 0; flips < 3; ++flips)
                damaged[random() % damaged.size()] = static_cast<char>(random() & 0xFF);
            WriteFile(Path(), damaged);
            ReadsAppName();
        }
    }
}

TEST_F(CFPreferencesBadInputTest, PathsThatAreNotRegularFilesGiveNull) {
    std::filesystem::create_directories(Path());
    EXPECT_FALSE(ReadsAppName());
    std::filesystem::remove(Path());

    // Opening a FIFO for reading would wait for a writer for ever.
    ASSERT_EQ(0, mkfifo(Path().c_str(), 0600));
    EXPECT_FALSE(ReadsAppName());
    std::filesystem::remove(Path());

    WriteFile(mHome / "target.plist", kValidXml);
    std::filesystem::create_symlink(mHome / "missing.plist", Path());
    EXPECT_FALSE(ReadsAppName());
}

TEST_F(CFPreferencesBadInputTest, FilesOverEightMebibytesGiveNull) {
    // White space inside the document keeps it valid, so only the size can refuse it.
    std::string body = "<dict><key>AppName</key><string>/x</string></dict>";
    WriteFile(Path(), XmlPlist(body + std::string(1u << 20, ' ')));
    EXPECT_TRUE(ReadsAppName());
    WriteFile(Path(), XmlPlist(body + std::string(9u << 20, ' ')));
    EXPECT_FALSE(ReadsAppName());
}

TEST_F(CFPreferencesBadInputTest, UnreadableFileGivesNull) {
    WriteFile(Path(), kValidXml, 0000);
    if (geteuid() != 0) {
        EXPECT_FALSE(ReadsAppName());
        return;
    }
    // Root reads anything, so the read is made by an unprivileged child.
    ASSERT_EQ(0, chmod(mHome.path().c_str(), 0755));
    ASSERT_EQ(0, chmod((mHome / "Library").c_str(), 0755));
    ASSERT_EQ(0, chmod((mHome / "Library/Preferences").c_str(), 0755));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        CFPropertyListRef value = CFPreferencesCopyAppValue(CFSTR("AppName"), CFSTR("Bad Domain"));
        _exit(value == nullptr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));

    // The same file made readable is read by the same kind of child.
    ASSERT_EQ(0, chmod(Path().c_str(), 0644));
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        CFPropertyListRef value = CFPreferencesCopyAppValue(CFSTR("AppName"), CFSTR("Bad Domain"));
        _exit(value != nullptr ? 0 : 1);
    }
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST_F(CFPreferencesBadInputTest, InvalidUtf8StringIsNotReturnedButOtherKeysAre) {
    WriteFile(Path(), XmlPlist("<dict><key>AppName</key><string>bad \xFF\xFE bytes</string>"
                               "<key>Good</key><string>fine</string></dict>"));
    EXPECT_FALSE(ReadsAppName());
    CFPropertyListRef good = CFPreferencesCopyAppValue(CFSTR("Good"), CFSTR("Bad Domain"));
    ASSERT_NE(nullptr, good);
    CFRelease(good);
}

TEST_F(CFPreferencesBadInputTest, DeepXmlNestingGivesNullInsteadOfExhaustingTheStack) {
    auto nested = [](int depth) {
        std::string body = "<dict><key>AppName</key><string>x</string><key>Deep</key>";
        for (int i = 0; i < depth; ++i)
            body += "<array>";
        for (int i = 0; i < depth; ++i)
            body += "</array>";
        return XmlPlist(body + "</dict>");
    };
    WriteFile(Path(), nested(40));
    EXPECT_TRUE(ReadsAppName());
    WriteFile(Path(), nested(200000));
    EXPECT_FALSE(ReadsAppName());
    // Attributes must not hide an opening tag from the depth count.
    std::string sneaky = "<dict><key>AppName</key><string>x</string><key>Deep</key>";
    for (int i = 0; i < 200000; ++i)
        sneaky += "<array a=\"/\">";
    WriteFile(Path(), XmlPlist(sneaky));
    EXPECT_FALSE(ReadsAppName());
}

TEST_F(CFPreferencesBadInputTest, DeepBinaryNestingGivesNull) {
    auto chain = [](int depth) {
        BinaryBuilder builder;
        return DictWithAppName(builder, [depth](BinaryBuilder& b) {
            uint64_t inner = b.String("x");
            for (int i = 0; i < depth; ++i)
                inner = b.Array({inner});
            return inner;
        });
    };
    // The value is an array, not a string, but it must come back when shallow.
    WriteFile(Path(), chain(30));
    CFPropertyListRef shallow = CFPreferencesCopyAppValue(CFSTR("AppName"), CFSTR("Bad Domain"));
    ASSERT_NE(nullptr, shallow);
    EXPECT_EQ(CFArrayGetTypeID(), CFGetTypeID(shallow));
    CFRelease(shallow);
    WriteFile(Path(), chain(200000));
    EXPECT_FALSE(ReadsAppName());
    alarm(30);
    EXPECT_EQ(nullptr, CFPreferencesCopyAppValue(CFSTR("AppName"), CFSTR("Bad Domain")));
    alarm(0);
}

TEST_F(CFPreferencesBadInputTest, SharedObjectsThatWouldExpandExponentiallyGiveNull) {
    // Each level holds the next one twice: 2^64 nodes once expanded, a few hundred bytes here.
    BinaryBuilder builder;
    std::string bomb = DictWithAppName(builder, [](BinaryBuilder& b) {
        uint64_t inner = b.String("x");
        for (int i = 0; i < 64; ++i)
            inner = b.Array({inner, inner});
        return inner;
    });
    ASSERT_LT(bomb.size(), 4096u);
    WriteFile(Path(), bomb);
    alarm(30);
    EXPECT_EQ(nullptr, CFPreferencesCopyAppValue(CFSTR("AppName"), CFSTR("Bad Domain")));
    alarm(0);

    // Modest sharing, as writers produce for repeated strings, is fine.
    BinaryBuilder modest;
    WriteFile(Path(), DictWithAppName(modest, [](BinaryBuilder& b) {
                  uint64_t word = b.String("same");
                  return b.Array(std::vector<uint64_t>(100, word));
              }));
    CFPropertyListRef value = CFPreferencesCopyAppValue(CFSTR("AppName"), CFSTR("Bad Domain"));
    ASSERT_NE(nullptr, value);
    EXPECT_EQ(100, CFArrayGetCount(static_cast<CFArrayRef>(value)));
    CFRelease(value);
}

TEST_F(CFPreferencesBadInputTest, ReferenceCyclesAndBadReferencesGiveNull) {
    BinaryBuilder cycle;
    WriteFile(Path(), DictWithAppName(cycle, [](BinaryBuilder& b) {
                  uint64_t loop = b.Reserve(1);
                  b.Patch(loop, {loop});
                  return loop;
              }));
    alarm(30);
    EXPECT_EQ(nullptr, CFPreferencesCopyAppValue(CFSTR("AppName"), CFSTR("Bad Domain")));
    alarm(0);

    BinaryBuilder dangling;
    WriteFile(Path(), DictWithAppName(dangling, [](BinaryBuilder& b) { return b.Array({999}); }));
    EXPECT_EQ(nullptr, CFPreferencesCopyAppValue(CFSTR("AppName"), CFSTR("Bad Domain")));

    // A trailer that points the offset table past the end of the file.
    BinaryBuilder valid;
    std::string bytes = DictWithAppName(valid, [](BinaryBuilder& b) { return b.String("x"); });
    bytes[bytes.size() - 1] = static_cast<char>(0xF0);
    WriteFile(Path(), bytes);
    EXPECT_FALSE(ReadsAppName());
}

} // namespace
