#include "CFStringTestSupport.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFString.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

std::string Format(CFStringRef format, ...) {
    va_list arguments;
    va_start(arguments, format);
    Owned<CFStringRef> result(
        CFStringCreateWithFormatAndArguments(nullptr, nullptr, format, arguments));
    va_end(arguments);
    return Utf8(result.get());
}

TEST(CFStringFormat, IntegerConversionsAndLengthModifiers) {
    EXPECT_EQ(Format(CFSTR("%d %i %u %x %X %o"), -5, 12, 3000000000u, 255, 255, 8),
              "-5 12 3000000000 ff FF 10");
    EXPECT_EQ(Format(CFSTR("%ld %lu %lx"), LONG_MIN, ULONG_MAX, 0xABCDEFul),
              std::to_string(LONG_MIN) + " " + std::to_string(ULONG_MAX) + " abcdef");
    EXPECT_EQ(Format(CFSTR("%lld %llu %qd %zu"), LLONG_MIN, ULLONG_MAX, 7LL, size_t{42}),
              std::to_string(LLONG_MIN) + " " + std::to_string(ULLONG_MAX) + " 7 42");
    EXPECT_EQ(Format(CFSTR("%hhd %hu"), 0x1FF, 0x10002), "-1 2");
}

TEST(CFStringFormat, WidthPrecisionAndFlags) {
    EXPECT_EQ(Format(CFSTR("[%5.2f|%-4d|%04x|%+d|% d]"), 3.14159, 7, 255, 5, 3),
              "[ 3.14|7   |00ff|+5| 3]");
    EXPECT_EQ(Format(CFSTR("[%*d|%-*d|%.*f]"), 4, 1, 3, 2, 1, 2.25), "[   1|2  |2.2]");
    EXPECT_EQ(Format(CFSTR("[%*d]"), -3, 9), "[9  ]");
}

TEST(CFStringFormat, FloatingPointConversions) {
    EXPECT_EQ(Format(CFSTR("%f %e %g %G"), 1.5, 12345.678, 0.0001, 1e20),
              "1.500000 1.234568e+04 0.0001 1E+20");
    EXPECT_EQ(Format(CFSTR("%.3Lf"), 2.5L), "2.500");
}

TEST(CFStringFormat, ObjectConversionUsesTheDescription) {
    auto name = MakeString("Backup \xC3\xA9");
    EXPECT_EQ(Format(CFSTR("<%@>"), name.get()), "<Backup \xC3\xA9>");
    EXPECT_EQ(Format(CFSTR("<%@>"), static_cast<CFStringRef>(nullptr)), "<(null)>");
    EXPECT_EQ(Format(CFSTR("[%-5@|%5@|%.2@]"), CFSTR("ab"), CFSTR("cd"), CFSTR("xyz")),
              "[ab   |   cd|xy]");
    EXPECT_EQ(CFGetRetainCount(name.get()), 1);
}

TEST(CFStringFormat, NumbersAndBooleansShowTheirValueOtherObjectsTheirDescription) {
    int answer = 42;
    double pi = 3.25;
    CFNumberRef integer = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &answer);
    CFNumberRef real = CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &pi);
    EXPECT_EQ(Format(CFSTR("%@ %@ %@ %@"), integer, real, kCFBooleanTrue, kCFBooleanFalse),
              "42 3.25 true false");
    CFArrayRef array = CFArrayCreate(kCFAllocatorDefault, reinterpret_cast<const void**>(&integer),
                                     1, &kCFTypeArrayCallBacks);
    EXPECT_EQ(Format(CFSTR("%@"), array).rfind("<CFArray ", 0), 0u);
    CFRelease(array);
    CFRelease(real);
    CFRelease(integer);
}

TEST(CFStringFormat, CStringsAreUTF8AndPrecisionDoesNotSplitACharacter) {
    EXPECT_EQ(Format(CFSTR("%s|%s"), "caf\xC3\xA9", static_cast<const char*>(nullptr)),
              "caf\xC3\xA9|(null)");
    EXPECT_EQ(Format(CFSTR("%.2s|%.4s"), "abcdef", "caf\xC3\xA9"), "ab|caf");
    // Not NUL-terminated: a precision must stop the read.
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(Format(CFSTR("%.3s"), unterminated), "xyz");
    // Bytes that are not UTF-8 are read as Mac Roman rather than lost.
    EXPECT_EQ(Format(CFSTR("%s"), "\x8E"), "\xC3\xA9");
}

TEST(CFStringFormat, CharactersPointersAndPercent) {
    const UniChar wide[] = {'H', 0x20AC, 0};
    EXPECT_EQ(Format(CFSTR("%c%C%S%%"), 'A', 0x00E9, wide), "A\xC3\xA9H\xE2\x82\xAC%");
    EXPECT_EQ(Format(CFSTR("%p"), static_cast<void*>(nullptr)), "0x0");
    int local = 0;
    char expected[32];
    std::snprintf(expected, sizeof expected, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&local)));
    EXPECT_EQ(Format(CFSTR("%p"), static_cast<void*>(&local)), expected);
}

TEST(CFStringFormat, PositionalArgumentsCanReorderAndRepeat) {
    EXPECT_EQ(Format(CFSTR("%2$@ %1$@"), CFSTR("world"), CFSTR("hello")), "hello world");
    EXPECT_EQ(Format(CFSTR("%1$d-%1$d-%2$s"), 4, "x"), "4-4-x");
    EXPECT_EQ(Format(CFSTR("%2$.*1$f"), 1, 2.25), "2.2");
}

TEST(CFStringFormat, MalformedConversionsStayAsTextAndReadNoArgument) {
    EXPECT_EQ(Format(CFSTR("100%")), "100%");
    EXPECT_EQ(Format(CFSTR("%5")), "%5");
    EXPECT_EQ(Format(CFSTR("%ll")), "%ll");
    EXPECT_EQ(Format(CFSTR("%y %d"), 7), "%y 7");
    EXPECT_EQ(Format(CFSTR("%99999999999d|%d"), 3), "%99999999999d|3");
    // Position 2 is never described, so position 3 cannot be located.
    EXPECT_EQ(Format(CFSTR("%1$d %3$d"), 1, 2, 3), "1 %3$d");
    // One position, two sizes: only the first reading is trusted.
    EXPECT_EQ(Format(CFSTR("%1$d %1$f"), 5), "5 %1$f");
}

TEST(CFStringFormat, NonASCIIFormatTextIsKept) {
    EXPECT_EQ(Format(CFSTR("\xE2\x82\xAC%d \xF0\x9F\x98\x80"), 5), "\xE2\x82\xAC"
                                                                   "5 \xF0\x9F\x98\x80");
}

TEST(CFStringFormat, AppendFormatMayQuoteTheStringItself) {
    auto string = MakeMutable("ab");
    CFStringAppendFormat(string.get(), nullptr, CFSTR("[%@:%d]"), string.get(), 3);
    EXPECT_EQ(Utf8(string.get()), "ab[ab:3]");
    EXPECT_EQ(CFGetRetainCount(string.get()), 1);
}

TEST(CFStringFormat, NullFormatGivesNull) {
    EXPECT_EQ(CFStringCreateWithFormat(nullptr, nullptr, nullptr), nullptr);
}

} // namespace
