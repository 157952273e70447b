#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

namespace {
constexpr int kControlTimeoutMs = 5000;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "tvbctl: %s\n", message.c_str());
    return 1;
}

int Usage(const std::string& synopsis) {
    std::fprintf(stderr, "tvbctl: usage: tvbctl [--socket PATH] %s\n", synopsis.c_str());
    return 2;
}

wire::PlistPtr DriveRequest(const char* op, const std::string& drive) {
    wire::PlistPtr request = wire::NewRequest(op);
    wire::SetString(request.get(), "drive", drive);
    return request;
}

int SendToDrive(Context& context, const Args& args, const char* op) {
    if (args.size() != 1)
        return Usage(std::string(op) + " SERIAL|BSD");
    return Send(context, DriveRequest(op, args[0]));
}

std::vector<plist_t> Items(plist_t dict, const char* key) {
    plist_t array = wire::GetItem(dict, key);
    std::vector<plist_t> items;
    if (array == nullptr || plist_get_node_type(array) != PLIST_ARRAY)
        return items;
    for (uint32_t i = 0, n = plist_array_get_size(array); i < n; ++i)
        items.push_back(plist_array_get_item(array, i));
    return items;
}

std::string Text(plist_t node) {
    const char* text = plist_get_string_ptr(node, nullptr);
    return text ? text : "";
}

wire::PlistPtr Call(Context& context, wire::PlistPtr request) {
    std::string error;
    if (!context.connection.IsOpen() && !context.connection.Connect(context.socketPath, &error)) {
        Fail(error);
        return nullptr;
    }
    wire::PlistPtr response = context.connection.Request(request.get(), kControlTimeoutMs, &error);
    if (!response) {
        Fail(error);
        return nullptr;
    }
    const int32_t status = wire::StatusOf(response.get());
    if (status != wire::kStatusSuccess) {
        std::string why;
        if (!wire::GetString(response.get(), "error", why) || why.empty()) {
            char code[64];
            std::snprintf(code, sizeof code, "the host answered 0x%08x", unsigned(status));
            why = code;
        }
        Fail(why);
        return nullptr;
    }
    return response;
}

int Send(Context& context, wire::PlistPtr request) {
    return Call(context, std::move(request)) ? 0 : 1;
}

int PrintEach(Context& context, wire::PlistPtr request, const char* key, void (*print)(plist_t)) {
    wire::PlistPtr response = Call(context, std::move(request));
    if (!response)
        return 1;
    for (plist_t item : Items(response.get(), key))
        print(item);
    return 0;
}

bool ParseDecimal(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

bool ParseHex(const std::string& text, uint64_t& out) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 16)
        return false;
    uint64_t value = 0;
    for (char c : digits) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            return false;
        value = value << 4 | static_cast<uint64_t>(v);
    }
    out = value;
    return true;
}

} // namespace tvb::ctl
