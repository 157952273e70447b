#include "CFString_Internal.h"

#include <cstring>

namespace {

// Mac OS Roman 0x80-0xFF (the table with the euro sign at 0xDB).
const UniChar kMacRomanHigh[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3,
    0x00E5, 0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3,
    0x00A7, 0x2022, 0x00B6, 0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA,
    0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D,
    0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, 0x00CB, 0x00C8, 0x00CD, 0x00CE,
    0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

constexpr bool kHostIsBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

bool IsHighSurrogate(UniChar c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(UniChar c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Strict UTF-8: rejects overlong forms, encoded surrogates, values above U+10FFFF,
// stray continuation bytes and sequences cut short.
bool DecodeUTF8(const UInt8* bytes, size_t count, __CFUniChars& out) {
    size_t i = 0;
    while (i < count) {
        UInt8 lead = bytes[i];
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        size_t extra;
        UInt32 codePoint;
        UInt8 lowest = 0x80, highest = 0xBF; // bounds of the first continuation byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            codePoint = lead & 0x0F;
            if (lead == 0xE0)
                lowest = 0xA0;
            else if (lead == 0xED)
                highest = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            codePoint = lead & 0x07;
            if (lead == 0xF0)
                lowest = 0x90;
            else if (lead == 0xF4)
                highest = 0x8F;
        } else {
            return false;
        }
        if (count - i - 1 < extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            UInt8 next = bytes[i + k];
            UInt8 low = k == 1 ? lowest : 0x80;
            UInt8 high = k == 1 ? highest : 0xBF;
            if (next < low || next > high)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        __CFStringAppendCodePoint(codePoint, out);
        i += extra + 1;
    }
    return true;
}

bool DecodeUTF16(const UInt8* bytes, size_t count, bool bigEndian, __CFUniChars& out) {
    if (count % 2 != 0)
        return false;
    for (size_t i = 0; i < count; i += 2) {
        UniChar unit = bigEndian ? static_cast<UniChar>((bytes[i] << 8) | bytes[i + 1])
                                 : static_cast<UniChar>((bytes[i + 1] << 8) | bytes[i]);
        out.push_back(unit);
    }
    return true;
}

bool DecodeUTF32(const UInt8* bytes, size_t count, bool bigEndian, __CFUniChars& out) {
    if (count % 4 != 0)
        return false;
    for (size_t i = 0; i < count; i += 4) {
        const UInt8* p = bytes + i;
        UInt32 value =
            bigEndian ? (UInt32(p[0]) << 24) | (UInt32(p[1]) << 16) | (UInt32(p[2]) << 8) | p[3]
                      : (UInt32(p[3]) << 24) | (UInt32(p[2]) << 16) | (UInt32(p[1]) << 8) | p[0];
        if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return false;
        __CFStringAppendCodePoint(value, out);
    }
    return true;
}

void PutUnit(UniChar unit, bool bigEndian, UInt8* out) {
    out[bigEndian ? 0 : 1] = static_cast<UInt8>(unit >> 8);
    out[bigEndian ? 1 : 0] = static_cast<UInt8>(unit & 0xFF);
}

void PutUInt32(UInt32 value, bool bigEndian, UInt8* out) {
    for (int k = 0; k < 4; ++k) {
        UInt8 byte = static_cast<UInt8>(value >> (8 * (3 - k)));
        out[bigEndian ? k : 3 - k] = byte;
    }
}

// Drops a leading byte order mark of width bytes and gives the order it names. Without
// one, an external representation is big-endian and anything else is in host order.
bool TakeByteOrderMark(const UInt8*& bytes, size_t& count, size_t width, bool isExternal) {
    for (bool bigEndian : {true, false}) {
        UInt8 mark[4];
        if (width == 2)
            PutUnit(0xFEFF, bigEndian, mark);
        else
            PutUInt32(0xFEFF, bigEndian, mark);
        if (count >= width && std::memcmp(bytes, mark, width) == 0) {
            bytes += width;
            count -= width;
            return bigEndian;
        }
    }
    return isExternal || kHostIsBigEndian;
}

} // namespace

void __CFStringAppendCodePoint(UInt32 codePoint, __CFUniChars& out) {
    if (codePoint < 0x10000) {
        out.push_back(static_cast<UniChar>(codePoint));
        return;
    }
    codePoint -= 0x10000;
    out.push_back(static_cast<UniChar>(0xD800 + (codePoint >> 10)));
    out.push_back(static_cast<UniChar>(0xDC00 + (codePoint & 0x3FF)));
}

bool __CFStringEncodingSupported(CFStringEncoding encoding) {
    switch (encoding) {
    case kCFStringEncodingMacRoman:
    case kCFStringEncodingASCII:
    case kCFStringEncodingISOLatin1:
    case kCFStringEncodingUTF8:
    case kCFStringEncodingUTF16:
    case kCFStringEncodingUTF16BE:
    case kCFStringEncodingUTF16LE:
    case kCFStringEncodingUTF32:
    case kCFStringEncodingUTF32BE:
    case kCFStringEncodingUTF32LE:
        return true;
    default:
        return false;
    }
}

bool __CFStringDecodeBytes(const UInt8* bytes, size_t count, CFStringEncoding encoding,
                           bool isExternalRepresentation, __CFUniChars& out) {
    if (count > 0 && bytes == nullptr)
        return false;
    __CFUniChars decoded;
    decoded.reserve(count);
    bool ok = false;
    switch (encoding) {
    case kCFStringEncodingMacRoman:
        for (size_t i = 0; i < count; ++i)
            decoded.push_back(bytes[i] < 0x80 ? bytes[i] : kMacRomanHigh[bytes[i] - 0x80]);
        ok = true;
        break;
    case kCFStringEncodingASCII:
        ok = true;
        for (size_t i = 0; i < count && ok; ++i) {
            ok = bytes[i] < 0x80;
            decoded.push_back(bytes[i]);
        }
        break;
    case kCFStringEncodingISOLatin1:
        decoded.assign(bytes, bytes + count);
        ok = true;
        break;
    case kCFStringEncodingUTF8:
        if (isExternalRepresentation && count >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB &&
            bytes[2] == 0xBF) {
            bytes += 3;
            count -= 3;
        }
        ok = DecodeUTF8(bytes, count, decoded);
        break;
    case kCFStringEncodingUTF16: {
        bool bigEndian = TakeByteOrderMark(bytes, count, 2, isExternalRepresentation);
        ok = DecodeUTF16(bytes, count, bigEndian, decoded);
        break;
    }
    case kCFStringEncodingUTF16BE:
        ok = DecodeUTF16(bytes, count, true, decoded);
        break;
    case kCFStringEncodingUTF16LE:
        ok = DecodeUTF16(bytes, count, false, decoded);
        break;
    case kCFStringEncodingUTF32: {
        bool bigEndian = TakeByteOrderMark(bytes, count, 4, isExternalRepresentation);
        ok = DecodeUTF32(bytes, count, bigEndian, decoded);
        break;
    }
    case kCFStringEncodingUTF32BE:
        ok = DecodeUTF32(bytes, count, true, decoded);
        break;
    case kCFStringEncodingUTF32LE:
        ok = DecodeUTF32(bytes, count, false, decoded);
        break;
    default:
        ok = false;
        break;
    }
    if (!ok)
        return false;
    out.insert(out.end(), decoded.begin(), decoded.end());
    return true;
}

size_t __CFStringEncodeCharacter(const UniChar* chars, size_t count, size_t index,
                                 CFStringEncoding encoding, UInt8 out[4], size_t* outLength) {
    UniChar c = chars[index];
    bool paired = IsHighSurrogate(c) && index + 1 < count && IsLowSurrogate(chars[index + 1]);
    UInt32 codePoint =
        paired ? 0x10000 + ((UInt32(c) - 0xD800) << 10) + (chars[index + 1] - 0xDC00) : c;
    bool lone = !paired && (IsHighSurrogate(c) || IsLowSurrogate(c));
    auto oneByte = [&](unsigned byte) -> size_t {
        out[0] = static_cast<UInt8>(byte);
        *outLength = 1;
        return 1;
    };
    switch (encoding) {
    case kCFStringEncodingASCII:
        return c < 0x80 ? oneByte(c) : 0;
    case kCFStringEncodingISOLatin1:
        return c < 0x100 ? oneByte(c) : 0;
    case kCFStringEncodingMacRoman:
        if (c < 0x80)
            return oneByte(c);
        for (unsigned k = 0; k < 128; ++k)
            if (kMacRomanHigh[k] == c)
                return oneByte(0x80 + k);
        return 0;
    case kCFStringEncodingUTF8:
        if (lone)
            return 0;
        if (codePoint < 0x80) {
            out[0] = static_cast<UInt8>(codePoint);
            *outLength = 1;
        } else if (codePoint < 0x800) {
            out[0] = static_cast<UInt8>(0xC0 | (codePoint >> 6));
            out[1] = static_cast<UInt8>(0x80 | (codePoint & 0x3F));
            *outLength = 2;
        } else if (codePoint < 0x10000) {
            out[0] = static_cast<UInt8>(0xE0 | (codePoint >> 12));
            out[1] = static_cast<UInt8>(0x80 | ((codePoint >> 6) & 0x3F));
            out[2] = static_cast<UInt8>(0x80 | (codePoint & 0x3F));
            *outLength = 3;
        } else {
            out[0] = static_cast<UInt8>(0xF0 | (codePoint >> 18));
            out[1] = static_cast<UInt8>(0x80 | ((codePoint >> 12) & 0x3F));
            out[2] = static_cast<UInt8>(0x80 | ((codePoint >> 6) & 0x3F));
            out[3] = static_cast<UInt8>(0x80 | (codePoint & 0x3F));
            *outLength = 4;
        }
        return paired ? 2 : 1;
    case kCFStringEncodingUTF16:
    case kCFStringEncodingUTF16BE:
    case kCFStringEncodingUTF16LE: {
        bool bigEndian = encoding == kCFStringEncodingUTF16BE ||
                         (encoding == kCFStringEncodingUTF16 && kHostIsBigEndian);
        PutUnit(c, bigEndian, out);
        *outLength = 2;
        return 1;
    }
    case kCFStringEncodingUTF32:
    case kCFStringEncodingUTF32BE:
    case kCFStringEncodingUTF32LE: {
        if (lone)
            return 0;
        bool bigEndian = encoding == kCFStringEncodingUTF32BE ||
                         (encoding == kCFStringEncodingUTF32 && kHostIsBigEndian);
        PutUInt32(codePoint, bigEndian, out);
        *outLength = 4;
        return paired ? 2 : 1;
    }
    default:
        return 0;
    }
}

size_t __CFStringByteOrderMark(CFStringEncoding encoding, UInt8 out[4]) {
    if (encoding == kCFStringEncodingUTF16) {
        PutUnit(0xFEFF, kHostIsBigEndian, out);
        return 2;
    }
    if (encoding == kCFStringEncodingUTF32) {
        PutUInt32(0xFEFF, kHostIsBigEndian, out);
        return 4;
    }
    return 0;
}

std::string __CFStringToUTF8(const UniChar* chars, size_t count) {
    std::string text;
    text.reserve(count);
    UInt8 bytes[4];
    size_t length = 0;
    for (size_t i = 0; i < count;) {
        size_t used =
            __CFStringEncodeCharacter(chars, count, i, kCFStringEncodingUTF8, bytes, &length);
        if (used == 0) {
            text += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        text.append(reinterpret_cast<const char*>(bytes), length);
        i += used;
    }
    return text;
}

void __CFStringAppendLenientBytes(const char* bytes, size_t numBytes, __CFUniChars& out) {
    auto* data = reinterpret_cast<const UInt8*>(bytes);
    if (!__CFStringDecodeBytes(data, numBytes, kCFStringEncodingUTF8, false, out))
        __CFStringDecodeBytes(data, numBytes, kCFStringEncodingMacRoman, false, out);
}
