#include "Ctl.h"

#include <algorithm>
#include <cstdio>

namespace tvb::ctl {

namespace {

enum : int {
    kVolume = 256,
    kBridgeSerial,
    kBridgeSerialHex,
    kSettleMs,
    kBridgeClass,
    kSerialType,
    kSerialOnAncestor,
    kSecondStorage,
    kNoBridge,
    kAllowDuplicate,
};

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

const VerbHelp kAttachHelp = {
    "attach",
    "attach SERIAL [--volume NAME:TOTAL:FREE[:nobsd][:unreadable]]... "
    "[--bridge-serial TEXT | --bridge-serial-hex 32HEX] [--settle-ms N] [--serial-on-ancestor] "
    "[--second-storage] [--no-bridge] [--bridge-class NAME] "
    "[--serial-type string|number|data] [--allow-duplicate]",
    "Plugs in a simulated drive; prints its whole-disk BSD name.",
    "SERIAL is the drive's registry serial (serial_number_core).\n"
    "\n"
    "  --volume NAME:TOTAL:FREE[:nobsd][:unreadable]\n"
    "                       a volume (sizes in bytes; NAME may hold colons); nobsd: no BSD\n"
    "                       device, unreadable: its size cannot be read; repeatable\n"
    "  --bridge-serial TEXT the serial the bridge reports (cut or padded with NULs to 16 bytes)\n"
    "  --bridge-serial-hex 32HEX\n"
    "                       the same as 16 bytes in hex\n"
    "  --settle-ms N        every new entry stays busy for N ms\n"
    "  --serial-on-ancestor the serial sits on the USB device, not the bridge\n"
    "  --second-storage     a second block storage (no media) under the bridge\n"
    "  --no-bridge          the block storage hangs on the USB device\n"
    "  --bridge-class NAME  the bridge is a subclass NAME of com_ostrel_IOTVB\n"
    "  --serial-type string|number|data\n"
    "                       how the registry serial is stored\n"
    "  --allow-duplicate    attach even when a drive with SERIAL is attached\n",
};

int Attach(Context& context, const Args& args) {
    wire::AttachRequest request;
    bool emptyBridgeClass = false;
    bool bridgeSerialGiven = false;
    VerbParser parser(kAttachHelp,
                      {{"volume", true, kVolume},
                       {"bridge-serial", true, kBridgeSerial},
                       {"bridge-serial-hex", true, kBridgeSerialHex},
                       {"settle-ms", true, kSettleMs},
                       {"bridge-class", true, kBridgeClass},
                       {"serial-type", true, kSerialType},
                       {"serial-on-ancestor", false, kSerialOnAncestor},
                       {"second-storage", false, kSecondStorage},
                       {"no-bridge", false, kNoBridge},
                       {"allow-duplicate", false, kAllowDuplicate}},
                      {"SERIAL"});
    const int parsed = parser.Parse(args, [&](int key, const std::string& value) -> std::string {
        switch (key) {
        case kVolume: {
            wire::VolumeSpec volume;
            std::string why;
            if (!ParseVolume(value, volume, why))
                return why;
            if (request.volumes.size() >= wire::VolumeSpecs::kBound)
                return "at most " + std::to_string(wire::VolumeSpecs::kBound) + " volumes";
            request.volumes.push_back(std::move(volume));
            break;
        }
        case kBridgeSerial:
        case kBridgeSerialHex: {
            if (bridgeSerialGiven)
                return "give the bridge serial once";
            bridgeSerialGiven = true;
            std::vector<uint8_t> bytes;
            if (key == kBridgeSerial) {
                bytes.assign(16, 0);
                std::copy_n(value.begin(), std::min<size_t>(value.size(), 16), bytes.begin());
            } else if (!ParseSerialHex(value, bytes)) {
                return "--bridge-serial-hex needs exactly 32 hex digits";
            }
            request.bridgeSerial = std::move(bytes);
            break;
        }
        case kSettleMs: {
            uint64_t ms = 0;
            if (!ParseDecimal(value, ms) || ms > UINT32_MAX)
                return "--settle-ms needs a number of milliseconds, not '" + value + "'";
            request.settleMs = static_cast<uint32_t>(ms);
            break;
        }
        case kBridgeClass:
            // An empty class is the host's to refuse; on the wire empty means the bridge's own.
            emptyBridgeClass = value.empty();
            request.bridgeClass = value;
            break;
        case kSerialType:
            if (value == "string")
                request.serialType = static_cast<uint8_t>(wire::SerialType::String);
            else if (value == "number")
                request.serialType = static_cast<uint8_t>(wire::SerialType::Number);
            else if (value == "data")
                request.serialType = static_cast<uint8_t>(wire::SerialType::Data);
            else
                return "--serial-type must be string, number or data";
            break;
        case kSerialOnAncestor:
            request.serialOnAncestor = true;
            break;
        case kSecondStorage:
            request.secondStorage = true;
            break;
        case kNoBridge:
            request.noBridge = true;
            break;
        case kAllowDuplicate:
            request.allowDuplicate = true;
            break;
        }
        return "";
    });
    if (parsed != VerbParser::kRun)
        return parsed;
    if (emptyBridgeClass)
        return Fail("empty bridge class");
    request.serial = parser.Operands()[0];
    wire::AttachAnswer answer;
    if (!Call(context, request, answer))
        return context.failure;
    std::printf("%s\n", answer.bsdName.c_str());
    return 0;
}

} // namespace tvb::ctl
