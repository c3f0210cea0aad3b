#include "image/SampleImage.h"

#include "image/FirmwareImageLoader.h"
#include "image/ImageCodec.h"

namespace kelvo {
namespace {
constexpr std::size_t InstructionSize = 4;
}  // namespace

std::vector<std::uint8_t> MakeSampleImage() {
  std::vector<std::uint8_t> image(FirmwareImageSize);
  image[0] = 'F';
  image[1] = 'W';
  image[2] = 0;
  image[3] = SampleImageVersionByte;
  image[4] = 0;
  // Bytes 5..7: the image length, most significant byte first.
  image[5] = static_cast<std::uint8_t>(FirmwareImageSize >> 16);
  image[6] = static_cast<std::uint8_t>(FirmwareImageSize >> 8);
  image[7] = static_cast<std::uint8_t>(FirmwareImageSize);

  for (std::size_t page = 0; page < ImagePageCount; ++page) {
    for (std::size_t instruction = 0; instruction < ImagePageSize / InstructionSize; ++instruction) {
      // The first two bytes encode page and instruction number (512 < 2^9,
      // 64 pages fit above it), so no two instructions of the image are equal.
      const auto b0 = static_cast<std::uint8_t>(instruction);
      const auto b1 = static_cast<std::uint8_t>((instruction >> 8) | (page << 1));
      const auto b2 = static_cast<std::uint8_t>(page * 29 + instruction * 7);
      const auto b3 = static_cast<std::uint8_t>(~(b0 ^ b1 ^ b2));
      const std::size_t at = ImagePageOffset(page) + InstructionSize * instruction;
      image[at] = b0;
      image[at + 1] = b1;
      image[at + 2] = b2;
      image[at + 3] = b3;
    }
  }
  return image;
}

}  // namespace kelvo
