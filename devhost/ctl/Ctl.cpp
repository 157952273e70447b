#include "Ctl.h"

#include <cstdio>

namespace tvb::ctl {

int Fail(const std::string& message) {
    std::fprintf(stderr, "tvbctl: %s\n", message.c_str());
    return 1;
}

int Usage(const std::string& synopsis) {
    std::fprintf(stderr, "tvbctl: usage: tvbctl [--socket PATH] %s\n", synopsis.c_str());
    return 2;
}

bool Connected(Context& context) {
    std::string error;
    if (!context.connection.IsOpen() && !context.connection.Connect(context.socketPath, &error)) {
        Fail(error);
        return false;
    }
    return true;
}

bool Check(const wire::CallStatus& status) {
    if (status.Ok())
        return true;
    std::string why = status.error;
    if (why.empty()) {
        char code[64];
        std::snprintf(code, sizeof code, "the host answered 0x%08x", unsigned(status.status));
        why = code;
    }
    Fail(why);
    return false;
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
