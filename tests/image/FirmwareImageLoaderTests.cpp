#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/FirmwareImageLoader.h"
#include "image/ImageCodec.h"
#include "image/SampleImage.h"
#include "support/ImageRig.h"

namespace kelvo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ImageRig;

Bytes ScrambleForTest(const Bytes& image) {
  Bytes stored;
  ScrambleBytes(image, stored, 2024);
  return stored;
}

// Runs the loader on the stored form of `image`.
struct Loaded {
  bool failed;
  FirmwareVersion version;
  Bytes image;
};
Loaded LoadImage(const Bytes& image, FirmwareVersion versionBefore = {9, 9}) {
  ImageRig t;
  t.resource = ScrambleForTest(image);
  t.state.ImageVersion = versionBefore;
  LoadFirmwareImage(t.state);
  return {t.state.OperationFailed, t.state.ImageVersion, t.state.FirmwareImage};
}

Bytes SampleWith(std::size_t offset, std::uint8_t value) {
  Bytes image = MakeSampleImage();
  image[offset] = value;
  return image;
}

TEST(LoadFirmwareImage, AcceptsValidImage) {
  const Bytes sample = MakeSampleImage();
  ImageRig t;
  t.resource = ScrambleForTest(sample);
  LoadFirmwareImage(t.state);

  EXPECT_FALSE(t.state.OperationFailed);
  EXPECT_EQ(t.state.FirmwareImage, sample);
  EXPECT_EQ(t.state.ScrambledImage, *t.resource);
  EXPECT_EQ(t.state.ImageVersion, (FirmwareVersion{3, 0}));
}

TEST(LoadFirmwareImage, VersionComesFromByte3Nibbles) {
  const std::pair<std::uint8_t, FirmwareVersion> cases[] = {
      {0x00, {0, 0}}, {0x23, {2, 3}}, {0xFF, {15, 15}}, {0x0F, {0, 15}}, {0xF0, {15, 0}}};
  for (const auto& [byte, version] : cases) {
    const Loaded loaded = LoadImage(SampleWith(3, byte));
    EXPECT_FALSE(loaded.failed) << int{byte};
    EXPECT_EQ(loaded.version, version) << int{byte};
  }
}

TEST(LoadFirmwareImage, SignatureMustBeExactlyFW) {
  const std::pair<char, char> signatures[] = {{'f', 'w'}, {'W', 'F'}, {'F', 'w'},  {'f', 'W'},
                                              {'F', 'V'}, {'G', 'W'}, {'\0', 'W'}, {'F', '\0'}};
  for (const auto& [first, second] : signatures) {
    const std::string signature{first, second};
    Bytes image = MakeSampleImage();
    image[0] = static_cast<std::uint8_t>(first);
    image[1] = static_cast<std::uint8_t>(second);
    const Loaded loaded = LoadImage(image, {9, 9});
    EXPECT_TRUE(loaded.failed) << signature;
    // Rejected before the version is read.
    EXPECT_EQ(loaded.version, (FirmwareVersion{9, 9})) << signature;
  }
}

TEST(LoadFirmwareImage, NonzeroByte4RejectsAfterVersionIsSet) {
  for (const std::uint8_t byte4 : {0x01, 0x80, 0xFF}) {
    const Loaded loaded = LoadImage(SampleWith(4, byte4), {9, 9});
    EXPECT_TRUE(loaded.failed) << int{byte4};
    EXPECT_EQ(loaded.version, (FirmwareVersion{3, 0})) << int{byte4};
  }
}

TEST(LoadFirmwareImage, Bytes2And5To7AndPagesAreFree) {
  Bytes image(FirmwareImageSize, 0xFF);
  image[0] = 'F';
  image[1] = 'W';
  image[3] = 0x12;
  image[4] = 0;
  const Loaded allFF = LoadImage(image);
  EXPECT_FALSE(allFF.failed);
  EXPECT_EQ(allFF.version, (FirmwareVersion{1, 2}));

  for (const std::size_t offset : {2, 5, 6, 7}) {
    for (const std::uint8_t value : {0x00, 0x7F, 0xFF}) {
      EXPECT_FALSE(LoadImage(SampleWith(offset, value)).failed) << offset << " " << int{value};
    }
  }
}

TEST(LoadFirmwareImage, ResourceLengthDecides) {
  const Bytes stored = ScrambleForTest(MakeSampleImage());

  ImageRig shortByOne;
  shortByOne.resource = Bytes(stored.begin(), stored.end() - 1);
  LoadFirmwareImage(shortByOne.state);
  EXPECT_TRUE(shortByOne.state.OperationFailed);

  for (const std::size_t size : {0, 1, 8, 32}) {
    ImageRig tiny;
    tiny.resource = Bytes(stored.begin(), stored.begin() + size);
    LoadFirmwareImage(tiny.state);
    EXPECT_TRUE(tiny.state.OperationFailed) << size;
  }

  ImageRig longer;
  longer.resource = stored;
  longer.resource->insert(longer.resource->end(), 4096, 0xAB);
  LoadFirmwareImage(longer.state);
  EXPECT_FALSE(longer.state.OperationFailed);
  EXPECT_EQ(longer.state.FirmwareImage, MakeSampleImage());
  EXPECT_EQ(longer.state.ScrambledImage.size(), ScrambledImageSize + 4096);
}

TEST(LoadFirmwareImage, MissingResourceLeavesFlagSet) {
  ImageRig t;
  t.resource = ScrambleForTest(MakeSampleImage());
  LoadFirmwareImage(t.state);
  ASSERT_FALSE(t.state.OperationFailed);

  // A later load without the resource must not pass on the earlier success.
  t.resource.reset();
  LoadFirmwareImage(t.state);
  EXPECT_TRUE(t.state.OperationFailed);
}

TEST(LoadFirmwareImage, AsksForTypeJpgAndTheStatesResourceId) {
  std::vector<std::pair<std::string, int>> requests;
  ImageRig t([&](std::string_view type, int id) -> std::optional<Bytes> {
    requests.emplace_back(std::string(type), id);
    return std::nullopt;
  });
  t.state.ImageResourceId = 321;
  LoadFirmwareImage(t.state);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], (std::pair<std::string, int>{"JPG", 321}));
  EXPECT_TRUE(t.state.OperationFailed);
}

TEST(LoadFirmwareImage, FlagIsSetWhileTheLoadRuns) {
  ImageRig* self = nullptr;
  bool flagDuringLoad = false;
  const Bytes stored = ScrambleForTest(MakeSampleImage());
  ImageRig t([&](std::string_view, int) -> std::optional<Bytes> {
    flagDuringLoad = self->state.OperationFailed;
    return stored;
  });
  self = &t;
  t.state.OperationFailed = false;
  LoadFirmwareImage(t.state);
  EXPECT_TRUE(flagDuringLoad);
  EXPECT_FALSE(t.state.OperationFailed);
}

TEST(LoadFirmwareImage, ErrorInTheResourceLoaderEndsTheLoadSilently) {
  ImageRig t([](std::string_view, int) -> std::optional<Bytes> { throw std::runtime_error("unreadable"); });
  EXPECT_NO_THROW(LoadFirmwareImage(t.state));
  EXPECT_TRUE(t.state.OperationFailed);
}

TEST(LoadFirmwareImage, TwoLoadsGiveTheSameImage) {
  ImageRig t;
  t.resource = ScrambleForTest(SampleWith(3, 0x47));
  LoadFirmwareImage(t.state);
  const Bytes first = t.state.FirmwareImage;
  const FirmwareVersion firstVersion = t.state.ImageVersion;
  t.state.FirmwareImage.assign(10, 0);  // a reload must rebuild it whole
  LoadFirmwareImage(t.state);

  EXPECT_EQ(t.loads, 2);
  EXPECT_FALSE(t.state.OperationFailed);
  EXPECT_EQ(t.state.FirmwareImage, first);
  EXPECT_EQ(t.state.ImageVersion, firstVersion);
  EXPECT_EQ(firstVersion, (FirmwareVersion{4, 7}));
}

TEST(SampleImage, HasAValidHeaderAndDistinctInstructions) {
  const Bytes image = MakeSampleImage();
  ASSERT_EQ(image.size(), FirmwareImageSize);
  EXPECT_EQ(image[0], 'F');
  EXPECT_EQ(image[1], 'W');
  EXPECT_EQ(image[4], 0);

  // Every 4-byte instruction differs from every other, so a page sent to the
  // wrong address, or a shifted byte, cannot pass a read-back unnoticed.
  std::set<std::uint32_t> instructions;
  for (std::size_t at = ImagePageOffset(0); at < FirmwareImageSize; at += 4) {
    instructions.insert(std::uint32_t{image[at]} << 24 | std::uint32_t{image[at + 1]} << 16 |
                        std::uint32_t{image[at + 2]} << 8 | image[at + 3]);
  }
  EXPECT_EQ(instructions.size(), ImagePageCount * ImagePageSize / 4);
  EXPECT_EQ(MakeSampleImage(), image);
}

}  // namespace
}  // namespace kelvo
