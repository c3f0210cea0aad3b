#include <benchmark/benchmark.h>

#include <cstdlib>

#include "image/FirmwareImageLoader.h"
#include "image/ImageCodec.h"
#include "resources/QtResourceLoader.h"
#include "support/ImageRig.h"

namespace kelvo {
namespace {

using test::ImageRig;

// What "Find Device" pays for the image: fetch the Qt resource, descramble,
// check the header.
void BM_LoadFirmwareImage(benchmark::State& bench) {
  ImageRig t(QtResourceLoader());
  for (auto _ : bench) {
    LoadFirmwareImage(t.state);
    benchmark::DoNotOptimize(t.state.FirmwareImage.data());
  }
  if (t.state.OperationFailed) bench.SkipWithError("the embedded image was not accepted");
}
BENCHMARK(BM_LoadFirmwareImage)->Unit(benchmark::kMicrosecond);

void BM_DescrambleImage(benchmark::State& bench) {
  ImageRig t(QtResourceLoader());
  t.state.ScrambledImage = *QtResourceLoader()(ImageResourceType, EmbeddedImageResourceId);
  for (auto _ : bench) {
    DescrambleImage(t.state);
    benchmark::DoNotOptimize(t.state.FirmwareImage.data());
  }
}
BENCHMARK(BM_DescrambleImage)->Unit(benchmark::kMicrosecond);

void BM_ScrambleImage(benchmark::State& bench) {
  ImageRig t(QtResourceLoader());
  LoadFirmwareImage(t.state);
  for (auto _ : bench) {
    ScrambleImageSeeded(t.state, 1);
    benchmark::DoNotOptimize(t.state.ScrambledImage.data());
  }
}
BENCHMARK(BM_ScrambleImage)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kelvo
