// The device host's protocol, declared once: every operation with its request and answer
// fields, every event, and every bound. The host and all its clients (tvbctl, the IOKit and
// File Manager stand-ins, tests) get their typed messages from the lists below; TvbWire.h
// encodes them.
//
// A frame is a fixed header (TvbWire.h) and the message's fields in declared order, little
// endian: integers at their width, bool one byte (0 or 1), Text/Data/PlistData a u32 length and
// the bytes, a list a u32 count and its items. Every length and count has a declared bound, and
// a count is checked against both the bound and the bytes left before anything is reserved, so
// a frame decodes in time linear in its size. A failed answer carries only a Text reason.
// Registry property values travel as binary property lists (PlistData), since that is what the
// registry holds.
//
// Threading: plain values. Ownership: messages own their fields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tvb::wire {

// Status values are IOReturn codes carried as signed 32-bit numbers.
constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusError = static_cast<int32_t>(0xe00002bc);
constexpr int32_t kStatusNoResources = static_cast<int32_t>(0xe00002be);
constexpr int32_t kStatusNoDevice = static_cast<int32_t>(0xe00002c0);
constexpr int32_t kStatusBadArgument = static_cast<int32_t>(0xe00002c2);
constexpr int32_t kStatusUnsupported = static_cast<int32_t>(0xe00002c7);
constexpr int32_t kStatusNotOpen = static_cast<int32_t>(0xe00002cd);
constexpr int32_t kStatusTimeout = static_cast<int32_t>(0xe00002d6);
constexpr int32_t kStatusNotPermitted = static_cast<int32_t>(0xe00002e2);
constexpr int32_t kStatusNotResponding = static_cast<int32_t>(0xe00002ed);
constexpr int32_t kStatusNotFound = static_cast<int32_t>(0xe00002f0);

constexpr uint32_t kMessageServiceIsTerminated = 0xe0000010;

// Bounds.
constexpr uint32_t kMaxFrameBytes = 1u << 20;
constexpr uint32_t kMaxText = 4096;
constexpr uint32_t kMaxData = 64 * 1024;
constexpr uint32_t kMaxEntries = 1u << 16;
constexpr uint32_t kMaxClasses = 64;
constexpr uint32_t kMaxScalars = 16;
constexpr uint32_t kMaxStructBytes = 4096;
constexpr uint32_t kMaxDriveVolumes = 64;
constexpr uint32_t kMaxListed = 1u << 14; // drives or volumes in one answer
constexpr uint32_t kMaxRecords = 10000;   // call log, LED commands, wait records

// Values the fields carry.
constexpr const char* kFirstMatchType = "IOServiceFirstMatch";    // the only matching notification
constexpr const char* kGeneralInterestType = "IOGeneralInterest"; // the only interest type
enum class SerialType : uint8_t { String, Number, Data };
enum class LightsShown : uint8_t { Unset, On, Off };
enum class WaitOutcome : uint8_t { Quiet, Timeout, Gone };

// Field types.
using Text = std::string;          // at most kMaxText bytes
using Data = std::vector<uint8_t>; // at most kMaxData bytes
// A binary property list; screened by the shared guard before anyone parses it.
struct PlistData {
    std::vector<uint8_t> bytes; // at most kMaxData
};
// A list of at most N items.
template <typename T, uint32_t N> struct List : std::vector<T> {
    static constexpr uint32_t kBound = N;
};
// Fixed-capacity storage: the user-client calls never allocate. The items past `count` are
// left uninitialised (a constructor of its own keeps `{}` from clearing them on every call).
template <typename T, uint32_t N> struct InlineList {
    static constexpr uint32_t kBound = N;
    InlineList() {}
    uint32_t count = 0;
    std::array<T, N> items;
    const T* begin() const { return items.data(); }
    const T* end() const { return items.data() + count; }
};
template <uint32_t N> struct InlineBytes {
    static constexpr uint32_t kBound = N;
    InlineBytes() {}
    uint32_t size = 0;
    std::array<uint8_t, N> bytes;
};

using EntryIds = List<uint64_t, kMaxEntries>;
using ClassChain = List<Text, kMaxClasses>;
using Names = List<Text, kMaxDriveVolumes>;
using CallLog = List<Text, kMaxRecords>;
using LedInput = std::array<uint8_t, 4>;
using LedInputs = List<LedInput, kMaxRecords>;
using Scalars = InlineList<uint64_t, kMaxScalars>;
using StructBytes = InlineBytes<kMaxStructBytes>;

// ---------------------------------------------------------------------------
// The declaration. F(type, name) is one field; records are nested values.

// A match: provider class (subclasses match too) and/or BSD name; an absent one matches all.
#define TVB_RECORDS(REC, F)                                                                        \
    REC(Criteria, F(bool, hasClass) F(Text, className) F(bool, hasBsdName) F(Text, bsdName))       \
    REC(VolumeInfo, F(uint64_t, id) F(Text, name) F(Text, bsdName) F(uint64_t, totalBytes)         \
                        F(uint64_t, freeBytes) F(bool, unreadable))                                \
    REC(VolumeSpec, F(Text, name) F(uint64_t, totalBytes) F(uint64_t, freeBytes) F(bool, noBsd)    \
                        F(bool, unreadable))                                                       \
    REC(DriveInfo, F(Text, serial) F(Text, bsdName) F(uint64_t, watchers) F(uint64_t, service)     \
                       F(Names, volumes))                                                          \
    REC(WaitInfo, F(Text, className) F(Text, name) F(uint8_t, outcome))

// name, request fields, answer fields.
// Volumes: `volume` 0 lists every simulated volume, else only that one (none once it is gone).
// Attach: an empty bridgeSerial derives it from the serial, an empty bridgeClass is the bridge's.
#define TVB_OPERATIONS(OP, F)                                                                      \
    OP(Hello, , F(uint64_t, instance) F(uint64_t, pid))                                            \
    OP(Match, F(Criteria, criteria), F(EntryIds, entries))                                         \
    OP(Entry, F(uint64_t, entry),                                                                  \
       F(Text, className) F(Text, name) F(bool, busy) F(ClassChain, classes))                      \
    OP(Property, F(uint64_t, entry) F(Text, key), F(PlistData, value))                             \
    OP(Parents, F(uint64_t, entry), F(EntryIds, entries))                                          \
    OP(WaitQuiet, F(uint64_t, entry) F(uint64_t, timeoutMs), )                                     \
    OP(SubscribeMatch, F(Text, type) F(Criteria, criteria),                                        \
       F(uint64_t, subscription) F(EntryIds, entries))                                             \
    OP(SubscribeInterest, F(uint64_t, entry) F(Text, type), F(uint64_t, subscription))             \
    OP(Unsubscribe, F(uint64_t, subscription), )                                                   \
    OP(Volumes, F(uint64_t, volume), F(VolumeInfos, volumes))                                      \
    OP(Open, F(uint64_t, entry) F(uint32_t, type), F(uint64_t, connection))                        \
    OP(Close, F(uint64_t, connection), )                                                           \
    OP(Scalar,                                                                                     \
       F(uint64_t, connection) F(uint32_t, selector) F(Scalars, inputs) F(uint32_t, outputCount),  \
       F(Scalars, outputs))                                                                        \
    OP(Struct,                                                                                     \
       F(uint64_t, connection) F(uint32_t, selector) F(StructBytes, input)                         \
           F(uint32_t, outputCapacity),                                                            \
       F(StructBytes, output))                                                                     \
    OP(Attach,                                                                                     \
       F(Text, serial) F(Data, bridgeSerial) F(uint32_t, settleMs) F(bool, serialOnAncestor)       \
           F(bool, secondStorage) F(bool, noBridge) F(bool, allowDuplicate) F(Text, bridgeClass)   \
               F(uint8_t, serialType) F(VolumeSpecs, volumes),                                     \
       F(Text, bsdName) F(uint64_t, drive) F(uint64_t, service))                                   \
    OP(Detach, F(Text, drive), )                                                                   \
    OP(Message, F(Text, drive) F(uint64_t, messageType) F(uint64_t, argument),                     \
       F(uint64_t, delivered))                                                                     \
    OP(List, , F(DriveInfos, drives))                                                              \
    OP(Press, F(Text, drive), )                                                                    \
    OP(Lights, F(Text, drive),                                                                     \
       F(bool, hasValue) F(uint8_t, value) F(uint8_t, shown) F(uint64_t, commands))                \
    OP(Leds, F(Text, drive), F(LedInputs, inputs))                                                 \
    OP(Calls, F(Text, drive) F(bool, clear), F(CallLog, calls))                                    \
    OP(Fault, F(Text, drive) F(Text, kind), )                                                      \
    OP(Waits, F(bool, clear), F(WaitInfos, waits))

// name, fields. Events arrive unsolicited, possibly between a request and its answer.
#define TVB_EVENTS(EV, F)                                                                          \
    EV(Matched, F(uint64_t, subscription) F(EntryIds, entries))                                    \
    EV(Interest, F(uint64_t, subscription) F(uint32_t, messageType) F(uint64_t, argument))

// ---------------------------------------------------------------------------
// What the declaration generates: structs, codes and field visitors.

#define TVB_FIELD_DECLARE(type, name) type name{};
#define TVB_FIELD_VISIT(type, name) visit(m.name);
#define TVB_VISITORS(type, fields)                                                                 \
    template <typename V> void VisitFields(type& m, V&& visit) {                                   \
        (void)m;                                                                                   \
        (void)visit;                                                                               \
        fields                                                                                     \
    }                                                                                              \
    template <typename V> void VisitFields(const type& m, V&& visit) {                             \
        (void)m;                                                                                   \
        (void)visit;                                                                               \
        fields                                                                                     \
    }

#define TVB_RECORD_STRUCT(name, fields)                                                            \
    struct name {                                                                                  \
        fields                                                                                     \
    };
#define TVB_RECORD_VISIT(name, fields) TVB_VISITORS(name, fields)
TVB_RECORDS(TVB_RECORD_STRUCT, TVB_FIELD_DECLARE)
TVB_RECORDS(TVB_RECORD_VISIT, TVB_FIELD_VISIT)

using VolumeInfos = List<VolumeInfo, kMaxListed>;
using VolumeSpecs = List<VolumeSpec, kMaxDriveVolumes>;
using DriveInfos = List<DriveInfo, kMaxListed>;
using WaitInfos = List<WaitInfo, kMaxRecords>;

enum class Op : uint16_t {
#define TVB_OP_CODE(name, request, answer) name,
    TVB_OPERATIONS(TVB_OP_CODE, TVB_FIELD_DECLARE)
#undef TVB_OP_CODE
        Count
};
enum class EventKind : uint16_t {
#define TVB_EVENT_CODE(name, fields) name,
    TVB_EVENTS(TVB_EVENT_CODE, TVB_FIELD_DECLARE)
#undef TVB_EVENT_CODE
        Count
};
const char* OpName(Op op); // for diagnostics

#define TVB_MESSAGE_STRUCTS(name, request, answer)                                                 \
    struct name##Answer {                                                                          \
        answer                                                                                     \
    };                                                                                             \
    struct name##Request {                                                                         \
        static constexpr Op kOp = Op::name;                                                        \
        using Answer = name##Answer;                                                               \
        request                                                                                    \
    };
#define TVB_MESSAGE_VISIT(name, request, answer)                                                   \
    TVB_VISITORS(name##Request, request)                                                           \
    TVB_VISITORS(name##Answer, answer)
TVB_OPERATIONS(TVB_MESSAGE_STRUCTS, TVB_FIELD_DECLARE)
TVB_OPERATIONS(TVB_MESSAGE_VISIT, TVB_FIELD_VISIT)

#define TVB_EVENT_STRUCT(name, fields)                                                             \
    struct name##Event {                                                                           \
        static constexpr EventKind kKind = EventKind::name;                                        \
        fields                                                                                     \
    };
#define TVB_EVENT_VISIT(name, fields) TVB_VISITORS(name##Event, fields)
TVB_EVENTS(TVB_EVENT_STRUCT, TVB_FIELD_DECLARE)
TVB_EVENTS(TVB_EVENT_VISIT, TVB_FIELD_VISIT)

} // namespace tvb::wire
