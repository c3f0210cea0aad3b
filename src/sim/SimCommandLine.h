#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cmdline/CommandLine.h"
#include "sim/SimLink.h"

namespace CLI {
class Option;
}

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
  // The real cable driver (libftdi1) instead of the simulated link.
  bool realDriver = false;
  // --help or --version: print it and end with status 0; nothing else is set.
  std::optional<cmdline::Answer> answer;
};

// The largest resource file taken: far above any image, far below harm.
inline constexpr std::size_t MaxResourceBytes = 16u << 20;

// A file's bytes, at most `maxBytes`; nullopt with `error` set for a
// directory, an unreadable file or one that is longer (an endless one too).
std::optional<std::vector<std::uint8_t>> ReadInputFile(const std::string& path, std::size_t maxBytes,
                                                       std::string* error);
// False with `error` set when nothing could be written at `path` ("-" is
// stdout): a directory, a missing folder, a file or folder not writable.
bool IsWritableOutput(const std::string& path, std::string* error);
std::optional<int> ParseCount(const std::string& text);
// How a board programs a page, as the simulator and the emulated cable both
// take it: --program-ms MS and --board-receive keep|drop. Every value given
// must be valid and the last one counts; false with `error` set otherwise.
bool ReadPageProgramming(const CLI::Option& programMs, const CLI::Option& boardReceive, SimOptions& board,
                         std::string* error);
// 8 hex digits, the board's answer to "GI".
std::optional<std::array<std::uint8_t, 4>> ParseReply(const std::string& text);

// Decodes `args` (without the program name). On a bad command line returns
// nullopt and sets `error` to one line saying what is wrong.
std::optional<SimCommandLine> ParseSimCommandLine(const std::vector<std::string>& args, std::string* error);

}  // namespace kelvo::sim
