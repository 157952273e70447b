// LCFString in-place editing, prefix and suffix tests and URL escaping.
#include "VURuvevidova/LCFString.h"

#include "WrapTestSupport.h"

#include <gtest/gtest.h>

namespace {

LCFString MutableWith(const char* text) {
    LCFString wrapper(0, NULL);
    wrapper.Append(text, kCFStringEncodingUTF8);
    return wrapper;
}

TEST(LCFStringEditing, AppendAddsFormattedCharacterPascalAndCText) {
    LCFString wrapper = MutableWith("tick ");
    wrapper.Append(CFSTR("%d/%@ %s%% "), 3, CFSTR("5"), "done");
    const UniChar chars[] = {'U', 0x00E9};
    wrapper.Append(chars, 2);
    const unsigned char pascal[] = "\x03"
                                   "abc";
    wrapper.Append(pascal, kCFStringEncodingMacRoman);
    wrapper.Append("\xc3\xbc", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(wrapper), "tick 3/5 done% U\xc3\xa9"
                             "abc\xc3\xbc");
}

TEST(LCFStringEditing, InsertDeleteAndReplaceWorkOnPositions) {
    LCFString wrapper = MutableWith("ace");
    wrapper.Insert(1, CFSTR("b"));
    wrapper.Insert(3, CFSTR("d"));
    wrapper.Insert(5, CFSTR("f"));
    EXPECT_EQ(Text(wrapper), "abcdef");
    wrapper.Delete(CFRangeMake(0, 2));
    EXPECT_EQ(Text(wrapper), "cdef");
    wrapper.Replace(CFRangeMake(1, 2), CFSTR("XYZ"));
    EXPECT_EQ(Text(wrapper), "cXYZf");
    wrapper.DeleteAll();
    EXPECT_EQ(wrapper.GetLength(), 0);
    EXPECT_NE(wrapper.GetTypeRef(), nullptr);
}

TEST(LCFStringEditing, PositionsOutsideTheStringAndNullArgumentsChangeNothing) {
    LCFString wrapper = MutableWith("abc");
    wrapper.Insert(4, CFSTR("x"));
    wrapper.Insert(-1, CFSTR("x"));
    wrapper.Delete(CFRangeMake(2, 2));
    wrapper.Delete(CFRangeMake(-1, 1));
    wrapper.Replace(CFRangeMake(3, 1), CFSTR("x"));
    wrapper.Replace(CFRangeMake(0, -1), CFSTR("x"));
    wrapper.Append(static_cast<CFStringRef>(NULL));
    wrapper.Append(static_cast<const char*>(NULL), kCFStringEncodingUTF8);
    wrapper.Append(static_cast<ConstStringPtr>(NULL), kCFStringEncodingMacRoman);
    wrapper.Append(static_cast<const UniChar*>(NULL), 3);
    wrapper.Insert(0, NULL);
    wrapper.Replace(CFRangeMake(0, 1), NULL);
    wrapper.Trim(NULL);
    wrapper.ReplaceAll(NULL);
    EXPECT_EQ(Text(wrapper), "abc");
}

TEST(LCFStringEditing, EditingAnImmutableOrEmptyWrapperChangesNothing) {
    CFStringRef string = CFStringCreateWithCString(NULL, "  fixed  ", kCFStringEncodingUTF8);
    LCFString immutable(string);
    LCFString empty;
    for (LCFString* wrapper : {&immutable, &empty}) {
        wrapper->Append("x", kCFStringEncodingUTF8);
        wrapper->Append(CFSTR("%d"), 1);
        wrapper->Insert(0, CFSTR("x"));
        wrapper->Delete(CFRangeMake(0, 1));
        wrapper->DeleteAll();
        wrapper->Replace(CFRangeMake(0, 1), CFSTR("x"));
        wrapper->Trim(CFSTR(" "));
        wrapper->TrimWhiteSpace();
    }
    EXPECT_EQ(Text(immutable), "  fixed  ");
    EXPECT_EQ(immutable.GetTypeRef(), string);
    EXPECT_EQ(empty.GetTypeRef(), nullptr);
    CFRelease(string);
}

TEST(LCFStringEditing, ReplaceAllOnAnImmutableOrEmptyWrapperMakesItMutableAndReleasesTheOld) {
    CFMutableStringRef old = NewMutableString("old text");
    LCFString wrapper(static_cast<CFStringRef>(old));
    wrapper.ReplaceAll(CFSTR("new"));
    EXPECT_EQ(Text(wrapper), "new");
    EXPECT_NE(wrapper.GetTypeRef(), static_cast<CFStringRef>(old));
    EXPECT_EQ(Text(old), "old text");
    EXPECT_EQ(CFGetRetainCount(old), 1);
    EXPECT_EQ(CFGetRetainCount(wrapper.GetTypeRef()), 1);
    wrapper.Append("er", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(wrapper), "newer");
    CFRelease(old);

    LCFString empty;
    empty.ReplaceAll(CFSTR("only"));
    EXPECT_EQ(Text(empty), "only");
    EXPECT_EQ(CFGetRetainCount(empty.GetTypeRef()), 1);
}

TEST(LCFStringEditing, ReplaceAllOnAMutableWrapperEditsTheSameString) {
    CFMutableStringRef string = NewMutableString("before");
    LCFString wrapper(string);
    wrapper.ReplaceAll(CFSTR("after"));
    EXPECT_EQ(wrapper.GetTypeRef(), static_cast<CFStringRef>(string));
    EXPECT_EQ(Text(string), "after");
    CFRelease(string);
}

TEST(LCFStringEditing, ReplaceAllOnImmutableDropsTheEarlierLengthLimit) {
    // The old immutable string's length must not become the new string's limit.
    LCFString wrapper("ab", kCFStringEncodingUTF8, NULL);
    wrapper.ReplaceAll(CFSTR("a"));
    LCFString copy(wrapper);
    copy.Append("bcdefgh", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(copy), "abcdefgh");
}

TEST(LCFStringEditing, TrimRemovesRepeatedWholeOccurrencesOrWhiteSpaceAtBothEnds) {
    LCFString wrapper = MutableWith("ababXabYabab");
    wrapper.Trim(CFSTR("ab"));
    EXPECT_EQ(Text(wrapper), "XabY");
    wrapper.Trim(CFSTR("XY"));
    EXPECT_EQ(Text(wrapper), "XabY");
    wrapper.Trim(CFSTR(""));
    EXPECT_EQ(Text(wrapper), "XabY");

    LCFString spaced = MutableWith(" \t\r\nDisk 1 \n");
    spaced.TrimWhiteSpace();
    EXPECT_EQ(Text(spaced), "Disk 1");
}

TEST(LCFStringEditing, BeginsWithAndEndsWithTestTheHeldStringAndOnlyNullMatchesNone) {
    LCFString wrapper("LaunchBackup", kCFStringEncodingUTF8, NULL);
    EXPECT_TRUE(wrapper.BeginsWith(CFSTR("Launch")));
    EXPECT_FALSE(wrapper.BeginsWith(CFSTR("Backup")));
    EXPECT_TRUE(wrapper.EndsWith(CFSTR("Backup")));
    EXPECT_FALSE(wrapper.EndsWith(CFSTR("Launch")));
    EXPECT_TRUE(wrapper.BeginsWith(CFSTR("LaunchBackup")));
    EXPECT_FALSE(wrapper.BeginsWith(CFSTR("LaunchBackups")));
    EXPECT_FALSE(wrapper.BeginsWith(NULL));
    EXPECT_FALSE(wrapper.EndsWith(NULL));

    LCFString empty;
    EXPECT_TRUE(empty.BeginsWith(NULL));
    EXPECT_TRUE(empty.EndsWith(NULL));
    EXPECT_FALSE(empty.BeginsWith(CFSTR("")));
    EXPECT_FALSE(empty.EndsWith(CFSTR("a")));
}

TEST(LCFStringEditing, EscapeURLEscapesASpaceAndKeepsAnExistingEscape) {
    LCFString wrapper("For Button%20Manage", kCFStringEncodingUTF8, NULL);
    ASSERT_TRUE(wrapper.EscapeURL());
    EXPECT_EQ(Text(wrapper), "For%20Button%20Manage");
    // Escaping again is stable.
    ASSERT_TRUE(wrapper.EscapeURL());
    EXPECT_EQ(Text(wrapper), "For%20Button%20Manage");
}

TEST(LCFStringEditing, EscapeAndDeEscapeRoundTripNonASCIIText) {
    LCFString wrapper(0, NULL);
    wrapper.Append("Caf\xc3\xa9 50%", kCFStringEncodingUTF8);
    ASSERT_FALSE(wrapper.EscapeURL()); // a lone % is not an escape
    EXPECT_EQ(Text(wrapper), "Caf\xc3\xa9 50%");

    wrapper.ReplaceAll(CFSTR("Caf\xc3\xa9 m\xc3\xbcsli"));
    ASSERT_TRUE(wrapper.EscapeURL());
    EXPECT_EQ(Text(wrapper), "Caf%C3%A9%20m%C3%BCsli");
    ASSERT_TRUE(wrapper.DeEscapeURL());
    EXPECT_EQ(Text(wrapper), "Caf\xc3\xa9 m\xc3\xbcsli");
}

TEST(LCFStringEditing, DeEscapeURLTurnsEscapesBackIntoCharacters) {
    CFMutableStringRef string = NewMutableString("Disk%201%2Fa");
    LCFString wrapper(string);
    ASSERT_TRUE(wrapper.DeEscapeURL());
    EXPECT_EQ(Text(wrapper), "Disk 1/a");
    // The wrapper moved on to a new immutable string and let go of the old one.
    EXPECT_EQ(CFGetRetainCount(string), 1);
    EXPECT_EQ(CFGetRetainCount(wrapper.GetTypeRef()), 1);
    EXPECT_EQ(Text(string), "Disk%201%2Fa");
    wrapper.Append("x", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(wrapper), "Disk 1/a");
    CFRelease(string);
}

TEST(LCFStringEditing, MalformedEscapeOrNoStringFailsAndKeepsWhatIsHeld) {
    CFMutableStringRef string = NewMutableString("bad%zzescape");
    LCFString wrapper(string);
    EXPECT_FALSE(wrapper.EscapeURL());
    EXPECT_EQ(wrapper.GetTypeRef(), static_cast<CFStringRef>(string));
    EXPECT_FALSE(wrapper.DeEscapeURL());
    EXPECT_EQ(Text(wrapper), "bad%zzescape");
    EXPECT_EQ(CFGetRetainCount(string), 2);
    LCFString truncated("end%2", kCFStringEncodingUTF8, NULL);
    EXPECT_FALSE(truncated.DeEscapeURL());
    EXPECT_EQ(Text(truncated), "end%2");
    CFRelease(string);

    LCFString empty;
    EXPECT_FALSE(empty.EscapeURL());
    EXPECT_FALSE(empty.DeEscapeURL());
}

} // namespace
