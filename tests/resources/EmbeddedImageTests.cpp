#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "image/FirmwareImageLoader.h"
#include "image/ImageCodec.h"
#include "image/SampleImage.h"
#include "resources/EmbeddedResources.h"
#include "support/ImageRig.h"
#include "support/ToolRunner.h"

// This test program carries the build's image the way the updater does: a Qt
// resource on Linux, a PE resource on Windows.
namespace kelvo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using imagetest::ReadBytes;
using imagetest::ScratchDir;
using test::ImageRig;

TEST(EmbeddedImage, ResourceHoldsTheScrambledFileOfTheBuild) {
  const std::optional<Bytes> resource = EmbeddedResources()("JPG", 100);
  ASSERT_TRUE(resource.has_value());
  EXPECT_EQ(resource->size(), ScrambledImageSize);
  EXPECT_EQ(*resource, ReadBytes(KELVO_SCRAMBLED_IMAGE));
}

TEST(EmbeddedImage, OtherTypesAndIdsAreAbsent) {
  const ResourceLoader loader = EmbeddedResources();
  EXPECT_FALSE(loader("JPG", 101).has_value());
  EXPECT_FALSE(loader("JPG", 0).has_value());
  EXPECT_FALSE(loader("BMP", 100).has_value());
  EXPECT_FALSE(loader("jpg", 100).has_value());
  EXPECT_FALSE(loader("", 100).has_value());
}

TEST(EmbeddedImage, LoadsThroughTheEmbeddedResource) {
  const Bytes plain = ReadBytes(KELVO_PLAIN_IMAGE);
  ASSERT_EQ(plain.size(), FirmwareImageSize);

  ImageRig t(EmbeddedResources());
  LoadFirmwareImage(t.state);
  EXPECT_FALSE(t.state.OperationFailed);
  EXPECT_EQ(t.state.FirmwareImage, plain);
  EXPECT_EQ(t.state.ImageVersion, (FirmwareVersion{plain[3] / 16, plain[3] % 16}));

  t.state.ImageResourceId = 101;
  LoadFirmwareImage(t.state);
  EXPECT_TRUE(t.state.OperationFailed);
}

TEST(EmbeddedImage, ToolDescramblesTheStoredFileToThePlainImage) {
  ScratchDir dir;
  const auto out = dir / "plain.bin";
  const auto r =
      imagetest::RunTool(KELVO_SCRAMBLE_TOOL, {"descramble", KELVO_SCRAMBLED_IMAGE, out.string()}, dir);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadBytes(out), ReadBytes(KELVO_PLAIN_IMAGE));
}

#if KELVO_SAMPLE_IMAGE_EMBEDDED
TEST(EmbeddedImage, IsTheSampleImageWhenNoRealOneIsGiven) {
  EXPECT_EQ(ReadBytes(KELVO_PLAIN_IMAGE), MakeSampleImage());
}
#endif

}  // namespace
}  // namespace kelvo
