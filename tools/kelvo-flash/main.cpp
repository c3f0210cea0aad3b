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

namespace {

#ifdef _WIN32
bool InputIsTerminal() { return kelvo::cli::InputIsConsole(); }
bool ErrorIsTerminal() { return kelvo::cli::ErrorIsConsole(); }
// The cable vendor's DLL is installed apart from the program.
std::string CableDriverProblem() { return kelvo::D2xxDriver().LoadError(); }
#else
bool InputIsTerminal() { return isatty(STDIN_FILENO) == 1; }
bool ErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }
// libftdi1 is linked into the program.
std::string CableDriverProblem() { return {}; }
#endif

}  // namespace

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
      .inputIsTerminal = InputIsTerminal(),
      .errorIsTerminal = ErrorIsTerminal(),
      .takeInterrupts = true,
      .cableDriverProblem = CableDriverProblem,
  };
  return kelvo::cli::RunFlash(std::vector<std::string>(argv + 1, argv + argc), env);
}
