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
#include <mutex>
#include <optional>
#include <string>

#include "cli/FlashRun.h"
#include "link/TracedCable.h"
#include "resources/EmbeddedResources.h"
#ifdef _WIN32
#include "cli/WindowsConsole.h"
#else
#include "session/RealtimeKit.h"
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

// Why a cable's receive thread got no real-time priority, the first time one
// did not; boards open on threads of their own.
class RealtimeRefusals {
 public:
  std::string First() const {
    const std::lock_guard lock(mutex_);
    return first_;
  }
#ifndef _WIN32
  // The cable's receive threads ask RealtimeKit where the process may not
  // take the priority itself.
  void AskFor(kelvo::CableDriver& cable) {
    cable.AskForRealtimeWith([this](std::int64_t thread, int priority) {
      std::string why = kelvo::MakeThreadRealtime(thread, priority);
      const std::lock_guard lock(mutex_);
      if (first_.empty()) first_ = why;
      return why;
    });
  }
#else
  void AskFor(kelvo::CableDriver&) {}
#endif

 private:
  mutable std::mutex mutex_;
  std::string first_;
};

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
  RealtimeRefusals refusals;
  auto makeDriver = [&](const std::string& serial, const std::string& tracePath) -> kelvo::FtdiDriver& {
    if (!tracePath.empty() && !trace) trace.emplace(tracePath);
    kelvo::TracedCable& cable =
        tracePath.empty() ? cables.emplace_back(nullptr) : cables.emplace_back(&*trace, serial);
    refusals.AskFor(cable.Cable());
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
      .realtimeRefused = [&refusals] { return refusals.First(); },
  };
  return kelvo::cli::RunFlash(std::vector<std::string>(argv + 1, argv + argc), env);
}
