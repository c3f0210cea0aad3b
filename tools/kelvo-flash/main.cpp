// kelvo-flash: flashes Kelvo boards from the command line, several at once.
#include <sys/ioctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <optional>

#include "cli/FlashRun.h"
#include "link/TracedCable.h"
#include "resources/QtResourceLoader.h"
#include "session/SleepInhibitor.h"

namespace {

int TerminalColumns(int fd) {
  winsize size{};
  return ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

}  // namespace

int main(int argc, char** argv) {
  // Qt D-Bus, for the inhibitor, wants an application object; no event loop
  // runs.
  QCoreApplication app(argc, argv);
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
      .embeddedImage = kelvo::QtResourceLoader(),
      .out = std::cout,
      .err = std::cerr,
      .in = std::cin,
      .inputIsTerminal = isatty(STDIN_FILENO) == 1,
      .errorIsTerminal = isatty(STDERR_FILENO) == 1,
      .errorColumns = TerminalColumns(STDERR_FILENO),
      .takeInterrupts = true,
      .traceFromEnvironment = fromEnvironment != nullptr ? fromEnvironment : "",
      .realCable = [&](const std::string& serial) -> const kelvo::LibFtdiDriver* {
        const auto it = bySerial.find(serial);
        return it != bySerial.end() ? &it->second->Cable() : nullptr;
      },
      // The driver keeps no count of lost bytes yet; 0 until it does.
      .receiveOverruns = [](const std::string&) -> std::uint64_t { return 0; },
      .holdSession = []() -> std::shared_ptr<void> {
        return std::make_shared<kelvo::SleepInhibitor>("Kelvo boards are being flashed");
      },
  };
  return kelvo::cli::RunFlash(std::vector<std::string>(argv + 1, argv + argc), env);
}
