#include "Drive.h"

#include <algorithm>

namespace tvb::host {

namespace {

const std::vector<std::string> kServiceBase = {"IOService", "IORegistryEntry", "OSObject"};

std::vector<std::string> Chain(std::initializer_list<std::string> derived) {
    std::vector<std::string> chain(derived);
    chain.insert(chain.end(), kServiceBase.begin(), kServiceBase.end());
    return chain;
}

// Present with the wrong type is malformed; absent leaves `out` as it was.
bool OptionalBool(plist_t dict, const char* key, bool& out) {
    return wire::GetItem(dict, key) == nullptr || wire::GetBool(dict, key, out);
}

bool OptionalString(plist_t dict, const char* key, std::string& out) {
    return wire::GetItem(dict, key) == nullptr || wire::GetString(dict, key, out);
}

bool OptionalUInt(plist_t dict, const char* key, uint64_t& out) {
    return wire::GetItem(dict, key) == nullptr || wire::GetUInt(dict, key, out);
}

constexpr uint64_t kMaxSettleMs = 10 * 60 * 1000;
constexpr size_t kMaxVolumes = 64;

} // namespace

bool ParseFault(const std::string& text, Fault& out) {
    static const std::pair<const char*, Fault> kNames[] = {
        {"none", Fault::None},
        {"refuse-open", Fault::RefuseOpen},
        {"refuse-selector0", Fault::RefuseSelector0},
        {"fail-command", Fault::FailCommand},
        {"short-answer", Fault::ShortAnswer},
        {"slow-answer", Fault::SlowAnswer},
    };
    for (const auto& [name, fault] : kNames) {
        if (text == name) {
            out = fault;
            return true;
        }
    }
    return false;
}

const char* FaultName(Fault fault) {
    switch (fault) {
    case Fault::None:
        return "none";
    case Fault::RefuseOpen:
        return "refuse-open";
    case Fault::RefuseSelector0:
        return "refuse-selector0";
    case Fault::FailCommand:
        return "fail-command";
    case Fault::ShortAnswer:
        return "short-answer";
    case Fault::SlowAnswer:
        return "slow-answer";
    }
    return "none";
}

SpecCheck DriveSpecFromRequest(plist_t request, DriveSpec& out, std::string& why) {
    DriveSpec plan;
    if (!wire::GetString(request, "serial", plan.serial))
        return SpecCheck::Malformed;
    uint64_t settle = 0;
    std::string serialType = "string";
    if (!OptionalUInt(request, "settleMs", settle) ||
        !OptionalBool(request, "serialOnAncestor", plan.serialOnAncestor) ||
        !OptionalBool(request, "secondStorage", plan.secondStorage) ||
        !OptionalBool(request, "noBridge", plan.noBridge) ||
        !OptionalBool(request, "allowDuplicate", plan.allowDuplicate) ||
        !OptionalString(request, "bridgeClass", plan.bridgeClass) ||
        !OptionalString(request, "serialType", serialType))
        return SpecCheck::Malformed;

    if (plan.serial.empty() || plan.serial.find('\0') != std::string::npos) {
        why = "the serial must be non-empty text";
        return SpecCheck::Invalid;
    }
    if (settle > kMaxSettleMs) {
        why = "settle time above " + std::to_string(kMaxSettleMs) + " ms";
        return SpecCheck::Invalid;
    }
    plan.settleMs = static_cast<uint32_t>(settle);
    if (plan.bridgeClass.empty()) {
        why = "empty bridge class";
        return SpecCheck::Invalid;
    }
    if (serialType == "string")
        plan.serialType = SerialType::String;
    else if (serialType == "number")
        plan.serialType = SerialType::Number;
    else if (serialType == "data")
        plan.serialType = SerialType::Data;
    else {
        why = "serial type must be string, number or data";
        return SpecCheck::Invalid;
    }

    if (wire::GetItem(request, "bridgeSerial") != nullptr) {
        std::vector<uint8_t> bytes;
        if (!wire::GetData(request, "bridgeSerial", bytes))
            return SpecCheck::Malformed;
        if (bytes.size() != plan.bridgeSerial.size()) {
            why = "the bridge serial must be 16 bytes";
            return SpecCheck::Invalid;
        }
        std::copy(bytes.begin(), bytes.end(), plan.bridgeSerial.begin());
    } else {
        // The driver's field is 16 bytes: longer serials are cut, shorter ones NUL-padded.
        std::copy_n(plan.serial.begin(), std::min(plan.serial.size(), plan.bridgeSerial.size()),
                    plan.bridgeSerial.begin());
    }

    if (plist_t volumes = wire::GetItem(request, "volumes")) {
        if (plist_get_node_type(volumes) != PLIST_ARRAY)
            return SpecCheck::Malformed;
        const uint32_t count = plist_array_get_size(volumes);
        if (count > kMaxVolumes) {
            why = "more than " + std::to_string(kMaxVolumes) + " volumes";
            return SpecCheck::Invalid;
        }
        for (uint32_t i = 0; i < count; ++i) {
            plist_t item = plist_array_get_item(volumes, i);
            VolumeSpec volume;
            if (!wire::GetString(item, "name", volume.name) ||
                !wire::GetUInt(item, "totalBytes", volume.totalBytes) ||
                !wire::GetUInt(item, "freeBytes", volume.freeBytes) ||
                !OptionalBool(item, "noBsd", volume.noBsd) ||
                !OptionalBool(item, "unreadable", volume.unreadable))
                return SpecCheck::Malformed;
            if (volume.name.empty() || volume.freeBytes > volume.totalBytes) {
                why = "volume " + std::to_string(i + 1) +
                      ": a name is needed and free space cannot exceed the total";
                return SpecCheck::Invalid;
            }
            plan.volumes.push_back(std::move(volume));
        }
    }
    out = std::move(plan);
    return SpecCheck::Ok;
}

Drive::Drive(uint64_t id, DriveSpec plan, unsigned unit)
    : mId(id), mSpec(std::move(plan)), mUnit(unit), mBsdName("disk" + std::to_string(unit)) {}

std::vector<uint64_t> Drive::Build(Registry& registry, Clock::time_point now,
                                   uint64_t& nextVolumeId) {
    std::vector<uint64_t> added;
    const Clock::time_point busyUntil = now + std::chrono::milliseconds(mSpec.settleMs);
    auto add = [&](uint64_t provider, std::vector<std::string> classes, std::string name) {
        const uint64_t id = registry.Add(provider, std::move(classes), std::move(name));
        RegistryEntry* entry = registry.Find(id);
        entry->busyUntil = busyUntil;
        entry->drive = mId;
        added.push_back(id);
        return entry;
    };
    auto setSerial = [&](RegistryEntry* entry) {
        plist_t props = entry->properties.get();
        switch (mSpec.serialType) {
        case SerialType::String:
            wire::SetString(props, kSerialProperty, mSpec.serial);
            break;
        case SerialType::Number: {
            // Digits give their value; other text a number all the same, so the type is the test.
            uint64_t value = 0;
            for (char c : mSpec.serial)
                value = value * 10 + static_cast<uint64_t>(c >= '0' && c <= '9' ? c - '0' : 0);
            wire::SetUInt(props, kSerialProperty, value);
            break;
        }
        case SerialType::Data:
            wire::SetData(props, kSerialProperty, mSpec.serial.data(), mSpec.serial.size());
            break;
        }
    };

    RegistryEntry* usb =
        add(registry.Root(), Chain({"IOUSBDevice", "IOUSBNub"}), "Tarvelle USB Drive");
    mUsbDevice = usb->id;
    wire::SetString(usb->properties.get(), "USB Product Name", "Tarvelle USB Drive");
    wire::SetString(usb->properties.get(), "USB Vendor Name", "Tarvelle");
    wire::SetUInt(usb->properties.get(), "idVendor", 0x1f75);
    wire::SetUInt(usb->properties.get(), "idProduct", 0x0621);
    wire::SetUInt(usb->properties.get(), "locationID", 0xfa100000u + mUnit);
    if (mSpec.serialOnAncestor)
        setSerial(usb);

    uint64_t storageParent = mUsbDevice;
    if (!mSpec.noBridge) {
        std::vector<std::string> classes = mSpec.bridgeClass == kBridgeClass
                                               ? Chain({kBridgeClass})
                                               : Chain({mSpec.bridgeClass, kBridgeClass});
        RegistryEntry* bridge = add(mUsbDevice, std::move(classes), mSpec.bridgeClass);
        bridge->userClient = true;
        mBridge = bridge->id;
        if (!mSpec.serialOnAncestor)
            setSerial(bridge);
        storageParent = mBridge;
    }

    RegistryEntry* storage =
        add(storageParent, Chain({"IOBlockStorageServices"}), "IOBlockStorageServices");
    RegistryEntry* driver =
        add(storage->id, Chain({"IOBlockStorageDriver", "IOStorage"}), "IOBlockStorageDriver");
    uint64_t wholeSize = 0;
    for (const VolumeSpec& v : mSpec.volumes)
        wholeSize += v.totalBytes;
    RegistryEntry* whole =
        add(driver->id, Chain({"IOMedia", "IOStorage"}), "Tarvelle USB Drive Media");
    const uint64_t wholeId = whole->id;
    wire::SetString(whole->properties.get(), "BSD Name", mBsdName);
    wire::SetUInt(whole->properties.get(), "BSD Unit", mUnit);
    wire::SetBool(whole->properties.get(), "Whole", true);
    wire::SetUInt(whole->properties.get(), "Size", wholeSize);

    unsigned partition = 0;
    for (const VolumeSpec& plan : mSpec.volumes) {
        Volume volume;
        volume.id = nextVolumeId++;
        volume.name = plan.name;
        volume.totalBytes = plan.totalBytes;
        volume.freeBytes = plan.freeBytes;
        volume.unreadable = plan.unreadable;
        if (!plan.noBsd) {
            volume.bsdName = mBsdName + "s" + std::to_string(++partition);
            RegistryEntry* media = add(wholeId, Chain({"IOMedia", "IOStorage"}), plan.name);
            volume.media = media->id;
            wire::SetString(media->properties.get(), "BSD Name", volume.bsdName);
            wire::SetUInt(media->properties.get(), "BSD Unit", mUnit);
            wire::SetBool(media->properties.get(), "Whole", false);
            wire::SetUInt(media->properties.get(), "Size", plan.totalBytes);
            wire::SetUInt(media->properties.get(), "Partition ID", partition);
        }
        mVolumes.push_back(std::move(volume));
    }

    if (mSpec.secondStorage)
        add(storageParent, Chain({"IOBlockStorageServices"}), "IOBlockStorageServices");
    return added;
}

int32_t Drive::Open(uint64_t type) {
    Log("open");
    if (type != 0)
        return wire::kStatusBadArgument;
    if (mFault == Fault::RefuseOpen)
        return wire::kStatusNotPermitted;
    return wire::kStatusSuccess;
}

void Drive::Close() {
    Log("close");
}

void Drive::Log(std::string call) {
    if (mCalls.size() >= kMaxCallRecords)
        mCalls.pop_front();
    mCalls.push_back(std::move(call));
}

CallResult Drive::Scalar(bool& bracketOpen, uint64_t selector, const std::vector<uint64_t>& inputs,
                         uint64_t outputCount) {
    Log("selector " + std::to_string(selector));
    CallResult result;
    if (selector > 3) {
        result.status = wire::kStatusUnsupported;
    } else if (selector >= 2 || !inputs.empty() || outputCount != 0) {
        result.status = wire::kStatusBadArgument; // wrong call shape for the selector
    } else if (selector == 0) {
        if (mFault == Fault::RefuseSelector0)
            result.status = wire::kStatusNotPermitted;
        else
            bracketOpen = true;
    } else if (!bracketOpen) {
        result.status = wire::kStatusNotOpen;
    } else {
        bracketOpen = false;
    }
    return result;
}

void Drive::LogStruct(uint64_t selector) {
    Log("selector " + std::to_string(selector));
}

CallResult Drive::AnswerStruct(bool bracketOpen, uint64_t selector,
                               const std::vector<uint8_t>& input, uint64_t outputCapacity) {
    CallResult result;
    if (selector > 3) {
        result.status = wire::kStatusUnsupported;
        return result;
    }
    const bool buttonMap = selector == 2;
    if (selector < 2 || input.size() != (buttonMap ? 0 : kLedInputSize) ||
        outputCapacity < (buttonMap ? kButtonMapResponseSize : kDummyResponseSize)) {
        result.status = wire::kStatusBadArgument;
        return result;
    }
    if (!bracketOpen) {
        result.status = wire::kStatusNotOpen;
        return result;
    }
    if (!buttonMap) {
        ++mLedCommands;
        std::array<uint8_t, kLedInputSize> bytes;
        std::copy(input.begin(), input.end(), bytes.begin());
        mLedInputs.push_back(bytes);
    }
    if (mFault == Fault::FailCommand) {
        result.status = wire::kStatusError;
        return result;
    }
    if (!buttonMap) {
        if (input[0] != 0)
            mLightValue = input[1];
        if (input[2] != 0)
            mShown = input[3] != 0 ? LightsShown::On : LightsShown::Off;
        result.bytes.assign(kDummyResponseSize, 0);
        return result;
    }
    // clientResponse (success), serialNumber, buttonMap: all big-endian.
    result.bytes.assign(kButtonMapResponseSize, 0);
    std::copy(mSpec.bridgeSerial.begin(), mSpec.bridgeSerial.end(), result.bytes.begin() + 4);
    if (mFault == Fault::ShortAnswer) {
        result.bytes.resize(4); // the press stays pending: it was not reported
        return result;
    }
    if (mPressPending) {
        result.bytes[23] = 1;
        mPressPending = false;
    }
    return result;
}

} // namespace tvb::host
