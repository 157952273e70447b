// The screen every binary property list passes before libplist parses it, whoever sent it: the
// device host's peers and files anyone may have written. libplist parses recursively and
// expands shared objects, and aborts on strings holding NUL, so a graph nested deeper than
// kMaxDepth, with a cycle, expanding to more than kMaxNodes nodes or to more nodes than it has
// bytes, with a reference or length out of bounds, or with a string holding NUL is refused.
// Threading: no shared state. Ownership: the bytes are borrowed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tvb::plistguard {

constexpr size_t kMaxDepth = 256;
constexpr uint64_t kMaxNodes = 1u << 20;

// True when `data` is a binary property list ("bplist00") libplist may parse.
bool BinaryPlistIsSafe(const uint8_t* data, size_t length);

} // namespace tvb::plistguard
