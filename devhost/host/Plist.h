// Property dictionaries of registry entries, held as libplist nodes, and their values encoded as
// binary property lists for the wire.
// Threading: plain functions. Ownership: PlistPtr frees its node; functions taking a bare
// plist_t borrow it.
#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tvb::host {

struct PlistFree {
    void operator()(void* node) const noexcept {
        if (node != nullptr)
            plist_free(node);
    }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

PlistPtr NewDict();
void SetString(plist_t dict, const char* key, const std::string& value);
void SetUInt(plist_t dict, const char* key, uint64_t value);
void SetBool(plist_t dict, const char* key, bool value);
void SetData(plist_t dict, const char* key, const void* bytes, size_t length);

// False (and `out` untouched) when the key is missing or ill-typed.
plist_t GetItem(plist_t dict, const char* key);
bool GetString(plist_t dict, const char* key, std::string& out);
bool GetUInt(plist_t dict, const char* key, uint64_t& out);
bool GetData(plist_t dict, const char* key, std::vector<uint8_t>& out);

// `node` as a binary property list; false when libplist cannot encode it.
bool EncodeBinary(plist_t node, std::vector<uint8_t>& out);

} // namespace tvb::host
