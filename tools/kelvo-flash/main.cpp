// kelvo-flash: flashes Kelvo boards from the command line, several at once.
#ifndef _WIN32
#include <sys/ioctl.h>
#include <unistd.h>

#include <QCoreApplication>
#endif

#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <optional>

#include "cli/FlashRun.h"
#include "link/TracedCable.h"
#include "resources/EmbeddedResources.h"
#ifdef _WIN32
#include "cli/WindowsConsole.h"
#else
#include "session/SleepInhibitor.h"
#endif

namespace {

#ifdef _WIN32
bool InputIsTerminal() { return kelvo::cli::InputIsConsole(); }
bool ErrorIsTerminal() { return kelvo::cli::ErrorIsConsole(); }
int ErrorColumns() { return kelvo::cli::ConsoleColumns(false); }
int OutputColumns() { return kelvo::cli::ConsoleColumns(true); }
// The cable vendor's DLL is installed apart from the program.
std::string CableDriverProblem() { return kelvo::D2xxDriver().LoadError(); }
// No logind there; the console handler holds off a shutdown as it can.
std::shared_ptr<void> HoldSession() { return nullptr; }
#else
bool InputIsTerminal() { return isatty(STDIN_FILENO) == 1; }
bool ErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }
int Columns(int terminal) {
  winsize size{};
  return ioctl(terminal, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}
int ErrorColumns() { return Columns(STDERR_FILENO); }
int OutputColumns() { return isatty(STDOUT_FILENO) == 1 ? Columns(STDOUT_FILENO) : 0; }
// libftdi1 is linked into the program.
std::string CableDriverProblem() { return {}; }
std::shared_ptr<void> HoldSession() {
  return std::make_shared<kelvo::SleepInhibitor>("Kelvo boards are being flashed");
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  // Qt D-Bus, for the inhibitor, wants an application object; no event loop
  // runs.
  QCoreApplication app(argc, argv);
#endif
  // One driver per cable, so that one board's failure cannot reach another's;
  // one trace for all of them, each line with the serial of its board.
  std::deque<kelvo::TracedCable> cables;
  std::map<std::string, kelvo::TracedCable*> bySerial;
  std::optional<kelvo::TraceWriter> trace;
  auto makeDriver = [&](const std::string& serial, const std::string& tracePath) -> kelvo::FtdiDriver& {
    if (!tracePath.empty() && !trace) trace.emplace(tracePath);
    kelvo::TracedCable& cable =
        tracePath.empty() ? cables.emplace_back(nullptr) : cables.emplace_back(&*trace, serial);
    bySerial[serial] = &cable;
    return cable.Driver();
  };
  const char* fromEnvironment = std::getenv("KELVO_TRACE");

  kelvo::cli::FlashEnvironment env{
      .makeDriver = makeDriver,
      .embeddedImage = kelvo::EmbeddedResources(),
      .sampleImage = KELVO_SAMPLE_FIRMWARE != 0,
      .out = std::cout,
      .err = std::cerr,
      .in = std::cin,
      .inputIsTerminal = InputIsTerminal(),
      .errorIsTerminal = ErrorIsTerminal(),
      .errorColumns = ErrorColumns(),
      .outputColumns = OutputColumns(),
      .takeInterrupts = true,
      .cableDriverProblem = CableDriverProblem,
      .traceFromEnvironment = fromEnvironment != nullptr ? fromEnvironment : "",
      .traceProblem = [&] { return trace ? trace->Problem() : std::string(); },
      .realCable = [&](const std::string& serial) -> const kelvo::CableDriver* {
        const auto it = bySerial.find(serial);
        return it != bySerial.end() ? &it->second->Cable() : nullptr;
      },
      .holdSession = HoldSession,
  };
  return kelvo::cli::RunFlash(std::vector<std::string>(argv + 1, argv + argc), env);
}
