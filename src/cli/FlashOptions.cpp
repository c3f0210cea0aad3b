#include "cli/FlashOptions.h"

#include <algorithm>

namespace kelvo::cli {

std::optional<FlashOptions> ParseFlashOptions(const std::vector<std::string>& args, std::string* error) {
  FlashOptions options;
  auto fail = [&](std::string text) -> std::optional<FlashOptions> {
    *error = std::move(text);
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::optional<std::string> inlineValue;
    if (const auto eq = option.find('='); option.starts_with("--") && eq != std::string::npos) {
      inlineValue = option.substr(eq + 1);
      option.resize(eq);
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    bool* flag = option == "--list"   ? &options.list
                 : option == "--all"  ? &options.all
                 : option == "--yes"  ? &options.yes
                 : option == "--json" ? &options.json
                 : option == "--help" || option == "-h" ? &options.help
                                                        : nullptr;
    if (flag != nullptr) {
      if (inlineValue) return fail(option + " takes no value");
      *flag = true;
      continue;
    }
    std::string* text = option == "--image" ? &options.imagePath : option == "--trace" ? &options.tracePath : nullptr;
    if (option == "--serial" || text != nullptr) {
      const std::optional<std::string> given = value();
      if (!given || given->empty()) return fail(option + " needs a value");
      if (text != nullptr) {
        *text = *given;
      } else if (std::find(options.serials.begin(), options.serials.end(), *given) == options.serials.end()) {
        options.serials.push_back(*given);
      }
      continue;
    }
    return fail(option.starts_with("-") ? "unknown option " + option : "unexpected argument " + option);
  }
  if (options.all && !options.serials.empty()) return fail("--all and --serial exclude each other");
  return options;
}

}  // namespace kelvo::cli
