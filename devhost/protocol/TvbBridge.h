// The bridge driver's user client as the host plays it: its selectors and the layout of the
// records they exchange. The daemon keeps its own record header; this one is the host's.
// Threading: constants only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tvb::bridge {

// Selectors: 0 and 1 are scalar calls without arguments, 2 and 3 structure calls.
constexpr uint32_t kSelectorOpenBracket = 0;
constexpr uint32_t kSelectorCloseBracket = 1;
constexpr uint32_t kSelectorButtonMap = 2;
constexpr uint32_t kSelectorLeds = 3;
constexpr uint32_t kLastSelector = kSelectorLeds;

// Selector 2's answer, big-endian: clientResponse, serialNumber, buttonMap.
constexpr size_t kButtonMapResponseSize = 24;
constexpr size_t kResponseStatusOffset = 0;
constexpr size_t kResponseStatusSize = 4;
constexpr size_t kSerialOffset = 4;
constexpr size_t kSerialSize = 16;
constexpr size_t kButtonMapOffset = 20;
constexpr size_t kButtonPressedOffset = 23; // the map's last byte: 1 while a press is reported

// Selector 3's input: set the light value?, the value, set shown?, shown.
constexpr size_t kLedInputSize = 4;
constexpr size_t kLedSetValueOffset = 0;
constexpr size_t kLedValueOffset = 1;
constexpr size_t kLedSetShownOffset = 2;
constexpr size_t kLedShownOffset = 3;
// Selector 3's answer: four bytes of nothing.
constexpr size_t kDummyResponseSize = 4;

} // namespace tvb::bridge
