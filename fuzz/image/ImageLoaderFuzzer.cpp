// Any bytes may sit where the image resource should be; the loader must end
// with a verdict, never a crash or a read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "image/FirmwareImageLoader.h"
#include "image/ImageCodec.h"
#include "support/ImageRig.h"

namespace {

// Small inputs are mostly rejected for length; to reach the header checks, an
// input with a leading 1 is taken as the start of a plain image and stretched
// to a full stored form. With all fillers 0 every mix byte is 0 and every key
// byte the initial 0x3B, so masking is a plain XOR and costs no scrambler run.
std::vector<std::uint8_t> ResourceFrom(const std::uint8_t* data, std::size_t size) {
  if (size > 0 && data[0] == 1) {
    std::vector<std::uint8_t> stored(kelvo::ScrambledImageSize, 0);
    for (std::size_t i = 0; i < kelvo::FirmwareImageSize; ++i) {
      const std::uint8_t plain = i + 1 < size ? data[i + 1] : 0;
      stored[kelvo::ScrambledGroupSize * i] = plain ^ 0x3B;
    }
    return stored;
  }
  return {data, data + size};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kelvo::test::ImageRig t;
  t.resource = ResourceFrom(data, size);
  const std::vector<std::uint8_t> resource = *t.resource;
  LoadFirmwareImage(t.state);

  const std::vector<std::uint8_t>& image = t.state.FirmwareImage;
  const bool acceptable = resource.size() >= kelvo::ScrambledImageSize &&
                          image.size() == kelvo::FirmwareImageSize && image[0] == 'F' && image[1] == 'W' &&
                          image[4] == 0;
  // The verdict must follow from the bytes alone.
  if (t.state.OperationFailed == acceptable) std::abort();
  if (!t.state.OperationFailed &&
      (t.state.ImageVersion.major != image[3] / 16 || t.state.ImageVersion.minor != image[3] % 16)) {
    std::abort();
  }
  return 0;
}
