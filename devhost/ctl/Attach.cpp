#include "Ctl.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace tvb::ctl {

namespace {

constexpr const char* kSynopsis =
    "attach SERIAL [--volume NAME:TOTAL_BYTES:FREE_BYTES[:nobsd|:unreadable]]... "
    "[--bridge-serial TEXT | --bridge-serial-hex 32HEXDIGITS] [--settle-ms N] "
    "[--serial-on-ancestor] [--second-storage] [--no-bridge] [--bridge-class NAME] "
    "[--serial-type string|number|data] [--allow-duplicate]";

// NAME:TOTAL:FREE with optional trailing flags; the name may itself hold colons.
bool ParseVolume(const std::string& text, wire::VolumeSpec& out, std::string& why) {
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
    out = wire::VolumeSpec{name, total, free, noBsd, unreadable};
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
    wire::AttachRequest request;
    std::string serial;
    bool bridgeSerialGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--volume" && hasValue) {
            wire::VolumeSpec volume;
            std::string why;
            if (!ParseVolume(args[++i], volume, why))
                return Fail(why);
            if (request.volumes.size() >= wire::VolumeSpecs::kBound)
                return Fail("at most " + std::to_string(wire::VolumeSpecs::kBound) + " volumes");
            request.volumes.push_back(std::move(volume));
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
            request.bridgeSerial = std::move(bytes);
        } else if (arg == "--settle-ms" && hasValue) {
            uint64_t ms = 0;
            if (!ParseDecimal(args[++i], ms) || ms > UINT32_MAX)
                return Fail("--settle-ms needs a number of milliseconds");
            request.settleMs = static_cast<uint32_t>(ms);
        } else if (arg == "--bridge-class" && hasValue) {
            request.bridgeClass = args[++i];
            if (request.bridgeClass.empty())
                return Fail("empty bridge class");
        } else if (arg == "--serial-type" && hasValue) {
            const std::string& type = args[++i];
            if (type == "string")
                request.serialType = static_cast<uint8_t>(wire::SerialType::String);
            else if (type == "number")
                request.serialType = static_cast<uint8_t>(wire::SerialType::Number);
            else if (type == "data")
                request.serialType = static_cast<uint8_t>(wire::SerialType::Data);
            else
                return Fail("--serial-type must be string, number or data");
        } else if (arg == "--serial-on-ancestor") {
            request.serialOnAncestor = true;
        } else if (arg == "--second-storage") {
            request.secondStorage = true;
        } else if (arg == "--no-bridge") {
            request.noBridge = true;
        } else if (arg == "--allow-duplicate") {
            request.allowDuplicate = true;
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
    request.serial = serial;
    wire::AttachAnswer answer;
    if (!Call(context, request, answer))
        return 1;
    std::printf("%s\n", answer.bsdName.c_str());
    return 0;
}

} // namespace tvb::ctl
