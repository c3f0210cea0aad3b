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
  // A driver of its own for the cable with this serial ("" for listing, or
  // for the cable the updater would open), alive until the run ends. `trace`
  // is --trace's file, or empty.
  std::function<FtdiDriver&(const std::string& serial, const std::string& trace)> MakeDriver;
  ResourceLoader EmbeddedImage;
  std::ostream& Out;
  std::ostream& Err;
  std::istream& In;
  bool InputIsTerminal = false;
  bool ErrorIsTerminal = false;
  // Told when the first flash starts and when the last one has ended, so
  // that Ctrl-C is refused in between.
  std::function<void(bool flashing)> FlashingChanged;
};

// The whole program after main: returns the exit status.
int RunFlash(const std::vector<std::string>& args, FlashEnvironment& env);

}  // namespace kelvo::cli
