// Well-formed UTF-8, as text from a drive must be before it goes on: a string serial travels in
// a binary property list as UTF-16, where any other bytes become other text, and a name shown
// on a terminal or in the journal must not carry a stray byte taken for a control.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tvb {

// The length of the multi-byte UTF-8 sequence starting at text[at] (shortest form, no
// surrogates, at most U+10FFFF), 0 when none starts there (an ASCII byte included); `code`
// gets the character.
inline size_t Utf8SequenceAt(std::string_view text, size_t at, uint32_t& code) {
    const auto lead = static_cast<unsigned char>(text[at]);
    // Lead bytes 0xc0, 0xc1 and above 0xf4 only ever start overlong or too large forms.
    const size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                          : lead >= 0xe0 && lead <= 0xef ? 3
                          : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                         : 0;
    if (length == 0 || text.size() - at < length)
        return 0;
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    code = lead & (0x7fu >> length);
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xc0) != 0x80)
            return 0;
        code = code << 6 | (next & 0x3fu);
    }
    if (code < kMin[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

inline bool IsUtf8(std::string_view text) {
    uint32_t code = 0;
    for (size_t at = 0; at < text.size();) {
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            ++at;
            continue;
        }
        const size_t length = Utf8SequenceAt(text, at, code);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

} // namespace tvb
