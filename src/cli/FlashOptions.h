#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelvo::cli {

// kelvo-flash's command line.
struct FlashOptions {
  bool list = false;
  bool all = false;
  std::vector<std::string> serials;  // empty with all false: the cable the updater would open
  std::string imagePath;             // empty: the embedded image
  bool yes = false;
  bool json = false;
  std::string tracePath;
  bool help = false;
};

inline constexpr char FlashUsage[] =
    "usage: kelvo-flash [--list] [--all | --serial S ...] [--image FILE] [--yes] [--json] [--trace FILE]";

// nullopt with `error` set (one line) when the command line is not valid.
std::optional<FlashOptions> ParseFlashOptions(const std::vector<std::string>& args, std::string* error);

}  // namespace kelvo::cli
