#pragma once

#include <cstdint>
#include <vector>

#include "core/ImageLayout.h"

namespace kelvo {

struct UpdaterState;

// Rebuilds `image` (exactly FirmwareImageSize bytes) from the first
// ScrambledImageSize bytes of `scrambled`. A shorter input throws
// std::out_of_range at its first missing index, leaving `image` incomplete.
void DescrambleBytes(const std::vector<std::uint8_t>& scrambled, std::vector<std::uint8_t>& image);

// Rebuilds `scrambled` (exactly ScrambledImageSize bytes) from the first
// FirmwareImageSize bytes of `image`, drawing fillers from a generator seeded
// with `seed`. A shorter image throws std::out_of_range.
void ScrambleBytes(const std::vector<std::uint8_t>& image, std::vector<std::uint8_t>& scrambled,
                   std::uint32_t seed);

// A seed taken from the system clock, different from run to run.
std::uint32_t ClockSeed();

// ScrambledImage -> FirmwareImage.
void DescrambleImage(UpdaterState& state);
// FirmwareImage -> ScrambledImage with fresh fillers (clock-seeded). The
// updater never calls it; it makes the stored form of an image.
void ScrambleImage(UpdaterState& state);
// As ScrambleImage, with fillers that repeat for the same seed, so that two
// builds embed the same bytes.
void ScrambleImageSeeded(UpdaterState& state, std::uint32_t seed);

}  // namespace kelvo
