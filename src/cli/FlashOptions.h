#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cmdline/CommandLine.h"

namespace kelvo::cli {

// kelvo-flash's command line.
struct FlashOptions {
  bool list = false;
  bool all = false;
  std::vector<std::string> serials;  // empty with all false: the cable the updater would open
  std::string imagePath;             // empty: the embedded image
  bool yes = false;
  bool json = false;
  bool skipCurrent = false;  // leave boards already at the image's version alone
  // Read the boards instead of flashing them: compare with the image, or
  // (one board) copy the whole flash to this file.
  bool verify = false;
  std::string readPath;
  std::string tracePath;
  // --help or --version: print it and end with status 0; nothing else is set.
  std::optional<cmdline::Answer> answer;
};

// --verify or --read: nothing is written to any board.
inline bool ReadsOnly(const FlashOptions& options) { return options.verify || !options.readPath.empty(); }

// nullopt with `error` set (one line) when the command line is not valid.
std::optional<FlashOptions> ParseFlashOptions(const std::vector<std::string>& args, std::string* error);

}  // namespace kelvo::cli
