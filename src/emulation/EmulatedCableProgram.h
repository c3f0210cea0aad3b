#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cmdline/CommandLine.h"
#include "emulation/EmulatedCables.h"

namespace kelvo::sim {

// kelvo-emulated-cable's command line, checked and decoded.
struct EmulatedCableCommandLine {
  EmulationOptions emulation;  // without the events sink
  std::optional<std::string> dumpFlashDir;
  std::optional<std::string> eventsFile;  // "-" for stdout
  std::vector<std::string> command;
  // --help or --version: print it and end with status 0; nothing else is set.
  std::optional<cmdline::Answer> answer;
};

// Decodes `args` (without the program name); nullopt with a one-line
// `error` for a bad command line.
std::optional<EmulatedCableCommandLine> ParseEmulatedCableCommandLine(const std::vector<std::string>& args,
                                                                      std::string* error);

// Runs COMMAND with the emulated cables and returns its exit status (2 for a
// bad command line of our own, 1 when the cables cannot be emulated).
int RunEmulatedCableProgram(int argc, char** argv);

}  // namespace kelvo::sim
