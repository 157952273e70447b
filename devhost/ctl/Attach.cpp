#include "Ctl.h"

#include <algorithm>
#include <cstdio>

namespace tvb::ctl {

namespace {

constexpr const char* kSynopsis =
    "attach SERIAL [--volume NAME:TOTAL_BYTES:FREE_BYTES[:nobsd|:unreadable]]... "
    "[--bridge-serial TEXT | --bridge-serial-hex 32HEXDIGITS] [--settle-ms N] "
    "[--serial-on-ancestor] [--second-storage] [--no-bridge] [--bridge-class NAME] "
    "[--serial-type string|number|data] [--allow-duplicate]";

// NAME:TOTAL:FREE with optional trailing flags; the name may itself hold colons.
bool ParseVolume(const std::string& text, plist_t& out, std::string& why) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    bool noBsd = false, unreadable = false;
    while (parts.size() > 3 && (parts.back() == "nobsd" || parts.back() == "unreadable")) {
        (parts.back() == "nobsd" ? noBsd : unreadable) = true;
        parts.pop_back();
    }
    uint64_t total = 0, free = 0;
    if (parts.size() < 3 || !ParseDecimal(parts[parts.size() - 2], total) ||
        !ParseDecimal(parts.back(), free)) {
        why = "malformed --volume " + text + " (NAME:TOTAL_BYTES:FREE_BYTES[:nobsd|:unreadable])";
        return false;
    }
    std::string name = parts[0];
    for (size_t i = 1; i + 2 < parts.size(); ++i)
        name += ":" + parts[i];
    if (name.empty() || free > total) {
        why = "malformed --volume " + text + ": empty name or more free than total";
        return false;
    }
    out = plist_new_dict();
    wire::SetString(out, "name", name);
    wire::SetUInt(out, "totalBytes", total);
    wire::SetUInt(out, "freeBytes", free);
    wire::SetBool(out, "noBsd", noBsd);
    wire::SetBool(out, "unreadable", unreadable);
    return true;
}

bool ParseSerialHex(const std::string& text, std::vector<uint8_t>& out) {
    if (text.size() != 32)
        return false;
    out.clear();
    for (size_t i = 0; i < 32; i += 2) {
        uint64_t byte = 0;
        if (!ParseHex(text.substr(i, 2), byte))
            return false;
        out.push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

} // namespace

int Attach(Context& context, const Args& args) {
    wire::PlistPtr request = wire::NewRequest("attach");
    plist_t body = request.get();
    plist_t volumes = plist_new_array();
    plist_dict_set_item(body, "volumes", volumes);
    std::string serial;
    bool bridgeSerialGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--volume" && hasValue) {
            plist_t volume = nullptr;
            std::string why;
            if (!ParseVolume(args[++i], volume, why))
                return Fail(why);
            plist_array_append_item(volumes, volume);
        } else if ((arg == "--bridge-serial" || arg == "--bridge-serial-hex") && hasValue) {
            if (bridgeSerialGiven)
                return Fail("give the bridge serial once");
            bridgeSerialGiven = true;
            std::vector<uint8_t> bytes;
            if (arg == "--bridge-serial") {
                const std::string& text = args[++i];
                bytes.assign(16, 0);
                std::copy_n(text.begin(), std::min<size_t>(text.size(), 16), bytes.begin());
            } else if (!ParseSerialHex(args[++i], bytes)) {
                return Fail("--bridge-serial-hex needs exactly 32 hex digits");
            }
            wire::SetData(body, "bridgeSerial", bytes.data(), bytes.size());
        } else if (arg == "--settle-ms" && hasValue) {
            uint64_t ms = 0;
            if (!ParseDecimal(args[++i], ms))
                return Fail("--settle-ms needs a number of milliseconds");
            wire::SetUInt(body, "settleMs", ms);
        } else if (arg == "--bridge-class" && hasValue) {
            wire::SetString(body, "bridgeClass", args[++i]);
        } else if (arg == "--serial-type" && hasValue) {
            const std::string& type = args[++i];
            if (type != "string" && type != "number" && type != "data")
                return Fail("--serial-type must be string, number or data");
            wire::SetString(body, "serialType", type);
        } else if (arg == "--serial-on-ancestor") {
            wire::SetBool(body, "serialOnAncestor", true);
        } else if (arg == "--second-storage") {
            wire::SetBool(body, "secondStorage", true);
        } else if (arg == "--no-bridge") {
            wire::SetBool(body, "noBridge", true);
        } else if (arg == "--allow-duplicate") {
            wire::SetBool(body, "allowDuplicate", true);
        } else if (!arg.empty() && arg[0] == '-') {
            return Fail("unknown or incomplete option " + arg);
        } else if (serial.empty()) {
            serial = arg;
        } else {
            return Usage(kSynopsis);
        }
    }
    if (serial.empty())
        return Usage(kSynopsis);
    wire::SetString(body, "serial", serial);
    wire::PlistPtr response = Call(context, std::move(request));
    if (!response)
        return 1;
    std::string bsdName;
    wire::GetString(response.get(), "bsdName", bsdName);
    std::printf("%s\n", bsdName.c_str());
    return 0;
}

} // namespace tvb::ctl
