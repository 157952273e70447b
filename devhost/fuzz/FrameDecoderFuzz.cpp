// libFuzzer entry for the frame decoder (clang only, built with -DTVB_FUZZ=ON). The seeded
// random test in tests/unit/DeviceHost covers the same ground in every CI run.
#include "TvbWire.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tvb::wire::FrameReader reader;
    reader.Append(data, size);
    tvb::wire::FrameView frame;
    std::vector<uint8_t> again;
    while (reader.Next(frame) == tvb::wire::DecodeStatus::Frame) {
        // Whatever decodes as its declared message must encode to the same bytes.
        again.clear();
        if (tvb::wire::DecodeDeclaredBody(frame, &again) &&
            (again.size() != frame.bodyLength + tvb::wire::kHeaderBytes ||
             std::memcmp(again.data() + tvb::wire::kHeaderBytes, frame.body, frame.bodyLength) !=
                 0))
            __builtin_trap();
    }
    return 0;
}
