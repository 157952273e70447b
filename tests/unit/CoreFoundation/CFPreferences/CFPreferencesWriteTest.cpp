// Writing preference files without losing what was not changed: files that cannot be read,
// links, other writers, values that could not be read back.
#include "SysTestSupport.h"

#include <CoreFoundation/CoreFoundation.h>

#include <plist/plist.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace tvb::systest;

const std::string kOtherKeyFile = XmlPlist("<dict><key>Other</key><string>kept</string></dict>");

// Pending values outlive a test, so every test works in domains named after itself.
class CFPreferencesWriteTest : public ::testing::Test {
protected:
    CFPreferencesWriteTest()
        : mName(::testing::UnitTest::GetInstance()->current_test_info()->name()),
          mDomain(CFStringCreateWithCString(nullptr, mName.c_str(), kCFStringEncodingUTF8)) {}
    ~CFPreferencesWriteTest() override { CFRelease(mDomain); }

    std::string Folder() { return mHome / "Library/Preferences"; }
    std::string Path() { return Folder() + "/" + mName + ".plist"; }

    // Whether the preferences API (pending values first) gives `expected` for key.
    bool Reads(CFStringRef key, CFStringRef expected) {
        CFPropertyListRef value = CFPreferencesCopyAppValue(key, mDomain);
        bool same = value != nullptr && CFEqual(value, expected);
        if (value != nullptr)
            CFRelease(value);
        return same;
    }

    std::string mName;
    CFStringRef mDomain;
    ScratchDir mHome;
    ScopedEnv mHomeEnv{"HOME", mHome.path().c_str()};
};

// The keys of the dictionary in a property-list file; empty when it is not one.
std::vector<std::string> KeysIn(const std::string& path) {
    std::string bytes = ReadFile(path);
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    std::vector<std::string> keys;
    if (root != nullptr && plist_get_node_type(root) == PLIST_DICT) {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(root, &it);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(root, it, &key, &value);
            if (key == nullptr)
                break;
            keys.emplace_back(key);
            free(key);
        }
        free(it);
    }
    plist_free(root);
    std::sort(keys.begin(), keys.end());
    return keys;
}

mode_t ModeOf(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

TEST_F(CFPreferencesWriteTest, AFileThatCannotBeReadIsLeftAsItWasAndTheValuesStayPending) {
    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;
    };
    std::string big =
        XmlPlist("<dict><key>Other</key><string>kept</string></dict>" + std::string(9u << 20, ' '));
    std::vector<Case> cases = {
        {"garbage", [](const std::string& p) { WriteFile(p, "not a property list"); }},
        {"array", [](const std::string& p) { WriteFile(p, XmlPlist("<array/>")); }},
        {"cut short",
         [](const std::string& p) {
             WriteFile(p, kOtherKeyFile.substr(0, kOtherKeyFile.size() - 10));
         }},
        {"over 8 MiB", [&big](const std::string& p) { WriteFile(p, big); }},
        {"read-only", [](const std::string& p) { WriteFile(p, kOtherKeyFile, 0444); }},
        {"FIFO", [](const std::string& p) { ASSERT_EQ(0, mkfifo(p.c_str(), 0600)); }},
        {"folder", [](const std::string& p) { std::filesystem::create_directories(p); }},
    };
    // Root reads and writes anything, whatever the mode says.
    if (geteuid() != 0)
        cases.push_back(
            {"unreadable", [](const std::string& p) { WriteFile(p, kOtherKeyFile, 0); }});

    std::filesystem::create_directories(Folder());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CFPreferencesSetAppValue(CFSTR("Added"), CFSTR("new"), mDomain);
        c.make(Path());
        mode_t mode = ModeOf(Path());
        std::string before = S_ISREG(mode) ? ReadFile(Path()) : std::string();
        alarm(30); // a FIFO opened the wrong way would block for ever
        EXPECT_FALSE(CFPreferencesAppSynchronize(mDomain));
        alarm(0);
        EXPECT_EQ(mode, ModeOf(Path()));
        if (S_ISREG(mode)) {
            EXPECT_TRUE(before == ReadFile(Path())) << "the file changed";
        }
        EXPECT_TRUE(Reads(CFSTR("Added"), CFSTR("new")));
        if (S_ISREG(mode))
            chmod(Path().c_str(), 0600);
        std::filesystem::remove_all(Path());
    }
    EXPECT_TRUE(std::filesystem::is_empty(Folder())); // no temporary file left behind

    // Once the file is readable again, the kept value joins what it holds.
    WriteFile(Path(), kOtherKeyFile);
    ASSERT_TRUE(CFPreferencesAppSynchronize(mDomain));
    EXPECT_EQ((std::vector<std::string>{"Added", "Other"}), KeysIn(Path()));
}

TEST_F(CFPreferencesWriteTest, ALinkedFileIsWrittenThroughAndKeepsItsMode) {
    // A dotfiles repository holds the file; the preferences folder links to it.
    std::string target = mHome / "dotfiles/prefs.plist";
    WriteFile(target, kOtherKeyFile, 0640);
    std::filesystem::create_directories(Folder());
    std::filesystem::create_symlink("../../dotfiles/prefs.plist", Path());

    CFPreferencesSetAppValue(CFSTR("Added"), CFSTR("new"), mDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(mDomain));
    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_EQ((std::vector<std::string>{"Added", "Other"}), KeysIn(target));
    EXPECT_EQ(0640u, ModeOf(target) & 07777);
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(mHome / "dotfiles"),
                               std::filesystem::directory_iterator()));

    // A link to a file not made yet makes it.
    std::string fresh = mHome / "dotfiles/fresh.plist";
    std::filesystem::remove(Path());
    std::filesystem::create_symlink(fresh, Path());
    CFPreferencesSetAppValue(CFSTR("Second"), CFSTR("value"), mDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(mDomain));
    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_EQ((std::vector<std::string>{"Second"}), KeysIn(fresh));
}

TEST_F(CFPreferencesWriteTest, ValuesThatCouldNotBeWrittenOrReadBackFailTheWrite) {
    WriteFile(Path(), kOtherKeyFile);
    CFTypeRef deep = CFSTR("bottom");
    CFRetain(deep);
    for (int i = 0; i < 300; ++i) {
        CFArrayRef outer = CFArrayCreate(nullptr, &deep, 1, &kCFTypeArrayCallBacks);
        CFRelease(deep);
        deep = outer;
    }
    std::vector<UInt8> bytes(9u << 20, 0x5A);
    UniChar half = 0xD800; // half a surrogate pair
    struct {
        const char* what;
        CFStringRef key;
        CFTypeRef unwritable, afterwards;
    } const cases[] = {
        {"too deep to read back", CFSTR("Deep"), deep, nullptr},
        {"too big to read back", CFSTR("Huge"),
         CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size())), nullptr},
        {"no UTF-8 form", CFSTR("Other"), CFStringCreateWithCharacters(nullptr, &half, 1),
         CFSTR("kept")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CFPreferencesSetAppValue(c.key, c.unwritable, mDomain);
        CFRelease(c.unwritable);
        EXPECT_FALSE(CFPreferencesAppSynchronize(mDomain));
        EXPECT_EQ(kOtherKeyFile, ReadFile(Path()));
        CFPreferencesSetAppValue(c.key, c.afterwards, mDomain);
        EXPECT_TRUE(Reads(CFSTR("Other"), CFSTR("kept")));
    }
    EXPECT_TRUE(CFPreferencesAppSynchronize(mDomain));
    EXPECT_EQ((std::vector<std::string>{"Other"}), KeysIn(Path()));
}

TEST_F(CFPreferencesWriteTest, ProcessesWritingAtOnceLoseNoKey) {
    constexpr int kWriters = 4;
    constexpr int kRounds = 40;
    alarm(100); // a writer that never finishes fails the test instead of hanging it
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int round = 0; round < kRounds; ++round) {
                std::string key = "w" + std::to_string(w) + "-" + std::to_string(round);
                CFStringRef name =
                    CFStringCreateWithCString(nullptr, key.c_str(), kCFStringEncodingUTF8);
                CFPreferencesSetAppValue(name, kCFBooleanTrue, mDomain);
                CFRelease(name);
                if (!CFPreferencesAppSynchronize(mDomain))
                    _exit(1);
            }
            _exit(0);
        }
        writers.push_back(child);
    }
    for (pid_t child : writers) {
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    alarm(0);
    EXPECT_EQ(static_cast<size_t>(kWriters * kRounds), KeysIn(Path()).size());
}

TEST_F(CFPreferencesWriteTest, ADomainWhoseFileNameFillsTheLimitIsWritten) {
    std::string name(249, 'n'); // with ".plist", the longest name a file may have
    CFStringRef domain = CFStringCreateWithCString(nullptr, name.c_str(), kCFStringEncodingUTF8);
    CFPreferencesSetAppValue(CFSTR("Added"), CFSTR("new"), domain);
    EXPECT_TRUE(CFPreferencesAppSynchronize(domain));
    CFRelease(domain);
    EXPECT_EQ((std::vector<std::string>{"Added"}), KeysIn(Folder() + "/" + name + ".plist"));
}

} // namespace
