// One simulated drive: the registry subtree it adds, its volumes, and the bridge driver's
// user-client state (button, lights, call log, injected fault).
// Threading: used only from the host's loop thread.
// Ownership: a Drive records the ids of its registry entries; the Registry owns the entries.
#pragma once

#include "Registry.h"
#include "TvbBridge.h"
#include "TvbProtocol.h"

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace tvb::host {

constexpr const char* kBridgeClass = "com_ostrel_IOTVB";
constexpr const char* kSerialProperty = "serial_number_core";
using bridge::kButtonMapResponseSize;
using bridge::kDummyResponseSize;
using bridge::kLedInputSize;
constexpr size_t kMaxCallRecords = 10000; // a poller adds five every tick, for days
constexpr size_t kMaxLedRecords = 10000;  // and an LED command after every hot-plug

enum class Fault { None, RefuseOpen, RefuseSelector0, FailCommand, ShortAnswer, SlowAnswer };
bool ParseFault(const std::string& text, Fault& out);
const char* FaultName(Fault fault);

enum class SerialType { String, Number, Data };

struct VolumeSpec {
    std::string name;
    uint64_t totalBytes = 0, freeBytes = 0;
    bool noBsd = false, unreadable = false;
};

struct DriveSpec {
    std::string serial;
    std::array<uint8_t, 16> bridgeSerial{}; // what selector 2 reports in serialNumber
    uint32_t settleMs = 0;
    bool serialOnAncestor = false;
    bool secondStorage = false;
    bool noBridge = false;
    bool allowDuplicate = false;
    std::string bridgeClass = kBridgeClass;
    SerialType serialType = SerialType::String;
    std::vector<VolumeSpec> volumes;
};

// Reads an attach request: false with a reason when a value is out of range.
bool DriveSpecFromRequest(const wire::AttachRequest& request, DriveSpec& out, std::string& why);

struct Volume {
    uint64_t id = 0;
    std::string name;
    std::string bsdName; // empty: no media entry
    uint64_t totalBytes = 0, freeBytes = 0;
    bool unreadable = false;
    uint64_t media = 0;
};

enum class LightsShown { Unset, On, Off };

// The answer to one user-client call.
struct CallResult {
    int32_t status = wire::kStatusSuccess;
    std::vector<uint64_t> scalars;
    std::vector<uint8_t> bytes;
};

class Drive {
public:
    Drive(uint64_t id, DriveSpec plan, unsigned unit);

    // Adds the subtree under the registry root; entries are busy until now + settle time.
    // Returns the new entries in creation order.
    std::vector<uint64_t> Build(Registry& registry, Clock::time_point now, uint64_t& nextVolumeId);

    uint64_t Id() const { return mId; }
    const DriveSpec& Plan() const { return mSpec; }
    const std::string& BsdName() const { return mBsdName; }
    uint64_t UsbDevice() const { return mUsbDevice; }
    uint64_t Bridge() const { return mBridge; }
    // The service that sends the drive's general-interest messages.
    uint64_t Service() const { return mBridge != 0 ? mBridge : mUsbDevice; }
    const std::vector<Volume>& Volumes() const { return mVolumes; }

    // The bridge driver. Each call is appended to the call log before it is answered.
    int32_t Open(uint64_t type);
    void Close();
    CallResult Scalar(bool& bracketOpen, uint64_t selector, const std::vector<uint64_t>& inputs,
                      uint64_t outputCount);
    // Logs a structure call; the answer comes from AnswerStruct, possibly later (slow answer).
    void LogStruct(uint64_t selector);
    CallResult AnswerStruct(bool bracketOpen, uint64_t selector, const std::vector<uint8_t>& input,
                            uint64_t outputCapacity);

    void Press() { mPressPending = true; }
    bool PressPending() const { return mPressPending; }
    Fault CurrentFault() const { return mFault; }
    void SetFault(Fault fault) { mFault = fault; }
    std::optional<uint8_t> LightValue() const { return mLightValue; }
    LightsShown Shown() const { return mShown; }
    uint64_t LedCommands() const { return mLedCommands; }
    // The 4 input bytes of the last kMaxLedRecords LED commands received, oldest first.
    const std::deque<std::array<uint8_t, kLedInputSize>>& LedInputs() const { return mLedInputs; }
    const std::deque<std::string>& Calls() const { return mCalls; }
    void ClearCalls() { mCalls.clear(); }

private:
    uint64_t mId;
    DriveSpec mSpec;
    unsigned mUnit;
    std::string mBsdName;
    uint64_t mUsbDevice = 0, mBridge = 0;
    std::vector<Volume> mVolumes;

    bool mPressPending = false;
    std::optional<uint8_t> mLightValue;
    LightsShown mShown = LightsShown::Unset;
    uint64_t mLedCommands = 0;
    std::deque<std::array<uint8_t, kLedInputSize>> mLedInputs;
    void Log(std::string call);
    std::deque<std::string> mCalls;
    Fault mFault = Fault::None;
};

} // namespace tvb::host
