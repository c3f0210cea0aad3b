#pragma once

#include <cstdint>
#include <vector>

namespace kelvo {

// Version byte of the sample image: 3.0.
inline constexpr std::uint8_t SampleImageVersionByte = 0x30;

// A stand-in firmware image for builds without real board firmware: a valid
// header and 64 pages whose every 4-byte instruction is different, so a page
// written to the wrong address or a byte out of place shows up on read-back.
std::vector<std::uint8_t> MakeSampleImage();

}  // namespace kelvo
