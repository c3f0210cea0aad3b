#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "core/FtdiDriver.h"
#include "core/Resources.h"

namespace kelvo::cli {

// What kelvo-flash runs on: the real cables and streams, or a test's.
struct FlashEnvironment {
  // A driver of its own for the cable with this serial ("" for listing;
  // for the cable the updater would open, its serial as listed), alive until
  // the run ends. `trace` is --trace's file, or empty.
  std::function<FtdiDriver&(const std::string& serial, const std::string& trace)> makeDriver;
  ResourceLoader embeddedImage;
  std::ostream& out;
  std::ostream& err;
  std::istream& in;
  bool inputIsTerminal = false;
  bool errorIsTerminal = false;
  // Ctrl-C is taken by the run: it ends the program before the first flash
  // and is refused while boards are being flashed.
  bool takeInterrupts = false;
  // Why no cable can be reached at all (the cable driver is missing), or
  // empty. Asked once the command line wants a cable, so --help works
  // without the driver.
  std::function<std::string()> cableDriverProblem;
};

// The whole program after main: returns the exit status.
int RunFlash(const std::vector<std::string>& args, FlashEnvironment& env);

}  // namespace kelvo::cli
