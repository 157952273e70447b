// Property-list data nobody should have to trust, through CFPropertyListCreateFromXMLData: what
// libplist would turn into a crash or hours of work is refused, what writers produce still reads.
#include "BinaryPlistBuilder.h"
#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char kPrologue[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                         "<plist version=\"1.0\">\n";

CFPropertyListRef Read(const std::string& bytes) {
    auto data = Own(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                 static_cast<CFIndex>(bytes.size())));
    CFStringRef error = nullptr;
    CFPropertyListRef plist =
        CFPropertyListCreateFromXMLData(nullptr, data.get(), kCFPropertyListImmutable, &error);
    if (error != nullptr)
        CFRelease(error);
    return plist;
}

// `depth` nested arrays, each opening tag followed by `hide`, which holds a closing tag that
// libplist does not read as one.
std::string NestedBehind(const std::string& hide, int depth) {
    std::string xml = kPrologue;
    for (int i = 0; i < depth; ++i)
        xml += "<array>" + hide;
    for (int i = 0; i < depth; ++i)
        xml += "</array>";
    return xml + "</plist>\n";
}

} // namespace

TEST(CFPropertyListBadInput, ClosingTagsLibplistDoesNotReadCannotHideNesting) {
    const std::vector<std::string> hiding = {
        "<!--</array>-->",
        "<?pi </array>?>",
        "<?pi \"?></array>\"?>",
        "<!DOCTYPE x [</array>]>",
        "<!DOCTYPE x \"></array>\">",
        "<true a=\"</array>\"/>",
        "<string><![CDATA[</array>]]></string>",
        "<string><!--</array>--></string>",
    };
    for (const std::string& hide : hiding) {
        auto shallow = Own(Read(NestedBehind(hide, 3)));
        EXPECT_NE(shallow.get(), nullptr) << hide;
        auto deep = Own(Read(NestedBehind(hide, 257)));
        EXPECT_EQ(deep.get(), nullptr) << hide;
    }
    // Deep enough that libplist's recursive free would overflow the stack.
    auto huge = Own(Read(NestedBehind("<!--</array>-->", 300000)));
    EXPECT_EQ(huge.get(), nullptr);
}

TEST(CFPropertyListBadInput, CommentsCDATAAndAttributesInWrittenFilesStillRead) {
    std::string xml = std::string(kPrologue) +
                      "<!-- <dict><key>Old</key><array><string>x</string></array></dict> -->\n"
                      "<dict>\n"
                      "\t<key>Markup</key>\n"
                      "\t<string><![CDATA[<array></array>]]></string>\n"
                      "\t<key>List</key>\n"
                      "\t<array><!-- </array> --><string>a</string></array>\n"
                      "</dict>\n"
                      "</plist>\n";
    auto plist = Own(Read(xml));
    ASSERT_NE(plist.get(), nullptr);
    auto dict = static_cast<CFDictionaryRef>(plist.get());
    EXPECT_EQ(CFDictionaryGetCount(dict), 2);
    EXPECT_EQ(Text(static_cast<CFStringRef>(CFDictionaryGetValue(dict, CFSTR("Markup")))),
              "<array></array>");
    EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(CFDictionaryGetValue(dict, CFSTR("List")))),
              1);
}

TEST(CFPropertyListBadInput, ALongBinaryArrayIsReadWithoutWalkingItPerItem) {
    // libplist reaches the nth item of a binary array by walking n items: reading by index took
    // hours for an array this long, reading in order takes milliseconds.
    const size_t count = 250000;
    BinaryBuilder builder(1);
    uint64_t yes = builder.Bool(true);
    std::string bytes = builder.Build(builder.Array(std::vector<uint64_t>(count, yes)));
    alarm(20);
    auto plist = Own(Read(bytes));
    alarm(0);
    ASSERT_NE(plist.get(), nullptr);
    EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(plist.get())), static_cast<CFIndex>(count));
}

TEST(CFPropertyListBadInput, SharedContainersExpandingBeyondTheDataAreRefused) {
    // 4 KB that libplist would expand into a million objects.
    BinaryBuilder bomb(2);
    uint64_t inner = bomb.Array(std::vector<uint64_t>(1000, bomb.String("x")));
    std::string bytes = bomb.Build(bomb.Array(std::vector<uint64_t>(1000, inner)));
    ASSERT_LT(bytes.size(), 4200u);
    EXPECT_EQ(Own(Read(bytes)).get(), nullptr);

    // Sharing that stays within the data's size reads, containers included.
    BinaryBuilder modest(1);
    uint64_t pair = modest.Array({modest.String("a"), modest.String("b")});
    auto plist = Own(Read(modest.Build(modest.Array(std::vector<uint64_t>(10, pair)))));
    ASSERT_NE(plist.get(), nullptr);
    EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(plist.get())), 10);
}
