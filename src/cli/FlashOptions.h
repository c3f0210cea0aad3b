#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelvo::cli {

// kelvo-flash's command line.
struct FlashOptions {
  bool List = false;
  bool All = false;
  std::vector<std::string> Serials;  // empty with All false: the cable the updater would open
  std::string ImagePath;             // empty: the embedded image
  bool Yes = false;
  bool Json = false;
  std::string TracePath;
  bool Help = false;
};

inline constexpr char FlashUsage[] =
    "usage: kelvo-flash [--list] [--all | --serial S ...] [--image FILE] [--yes] [--json] [--trace FILE]";

// nullopt with `error` set (one line) when the command line is not valid.
std::optional<FlashOptions> ParseFlashOptions(const std::vector<std::string>& args, std::string* error);

}  // namespace kelvo::cli
