// libFuzzer entry for the frame decoder (clang only, built with -DTVB_FUZZ=ON). The seeded
// random test in tests/unit/DeviceHost covers the same ground in every CI run.
#include "TvbWire.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tvb::wire::FrameReader reader;
    reader.Append(data, size);
    tvb::wire::PlistPtr frame;
    while (reader.Next(frame) == tvb::wire::DecodeStatus::Frame) {
        std::string op, again;
        uint64_t id = 0;
        tvb::wire::GetString(frame.get(), "op", op);
        tvb::wire::GetUInt(frame.get(), "id", id);
        tvb::wire::EncodeFrame(frame.get(), again);
    }
    return 0;
}
