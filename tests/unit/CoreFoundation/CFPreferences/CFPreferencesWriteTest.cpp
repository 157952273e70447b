// Writing preference files without losing what was not changed: files that cannot be read,
// links, other writers, values that could not be read back.
#include "SysTestSupport.h"

#include <CoreFoundation/CoreFoundation.h>

#include <plist/plist.h>

#include <functional>
#include <set>

namespace {

using namespace tvb::systest;
using Keys = std::set<std::string>;

const std::string kOtherKeyDict = "<dict><key>Other</key><string>kept</string></dict>";
const std::string kOtherKeyFile = XmlPlist(kOtherKeyDict);

// Pending values outlive a test, so every test works in domains named after itself.
class CFPreferencesWriteTest : public ::testing::Test {
protected:
    CFPreferencesWriteTest()
        : mName(::testing::UnitTest::GetInstance()->current_test_info()->name()),
          mDomain(CFStringCreateWithCString(nullptr, mName.c_str(), kCFStringEncodingUTF8)) {}
    ~CFPreferencesWriteTest() override { CFRelease(mDomain); }

    std::string Folder() { return mHome / "Library/Preferences"; }
    std::string Path() { return Folder() + "/" + mName + ".plist"; }
    bool Write(CFStringRef key, CFPropertyListRef value, CFStringRef domain = nullptr) {
        CFPreferencesSetAppValue(key, value, domain != nullptr ? domain : mDomain);
        return CFPreferencesAppSynchronize(domain != nullptr ? domain : mDomain);
    }
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
Keys KeysIn(const std::string& path) {
    std::string bytes = ReadFile(path);
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    Keys keys;
    plist_dict_iter it = nullptr;
    if (root != nullptr && plist_get_node_type(root) == PLIST_DICT)
        plist_dict_new_iter(root, &it);
    char* key = nullptr;
    while (it != nullptr && (plist_dict_next_item(root, it, &key, nullptr), key != nullptr)) {
        keys.insert(key);
        free(key);
    }
    free(it);
    plist_free(root);
    return keys;
}

mode_t ModeOf(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

TEST_F(CFPreferencesWriteTest, AFileThatCannotBeReadIsLeftAsItWasAndTheValuesStayPending) {
    auto file = [](const std::string& contents, mode_t mode = 0644) {
        return [=](const std::string& p) { WriteFile(p, contents, mode); };
    };
    std::vector<std::pair<const char*, std::function<void(const std::string&)>>> cases = {
        {"garbage", file("not a property list")},
        {"array", file(XmlPlist("<array/>"))},
        {"cut short", file(kOtherKeyFile.substr(0, kOtherKeyFile.size() - 10))},
        {"over 8 MiB", file(XmlPlist(kOtherKeyDict + std::string(9u << 20, ' ')))},
        {"read-only", file(kOtherKeyFile, 0444)},
        {"FIFO", [](const std::string& p) { ASSERT_EQ(0, mkfifo(p.c_str(), 0600)); }},
        {"folder", [](const std::string& p) { std::filesystem::create_directories(p); }},
    };
    if (geteuid() != 0) // root reads anything, whatever the mode says
        cases.push_back({"unreadable", file(kOtherKeyFile, 0)});

    std::filesystem::create_directories(Folder());
    for (const auto& [what, make] : cases) {
        SCOPED_TRACE(what);
        CFPreferencesSetAppValue(CFSTR("Added"), CFSTR("new"), mDomain);
        make(Path());
        mode_t mode = ModeOf(Path());
        std::string before = S_ISREG(mode) ? ReadFile(Path()) : "";
        alarm(30); // a FIFO opened the wrong way would block for ever
        EXPECT_FALSE(CFPreferencesAppSynchronize(mDomain));
        alarm(0);
        EXPECT_EQ(mode, ModeOf(Path()));
        EXPECT_TRUE(!S_ISREG(mode) || before == ReadFile(Path())) << "the file changed";
        EXPECT_TRUE(Reads(CFSTR("Added"), CFSTR("new")));
        std::filesystem::remove_all(Path());
    }
    EXPECT_TRUE(std::filesystem::is_empty(Folder())); // no temporary file left behind

    // Once the file is readable again, the kept value joins what it holds.
    WriteFile(Path(), kOtherKeyFile);
    ASSERT_TRUE(CFPreferencesAppSynchronize(mDomain));
    EXPECT_EQ((Keys{"Added", "Other"}), KeysIn(Path()));
}

TEST_F(CFPreferencesWriteTest, FilesAreWrittenThroughLinksAndUnderTheLongestFileName) {
    // A dotfiles repository holds the file; the preferences folder links to it.
    std::string target = mHome / "dotfiles/prefs.plist";
    WriteFile(target, kOtherKeyFile, 0640);
    std::filesystem::create_directories(Folder());
    std::filesystem::create_symlink("../../dotfiles/prefs.plist", Path());
    ASSERT_TRUE(Write(CFSTR("Added"), CFSTR("new")));
    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_EQ((Keys{"Added", "Other"}), KeysIn(target));
    EXPECT_EQ(0640u, ModeOf(target) & 07777);
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(mHome / "dotfiles"), {}));

    // A link to a file not made yet makes it.
    std::string fresh = mHome / "dotfiles/fresh.plist";
    std::filesystem::remove(Path());
    std::filesystem::create_symlink(fresh, Path());
    ASSERT_TRUE(Write(CFSTR("Second"), CFSTR("value")));
    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_EQ((Keys{"Second"}), KeysIn(fresh));

    std::string name(249, 'n'); // with ".plist", the longest name a file may have
    CFStringRef domain = CFStringCreateWithCString(nullptr, name.c_str(), kCFStringEncodingUTF8);
    EXPECT_TRUE(Write(CFSTR("Added"), CFSTR("new"), domain));
    CFRelease(domain);
    EXPECT_EQ((Keys{"Added"}), KeysIn(Folder() + "/" + name + ".plist"));
}

TEST_F(CFPreferencesWriteTest, ValuesThatCouldNotBeWrittenOrReadBackFailTheWrite) {
    WriteFile(Path(), kOtherKeyFile);
    CFTypeRef deep = CFRetain(CFSTR("bottom"));
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
    EXPECT_EQ((Keys{"Other"}), KeysIn(Path()));
}

TEST_F(CFPreferencesWriteTest, ProcessesWritingAtOnceLoseNoKey) {
    constexpr int kWriters = 4, kRounds = 40;
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
                bool written = Write(name, kCFBooleanTrue);
                CFRelease(name);
                if (!written)
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

} // namespace
