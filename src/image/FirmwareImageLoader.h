#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvo {

struct UpdaterState;

// Layout of the plain image: an 8-byte header, then 64 flash pages.
inline constexpr std::size_t ImageHeaderSize = 8;
inline constexpr std::size_t ImageVersionOffset = 3;
inline constexpr std::size_t ImagePageSize = 2048;
inline constexpr std::size_t ImagePageCount = 64;

// Offset in FirmwareImage of page `page` (0..63).
constexpr std::size_t ImagePageOffset(std::size_t page) { return ImageHeaderSize + ImagePageSize * page; }

// The embedded image is the resource of this type and the id in
// UpdaterState::ImageResourceId.
inline constexpr char ImageResourceType[] = "JPG";
// The id under which the build embeds the image (see kelvo_embed_firmware).
inline constexpr std::int16_t EmbeddedImageResourceId = 100;

// Loads the embedded image, descrambles it into FirmwareImage and checks its
// header; sets ImageVersion from it. OperationFailed stays set unless the
// image was accepted. Never throws and shows nothing.
void LoadFirmwareImage(UpdaterState& state);

}  // namespace kelvo
