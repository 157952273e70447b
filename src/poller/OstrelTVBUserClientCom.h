// Records and response codes exchanged with the bridge driver's user client.
// Layouts are byte exact and shared with the driver; never reorder or pad them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "LEBEUInt.h"

enum OstrelTVBClientResponse {
    kOstrelTVBClientResponseSuccess = 0,
    kOstrelTVBClientResponseFailedOperationNotSupported = 1,
    kOstrelTVBClientResponseFailedTransportError = 2,
    kOstrelTVBClientResponseFailedConfigError = 3,
    kOstrelTVBClientResponseForceLong = 0x7FFFFFFF
};

// Method numbers on a user-client connection of type 0.
enum {
    kOstrelTVBClientOpen = 0,
    kOstrelTVBClientClose = 1,
    kOstrelTVBClientGetButtonMap = 2,
    kOstrelTVBClientSetLEDValue = 3
};

// Input of the LED command; the sender clears all four bytes before filling them.
struct LEDValueInput {
    uint8_t boolSetLightValue;
    uint8_t lightValue;
    uint8_t boolSetEnableLight;
    uint8_t boolEnableLight;
};

// Output of the LED command; carries nothing the poller reads.
struct DummyResponse {
    BEuint32_t dummy;

    DummyResponse() : dummy() {}
};

// Output of the button-map query.
struct ButtonMapResponse {
    BEuint32_tEnum<OstrelTVBClientResponse> clientResponse;
    uint8_t serialNumber[16];
    BEuint32_t buttonMap;

    ButtonMapResponse() : clientResponse(kOstrelTVBClientResponseSuccess) {}
};

static_assert(sizeof(BEuint32_tEnum<OstrelTVBClientResponse>) == 4, "response code is four bytes");
static_assert(sizeof(LEDValueInput) == 4, "LEDValueInput is four bytes");
static_assert(offsetof(LEDValueInput, lightValue) == 1 &&
                  offsetof(LEDValueInput, boolSetEnableLight) == 2 &&
                  offsetof(LEDValueInput, boolEnableLight) == 3,
              "LEDValueInput fields are single bytes in order");
static_assert(sizeof(DummyResponse) == 4, "DummyResponse is four bytes");
static_assert(sizeof(ButtonMapResponse) == 24, "ButtonMapResponse is 24 bytes");
static_assert(offsetof(ButtonMapResponse, clientResponse) == 0 &&
                  offsetof(ButtonMapResponse, serialNumber) == 4 &&
                  offsetof(ButtonMapResponse, buttonMap) == 20,
              "ButtonMapResponse layout is fixed by the driver");
