// Seeded random property lists, valid ones damaged, through the data and file readers: a crash,
// hang or leak here is one in whatever reads preferences or an Info.plist. The libFuzzer target
// in platform/CoreFoundation/fuzz runs the same checks unbounded.
#include "CFPlistFile_Internal.h"
#include "CFPropertyList_Internal.h"
#include "CFTestSupport.h"
#include "ScratchSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace {

const std::string kXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
    "\t<key>name</key><string>A &amp; B \xC3\xA9</string>\n"
    "\t<key>numbers</key><array><integer>-7</integer><integer>18446744073709551615</integer>"
    "<real>0.5</real><true/><false/></array>\n"
    "\t<key>blob</key><data>AAECAwQFBgcICQ==</data>\n"
    "\t<key>nested</key><array><dict><key>k</key><array><string>v</string></array></dict>"
    "<array/><dict/></array>\n"
    "</dict>\n</plist>\n";

std::string BinaryOf(const std::string& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    plist_free(root);
    std::string binary(bytes, length);
    std::free(bytes);
    return binary;
}

// What changes the structure the screens judge, spliced in at random.
const char* const kTokens[] = {"<array>", "</array>",     "<dict>",    "</dict>", "<!--",
                               "-->",     "\"",           "<![CDATA[", "]]>",     "<?",
                               "?>",      "<key>k</key>", "&#0;",      "\xff",    "\0"};

std::string Damage(std::string bytes, std::mt19937_64& rng) {
    for (int edits = 1 + int(rng() % 4); edits > 0 && !bytes.empty(); --edits) {
        size_t at = rng() % bytes.size();
        switch (rng() % 5) {
        case 0:
            bytes[at] = char(bytes[at] ^ (1 << (rng() % 8)));
            break;
        case 1:
            bytes[at] = char(rng());
            break;
        case 2:
            bytes.erase(at, 1 + rng() % 16);
            break;
        case 3: {
            const char* token = kTokens[rng() % std::size(kTokens)];
            bytes.insert(at, token, std::max<size_t>(1, std::char_traits<char>::length(token)));
            break;
        }
        default:
            bytes.insert(at, bytes.substr(rng() % bytes.size(), 1 + rng() % 64));
        }
    }
    return bytes;
}

// Reads the bytes under each mutability option; whatever comes back must write, copy and read
// back equal. The immutable reading is returned.
Owned<CFPropertyListRef> ReadAndUse(const std::string& bytes) {
    auto data = Own(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                 static_cast<CFIndex>(bytes.size())));
    Owned<CFPropertyListRef> immutable;
    for (CFOptionFlags option : {kCFPropertyListImmutable, kCFPropertyListMutableContainers,
                                 kCFPropertyListMutableContainersAndLeaves}) {
        auto plist = Own(CFPropertyListCreateFromXMLData(nullptr, data.get(), option, nullptr));
        if (plist == nullptr)
            continue;
        auto xml = Own(CFPropertyListCreateXMLData(nullptr, plist.get()));
        EXPECT_NE(xml.get(), nullptr);
        auto copy = Own(CFPropertyListCreateDeepCopy(nullptr, plist.get(), option));
        EXPECT_TRUE(copy != nullptr && CFEqual(copy.get(), plist.get()));
        auto again = Own(CFPropertyListCreateFromXMLData(nullptr, xml.get(), option, nullptr));
        EXPECT_TRUE(again != nullptr && CFEqual(again.get(), plist.get())) << bytes;
        if (option == kCFPropertyListImmutable)
            immutable = std::move(plist);
    }
    return immutable;
}

} // namespace

TEST(CFPropertyListFuzz, DamagedListsReadTheSameAsDataAndAsFiles) {
    tvb::test::ScratchDir scratch("plist-fuzz");
    const std::string path = scratch / "damaged.plist";
    std::mt19937_64 rng(20240612);
    const std::string valid[] = {kXml, BinaryOf(kXml)};
    int read = 0, refused = 0;
    for (int round = 0; round < 600; ++round) {
        std::string bytes = Damage(valid[round % 2], rng);
        auto fromData = ReadAndUse(bytes);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        __CFPlistPtr root = __CFPlistReadFile(path);
        auto fromFile = Own(root ? __CFPropertyListCreateFromPlistNode(root.get()) : nullptr);
        // One screen and one conversion, whichever way the bytes arrive.
        EXPECT_TRUE(fromData == fromFile ||
                    (fromData && fromFile && CFEqual(fromData.get(), fromFile.get())))
            << "round " << round;
        fromData ? ++read : ++refused;
    }
    // Both outcomes must occur, or the damage is not reaching the screens.
    EXPECT_GT(read, 0);
    EXPECT_GT(refused, 0);
}
