#include "sim/SimCommandLine.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "core/Window.h"

namespace kelvo::sim {

std::optional<std::vector<std::uint8_t>> ReadInputFile(const std::string& path, std::size_t maxBytes,
                                                       std::string* error) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    *error = "'" + path + "' is a directory";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read '" + path + "'";
    return std::nullopt;
  }
  // Reading stops one byte past the limit, so an endless file such as
  // /dev/zero is refused instead of filling memory.
  std::vector<std::uint8_t> bytes(maxBytes + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) {
    *error = "cannot read '" + path + "'";
    return std::nullopt;
  }
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.size() > maxBytes) {
    *error = "'" + path + "' is larger than " + std::to_string(maxBytes) + " bytes";
    return std::nullopt;
  }
  return bytes;
}

bool IsWritableOutput(const std::string& path, std::string* error) {
  std::error_code ec;
  if (path != "-" && std::filesystem::is_directory(path, ec)) {
    *error = "'" + path + "' is a directory";
    return false;
  }
  return true;
}

std::optional<int> ParseCount(const std::string& text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

std::optional<std::array<std::uint8_t, 4>> ParseReply(const std::string& text) {
  if (text.size() != 8) return std::nullopt;
  std::array<std::uint8_t, 4> reply{};
  for (std::size_t i = 0; i < reply.size(); ++i) {
    const char* first = text.data() + 2 * i;
    const auto [end, ec] = std::from_chars(first, first + 2, reply[i], 16);
    if (ec != std::errc() || end != first + 2) return std::nullopt;
  }
  return reply;
}

std::optional<SimOptions::BoardReceive> ParseBoardReceive(const std::string& text) {
  if (text == "keep") return SimOptions::BoardReceive::Keep;
  if (text == "drop") return SimOptions::BoardReceive::Drop;
  return std::nullopt;
}

namespace {

std::optional<std::vector<int>> ParseClicks(const std::string& text) {
  static const std::map<std::string, int> Buttons = {{"find", ButtonFindDevice},
                                                     {"flash", ButtonFlashDevice},
                                                     {"abort", ButtonAbortFlash},
                                                     {"ok", ButtonOk}};
  std::vector<int> clicks;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const auto button = Buttons.find(text.substr(start, comma - start));
    if (button == Buttons.end()) return std::nullopt;
    clicks.push_back(button->second);
    start = comma + 1;
  }
  return clicks;
}

bool IsBoardOption(const std::string& option) {
  static const char* const Options[] = {"--device",     "--no-device",    "--reply",      "--silent",
                                        "--flash",      "--fault",        "--program-ms", "--realtime",
                                        "--dump-flash", "--board-receive"};
  return std::find(std::begin(Options), std::end(Options), option) != std::end(Options);
}

bool IsOutputOption(const std::string& option) {
  return option == "--dump-flash" || option == "--events" || option == "--trace" || option == "--screenshot";
}

}  // namespace

std::optional<SimCommandLine> ParseSimCommandLine(const std::vector<std::string>& args, std::string* error) {
  SimCommandLine line;
  bool devicesGiven = false;
  bool noDevice = false;
  std::string realDriverOnly;  // the last option that only the simulated cable takes
  auto fail = [&](const std::string& message) {
    *error = message;
    return std::nullopt;
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    const bool takesValue = option != "--no-device" && option != "--silent" && option != "--no-resource" &&
                            option != "--realtime" && option != "--double-find";
    std::string value;
    if (takesValue) {
      if (i + 1 >= args.size()) return fail(option + " needs a value");
      value = args[++i];
    }

    if (option == "--device") {
      if (!devicesGiven) line.link.devices.clear();
      devicesGiven = true;
      line.link.devices.push_back(value);
    } else if (option == "--no-device") {
      noDevice = true;
    } else if (option == "--reply") {
      const auto reply = ParseReply(value);
      if (!reply) return fail("--reply takes 8 hex digits, not '" + value + "'");
      line.link.identifyReply = reply;
    } else if (option == "--silent") {
      line.link.identifyReply.reset();
    } else if (option == "--flash") {
      std::string fileError;
      auto bytes = ReadInputFile(value, FlashBytes, &fileError);
      if (!bytes) return fail("--flash: " + fileError);
      if (bytes->size() != static_cast<std::size_t>(FlashBytes)) {
        return fail("flash file '" + value + "' must hold " + std::to_string(FlashBytes) + " bytes");
      }
      line.link.flash = std::move(*bytes);
    } else if (option == "--dump-flash") {
      line.dumpFlashFile = value;
    } else if (option == "--resource") {
      std::string fileError;
      auto bytes = ReadInputFile(value, MaxResourceBytes, &fileError);
      if (!bytes) return fail("--resource: " + fileError);
      line.resource = SimCommandLine::Resource::File;
      line.resourceBytes = std::move(*bytes);
    } else if (option == "--no-resource") {
      line.resource = SimCommandLine::Resource::Missing;
    } else if (option == "--fault") {
      std::string faultError;
      auto fault = ParseFault(value, &faultError);
      if (!fault) return fail("--fault " + value + ": " + faultError);
      line.link.faults.push_back(*fault);
    } else if (option == "--program-ms") {
      const auto ms = ParseCount(value);
      if (!ms) return fail("--program-ms takes a whole number of milliseconds, not '" + value + "'");
      line.link.programMs = *ms;
    } else if (option == "--board-receive") {
      const auto receive = ParseBoardReceive(value);
      if (!receive) return fail("--board-receive takes keep or drop, not '" + value + "'");
      line.link.boardReceive = *receive;
    } else if (option == "--realtime") {
      line.link.realtime = true;
    } else if (option == "--clicks") {
      auto clicks = ParseClicks(value);
      if (!clicks) return fail("--clicks takes a comma-separated list of find, flash, abort, ok");
      line.clicks = std::move(*clicks);
    } else if (option == "--close-during-flash") {
      const auto page = ParseCount(value);
      if (!page || *page >= FlashPages) return fail("--close-during-flash takes an image page 0 to 63");
      line.closeDuringFlashPage = *page;
    } else if (option == "--double-find") {
      line.doubleFind = true;
    } else if (option == "--events") {
      line.eventsFile = value;
    } else if (option == "--trace") {
      line.traceFile = value;
    } else if (option == "--screenshot") {
      line.screenshotFile = value;
    } else if (option == "--driver") {
      if (value != "sim" && value != "libftdi") return fail("--driver takes sim or libftdi, not '" + value + "'");
      line.realDriver = value == "libftdi";
    } else {
      return fail("unknown option '" + option + "'");
    }
    if (IsBoardOption(option)) realDriverOnly = option;
    if (IsOutputOption(option) && !IsWritableOutput(value, error)) return fail(option + ": " + *error);
  }

  // The real driver talks to whatever cable is there: nothing to describe.
  if (line.realDriver && !realDriverOnly.empty())
    return fail(realDriverOnly + " describes the simulated cable and cannot be used with --driver libftdi");

  if (noDevice && devicesGiven) return fail("--no-device and --device exclude each other");
  if (noDevice) line.link.devices.clear();
  return line;
}

}  // namespace kelvo::sim
