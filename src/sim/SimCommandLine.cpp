#include "sim/SimCommandLine.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <utility>

#include <CLI/CLI.hpp>

#include "core/Window.h"
#include "link/TracedCable.h"

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
  return path == "-" || IsWritableFile(path, error);
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

bool ReadPageProgramming(const CLI::Option& programMs, const CLI::Option& boardReceive, SimOptions& board,
                         std::string* error) {
  for (const std::string& text : programMs.results()) {
    const auto ms = ParseCount(text);
    if (!ms) {
      *error = "--program-ms takes a whole number of milliseconds, not '" + text + "'";
      return false;
    }
    board.programMs = *ms;
  }
  for (const std::string& text : boardReceive.results()) {
    if (text != "keep" && text != "drop") {
      *error = "--board-receive takes keep or drop, not '" + text + "'";
      return false;
    }
    board.boardReceive = text == "keep" ? SimOptions::BoardReceive::Keep : SimOptions::BoardReceive::Drop;
  }
  return true;
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

}  // namespace

std::optional<SimCommandLine> ParseSimCommandLine(const std::vector<std::string>& args, std::string* error) {
  SimCommandLine line;
  auto fail = [&](const std::string& message) {
    *error = cmdline::OneLine(message);
    return std::nullopt;
  };

  CLI::App app("The Kelvo updater's window and routines on a simulated board.", "kelvo-updater-sim");
  cmdline::Prepare(app, "kelvo-updater-sim [OPTIONS]");
  // Options whose values need decoding are read back from their results.
  auto option = [&app](const char* name, const char* value, const char* description) {
    return app.add_option(name)->type_name(value)->description(description);
  };
  bool noDevice = false, silent = false, noResource = false;
  CLI::Option* device =
      option("--device", "TEXT", "An FTDI device with this USB description is attached (repeatable)")
          ->allow_extra_args(false);
  CLI::Option* noDeviceFlag = app.add_flag("--no-device", noDevice, "No FTDI device is attached");
  CLI::Option* reply =
      option("--reply", "HEX8", "The 4 bytes the board answers to \"GI\" (default 505A0012)");
  CLI::Option* silentFlag =
      app.add_flag("--silent", silent, "The board answers nothing (the link still echoes)");
  CLI::Option* flash = option("--flash", "FILE", "The board's flash before the run, 131072 bytes");
  CLI::Option* dumpFlash =
      option("--dump-flash", "FILE", "Write the board's flash to FILE when the program ends");
  CLI::Option* resource = option("--resource", "FILE", "Use FILE's bytes as the embedded image resource");
  app.add_flag("--no-resource", noResource, "The embedded image resource is missing");
  CLI::Option* fault =
      option("--fault", "FAULT",
             "A fault of the board or the link (repeatable): write, verify, late-ok, lose, short-echo, "
             "cut:PAGE:K[:NTH], unplug or call; see the manual")
          ->allow_extra_args(false);
  CLI::Option* programMs =
      option("--program-ms", "MS", "The board takes MS ms to program a page (default 0)");
  CLI::Option* boardReceive =
      option("--board-receive", "keep|drop",
             "What the board does with bytes that arrive while it programs (default keep)");
  CLI::Option* realtime = app.add_flag("--realtime", line.link.realtime,
                                       "Real timing at 125000 baud 8N1 instead of virtual time");
  CLI::Option* clicks =
      option("--clicks", "LIST", "Click these buttons in order (find, flash, abort, ok), then close");
  CLI::Option* closeDuringFlash = option("--close-during-flash", "PAGE",
                                         "Ask to close the window while image page PAGE is being flashed");
  app.add_flag("--double-find", line.doubleFind,
               "A second \"Find Device\" click arrives during the device check");
  CLI::Option* events =
      option("--events", "FILE", "Write what the window shows as JSON lines (- for stdout)");
  CLI::Option* trace = option("--trace", "FILE", "Write every driver call as JSON lines");
  CLI::Option* screenshot = option("--screenshot", "FILE", "Save a PNG of the window after the last click");
  CLI::Option* driver = option("--driver", "sim|libftdi", "The simulated cable (default) or the real driver");
  app.footer(
      "Exit status: 0 the run ended normally, 2 a bad command line, 3 a clicked button was not visible,\n"
      "4 the clicks were not run (another copy was running), 5 the flash could not be dumped.");
  if (!cmdline::Parse(app, args, &line.answer, error)) return std::nullopt;
  if (line.answer) return line;

  // Each says the opposite of the other.
  if (noDevice && *device) return fail("--no-device and --device exclude each other");
  if (silent && *reply) return fail("--silent and --reply exclude each other");
  if (noResource && *resource) return fail("--no-resource and --resource exclude each other");

  if (*device) line.link.devices = device->results();
  if (noDevice) line.link.devices.clear();
  // A repeated option takes its last value, and each value it was given must
  // be a valid one.
  for (const std::string& text : reply->results()) {
    line.link.identifyReply = ParseReply(text);
    if (!line.link.identifyReply) return fail("--reply takes 8 hex digits, not '" + text + "'");
  }
  if (silent) line.link.identifyReply.reset();
  for (const std::string& path : flash->results()) {
    std::string fileError;
    auto bytes = ReadInputFile(path, FlashBytes, &fileError);
    if (!bytes) return fail("--flash: " + fileError);
    if (bytes->size() != static_cast<std::size_t>(FlashBytes))
      return fail("flash file '" + path + "' must hold " + std::to_string(FlashBytes) + " bytes");
    line.link.flash = std::move(*bytes);
  }
  for (const std::string& path : resource->results()) {
    std::string fileError;
    auto bytes = ReadInputFile(path, MaxResourceBytes, &fileError);
    if (!bytes) return fail("--resource: " + fileError);
    line.resource = SimCommandLine::Resource::File;
    line.resourceBytes = std::move(*bytes);
  }
  if (noResource) line.resource = SimCommandLine::Resource::Missing;
  for (const std::string& text : fault->results()) {
    std::string faultError;
    auto parsed = ParseFault(text, &faultError);
    if (!parsed) return fail("--fault " + text + ": " + faultError);
    line.link.faults.push_back(*parsed);
  }
  if (!ReadPageProgramming(*programMs, *boardReceive, line.link, error)) return fail(*error);
  for (const std::string& text : clicks->results()) {
    line.clicks = ParseClicks(text);
    if (!line.clicks) return fail("--clicks takes a comma-separated list of find, flash, abort, ok");
  }
  for (const std::string& text : closeDuringFlash->results()) {
    line.closeDuringFlashPage = ParseCount(text);
    if (!line.closeDuringFlashPage || *line.closeDuringFlashPage >= FlashPages)
      return fail("--close-during-flash takes an image page 0 to 63");
  }
  for (const auto& [output, file] :
       {std::pair{dumpFlash, &line.dumpFlashFile}, std::pair{events, &line.eventsFile},
        std::pair{trace, &line.traceFile}, std::pair{screenshot, &line.screenshotFile}}) {
    for (const std::string& path : output->results()) {
      if (!IsWritableOutput(path, error)) return fail(output->get_name() + ": " + *error);
      *file = path;
    }
  }
  for (const std::string& text : driver->results()) {
    if (text != "sim" && text != "libftdi") return fail("--driver takes sim or libftdi, not '" + text + "'");
    line.realDriver = text == "libftdi";
  }

  // The real driver talks to whatever cable is there: nothing to describe.
  for (const CLI::Option* board : {device, noDeviceFlag, reply, silentFlag, flash, dumpFlash, fault,
                                   programMs, boardReceive, realtime}) {
    if (line.realDriver && *board)
      return fail(board->get_name() +
                  " describes the simulated cable and cannot be used with --driver libftdi");
  }
  return line;
}

}  // namespace kelvo::sim
