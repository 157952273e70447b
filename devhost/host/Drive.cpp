#include "Drive.h"

#include "tvb/Utf8.h"

#include <algorithm>

namespace tvb::host {

namespace {

const std::vector<std::string> kServiceBase = {"IOService", "IORegistryEntry", "OSObject"};

std::vector<std::string> Chain(std::initializer_list<std::string> derived) {
    std::vector<std::string> chain(derived);
    chain.insert(chain.end(), kServiceBase.begin(), kServiceBase.end());
    return chain;
}

constexpr uint64_t kMaxSettleMs = 10 * 60 * 1000;

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

bool DriveSpecFromRequest(const wire::AttachRequest& request, DriveSpec& out, std::string& why) {
    DriveSpec plan;
    plan.serial = request.serial;
    plan.serialOnAncestor = request.serialOnAncestor;
    plan.secondStorage = request.secondStorage;
    plan.noBridge = request.noBridge;
    plan.allowDuplicate = request.allowDuplicate;
    if (!request.bridgeClass.empty())
        plan.bridgeClass = request.bridgeClass;
    if (plan.serial.empty() || plan.serial.find('\0') != std::string::npos) {
        why = "the serial must be non-empty text";
        return false;
    }
    // libplist would turn other bytes into other text (a NUL, a lone surrogate, or dropped bytes
    // that make two serials one).
    const bool textSerial = tvb::IsUtf8(plan.serial);
    if (!textSerial && request.serialType == static_cast<uint8_t>(wire::SerialType::String)) {
        why = "a string serial must be UTF-8 text";
        return false;
    }
    if (request.settleMs > kMaxSettleMs) {
        why = "settle time above " + std::to_string(kMaxSettleMs) + " ms";
        return false;
    }
    plan.settleMs = request.settleMs;
    switch (static_cast<wire::SerialType>(request.serialType)) {
    case wire::SerialType::String:
        plan.serialType = SerialType::String;
        break;
    case wire::SerialType::Number:
        plan.serialType = SerialType::Number;
        break;
    case wire::SerialType::Data:
        plan.serialType = SerialType::Data;
        break;
    default:
        why = "serial type must be string, number or data";
        return false;
    }
    if (!request.bridgeSerial.empty()) {
        if (request.bridgeSerial.size() != plan.bridgeSerial.size()) {
            why = "the bridge serial must be 16 bytes";
            return false;
        }
        std::copy(request.bridgeSerial.begin(), request.bridgeSerial.end(),
                  plan.bridgeSerial.begin());
    } else {
        // The driver's field is 16 bytes: longer serials are cut, between characters when they
        // are text, and shorter ones NUL-padded.
        size_t length = std::min(plan.serial.size(), plan.bridgeSerial.size());
        if (textSerial && length < plan.serial.size())
            while (length > 0 && (static_cast<uint8_t>(plan.serial[length]) & 0xC0) == 0x80)
                --length;
        std::copy_n(plan.serial.begin(), length, plan.bridgeSerial.begin());
    }
    for (size_t i = 0; i < request.volumes.size(); ++i) {
        const wire::VolumeSpec& item = request.volumes[i];
        VolumeSpec volume{item.name, item.totalBytes, item.freeBytes, item.noBsd, item.unreadable};
        if (volume.name.empty() || volume.freeBytes > volume.totalBytes) {
            why = "volume " + std::to_string(i + 1) +
                  ": a name is needed and free space cannot exceed the total";
            return false;
        }
        plan.volumes.push_back(std::move(volume));
    }
    out = std::move(plan);
    return true;
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
    auto set = [&](RegistryEntry* entry, const char* key, plist_t value) {
        registry.SetProperty(entry->id, key, value);
    };
    auto setSerial = [&](RegistryEntry* entry) {
        switch (mSpec.serialType) {
        case SerialType::String:
            set(entry, kSerialProperty, plist_new_string(mSpec.serial.c_str()));
            break;
        case SerialType::Number: {
            // Digits give their value; other text a number all the same, so the type is the test.
            uint64_t value = 0;
            for (char c : mSpec.serial)
                value = value * 10 + static_cast<uint64_t>(c >= '0' && c <= '9' ? c - '0' : 0);
            set(entry, kSerialProperty, plist_new_uint(value));
            break;
        }
        case SerialType::Data:
            set(entry, kSerialProperty,
                plist_new_data(mSpec.serial.data(), static_cast<uint64_t>(mSpec.serial.size())));
            break;
        }
    };

    RegistryEntry* usb =
        add(registry.Root(), Chain({"IOUSBDevice", "IOUSBNub"}), "Tarvelle USB Drive");
    mUsbDevice = usb->id;
    set(usb, "USB Product Name", plist_new_string("Tarvelle USB Drive"));
    set(usb, "USB Vendor Name", plist_new_string("Tarvelle"));
    set(usb, "idVendor", plist_new_uint(0x1f75));
    set(usb, "idProduct", plist_new_uint(0x0621));
    set(usb, "locationID", plist_new_uint(0xfa100000u + mUnit));
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
    set(whole, "BSD Name", plist_new_string(mBsdName.c_str()));
    set(whole, "BSD Unit", plist_new_uint(mUnit));
    set(whole, "Whole", plist_new_bool(true));
    set(whole, "Size", plist_new_uint(wholeSize));

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
            set(media, "BSD Name", plist_new_string(volume.bsdName.c_str()));
            set(media, "BSD Unit", plist_new_uint(mUnit));
            set(media, "Whole", plist_new_bool(false));
            set(media, "Size", plist_new_uint(plan.totalBytes));
            set(media, "Partition ID", plist_new_uint(partition));
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
    if (selector > bridge::kLastSelector) {
        result.status = wire::kStatusUnsupported;
    } else if (selector >= bridge::kSelectorButtonMap || !inputs.empty() || outputCount != 0) {
        result.status = wire::kStatusBadArgument; // wrong call shape for the selector
    } else if (selector == bridge::kSelectorOpenBracket) {
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
    if (selector > bridge::kLastSelector) {
        result.status = wire::kStatusUnsupported;
        return result;
    }
    const bool buttonMap = selector == bridge::kSelectorButtonMap;
    if (selector < bridge::kSelectorButtonMap || input.size() != (buttonMap ? 0 : kLedInputSize) ||
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
        if (mLedInputs.size() >= kMaxLedRecords)
            mLedInputs.pop_front();
        mLedInputs.push_back(bytes);
    }
    if (mFault == Fault::FailCommand) {
        result.status = wire::kStatusError;
        return result;
    }
    if (!buttonMap) {
        if (input[bridge::kLedSetValueOffset] != 0)
            mLightValue = input[bridge::kLedValueOffset];
        if (input[bridge::kLedSetShownOffset] != 0)
            mShown = input[bridge::kLedShownOffset] != 0 ? LightsShown::On : LightsShown::Off;
        result.bytes.assign(kDummyResponseSize, 0);
        return result;
    }
    // clientResponse (success), serialNumber, buttonMap: all big-endian.
    result.bytes.assign(kButtonMapResponseSize, 0);
    std::copy(mSpec.bridgeSerial.begin(), mSpec.bridgeSerial.end(),
              result.bytes.begin() + bridge::kSerialOffset);
    if (mFault == Fault::ShortAnswer) {
        result.bytes.resize(
            bridge::kResponseStatusSize); // the press stays pending: it was not reported
        return result;
    }
    if (mPressPending) {
        result.bytes[bridge::kButtonPressedOffset] = 1;
        mPressPending = false;
    }
    return result;
}

} // namespace tvb::host
