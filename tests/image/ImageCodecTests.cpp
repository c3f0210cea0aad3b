#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "image/ImageCodec.h"
#include "support/ImageRig.h"

namespace kelvo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ImageRig;

Bytes RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 engine(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(engine());
  return bytes;
}

Bytes Descramble(const Bytes& scrambled) {
  ImageRig t;
  t.state.ScrambledImage = scrambled;
  DescrambleImage(t.state);
  return t.state.FirmwareImage;
}

Bytes Scramble(const Bytes& image, std::uint32_t seed) {
  ImageRig t;
  t.state.FirmwareImage = image;
  ScrambleImageSeeded(t.state, seed);
  return t.state.ScrambledImage;
}

// A stored form of all zero bytes except the given groups' fillers and data.
struct Group {
  std::size_t index;
  std::uint8_t data, f1, f2, f3;
};
Bytes StoredWith(std::initializer_list<Group> groups) {
  Bytes stored(ScrambledImageSize, 0);
  for (const Group& g : groups) {
    stored[4 * g.index] = g.data;
    stored[4 * g.index + 1] = g.f1;
    stored[4 * g.index + 2] = g.f2;
    stored[4 * g.index + 3] = g.f3;
  }
  return stored;
}

TEST(ImageCodecRoundTrip, GivesBackAnyImage) {
  const std::vector<Bytes> images = {Bytes(FirmwareImageSize, 0x00), Bytes(FirmwareImageSize, 0xFF),
                                     RandomBytes(FirmwareImageSize, 7), RandomBytes(FirmwareImageSize, 8)};
  std::uint32_t seed = 1;
  for (const Bytes& image : images) {
    const Bytes stored = Scramble(image, seed++);
    ASSERT_EQ(stored.size(), ScrambledImageSize);
    EXPECT_EQ(Descramble(stored), image);
  }
}

TEST(ImageCodecRoundTrip, ClockSeededRunsDifferButBothDescramble) {
  const Bytes image = RandomBytes(FirmwareImageSize, 3);
  ImageRig t;
  t.state.FirmwareImage = image;
  ScrambleImage(t.state);
  const Bytes first = t.state.ScrambledImage;
  ScrambleImage(t.state);
  const Bytes second = t.state.ScrambledImage;

  EXPECT_NE(first, second);
  EXPECT_EQ(Descramble(first), image);
  EXPECT_EQ(Descramble(second), image);
}

TEST(ImageCodecRoundTrip, SameSeedGivesSameStoredBytes) {
  const Bytes image = RandomBytes(FirmwareImageSize, 4);
  EXPECT_EQ(Scramble(image, 42), Scramble(image, 42));
  EXPECT_NE(Scramble(image, 42), Scramble(image, 43));
}

TEST(ImageCodecScramble, FillersSpanOneTo255AndNeverZero) {
  const Bytes stored = Scramble(Bytes(FirmwareImageSize, 0), 12345);
  std::vector<int> seen(256, 0);
  for (std::size_t i = 0; i < ScrambledImageSize; i += 4) {
    ++seen[stored[i + 1]];
    ++seen[stored[i + 2]];
    ++seen[stored[i + 3]];
  }
  EXPECT_EQ(seen[0], 0);
  // 393240 draws over 255 values: every value, the ends included, turns up.
  for (int v = 1; v <= 255; ++v) EXPECT_GT(seen[v], 0) << "filler " << v;
}

TEST(ImageCodecScramble, ImageShorterThan131080BytesThrows) {
  ImageRig t;
  t.state.FirmwareImage = Bytes(FirmwareImageSize - 1, 0);
  EXPECT_THROW(ScrambleImageSeeded(t.state, 1), std::out_of_range);
}

// Hand-computed: image byte = D xor K xor M, K the low byte of the
// accumulator (0x3B at the start), M the sum of the fillers mod 256.
TEST(ImageCodecMixByte, SumIsReducedAfterAdding) {
  // 200+100+50 = 350 -> 94; the next key is 0x3B + 94 = 0x99.
  const Bytes image = Descramble(StoredWith({{0, 0x00, 200, 100, 50}}));
  EXPECT_EQ(image[0], 0x3B ^ 94);
  EXPECT_EQ(image[1], 0x99);
}

TEST(ImageCodecMixByte, ThreeTimes255Gives253) {
  const Bytes image = Descramble(StoredWith({{0, 0xA5, 255, 255, 255}}));
  EXPECT_EQ(image[0], 0xA5 ^ 0x3B ^ 253);
  // Accumulator 0x3B + 253 = 0x138: only its low byte 0x38 masks.
  EXPECT_EQ(image[1], 0x38);
}

TEST(ImageCodecMixByte, MultipleOf256MasksWithKeyAloneAndKeepsAccumulator) {
  const Bytes image = Descramble(StoredWith({{0, 0x5A, 1, 127, 128}, {1, 0x5A, 0, 0, 0}}));
  EXPECT_EQ(image[0], 0x5A ^ 0x3B);
  EXPECT_EQ(image[1], 0x5A ^ 0x3B);
  EXPECT_EQ(image[2], 0x3B);
}

TEST(ImageCodecMixByte, AccumulatorKeepsGrowingPast8Bits) {
  // Two groups of mix 253: keys 0x3B, 0x38, then 0x3B + 506 = 0x235 -> 0x35.
  const Bytes image = Descramble(StoredWith({{0, 0, 255, 255, 255}, {1, 0, 255, 255, 255}}));
  EXPECT_EQ(image[0], 0x3B ^ 253);
  EXPECT_EQ(image[1], 0x38 ^ 253);
  EXPECT_EQ(image[2], 0x35);
}

TEST(ImageCodecDescramble, AcceptsZeroFillers) {
  // Fillers of 0 never come from the scrambler but are valid input: every mix
  // byte is 0, so every byte is masked by the initial key alone.
  const Bytes image = Descramble(Bytes(ScrambledImageSize, 0));
  ASSERT_EQ(image.size(), FirmwareImageSize);
  EXPECT_TRUE(std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0x3B; }));
}

TEST(ImageCodecDescramble, ChangedFillerChangesItsByteAndEveryLaterOne) {
  const Bytes stored = Scramble(RandomBytes(FirmwareImageSize, 9), 99);
  const Bytes original = Descramble(stored);
  for (const std::size_t group : {std::size_t{0}, std::size_t{1000}, FirmwareImageSize - 1}) {
    for (const std::size_t filler : {1, 2, 3}) {
      Bytes changed = stored;
      changed[4 * group + filler] ^= 0x10;
      const Bytes image = Descramble(changed);
      for (std::size_t i = 0; i < FirmwareImageSize; ++i) {
        if (i < group) {
          ASSERT_EQ(image[i], original[i]) << "group " << group << " byte " << i;
        } else {
          ASSERT_NE(image[i], original[i]) << "group " << group << " byte " << i;
        }
      }
    }
  }
}

TEST(ImageCodecDescramble, ChangedDataByteChangesOnlyItsOwnByte) {
  const Bytes stored = Scramble(RandomBytes(FirmwareImageSize, 10), 100);
  const Bytes original = Descramble(stored);
  for (const std::size_t group : {std::size_t{0}, std::size_t{65536}, FirmwareImageSize - 1}) {
    Bytes changed = stored;
    changed[4 * group] ^= 0x81;
    Bytes expected = original;
    expected[group] ^= 0x81;
    EXPECT_EQ(Descramble(changed), expected) << "group " << group;
  }
}

TEST(ImageCodecDescramble, ShortStoredFormThrowsOutOfRange) {
  for (const std::size_t size :
       {ScrambledImageSize - 1, ScrambledImageSize - 4, std::size_t{3}, std::size_t{0}}) {
    ImageRig t;
    t.state.ScrambledImage = Bytes(size, 0);
    EXPECT_THROW(DescrambleImage(t.state), std::out_of_range) << size;
  }
}

TEST(ImageCodecDescramble, LongerStoredFormReadsOnlyItsFirst524320Bytes) {
  const Bytes image = RandomBytes(FirmwareImageSize, 11);
  Bytes stored = Scramble(image, 5);
  const Bytes tail = RandomBytes(1000, 12);
  stored.insert(stored.end(), tail.begin(), tail.end());
  EXPECT_EQ(Descramble(stored), image);
}

TEST(ImageCodecDescramble, RecreatesImageAtFullSize) {
  ImageRig t;
  t.state.FirmwareImage = Bytes(5, 0xEE);
  t.state.ScrambledImage = Scramble(Bytes(FirmwareImageSize, 0x11), 6);
  DescrambleImage(t.state);
  EXPECT_EQ(t.state.FirmwareImage, Bytes(FirmwareImageSize, 0x11));
}

}  // namespace
}  // namespace kelvo
