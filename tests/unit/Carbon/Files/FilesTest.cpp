// FSRef paths, look-up by UTF-16 name, creation and deletion on real files.
#include "FilesTestSupport.h"
#include "Files_Internal.h"

#include <CoreFoundation/CoreFoundation.h>

#include <string.h>

using namespace tvb::test;

namespace {

class FileManager : public ScratchTest {
protected:
    OSErr Lookup(const std::u16string& name, FSRef* out = nullptr) {
        FSRef parent = DirRef(), ref;
        auto units = U16(name);
        return FSMakeFSRefUnicode(&parent, units.size(), units.data(), 0, out ? out : &ref);
    }
    OSErr CreateFile(const std::u16string& name, FSRef* out = nullptr) {
        FSRef parent = DirRef();
        auto units = U16(name);
        return FSCreateFileUnicode(&parent, units.size(), units.data(), kFSCatInfoNone, nullptr,
                                   out, nullptr);
    }
    OSErr CreateDir(const std::u16string& name, FSRef* out = nullptr) {
        FSRef parent = DirRef();
        auto units = U16(name);
        return FSCreateDirectoryUnicode(&parent, units.size(), units.data(), kFSCatInfoNone,
                                        nullptr, out, nullptr, nullptr);
    }
};

TEST_F(FileManager, PathMakeRefRoundTripsAndTellsDirectories) {
    WriteAll(Path("file"), "x");
    FSRef ref;
    Boolean isDir = TRUE;
    ASSERT_EQ(noErr,
              FSPathMakeRef(reinterpret_cast<const UInt8*>(Path("file").c_str()), &ref, &isDir));
    EXPECT_FALSE(isDir);
    EXPECT_EQ(Path("file"), RefToPath(ref));

    ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(mDir.c_str()), &ref, &isDir));
    EXPECT_TRUE(isDir);
    EXPECT_EQ(mDir, RefToPath(ref));
}

TEST_F(FileManager, PathMakeRefGivesFnfErrForMissingItemsAndDanglingLinks) {
    FSRef ref;
    EXPECT_EQ(fnfErr,
              FSPathMakeRef(reinterpret_cast<const UInt8*>(Path("none").c_str()), &ref, nullptr));
    ASSERT_EQ(0, symlink(Path("nowhere").c_str(), Path("dangling").c_str()));
    EXPECT_EQ(fnfErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(Path("dangling").c_str()), &ref,
                                    nullptr));
    EXPECT_EQ(fnfErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(""), &ref, nullptr));
}

TEST_F(FileManager, PathMakeRefStoresTheResolvedPath) {
    ASSERT_EQ(0, mkdir(Path("real").c_str(), 0755));
    ASSERT_EQ(0, symlink(Path("real").c_str(), Path("link").c_str()));
    std::string messy = mDir + "//link/./";
    FSRef ref;
    Boolean isDir = FALSE;
    ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(messy.c_str()), &ref, &isDir));
    EXPECT_TRUE(isDir);
    EXPECT_EQ(Path("real"), RefToPath(ref));
}

TEST_F(FileManager, RefMakePathNeedsRoomForTheTerminator) {
    FSRef ref = DirRef();
    std::vector<UInt8> buf(mDir.size() + 1, 0xEE);
    EXPECT_EQ(bdNamErr, FSRefMakePath(&ref, buf.data(), mDir.size()));
    ASSERT_EQ(noErr, FSRefMakePath(&ref, buf.data(), buf.size()));
    EXPECT_EQ(mDir, reinterpret_cast<const char*>(buf.data()));
}

TEST_F(FileManager, MalformedRefsAreRefusedByEveryCall) {
    FSRef zeroed, unterminated, relative;
    memset(&zeroed, 0, sizeof zeroed);
    memset(&unterminated, '/', sizeof unterminated);
    memset(&relative, 0, sizeof relative);
    memcpy(relative.hidden, "tmp", 3);
    auto name = U16(u"x");
    UInt8 buf[64];
    for (FSRef* bad : {&zeroed, &unterminated, &relative}) {
        FSRef out;
        FSIORefNum fork;
        EXPECT_EQ(errFSBadFSRef, FSRefMakePath(bad, buf, sizeof buf));
        EXPECT_EQ(errFSBadFSRef, FSMakeFSRefUnicode(bad, name.size(), name.data(), 0, &out));
        EXPECT_EQ(errFSBadFSRef,
                  FSCreateFileUnicode(bad, name.size(), name.data(), 0, nullptr, &out, nullptr));
        EXPECT_EQ(errFSBadFSRef, FSCreateDirectoryUnicode(bad, name.size(), name.data(), 0, nullptr,
                                                          &out, nullptr, nullptr));
        EXPECT_EQ(errFSBadFSRef, FSDeleteObject(bad));
        EXPECT_EQ(errFSBadFSRef, FSOpenFork(bad, 0, nullptr, fsRdPerm, &fork));
    }
    EXPECT_EQ(errFSBadFSRef, FSDeleteObject(nullptr));
}

TEST_F(FileManager, LookupFindsExistingItemsAndReportsMissingOnes) {
    WriteAll(Path("LaunchBackup"), "");
    FSRef ref;
    ASSERT_EQ(noErr, Lookup(u"LaunchBackup", &ref));
    EXPECT_EQ(Path("LaunchBackup"), RefToPath(ref));
    EXPECT_EQ(fnfErr, Lookup(u"EndBackup"));
}

TEST_F(FileManager, LookupThroughAFileOrMissingFolderFails) {
    WriteAll(Path("plain"), "");
    FSRef fileRef = RefFor(Path("plain"));
    auto name = U16(u"child");
    FSRef out;
    EXPECT_EQ(errFSNotAFolder, FSMakeFSRefUnicode(&fileRef, name.size(), name.data(), 0, &out));

    ASSERT_EQ(0, mkdir(Path("gone").c_str(), 0755));
    FSRef goneRef = RefFor(Path("gone"));
    ASSERT_EQ(0, rmdir(Path("gone").c_str()));
    EXPECT_EQ(fnfErr, FSMakeFSRefUnicode(&goneRef, name.size(), name.data(), 0, &out));
}

TEST_F(FileManager, NamesThatWouldLeaveTheFolderAreRefused) {
    ASSERT_EQ(0, mkdir(Path("inner").c_str(), 0755));
    FSRef inner = RefFor(Path("inner"));
    WriteAll(Path("secret"), "keep");
    const std::vector<std::u16string> bad = {
        u"..",
        u".",
        u"../secret",
        u"a/b",
        u"/",
        std::u16string(u"a\0b", 3),
        u"",
        std::u16string(1, char16_t(0xD800)),    // lone high surrogate
        std::u16string(1, char16_t(0xDC00)),    // lone low surrogate
        std::u16string{char16_t(0xD800), u'x'}, // high without its low
        std::u16string(256, u'n'),              // longer than a name can be
    };
    for (const auto& name : bad) {
        auto units = U16(name);
        FSRef out;
        SCOPED_TRACE(units.size());
        EXPECT_EQ(bdNamErr, FSMakeFSRefUnicode(&inner, units.size(), units.data(), 0, &out));
        EXPECT_EQ(bdNamErr, FSCreateFileUnicode(&inner, units.size(), units.data(), 0, nullptr,
                                                &out, nullptr));
        EXPECT_EQ(bdNamErr, FSCreateDirectoryUnicode(&inner, units.size(), units.data(), 0, nullptr,
                                                     &out, nullptr, nullptr));
    }
    EXPECT_TRUE(std::filesystem::is_empty(Path("inner")));
    EXPECT_EQ("keep", ReadFile(Path("secret")));
    EXPECT_FALSE(Exists(Path("a")));
}

TEST_F(FileManager, NonAsciiNamesBecomeUtf8OnDisk) {
    // e-acute, a check mark and a character outside the BMP (a surrogate pair).
    FSRef ref;
    ASSERT_EQ(noErr, CreateFile(u"Donn\u00e9es \u2713 \U0001D11E", &ref));
    std::string expected = Path("Donn\xC3\xA9"
                                "es \xE2\x9C\x93 \xF0\x9D\x84\x9E");
    EXPECT_TRUE(Exists(expected));
    EXPECT_EQ(expected, RefToPath(ref));
    EXPECT_EQ(noErr, Lookup(u"Donn\u00e9es \u2713 \U0001D11E"));
}

TEST_F(FileManager, CreateFileMakesAnEmptyFile) {
    FSRef ref;
    FSSpec fsSpec;
    FSRef parent = DirRef();
    auto name = U16(u"LaunchBackup");
    ASSERT_EQ(noErr, FSCreateFileUnicode(&parent, name.size(), name.data(), kFSCatInfoNone, nullptr,
                                         &ref, &fsSpec));
    EXPECT_EQ(Path("LaunchBackup"), RefToPath(ref));
    EXPECT_TRUE(std::filesystem::is_regular_file(Path("LaunchBackup")));
    EXPECT_EQ(0u, std::filesystem::file_size(Path("LaunchBackup")));
    ASSERT_EQ(12, fsSpec.name[0]);
    EXPECT_EQ(0, memcmp(fsSpec.name + 1, "LaunchBackup", 12));
}

TEST_F(FileManager, CreateRefusesCatalogInformation) {
    FSRef parent = DirRef(), ref;
    FSCatalogInfo info = {};
    auto name = U16(u"x");
    EXPECT_EQ(paramErr,
              FSCreateFileUnicode(&parent, name.size(), name.data(), 0x1, &info, &ref, nullptr));
    EXPECT_FALSE(Exists(Path("x")));
}

TEST_F(FileManager, CreateFileGivesDupFNErrForAnythingInThePlaceOfTheName) {
    WriteAll(Path("target"), "precious");
    WriteAll(Path("file"), "old");
    ASSERT_EQ(0, mkdir(Path("dir").c_str(), 0755));
    ASSERT_EQ(0, symlink(Path("target").c_str(), Path("link").c_str()));
    ASSERT_EQ(0, symlink(Path("missing-target").c_str(), Path("dangling").c_str()));

    for (const char16_t* name : {u"file", u"dir", u"link", u"dangling"}) {
        EXPECT_EQ(dupFNErr, CreateFile(name));
        EXPECT_EQ(dupFNErr, CreateDir(name));
    }
    EXPECT_EQ("precious", ReadFile(Path("target")));
    EXPECT_EQ("old", ReadFile(Path("file")));
    EXPECT_FALSE(Exists(Path("missing-target")));
    EXPECT_TRUE(std::filesystem::is_symlink(Path("dangling")));
}

TEST_F(FileManager, CreateDirectoryAppliesTheUmask) {
    mode_t old = umask(027);
    FSRef ref;
    UInt32 dirID = 0;
    FSRef parent = DirRef();
    auto name = U16(u"For Button Manage");
    OSErr err = FSCreateDirectoryUnicode(&parent, name.size(), name.data(), kFSCatInfoNone, nullptr,
                                         &ref, nullptr, &dirID);
    umask(old);
    ASSERT_EQ(noErr, err);
    struct stat st;
    ASSERT_EQ(0, stat(Path("For Button Manage").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0750u, st.st_mode & 0777);
    EXPECT_EQ(static_cast<UInt32>(st.st_ino), dirID);
    EXPECT_EQ(Path("For Button Manage"), RefToPath(ref));
}

TEST_F(FileManager, CreateInAFolderWithoutWriteAccessGivesAccessDenied) {
    ASSERT_EQ(0, chmod(mDir.c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path("locked").c_str(), 0555));
    FSRef locked = RefFor(Path("locked"));
    int result = RunUnprivileged([&] {
        FSRef out;
        auto name = U16(u"x");
        if (FSCreateFileUnicode(&locked, name.size(), name.data(), 0, nullptr, &out, nullptr) !=
            afpAccessDenied)
            return 1;
        if (FSCreateDirectoryUnicode(&locked, name.size(), name.data(), 0, nullptr, &out, nullptr,
                                     nullptr) != afpAccessDenied)
            return 2;
        return 0;
    });
    EXPECT_EQ(0, result);
    EXPECT_FALSE(Exists(Path("locked/x")));
}

TEST_F(FileManager, PathsThatOutgrowAnFSRefGiveBdNamErr) {
    // 16 levels of 250-byte names come close to the 4096-byte limit without passing it.
    FSRef parent = DirRef();
    std::vector<UniChar> level(250, u'd');
    for (int i = 0; i < 16; ++i) {
        FSRef child;
        ASSERT_EQ(noErr, FSCreateDirectoryUnicode(&parent, level.size(), level.data(), 0, nullptr,
                                                  &child, nullptr, nullptr));
        parent = child;
    }
    std::vector<UniChar> leaf(255, u'f');
    FSRef out;
    EXPECT_EQ(bdNamErr,
              FSCreateFileUnicode(&parent, leaf.size(), leaf.data(), 0, nullptr, &out, nullptr));
    EXPECT_EQ(bdNamErr, FSMakeFSRefUnicode(&parent, leaf.size(), leaf.data(), 0, &out));
}

TEST_F(FileManager, DeleteRemovesFilesAndEmptyFolders) {
    FSRef file, dir;
    ASSERT_EQ(noErr, CreateFile(u"EndBackup", &file));
    ASSERT_EQ(noErr, CreateDir(u"empty", &dir));
    EXPECT_EQ(noErr, FSDeleteObject(&file));
    EXPECT_EQ(noErr, FSDeleteObject(&dir));
    EXPECT_FALSE(Exists(Path("EndBackup")));
    EXPECT_FALSE(Exists(Path("empty")));
    EXPECT_EQ(fnfErr, FSDeleteObject(&file));
}

TEST_F(FileManager, DeleteRefusesAFolderThatIsNotEmpty) {
    ASSERT_EQ(0, mkdir(Path("full").c_str(), 0755));
    WriteAll(Path("full/inside"), "data");
    FSRef ref = RefFor(Path("full"));
    EXPECT_EQ(fBsyErr, FSDeleteObject(&ref));
    EXPECT_EQ("data", ReadFile(Path("full/inside")));
}

TEST_F(FileManager, BirthTimesPastTheYear2262StillTellItemsApart) {
    // A drive formatted elsewhere may carry creation times as late as its format can hold
    // (ext4's reach the year 2446), more nanoseconds than 64 bits count. No file system a
    // test can mount here takes such a time, so the stamp is checked itself.
    using tvb::files::BirthStamp;
    const SInt64 year2446 = 15032385535;
    EXPECT_NE(BirthStamp(year2446, 0), BirthStamp(year2446, 1));
    EXPECT_NE(BirthStamp(year2446, 0), BirthStamp(year2446 - 1, 0));
}

TEST_F(FileManager, ItemsOfAnOverlayKeepTheirReferencesWhenCopiedUp) {
    // An overlay copies a lower item up when it or a child of it is first written; the copy
    // is the same item with a new birth time (a container's or a live system's home).
    for (const char* dir : {"lower", "lower/Hand off", "upper", "work", "merged", "other"})
        ASSERT_EQ(0, mkdir(Path(dir).c_str(), 0755));
    WriteAll(Path("lower/Hand off/EndBackup"), "old");
    WriteAll(Path("lower/Hand off/Bound"), "");
    int result = RunWithOwnMounts([&] {
        std::string options =
            "lowerdir=" + Path("lower") + ",upperdir=" + Path("upper") + ",workdir=" + Path("work");
        if (mount("overlay", Path("merged").c_str(), "overlay", 0, options.c_str()) != 0)
            return kNoNamespace;
        FSRef folder = RefFor(Path("merged/Hand off")), launch, end;
        auto launchName = U16(u"LaunchBackup"), endName = U16(u"EndBackup");
        if (FSCreateFileUnicode(&folder, launchName.size(), launchName.data(), kFSCatInfoNone,
                                nullptr, &launch, nullptr) != noErr ||
            FSMakeFSRefUnicode(&folder, endName.size(), endName.data(), 0, &end) != noErr)
            return 10;
        FSIORefNum fork = 0;
        if (FSOpenFork(&launch, 0, nullptr, fsRdWrPerm, &fork) != noErr ||
            FSCloseFork(fork) != noErr)
            return 11;
        ByteCount written = 0;
        if (FSOpenFork(&end, 0, nullptr, fsRdWrPerm, &fork) != noErr ||
            FSWriteFork(fork, fsFromLEOF, 0, 4, " new", &written) != noErr ||
            FSCloseFork(fork) != noErr || FSDeleteObject(&end) != noErr)
            return 12;
        if (FSDeleteObject(&launch) != noErr)
            return 13;
        // A file of another file system mounted in the overlay's folder is not the overlay's.
        auto boundName = U16(u"Bound");
        FSRef bound;
        if (mount("tmpfs", Path("other").c_str(), "tmpfs", 0, nullptr) != 0)
            return 14;
        WriteAll(Path("other/file"), "");
        if (mount(Path("other/file").c_str(), Path("merged/Hand off/Bound").c_str(), nullptr,
                  MS_BIND, nullptr) != 0)
            return 14;
        if (FSMakeFSRefUnicode(&folder, boundName.size(), boundName.data(), 0, &bound) != noErr ||
            FSOpenFork(&bound, 0, nullptr, fsRdWrPerm, &fork) != noErr ||
            FSCloseFork(fork) != noErr)
            return 15;
        return 0;
    });
    if (result == kNoNamespace)
        GTEST_SKIP() << "no overlay in a user and mount namespace here";
    EXPECT_EQ(0, result);
    EXPECT_EQ("old", ReadFile(Path("lower/Hand off/EndBackup")));
}

// The bridge from a File Manager reference to a CoreFoundation URL.
TEST_F(FileManager, URLFromFSRefNamesTheSameItem) {
    auto pathOf = [](CFURLRef url) -> std::string {
        UInt8 buffer[4096];
        if (url == nullptr || !CFURLGetFileSystemRepresentation(url, true, buffer, sizeof buffer))
            return "<none>";
        return reinterpret_cast<const char*>(buffer);
    };
    std::string bundle = Path("Ref Target.app");
    ASSERT_EQ(0, mkdir(bundle.c_str(), 0755));
    FSRef ref = RefFor(bundle);
    CFURLRef url = CFURLCreateFromFSRef(nullptr, &ref);
    ASSERT_NE(nullptr, url);
    EXPECT_EQ(bundle, pathOf(url));
    EXPECT_TRUE(CFURLHasDirectoryPath(url));
    CFBundleRef opened = CFBundleCreate(nullptr, url);
    EXPECT_NE(nullptr, opened);
    if (opened != nullptr)
        CFRelease(opened);
    CFRelease(url);

    WriteAll(Path("file.txt"), "x");
    ref = RefFor(Path("file.txt"));
    url = CFURLCreateFromFSRef(nullptr, &ref);
    ASSERT_NE(nullptr, url);
    EXPECT_FALSE(CFURLHasDirectoryPath(url));
    CFRelease(url);

    // A bundle in a folder whose name is not UTF-8 still gives up its creator code.
    std::string latin1 = Path("caf\xE9");
    ASSERT_EQ(0, mkdir(latin1.c_str(), 0755));
    ASSERT_EQ(0, mkdir((latin1 + "/B.app").c_str(), 0755));
    ASSERT_EQ(0, mkdir((latin1 + "/B.app/Contents").c_str(), 0755));
    WriteAll(latin1 + "/B.app/Contents/PkgInfo", "APPLTvLa");
    ref = RefFor(latin1 + "/B.app");
    url = CFURLCreateFromFSRef(nullptr, &ref);
    EXPECT_EQ(latin1 + "/B.app", pathOf(url));
    opened = url ? CFBundleCreate(nullptr, url) : nullptr;
    ASSERT_NE(nullptr, opened);
    UInt32 type = 0, creator = 0;
    CFBundleGetPackageInfo(opened, &type, &creator);
    EXPECT_EQ(0x54764C61u /* 'TvLa' */, creator);
    CFRelease(opened);
    CFRelease(url);

    EXPECT_EQ(nullptr, CFURLCreateFromFSRef(nullptr, nullptr));
    FSRef bad;
    memset(&bad, 'a', sizeof bad); // no terminating NUL anywhere
    EXPECT_EQ(nullptr, CFURLCreateFromFSRef(nullptr, &bad));
    memset(&bad, 0, sizeof bad);
    memcpy(bad.hidden, "relative/path", 14);
    EXPECT_EQ(nullptr, CFURLCreateFromFSRef(nullptr, &bad));
}

} // namespace
