// kelvo-flash: flashes Kelvo boards from the command line, several at once.
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <mutex>

#include "app/QtResourceLoader.h"
#include "cli/FlashRun.h"
#include "cli/Reporter.h"
#include "link/LibFtdiDriver.h"
#include "link/TracingDriver.h"

namespace {

// The trace file that every board's driver writes to, each line with the
// serial of the board it was made for.
struct SharedTrace {
  std::mutex mutex;
  std::ofstream file;

  void Write(const std::string& serial, const std::string& line) {
    const std::lock_guard lock(mutex);
    file << "{\"serial\":" << kelvo::cli::JsonString(serial) << ',' << line.substr(1) << '\n' << std::flush;
  }
};

}  // namespace

int main(int argc, char** argv) {
  // One driver per cable, so that one board's failure cannot reach another's.
  std::deque<kelvo::LibFtdiDriver> cables;
  std::deque<kelvo::TracingDriver> traced;
  SharedTrace trace;
  const char* fromEnvironment = std::getenv("KELVO_TRACE");
  auto makeDriver = [&](const std::string& serial, const std::string& tracePath) -> kelvo::FtdiDriver& {
    kelvo::LibFtdiDriver& cable = cables.emplace_back();
    const std::string path = !tracePath.empty() ? tracePath : fromEnvironment != nullptr ? fromEnvironment : "";
    if (path.empty()) return cable;
    if (!trace.file.is_open()) trace.file.open(path, std::ios::binary | std::ios::trunc);
    return traced.emplace_back(cable, [&trace, serial](const std::string& line) { trace.Write(serial, line); });
  };

  kelvo::cli::FlashEnvironment env{
      .MakeDriver = makeDriver,
      .EmbeddedImage = kelvo::QtResourceLoader(),
      .Out = std::cout,
      .Err = std::cerr,
      .In = std::cin,
      .InputIsTerminal = isatty(STDIN_FILENO) == 1,
      .ErrorIsTerminal = isatty(STDERR_FILENO) == 1,
      .TakeInterrupts = true,
  };
  return kelvo::cli::RunFlash(std::vector<std::string>(argv + 1, argv + argc), env);
}
