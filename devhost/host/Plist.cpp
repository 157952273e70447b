#include "Plist.h"

namespace tvb::host {

namespace {

bool IsDict(plist_t node) {
    return node != nullptr && plist_get_node_type(node) == PLIST_DICT;
}

} // namespace

PlistPtr NewDict() {
    return PlistPtr(plist_new_dict());
}

void SetString(plist_t dict, const char* key, const std::string& value) {
    plist_dict_set_item(dict, key, plist_new_string(value.c_str()));
}

void SetUInt(plist_t dict, const char* key, uint64_t value) {
    plist_dict_set_item(dict, key, plist_new_uint(value));
}

void SetBool(plist_t dict, const char* key, bool value) {
    plist_dict_set_item(dict, key, plist_new_bool(value ? 1 : 0));
}

void SetData(plist_t dict, const char* key, const void* bytes, size_t length) {
    // libplist copies the bytes; an empty data node still needs a valid pointer.
    static const char none = 0;
    plist_dict_set_item(dict, key,
                        plist_new_data(length ? static_cast<const char*>(bytes) : &none, length));
}

plist_t GetItem(plist_t dict, const char* key) {
    return IsDict(dict) ? plist_dict_get_item(dict, key) : nullptr;
}

bool GetString(plist_t dict, const char* key, std::string& out) {
    plist_t node = GetItem(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
        return false;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr)
        return false;
    out.assign(text, length);
    return true;
}

bool GetUInt(plist_t dict, const char* key, uint64_t& out) {
    plist_t node = GetItem(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT)
        return false;
    plist_get_uint_val(node, &out);
    return true;
}

bool GetData(plist_t dict, const char* key, std::vector<uint8_t>& out) {
    plist_t node = GetItem(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_DATA)
        return false;
    uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(node, &length);
    if (bytes == nullptr && length != 0)
        return false;
    out.assign(reinterpret_cast<const uint8_t*>(bytes),
               reinterpret_cast<const uint8_t*>(bytes) + length);
    return true;
}

bool EncodeBinary(plist_t node, std::vector<uint8_t>& out) {
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &raw, &length);
    if (raw == nullptr)
        return false;
    out.assign(reinterpret_cast<const uint8_t*>(raw),
               reinterpret_cast<const uint8_t*>(raw) + length);
    plist_to_bin_free(raw);
    return length > 0;
}

} // namespace tvb::host
