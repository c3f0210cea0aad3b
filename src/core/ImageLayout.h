#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvo {

// The plain firmware image: an 8-byte header, then 64 flash pages of 2048
// bytes. The board's address unit is half an instruction of 4 bytes.
inline constexpr std::size_t ImageHeaderSize = 8;
inline constexpr std::size_t ImageVersionOffset = 3;
inline constexpr std::size_t ImagePageSize = 2048;
inline constexpr std::size_t ImagePageCount = 64;
inline constexpr std::size_t FirmwareImageSize = ImageHeaderSize + ImagePageCount * ImagePageSize;  // 131080
inline constexpr std::int32_t BytesPerInstruction = 4;
inline constexpr std::int32_t InstructionsPerPage = 512;
inline constexpr std::int32_t AddressUnitsPerPage = 1024;

// Offset in FirmwareImage of page `page` (0..63).
constexpr std::size_t ImagePageOffset(std::size_t page) { return ImageHeaderSize + ImagePageSize * page; }

// PageBuffer and ReadBackBuffer: one page, plus a last element never used.
inline constexpr std::size_t PageBufferSize = ImagePageSize + 1;  // 2049

// The stored form: every image byte travels as a group of four stored bytes,
// a masked data byte followed by three fillers.
inline constexpr std::size_t ScrambledGroupSize = 4;
inline constexpr std::size_t ScrambledImageSize = FirmwareImageSize * ScrambledGroupSize;  // 524320

// The embedded image is the resource of this type and id.
inline constexpr char ImageResourceType[] = "JPG";
inline constexpr std::int16_t EmbeddedImageResourceId = 100;

}  // namespace kelvo
