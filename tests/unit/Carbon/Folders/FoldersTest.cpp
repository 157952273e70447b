// FSFindFolder: the user's Documents folder from user-dirs.dirs or the default, created on demand.
#include "FilesTestSupport.h"

using namespace tvb::test;

namespace {

class Folders : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        mHome = Path("home");
        ASSERT_EQ(0, mkdir(mHome.c_str(), 0755));
        mHomeEnv.emplace("HOME", mHome.c_str());
        mConfigEnv.emplace("XDG_CONFIG_HOME", nullptr);
    }
    void TearDown() override {
        mConfigEnv.reset();
        mHomeEnv.reset();
        ScratchTest::TearDown();
    }
    void WriteUserDirs(const std::string& dir, const std::string& text) {
        std::filesystem::create_directories(dir);
        WriteAll(dir + "/user-dirs.dirs", text);
    }
    OSErr FindDocuments(Boolean create, FSRef* ref) {
        return FSFindFolder(kUserDomain, kDocumentsFolderType, create, ref);
    }

    std::string mHome;
    std::optional<ScopedEnv> mHomeEnv, mConfigEnv;
};

TEST_F(Folders, DocumentsDefaultsToHomeDocumentsAndIsCreated) {
    FSRef ref;
    ASSERT_EQ(noErr, FindDocuments(kCreateFolder, &ref));
    EXPECT_EQ(mHome + "/Documents", RefToPath(ref));
    EXPECT_TRUE(std::filesystem::is_directory(mHome + "/Documents"));
    // A second call finds what the first made.
    ASSERT_EQ(noErr, FindDocuments(kDontCreateFolder, &ref));
    EXPECT_EQ(mHome + "/Documents", RefToPath(ref));
}

TEST_F(Folders, MissingDocumentsWithoutCreateGivesFnfErr) {
    FSRef ref;
    EXPECT_EQ(fnfErr, FindDocuments(kDontCreateFolder, &ref));
    EXPECT_FALSE(Exists(mHome + "/Documents"));
}

TEST_F(Folders, UserDirsUnderXdgConfigHomeNamesDocuments) {
    std::string config = Path("cfg");
    ScopedEnv env("XDG_CONFIG_HOME", config.c_str());
    WriteUserDirs(config, "# written by the desktop\n"
                          "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n"
                          "XDG_DOCUMENTS_DIR=\"$HOME/Mes Papiers\"\n"
                          "XDG_MUSIC_DIR=\"$HOME/Musique\"\n");
    FSRef ref;
    ASSERT_EQ(noErr, FindDocuments(kCreateFolder, &ref));
    EXPECT_EQ(mHome + "/Mes Papiers", RefToPath(ref));
    EXPECT_FALSE(Exists(mHome + "/Documents"));

    ASSERT_EQ(noErr, FSFindFolder(kUserDomain, kDesktopFolderType, kCreateFolder, &ref));
    EXPECT_EQ(mHome + "/Bureau", RefToPath(ref));
}

TEST_F(Folders, UserDirsUnderDefaultConfigAcceptsAbsolutePathsAndEscapes) {
    std::string docs = Path("elsewhere/My \"Docs\"");
    WriteUserDirs(mHome + "/.config",
                  "XDG_DOCUMENTS_DIR=\"" + Path("elsewhere/My \\\"Docs\\\"") + "\"\n");
    FSRef ref;
    ASSERT_EQ(noErr, FindDocuments(kCreateFolder, &ref));
    EXPECT_EQ(docs, RefToPath(ref));
    EXPECT_TRUE(std::filesystem::is_directory(docs));
}

TEST_F(Folders, MalformedUserDirsEntriesFallBackToTheDefault) {
    WriteUserDirs(mHome + "/.config", "XDG_DOCUMENTS_DIR=\"relative/Docs\"\n"
                                      "XDG_DOCUMENTS_DIR=$HOME/Unquoted\n"
                                      "XDG_DOCUMENTS_DIR=\"$HOMEWORK/Docs\"\n"
                                      "XDG_DOCUMENTS_DIR=\"$HOME/Unclosed\n"
                                      "XDG_DOCUMENTS_DIRX=\"$HOME/Other\"\n");
    FSRef ref;
    ASSERT_EQ(noErr, FindDocuments(kCreateFolder, &ref));
    EXPECT_EQ(mHome + "/Documents", RefToPath(ref));
}

TEST_F(Folders, LaterUserDirsEntriesWin) {
    WriteUserDirs(mHome + "/.config", "XDG_DOCUMENTS_DIR=\"$HOME/First\"\n"
                                      "  XDG_DOCUMENTS_DIR = \"$HOME/Second\"\n");
    FSRef ref;
    ASSERT_EQ(noErr, FindDocuments(kCreateFolder, &ref));
    EXPECT_EQ(mHome + "/Second", RefToPath(ref));
}

TEST_F(Folders, UserDirsThatIsNoSmallPlainFileIsPassedOverWithoutWaiting) {
    // Each look-up reads user-dirs.dirs, the poll timer's too: a FIFO in its place must not
    // block the open, and a huge file must not be read whole, even when it starts validly.
    const std::string config = mHome + "/.config";
    std::filesystem::create_directories(config);
    const std::string entry = "XDG_DOCUMENTS_DIR=\"$HOME/Elsewhere\"\n";
    WriteAll(config + "/user-dirs.dirs", entry + std::string(64 * 1024, '#'));
    std::string fifo = Path("fifo-config");
    std::filesystem::create_directories(fifo);
    ASSERT_EQ(0, mkfifo((fifo + "/user-dirs.dirs").c_str(), 0600));

    // 0 when the look-up gives the default folder.
    auto defaultFound = [&] {
        FSRef ref;
        return FindDocuments(kCreateFolder, &ref) != noErr ? 1
               : RefToPath(ref) != mHome + "/Documents"    ? 2
                                                           : 0;
    };
    for (const std::string& configHome : {config, fifo}) {
        ScopedEnv env("XDG_CONFIG_HOME", configHome.c_str());
        // In a child, which a blocked open leaves to its alarm instead of hanging the test.
        EXPECT_EQ(0, ExitCodeInChild(defaultFound, 10)) << configHome;
    }
    EXPECT_FALSE(Exists(mHome + "/Elsewhere"));
}

TEST_F(Folders, MissingParentsAreCreatedToo) {
    WriteUserDirs(mHome + "/.config", "XDG_DOCUMENTS_DIR=\"$HOME/a/b/Documents\"\n");
    FSRef ref;
    ASSERT_EQ(noErr, FindDocuments(kCreateFolder, &ref));
    EXPECT_TRUE(std::filesystem::is_directory(mHome + "/a/b/Documents"));
}

TEST_F(Folders, RunsOfSlashesCountOnceHoweverLongAndOnlyLongPathsAreRefused) {
    // Once this went a level deeper per slash, until the stack ran out.
    WriteUserDirs(mHome + "/.config",
                  "XDG_DOCUMENTS_DIR=\"$HOME" + std::string(60000, '/') + "Docs//\"\n");
    FSRef ref;
    ASSERT_EQ(noErr, FindDocuments(kCreateFolder, &ref));
    EXPECT_EQ(mHome + "/Docs", RefToPath(ref));

    std::string deep;
    for (int i = 0; i < 3000; ++i)
        deep += "/d";
    WriteUserDirs(mHome + "/.config", "XDG_DOCUMENTS_DIR=\"$HOME" + deep + "\"\n");
    EXPECT_EQ(bdNamErr, FindDocuments(kCreateFolder, &ref));
    EXPECT_FALSE(Exists(mHome + "/d")) << "nothing is made for a path that cannot be";
}

TEST_F(Folders, AFileInThePlaceOfDocumentsGivesDirNFErr) {
    WriteAll(mHome + "/Documents", "not a folder");
    FSRef ref;
    EXPECT_EQ(dirNFErr, FindDocuments(kCreateFolder, &ref));
    EXPECT_EQ(dirNFErr, FindDocuments(kDontCreateFolder, &ref));
    EXPECT_EQ("not a folder", ReadFile(mHome + "/Documents"));
}

TEST_F(Folders, DocumentsThatIsALinkIsFoundWhereItLeadsAndUsable) {
    std::string real = Path("elsewhere");
    ASSERT_EQ(0, mkdir(real.c_str(), 0755));
    ASSERT_EQ(0, symlink(real.c_str(), (mHome + "/Documents").c_str()));
    FSRef ref;
    ASSERT_EQ(noErr, FindDocuments(kCreateFolder, &ref));
    EXPECT_EQ(real, RefToPath(ref));
    auto name = U16(u"For Button Manage");
    FSRef made;
    ASSERT_EQ(noErr, FSCreateDirectoryUnicode(&ref, name.size(), name.data(), kFSCatInfoNone,
                                              nullptr, &made, nullptr, nullptr));
    EXPECT_TRUE(std::filesystem::is_directory(real + "/For Button Manage"));
}

TEST_F(Folders, OtherDomainsAndFolderTypesAreNotFound) {
    FSRef ref;
    EXPECT_EQ(fnfErr, FSFindFolder(kSystemDomain, kDocumentsFolderType, kCreateFolder, &ref));
    EXPECT_EQ(fnfErr, FSFindFolder(kUserDomain, 0x70726566 /* 'pref' */, kCreateFolder, &ref));
    EXPECT_EQ(paramErr, FSFindFolder(kUserDomain, kDocumentsFolderType, kCreateFolder, nullptr));
    EXPECT_FALSE(Exists(mHome + "/Documents"));
}

} // namespace
