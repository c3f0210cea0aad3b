#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/SimLink.h"

namespace kelvo::sim {

// The simulator program's command line, checked and decoded.
struct SimCommandLine {
  SimOptions link;
  // The embedded image resource: the program's own, FILE's bytes, or none.
  enum class Resource { Embedded, File, Missing };
  Resource resource = Resource::Embedded;
  std::vector<std::uint8_t> resourceBytes;

  std::optional<std::string> dumpFlashFile;
  // Unattended run: button indices to click in order.
  std::optional<std::vector<int>> clicks;
  std::optional<int> closeDuringFlashPage;
  bool doubleFind = false;
  std::optional<std::string> eventsFile;  // "-" for stdout
  std::optional<std::string> traceFile;
  std::optional<std::string> screenshotFile;
};

// Decodes `args` (without the program name). On a bad command line returns
// nullopt and sets `error` to one line saying what is wrong.
std::optional<SimCommandLine> ParseSimCommandLine(const std::vector<std::string>& args, std::string* error);

}  // namespace kelvo::sim
