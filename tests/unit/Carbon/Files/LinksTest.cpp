// A reference names its object and is never resolved through a symbolic link: not as a parent,
// not when a link or another item takes the place of the object or of a folder above it
// between the reference's making and its use.
#include "FilesTestSupport.h"

#include <stdio.h>
#include <string.h>

using namespace tvb::test;

namespace {

class Links : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        // Someone else's folder, whose files must never be touched.
        ASSERT_EQ(0, mkdir(Path("other").c_str(), 0755));
        WriteAll(Path("other/LaunchBackup"), "their launch file");
        WriteAll(Path("other/EndBackup"), "their end file");
        ASSERT_EQ(0, mkdir(Path("Documents").c_str(), 0755));
    }
    void ExpectOtherUntouched() {
        EXPECT_EQ("their launch file", ReadFile(Path("other/LaunchBackup")));
        EXPECT_EQ("their end file", ReadFile(Path("other/EndBackup")));
        EXPECT_EQ(2, std::distance(std::filesystem::directory_iterator(Path("other")), {}));
    }
    OSErr Lookup(const FSRef& parent, const std::u16string& name, FSRef* out) {
        auto units = U16(name);
        return FSMakeFSRefUnicode(&parent, units.size(), units.data(), 0, out);
    }
    OSErr CreateFile(const FSRef& parent, const std::u16string& name, FSRef* out = nullptr) {
        auto units = U16(name);
        return FSCreateFileUnicode(&parent, units.size(), units.data(), kFSCatInfoNone, nullptr,
                                   out, nullptr);
    }
    OSErr CreateDir(const FSRef& parent, const std::u16string& name) {
        auto units = U16(name);
        return FSCreateDirectoryUnicode(&parent, units.size(), units.data(), kFSCatInfoNone,
                                        nullptr, nullptr, nullptr, nullptr);
    }
    // Everything the hand-off does with a folder and a file in it, each of which must fail
    // with `expected` and leave the other folder alone.
    void ExpectNothingReachesThrough(const FSRef& folder, const FSRef* file, OSErr expected) {
        FSRef out;
        EXPECT_EQ(expected, Lookup(folder, u"EndBackup", &out));
        EXPECT_EQ(expected, Lookup(folder, u"LaunchBackup", &out));
        EXPECT_EQ(expected, CreateFile(folder, u"Fresh", &out));
        EXPECT_EQ(expected, CreateDir(folder, u"FreshDir"));
        if (file != nullptr) {
            FSIORefNum fork = 0;
            EXPECT_EQ(fnfErr, FSOpenFork(file, 0, nullptr, fsRdWrPerm, &fork));
            EXPECT_EQ(fnfErr, FSDeleteObject(file));
            EXPECT_EQ(fnfErr, FSCompareFSRefs(file, file));
        }
        ExpectOtherUntouched();
    }
};

TEST_F(Links, ALinkedFolderIsFoundAsALinkAndIsNotAFolder) {
    ASSERT_EQ(0, symlink(Path("other").c_str(), Path("Documents/For Button Manage").c_str()));
    FSRef documents = RefFor(Path("Documents")), handOff;
    ASSERT_EQ(noErr, Lookup(documents, u"For Button Manage", &handOff));
    EXPECT_EQ(Path("Documents/For Button Manage"), RefToPath(handOff));

    ExpectNothingReachesThrough(handOff, nullptr, errFSNotAFolder);
}

TEST_F(Links, ALinkIsFoundAsItselfAndDeletingItNeverTouchesWhereItLeads) {
    ASSERT_EQ(0,
              symlink(Path("other/LaunchBackup").c_str(), Path("Documents/LaunchBackup").c_str()));
    ASSERT_EQ(0, symlink(Path("other").c_str(), Path("Documents/EndBackup").c_str()));
    ASSERT_EQ(0, symlink(Path("nowhere").c_str(), Path("Documents/dangling").c_str()));
    FSRef documents = RefFor(Path("Documents"));
    for (const char* name : {"LaunchBackup", "EndBackup", "dangling"}) {
        SCOPED_TRACE(name);
        std::u16string units(name, name + strlen(name));
        FSRef link;
        ASSERT_EQ(noErr, Lookup(documents, units, &link));
        EXPECT_EQ(Path("Documents/") + name, RefToPath(link));
        EXPECT_EQ(noErr, FSDeleteObject(&link));
    }
    EXPECT_TRUE(std::filesystem::is_empty(Path("Documents")));
    ExpectOtherUntouched();
}

TEST_F(Links, LinkSwappedInForTheFolderIsNotFollowed) {
    ASSERT_EQ(0, mkdir(Path("Documents/hand").c_str(), 0755));
    WriteAll(Path("Documents/hand/LaunchBackup"), "ours");
    FSRef folder = RefFor(Path("Documents/hand")), file;
    ASSERT_EQ(noErr, Lookup(folder, u"LaunchBackup", &file));

    ASSERT_EQ(0, rename(Path("Documents/hand").c_str(), Path("Documents/moved").c_str()));
    ASSERT_EQ(0, symlink(Path("other").c_str(), Path("Documents/hand").c_str()));
    ExpectNothingReachesThrough(folder, &file, fnfErr);
    EXPECT_EQ("ours", ReadFile(Path("Documents/moved/LaunchBackup")));
}

TEST_F(Links, LinkSwappedInHigherUpIsNotFollowedEvenToTheSameFolder) {
    // The link leads back to the very folder named, so only a walk that follows no link on
    // the way tells it apart.
    ASSERT_EQ(0, mkdir(Path("Documents/hand").c_str(), 0755));
    WriteAll(Path("Documents/hand/LaunchBackup"), "ours");
    FSRef folder = RefFor(Path("Documents/hand")), file;
    ASSERT_EQ(noErr, Lookup(folder, u"LaunchBackup", &file));

    ASSERT_EQ(0, rename(Path("Documents").c_str(), Path("Real Documents").c_str()));
    ASSERT_EQ(0, symlink(Path("Real Documents").c_str(), Path("Documents").c_str()));
    FSRef out;
    FSIORefNum fork = 0;
    EXPECT_EQ(fnfErr, Lookup(folder, u"LaunchBackup", &out));
    EXPECT_EQ(fnfErr, CreateFile(folder, u"EndBackup"));
    EXPECT_EQ(fnfErr, FSOpenFork(&file, 0, nullptr, fsRdPerm, &fork));
    EXPECT_EQ(fnfErr, FSDeleteObject(&file));
    EXPECT_EQ("ours", ReadFile(Path("Real Documents/hand/LaunchBackup")));
    EXPECT_FALSE(Exists(Path("Real Documents/hand/EndBackup")));

    // Where the link was, a real folder again: the same objects are reached as before.
    ASSERT_EQ(0, unlink(Path("Documents").c_str()));
    ASSERT_EQ(0, rename(Path("Real Documents").c_str(), Path("Documents").c_str()));
    EXPECT_EQ(noErr, FSCompareFSRefs(&file, &file));
    EXPECT_EQ(noErr, FSDeleteObject(&file));
    EXPECT_FALSE(Exists(Path("Documents/hand/LaunchBackup")));
}

TEST_F(Links, AnotherItemInThePlaceOfTheOneNamedIsLeftAlone) {
    ASSERT_EQ(0, mkdir(Path("Documents/hand").c_str(), 0755));
    WriteAll(Path("Documents/hand/LaunchBackup"), "old");
    WriteAll(Path("Documents/hand/EndBackup"), "old end");
    FSRef folder = RefFor(Path("Documents/hand")), launch, end;
    ASSERT_EQ(noErr, Lookup(folder, u"LaunchBackup", &launch));
    ASSERT_EQ(noErr, Lookup(folder, u"EndBackup", &end));

    // A new file, and a link to someone else's, where the named files were.
    ASSERT_EQ(0, unlink(Path("Documents/hand/LaunchBackup").c_str()));
    WriteAll(Path("Documents/hand/LaunchBackup"), "new");
    ASSERT_EQ(0, unlink(Path("Documents/hand/EndBackup").c_str()));
    ASSERT_EQ(0,
              symlink(Path("other/EndBackup").c_str(), Path("Documents/hand/EndBackup").c_str()));
    FSIORefNum fork = 0;
    EXPECT_EQ(fnfErr, FSOpenFork(&launch, 0, nullptr, fsRdWrPerm, &fork));
    EXPECT_EQ(fnfErr, FSDeleteObject(&launch));
    EXPECT_EQ(fnfErr, FSOpenFork(&end, 0, nullptr, fsRdWrPerm, &fork));
    EXPECT_EQ(fnfErr, FSDeleteObject(&end));
    EXPECT_EQ("new", ReadFile(Path("Documents/hand/LaunchBackup")));
    EXPECT_TRUE(std::filesystem::is_symlink(Path("Documents/hand/EndBackup")));

    // A new real folder where the named one was.
    ASSERT_EQ(0, rename(Path("Documents/hand").c_str(), Path("Documents/moved").c_str()));
    ASSERT_EQ(0, mkdir(Path("Documents/hand").c_str(), 0755));
    EXPECT_EQ(fnfErr, CreateFile(folder, u"LaunchBackup2"));
    EXPECT_TRUE(std::filesystem::is_empty(Path("Documents/hand")));
    ExpectOtherUntouched();
}

TEST_F(Links, CompareTellsALinkFromWhatItLeadsTo) {
    WriteAll(Path("target"), "x");
    ASSERT_EQ(0, symlink(Path("target").c_str(), Path("link").c_str()));
    FSRef parent = DirRef(), linkItself, target = RefFor(Path("target"));
    ASSERT_EQ(noErr, Lookup(parent, u"link", &linkItself));
    FSRef throughLink = RefFor(Path("link")); // FSPathMakeRef follows
    EXPECT_EQ(noErr, FSCompareFSRefs(&throughLink, &target));
    EXPECT_EQ(errFSRefsDifferent, FSCompareFSRefs(&linkItself, &target));
}

TEST_F(Links, APathOnlyReferenceIsRefusedByCallsThatAct) {
    // The path of a real folder without the identity a File Manager call stamps.
    FSRef forged;
    memset(&forged, 0, sizeof forged);
    memcpy(forged.hidden, mDir.c_str(), mDir.size());
    FSRef out;
    EXPECT_EQ(errFSBadFSRef, Lookup(forged, u"other", &out));
    EXPECT_EQ(errFSBadFSRef, CreateFile(forged, u"x"));
    EXPECT_EQ(errFSBadFSRef, FSDeleteObject(&forged));
    FSRef real = DirRef();
    EXPECT_EQ(errFSBadFSRef, FSCompareFSRefs(&forged, &real));
    EXPECT_FALSE(Exists(Path("x")));
}

} // namespace
