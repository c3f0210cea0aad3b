// kelvo-flash: flashes Kelvo boards from the command line, several at once.
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdlib>
#include <deque>
#include <iostream>
#include <optional>

#include "resources/EmbeddedResources.h"
#include "cli/FlashRun.h"
#include "link/TracedCable.h"
#ifdef _WIN32
#include "cli/WindowsConsole.h"
#endif

int main(int argc, char** argv) {
  // One driver per cable, so that one board's failure cannot reach another's;
  // one trace for all of them, each line with the serial of its board.
  std::deque<kelvo::TracedCable> cables;
  std::optional<kelvo::TraceWriter> trace;
  const char* fromEnvironment = std::getenv("KELVO_TRACE");
  auto makeDriver = [&](const std::string& serial, const std::string& tracePath) -> kelvo::FtdiDriver& {
    const std::string path = !tracePath.empty() ? tracePath : fromEnvironment != nullptr ? fromEnvironment : "";
    if (path.empty()) return cables.emplace_back(nullptr).Driver();
    if (!trace) trace.emplace(path);
    return cables.emplace_back(&*trace, serial).Driver();
  };

  kelvo::cli::FlashEnvironment env{
      .makeDriver = makeDriver,
      .embeddedImage = kelvo::EmbeddedResources(),
      .out = std::cout,
      .err = std::cerr,
      .in = std::cin,
#ifdef _WIN32
      .inputIsTerminal = kelvo::cli::InputIsConsole(),
      .errorIsTerminal = kelvo::cli::ErrorIsConsole(),
      .takeInterrupts = true,
      // The cable vendor's DLL is installed apart from the program.
      .cableDriverProblem = [] { return kelvo::D2xxDriver().LoadError(); },
#else
      .inputIsTerminal = isatty(STDIN_FILENO) == 1,
      .errorIsTerminal = isatty(STDERR_FILENO) == 1,
      .takeInterrupts = true,
#endif
  };
  return kelvo::cli::RunFlash(std::vector<std::string>(argv + 1, argv + argc), env);
}
