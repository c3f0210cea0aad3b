// kelvo-flash: flashes Kelvo boards from the command line, several at once.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <mutex>

#include "app/QtResourceLoader.h"
#include "cli/FlashRun.h"
#include "cli/Reporter.h"
#include "link/LibFtdiDriver.h"
#include "link/TraceJson.h"
#include "link/TracingDriver.h"

namespace {

// The trace file that every board's driver writes to, each line with the
// serial of the board it was made for. It is opened at the first line, so a
// run that calls no driver (--version) leaves an earlier trace alone.
struct SharedTrace {
  std::mutex mutex;
  std::string path;
  std::ofstream file;

  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  // Each driver counts "t" from its own making; the file counts from the
  // program's start, so that the boards' lines read in time order.
  void Write(const std::string& serial, const std::string& line) {
    const std::lock_guard lock(mutex);
    if (!file.is_open()) file.open(path, std::ios::binary | std::ios::trunc);
    const double t = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const std::size_t rest = line.find(',');
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "\"t\":%.3f,", t);
    file << "{\"serial\":" << kelvo::JsonString(serial) << ',' << stamp << line.substr(rest + 1) << '\n'
         << std::flush;
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
    if (trace.path.empty()) trace.path = path;
    return traced.emplace_back(cable, [&trace, serial](const std::string& line) { trace.Write(serial, line); });
  };

  kelvo::cli::FlashEnvironment env{
      .makeDriver = makeDriver,
      .embeddedImage = kelvo::QtResourceLoader(),
      .out = std::cout,
      .err = std::cerr,
      .in = std::cin,
      .inputIsTerminal = isatty(STDIN_FILENO) == 1,
      .errorIsTerminal = isatty(STDERR_FILENO) == 1,
      .takeInterrupts = true,
  };
  return kelvo::cli::RunFlash(std::vector<std::string>(argv + 1, argv + argc), env);
}
