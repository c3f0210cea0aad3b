#include "image/ImageCodec.h"

#include <chrono>
#include <cmath>
#include <random>
#include <stdexcept>

#include "core/UpdaterState.h"

namespace kelvo {
namespace {

constexpr std::int32_t InitialAccumulator = 0x3B;

// The accumulator cannot come near its limit with these sizes (it rises by at
// most 255 per group), but an overflow must still end the run rather than wrap.
std::int32_t AddToAccumulator(std::int32_t accumulator, std::uint8_t mix) {
  std::int32_t sum;
  if (__builtin_add_overflow(accumulator, static_cast<std::int32_t>(mix), &sum)) {
    throw std::overflow_error("image key accumulator overflow");
  }
  return sum;
}

// The sum is taken as an integer and then reduced, so 200+100+50 gives 94.
std::uint8_t MixByte(std::uint8_t f1, std::uint8_t f2, std::uint8_t f3) {
  return static_cast<std::uint8_t>((int{f1} + int{f2} + int{f3}) % 256);
}

std::uint8_t KeyByte(std::int32_t accumulator) { return static_cast<std::uint8_t>(accumulator & 0xFF); }

// Fillers are the integer part of r*255 + 1 for r uniform in [0, 1), in single
// precision. r is built from 24 random bits so it is exactly representable and
// never 1.0; the largest r gives 255.99998, so a filler is always 1..255.
class FillerSource {
 public:
  explicit FillerSource(std::uint32_t seed) : engine_(seed) {}

  std::uint8_t Next() {
    const float r = static_cast<float>(engine_() >> 8) * 0x1p-24f;
    return static_cast<std::uint8_t>(std::floor(r * 255.0f + 1.0f));
  }

 private:
  std::mt19937 engine_;
};

}  // namespace

void DescrambleBytes(const std::vector<std::uint8_t>& scrambled, std::vector<std::uint8_t>& image) {
  image.assign(FirmwareImageSize, 0);
  std::int32_t accumulator = InitialAccumulator;
  for (std::size_t i = 0; i < FirmwareImageSize; ++i) {
    const std::size_t group = i * ScrambledGroupSize;
    // at(): a short stored form must fail at its first missing index.
    const std::uint8_t data = scrambled.at(group);
    const std::uint8_t mix =
        MixByte(scrambled.at(group + 1), scrambled.at(group + 2), scrambled.at(group + 3));
    image[i] = data ^ KeyByte(accumulator) ^ mix;
    accumulator = AddToAccumulator(accumulator, mix);
  }
}

void ScrambleBytes(const std::vector<std::uint8_t>& image, std::vector<std::uint8_t>& scrambled,
                   std::uint32_t seed) {
  scrambled.assign(ScrambledImageSize, 0);
  FillerSource fillers(seed);
  std::int32_t accumulator = InitialAccumulator;
  for (std::size_t i = 0; i < FirmwareImageSize; ++i) {
    const std::size_t group = i * ScrambledGroupSize;
    const std::uint8_t f1 = fillers.Next();
    const std::uint8_t f2 = fillers.Next();
    const std::uint8_t f3 = fillers.Next();
    scrambled[group + 1] = f1;
    scrambled[group + 2] = f2;
    scrambled[group + 3] = f3;
    const std::uint8_t mix = MixByte(f1, f2, f3);
    scrambled[group] = image.at(i) ^ KeyByte(accumulator) ^ mix;
    accumulator = AddToAccumulator(accumulator, mix);
  }
}

std::uint32_t ClockSeed() {
  const auto ticks = std::chrono::system_clock::now().time_since_epoch().count();
  const auto bits = static_cast<std::uint64_t>(ticks);
  return static_cast<std::uint32_t>(bits ^ (bits >> 32));
}

void DescrambleImage(UpdaterState& state) { DescrambleBytes(state.ScrambledImage, state.FirmwareImage); }

void ScrambleImage(UpdaterState& state) { ScrambleImageSeeded(state, ClockSeed()); }

void ScrambleImageSeeded(UpdaterState& state, std::uint32_t seed) {
  ScrambleBytes(state.FirmwareImage, state.ScrambledImage, seed);
}

}  // namespace kelvo
