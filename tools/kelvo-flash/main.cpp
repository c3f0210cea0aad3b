// kelvo-flash: flashes Kelvo boards from the command line, several at once.
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>

#include "app/QtResourceLoader.h"
#include "cli/FlashRun.h"
#include "cli/Interrupts.h"
#include "link/LibFtdiDriver.h"

int main(int argc, char** argv) {
  kelvo::cli::InterruptGuard interrupts([](const std::string& line) { std::cerr << '\n' << line << std::endl; }, 2);

  // One driver per cable, so that one board's failure cannot reach another's.
  std::deque<kelvo::LibFtdiDriver> drivers;
  kelvo::cli::FlashEnvironment env{
      .MakeDriver = [&drivers](const std::string&, const std::string&) -> kelvo::FtdiDriver& {
        return drivers.emplace_back();
      },
      .EmbeddedImage = kelvo::QtResourceLoader(),
      .Out = std::cout,
      .Err = std::cerr,
      .In = std::cin,
      .InputIsTerminal = isatty(STDIN_FILENO) == 1,
      .ErrorIsTerminal = isatty(STDERR_FILENO) == 1,
      .FlashingChanged = [&interrupts](bool flashing) { interrupts.SetFlashing(flashing); },
  };
  return kelvo::cli::RunFlash(std::vector<std::string>(argv + 1, argv + argc), env);
}
