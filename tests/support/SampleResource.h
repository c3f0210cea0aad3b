#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/ImageLayout.h"
#include "core/Resources.h"
#include "image/ImageCodec.h"
#include "image/SampleImage.h"

namespace kelvo::test {

// The stored form of the sample image, as the build embeds it.
inline std::vector<std::uint8_t> ScrambledSample(std::vector<std::uint8_t> plain = MakeSampleImage()) {
  std::vector<std::uint8_t> scrambled;
  ScrambleBytes(plain, scrambled, 7);
  return scrambled;
}

// A program whose embedded image resource holds `bytes`.
inline ResourceLoader ResourceOf(std::vector<std::uint8_t> bytes) {
  return
      [bytes = std::move(bytes)](std::string_view type, int id) -> std::optional<std::vector<std::uint8_t>> {
        if (type != ImageResourceType || id != EmbeddedImageResourceId) return std::nullopt;
        return bytes;
      };
}

}  // namespace kelvo::test
