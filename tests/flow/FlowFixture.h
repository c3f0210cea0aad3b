#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "app/StartUp.h"
#include "core/UpdaterState.h"
#include "image/ImageCodec.h"
#include "image/SampleImage.h"
#include "sim/SimLink.h"
#include "support/FakeWindow.h"

namespace kelvo::test {

// The stored form of the sample image, as the build embeds it.
inline std::vector<std::uint8_t> ScrambledSample(std::vector<std::uint8_t> plain = MakeSampleImage()) {
  std::vector<std::uint8_t> scrambled;
  ScrambleBytes(plain, scrambled, 7);
  return scrambled;
}

inline ResourceLoader ResourceOf(std::vector<std::uint8_t> bytes) {
  return [bytes = std::move(bytes)](std::string_view type, int id) -> std::optional<std::vector<std::uint8_t>> {
    if (type != "JPG" || id != 100) return std::nullopt;
    return bytes;
  };
}

// The whole program on a simulated board: the recording window, the sim
// cable and one state record, started as the program starts.
struct Flow {
  explicit Flow(sim::SimOptions options = {}, ResourceLoader resources = ResourceOf(ScrambledSample()))
      : link(std::move(options)), state(link, window, window, std::move(resources)) {
    link.SetTraceSink([this](const std::string& line) { trace.push_back(line); });
    BindWindow(state);
  }

  void Start() { Form_Load(state); }

  // Trace lines of the driver calls whose line contains `text`.
  int Count(const std::string& text) const {
    return static_cast<int>(
        std::count_if(trace.begin(), trace.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
  }
  int IdentifyCommands() const { return Count("\"FT_Write\",\"args\":[\"4749\",2]"); }

  sim::SimLink link;
  FakeWindow window;
  UpdaterState state;
  std::vector<std::string> trace;
};

}  // namespace kelvo::test
