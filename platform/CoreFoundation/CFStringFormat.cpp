// The printf-style engine behind CFStringCreateWithFormat and CFStringAppendFormat.
// It parses the whole format first, works out the type of every argument position, and
// only then reads the arguments in order, so positional conversions (%2$@) and '*'
// widths read each argument exactly once with the type it was passed as. A conversion
// that cannot be understood, or whose argument cannot be located, is copied as text and
// no argument is read for it or after a gap in the positions.
#include "CFString_Internal.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <type_traits>

#include <sys/types.h>

namespace {

// Anything larger is taken as a garbled format rather than a request for megabytes.
constexpr int kMaxField = 65535;
constexpr int kMaxArgumentPosition = 256;

enum class Length { None, HH, H, L, LL, BigL, Z, T, J };

enum class Kind {
    Unused,
    Int,
    Long,
    LongLong,
    SizeT,
    PtrDiff,
    IntMax,
    Double,
    LongDouble,
    Pointer
};

struct Conversion {
    size_t start = 0; // the '%'
    size_t end = 0;   // one past the conversion character
    bool valid = false;
    bool minus = false, plus = false, space = false, hash = false, zero = false;
    bool hasWidth = false, hasPrecision = false;
    int width = 0, precision = 0;
    int widthArg = 0, precisionArg = 0; // 1-based argument positions of '*' fields
    int valueArg = 0;                   // 0 for %%
    int explicitPosition = 0;
    int widthPosition = 0, precisionPosition = 0; // from "*n$"
    bool widthStar = false, precisionStar = false;
    Length length = Length::None;
    char conversion = 0;
};

struct Argument {
    long long integer = 0;
    double real = 0;
    long double longReal = 0;
    const void* pointer = nullptr;
};

bool IsDigit(UniChar c) {
    return c >= '0' && c <= '9';
}

// Reads a decimal number; false when it does not fit in kMaxField or kMaxArgumentPosition.
bool ReadNumber(const __CFUniChars& format, size_t& i, int limit, int& value) {
    long long result = 0;
    while (i < format.size() && IsDigit(format[i])) {
        result = result * 10 + (format[i] - '0');
        if (result > limit)
            return false;
        ++i;
    }
    value = static_cast<int>(result);
    return true;
}

// "n$" after a '*' or at the start of a conversion; i is left alone when absent.
bool ReadPosition(const __CFUniChars& format, size_t& i, int& position) {
    size_t j = i;
    if (j >= format.size() || !IsDigit(format[j]) || format[j] == '0')
        return true;
    int value = 0;
    if (!ReadNumber(format, j, kMaxArgumentPosition, value))
        return j < format.size() && format[j] == '$' ? false : true;
    if (j < format.size() && format[j] == '$') {
        position = value;
        i = j + 1;
    }
    return true;
}

// A length modifier; h and l may be doubled.
struct LengthModifier {
    UniChar letter;
    Length once;
    Length twice; // None: not doubled
};

constexpr LengthModifier kLengthModifiers[] = {
    {'h', Length::H, Length::HH},    {'l', Length::L, Length::LL},
    {'q', Length::LL, Length::None}, {'L', Length::BigL, Length::None},
    {'z', Length::Z, Length::None},  {'t', Length::T, Length::None},
    {'j', Length::J, Length::None},
};

Length ReadLength(const __CFUniChars& format, size_t& i) {
    if (i >= format.size())
        return Length::None;
    for (const LengthModifier& modifier : kLengthModifiers) {
        if (format[i] != modifier.letter)
            continue;
        ++i;
        if (modifier.twice != Length::None && i < format.size() && format[i] == modifier.letter) {
            ++i;
            return modifier.twice;
        }
        return modifier.once;
    }
    return Length::None;
}

// Parses one conversion starting at format[start] == '%'. Always advances end past
// whatever it consumed, valid or not.
Conversion Parse(const __CFUniChars& format, size_t start) {
    Conversion c;
    c.start = start;
    size_t i = start + 1;
    const size_t n = format.size();
    auto fail = [&](size_t at) {
        c.valid = false;
        c.end = at > n ? n : at;
        return c;
    };
    if (!ReadPosition(format, i, c.explicitPosition))
        return fail(i);
    for (; i < n; ++i) {
        UniChar f = format[i];
        if (f == '-')
            c.minus = true;
        else if (f == '+')
            c.plus = true;
        else if (f == ' ')
            c.space = true;
        else if (f == '#')
            c.hash = true;
        else if (f == '0')
            c.zero = true;
        else if (f != '\'')
            break;
    }
    if (i < n && format[i] == '*') {
        ++i;
        c.widthStar = true;
        c.hasWidth = true;
        if (!ReadPosition(format, i, c.widthPosition))
            return fail(i);
    } else if (i < n && IsDigit(format[i])) {
        c.hasWidth = true;
        if (!ReadNumber(format, i, kMaxField, c.width))
            return fail(i + 1);
    }
    if (i < n && format[i] == '.') {
        ++i;
        c.hasPrecision = true;
        if (i < n && format[i] == '*') {
            ++i;
            c.precisionStar = true;
            if (!ReadPosition(format, i, c.precisionPosition))
                return fail(i);
        } else if (!ReadNumber(format, i, kMaxField, c.precision)) {
            return fail(i + 1);
        }
    }
    c.length = ReadLength(format, i);
    if (i >= n)
        return fail(n);
    UniChar conversion = format[i];
    c.end = i + 1;
    if (conversion >= 0x80 ||
        std::strchr("diouxXcCsSpn@fFeEgGaA%", static_cast<char>(conversion)) == nullptr ||
        conversion == 0)
        return fail(i + 1);
    c.conversion = static_cast<char>(conversion);
    c.valid = true;
    return c;
}

Kind KindOf(const Conversion& c) {
    switch (c.conversion) {
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        switch (c.length) {
        case Length::L:
            return Kind::Long;
        case Length::LL:
        case Length::BigL:
            return Kind::LongLong;
        case Length::Z:
            return Kind::SizeT;
        case Length::T:
            return Kind::PtrDiff;
        case Length::J:
            return Kind::IntMax;
        default:
            return Kind::Int;
        }
    case 'c':
    case 'C':
        return Kind::Int;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        return c.length == Length::BigL ? Kind::LongDouble : Kind::Double;
    case '%':
        return Kind::Unused;
    default:
        return Kind::Pointer;
    }
}

void AppendASCII(const char* text, size_t length, __CFUniChars& out) {
    for (size_t i = 0; i < length; ++i)
        out.push_back(static_cast<unsigned char>(text[i]));
}

template <typename T> void AppendPrintf(const std::string& directive, T value, __CFUniChars& out) {
    int needed = std::snprintf(nullptr, 0, directive.c_str(), value);
    if (needed <= 0)
        return;
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::snprintf(&text[0], text.size(), directive.c_str(), value);
    AppendASCII(text.data(), static_cast<size_t>(needed), out);
}

const char* LengthText(Length length) {
    switch (length) {
    case Length::HH:
        return "hh";
    case Length::H:
        return "h";
    case Length::L:
        return "l";
    case Length::LL:
    case Length::BigL:
        return "ll";
    case Length::Z:
        return "z";
    case Length::T:
        return "t";
    case Length::J:
        return "j";
    default:
        return "";
    }
}

std::string PrintfDirective(const Conversion& c, int width, int precision, bool minus,
                            bool forReal) {
    std::string directive = "%";
    if (minus)
        directive += '-';
    if (c.plus)
        directive += '+';
    if (c.space)
        directive += ' ';
    if (c.hash)
        directive += '#';
    if (c.zero)
        directive += '0';
    if (width > 0)
        directive += std::to_string(width);
    if (precision >= 0)
        directive += "." + std::to_string(precision);
    if (forReal) {
        if (c.length == Length::BigL)
            directive += 'L';
    } else {
        directive += LengthText(c.length);
    }
    directive += c.conversion;
    return directive;
}

// The argument as the signed type of its length modifier, or that type's unsigned twin.
template <typename Signed>
void AppendIntegerAs(bool isSigned, const std::string& directive, long long v, __CFUniChars& out) {
    if (isSigned)
        AppendPrintf(directive, static_cast<Signed>(v), out);
    else
        AppendPrintf(directive, static_cast<std::make_unsigned_t<Signed>>(v), out);
}

void AppendInteger(const Conversion& c, const std::string& directive, long long v,
                   __CFUniChars& out) {
    bool isSigned = c.conversion == 'd' || c.conversion == 'i';
    switch (c.length) {
    case Length::L:
        return AppendIntegerAs<long>(isSigned, directive, v, out);
    case Length::LL:
    case Length::BigL:
        return AppendIntegerAs<long long>(isSigned, directive, v, out);
    case Length::Z:
        return AppendIntegerAs<ssize_t>(isSigned, directive, v, out);
    case Length::T:
        return AppendIntegerAs<ptrdiff_t>(isSigned, directive, v, out);
    case Length::J:
        return AppendIntegerAs<intmax_t>(isSigned, directive, v, out);
    default:
        return AppendIntegerAs<int>(isSigned, directive, v, out);
    }
}

// A wide character or code point as UTF-16; anything beyond Unicode becomes U+FFFD.
void AppendWide(UInt32 codePoint, __CFUniChars& out) {
    __CFStringAppendCodePoint(codePoint > 0x10FFFF ? 0xFFFD : codePoint, out);
}

// Length of a C string read no further than limit bytes (limit < 0: no limit).
size_t BoundedLength(const char* text, int limit) {
    if (limit < 0)
        return std::strlen(text);
    return strnlen(text, static_cast<size_t>(limit));
}

// Drops a UTF-8 sequence that a precision cut short, so the rest still decodes as UTF-8.
size_t TrimPartialUTF8(const char* text, size_t length) {
    size_t lead = length;
    size_t back = 0;
    while (lead > 0 && back < 4) {
        --lead;
        ++back;
        auto byte = static_cast<unsigned char>(text[lead]);
        if ((byte & 0xC0) != 0x80) {
            size_t need = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            return need > back ? lead : length;
        }
    }
    return length;
}

void AppendPadded(const Conversion& c, int width, bool minus, const __CFUniChars& text,
                  __CFUniChars& out) {
    size_t pad = width > 0 && static_cast<size_t>(width) > text.size()
                     ? static_cast<size_t>(width) - text.size()
                     : 0;
    UniChar fill = c.zero && !minus && c.conversion != '@' ? '0' : ' ';
    if (!minus)
        out.insert(out.end(), pad, fill);
    out.insert(out.end(), text.begin(), text.end());
    if (minus)
        out.insert(out.end(), pad, ' ');
}

void AppendNull(__CFUniChars& text) {
    AppendASCII("(null)", 6, text);
}

// Width and precision after '*' arguments are applied: a negative '*' width means
// left-justified, a negative '*' precision means none.
struct Field {
    int width = 0;
    int precision = -1;
    bool minus = false;
};

Field ResolveField(const Conversion& c, const std::vector<Argument>& args) {
    Field f;
    f.width = c.width;
    f.minus = c.minus;
    if (c.widthStar) {
        int asInt = static_cast<int>(args[c.widthArg].integer);
        if (asInt < 0) {
            f.minus = true;
            f.width = asInt == INT_MIN ? kMaxField : -asInt;
        } else {
            f.width = asInt;
        }
    }
    if (f.width > kMaxField)
        f.width = kMaxField;
    f.precision = c.hasPrecision ? c.precision : -1;
    if (c.precisionStar) {
        int p = static_cast<int>(args[c.precisionArg].integer);
        f.precision = p < 0 ? -1 : p;
    }
    if (f.precision > kMaxField)
        f.precision = kMaxField;
    return f;
}

void RenderCString(const Conversion& c, const void* pointer, int precision, __CFUniChars& text) {
    if (pointer == nullptr) {
        AppendNull(text);
    } else if (c.length == Length::L) {
        auto* wide = static_cast<const wchar_t*>(pointer);
        for (int k = 0; wide[k] != 0 && (precision < 0 || k < precision); ++k)
            AppendWide(static_cast<UInt32>(wide[k]), text);
    } else {
        auto* bytes = static_cast<const char*>(pointer);
        size_t length = BoundedLength(bytes, precision);
        if (precision >= 0)
            length = TrimPartialUTF8(bytes, length);
        __CFStringAppendLenientBytes(bytes, length, text);
    }
}

void RenderUniChars(const void* pointer, int precision, __CFUniChars& text) {
    if (pointer == nullptr) {
        AppendNull(text);
        return;
    }
    auto* units = static_cast<const UniChar*>(pointer);
    for (int k = 0; units[k] != 0 && (precision < 0 || k < precision); ++k)
        text.push_back(units[k]);
}

void RenderObject(const void* pointer, int precision, __CFUniChars& text) {
    CFStringRef description = pointer ? __CFCopyFormattingDescription(pointer) : nullptr;
    const __CFString* string = __CFCast<const __CFString>(description, __kCFStringTypeID);
    if (string == nullptr) {
        AppendNull(text);
    } else {
        size_t count = string->mChars.size();
        if (precision >= 0 && static_cast<size_t>(precision) < count)
            count = static_cast<size_t>(precision);
        text.insert(text.end(), string->mChars.begin(),
                    string->mChars.begin() + static_cast<ptrdiff_t>(count));
    }
    if (description != nullptr)
        CFRelease(description);
}

// The conversions printf cannot do for us; their text is padded afterwards.
void RenderText(const Conversion& c, const Argument& value, int precision, __CFUniChars& text) {
    switch (c.conversion) {
    case 'p': {
        char buffer[32];
        int length = std::snprintf(
            buffer, sizeof buffer, "0x%llx",
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(value.pointer)));
        AppendASCII(buffer, static_cast<size_t>(length), text);
        break;
    }
    case 'c':
        if (c.length == Length::L) {
            AppendWide(static_cast<UInt32>(value.integer), text);
        } else {
            char byte = static_cast<char>(value.integer);
            __CFStringAppendLenientBytes(&byte, 1, text);
        }
        break;
    case 'C':
        text.push_back(static_cast<UniChar>(value.integer));
        break;
    case 's':
        RenderCString(c, value.pointer, precision, text);
        break;
    case 'S':
        RenderUniChars(value.pointer, precision, text);
        break;
    case '@':
        RenderObject(value.pointer, precision, text);
        break;
    }
}

void Render(const Conversion& c, const std::vector<Argument>& args, __CFUniChars& out) {
    if (c.conversion == '%') {
        out.push_back('%');
        return;
    }
    const Field f = ResolveField(c, args);
    const Argument& value = args[c.valueArg];
    switch (c.conversion) {
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        AppendInteger(c, PrintfDirective(c, f.width, f.precision, f.minus, false), value.integer,
                      out);
        return;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A': {
        std::string directive = PrintfDirective(c, f.width, f.precision, f.minus, true);
        if (c.length == Length::BigL)
            AppendPrintf(directive, value.longReal, out);
        else
            AppendPrintf(directive, value.real, out);
        return;
    }
    case 'n':
        return; // never writes through a pointer taken from a format
    default: {
        __CFUniChars text;
        RenderText(c, value, f.precision, text);
        AppendPadded(c, f.width, f.minus, text, out);
    }
    }
}

std::vector<Conversion> ParseAll(const __CFUniChars& format) {
    std::vector<Conversion> conversions;
    for (size_t i = 0; i < format.size();) {
        if (format[i] != '%') {
            ++i;
            continue;
        }
        conversions.push_back(Parse(format, i));
        i = conversions.back().end;
    }
    return conversions;
}

// Gives every conversion its argument positions (explicit ones as written, the rest in
// order of appearance) and returns the type each position is read as. A conversion
// whose positions clash in type, or lie too far out, becomes invalid.
std::vector<Kind> AssignPositions(std::vector<Conversion>& conversions) {
    std::vector<Kind> kinds(1, Kind::Unused); // index 0: %% and invalid conversions
    auto claim = [&kinds](int position, Kind kind) {
        if (static_cast<size_t>(position) >= kinds.size())
            kinds.resize(static_cast<size_t>(position) + 1, Kind::Unused);
        if (kinds[position] == Kind::Unused)
            kinds[position] = kind;
        return kinds[position] == kind;
    };
    int next = 1;
    for (Conversion& c : conversions) {
        if (!c.valid || c.conversion == '%')
            continue;
        if (c.widthStar)
            c.widthArg = c.widthPosition ? c.widthPosition : next++;
        if (c.precisionStar)
            c.precisionArg = c.precisionPosition ? c.precisionPosition : next++;
        c.valueArg = c.explicitPosition ? c.explicitPosition : next++;
        if (c.valueArg > kMaxArgumentPosition || c.widthArg > kMaxArgumentPosition ||
            c.precisionArg > kMaxArgumentPosition) {
            c.valid = false;
            continue;
        }
        bool ok = true;
        if (c.widthStar)
            ok = claim(c.widthArg, Kind::Int) && ok;
        if (c.precisionStar)
            ok = claim(c.precisionArg, Kind::Int) && ok;
        ok = claim(c.valueArg, KindOf(c)) && ok;
        c.valid = ok;
    }
    return kinds;
}

// Reads the arguments up to the first position that no conversion describes; index 0
// stays empty.
std::vector<Argument> ReadArguments(const std::vector<Kind>& kinds, va_list arguments) {
    size_t readable = 1;
    while (readable < kinds.size() && kinds[readable] != Kind::Unused)
        ++readable;
    std::vector<Argument> args(readable);
    va_list ap;
    va_copy(ap, arguments);
    for (size_t k = 1; k < readable; ++k) {
        Argument& a = args[k];
        switch (kinds[k]) {
        case Kind::Int:
            a.integer = va_arg(ap, int);
            break;
        case Kind::Long:
            a.integer = va_arg(ap, long);
            break;
        case Kind::LongLong:
            a.integer = va_arg(ap, long long);
            break;
        case Kind::SizeT:
            a.integer = static_cast<long long>(va_arg(ap, size_t));
            break;
        case Kind::PtrDiff:
            a.integer = va_arg(ap, ptrdiff_t);
            break;
        case Kind::IntMax:
            a.integer = va_arg(ap, intmax_t);
            break;
        case Kind::Double:
            a.real = va_arg(ap, double);
            break;
        case Kind::LongDouble:
            a.longReal = va_arg(ap, long double);
            break;
        case Kind::Pointer:
            a.pointer = va_arg(ap, const void*);
            break;
        case Kind::Unused:
            break;
        }
    }
    va_end(ap);
    return args;
}

} // namespace

void __CFStringFormatAppend(const __CFUniChars& format, va_list arguments, __CFUniChars& out) {
    std::vector<Conversion> conversions = ParseAll(format);
    const std::vector<Argument> args = ReadArguments(AssignPositions(conversions), arguments);
    const size_t readable = args.size();

    size_t cursor = 0;
    for (const Conversion& c : conversions) {
        out.insert(out.end(), format.begin() + static_cast<ptrdiff_t>(cursor),
                   format.begin() + static_cast<ptrdiff_t>(c.start));
        bool usable = c.valid && static_cast<size_t>(c.valueArg) < readable &&
                      static_cast<size_t>(c.widthArg) < readable &&
                      static_cast<size_t>(c.precisionArg) < readable;
        if (usable)
            Render(c, args, out);
        else
            out.insert(out.end(), format.begin() + static_cast<ptrdiff_t>(c.start),
                       format.begin() + static_cast<ptrdiff_t>(c.end));
        cursor = c.end;
    }
    out.insert(out.end(), format.begin() + static_cast<ptrdiff_t>(cursor), format.end());
}
