#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "core/FtdiDriver.h"
#include "core/Resources.h"
#include "link/CableDriver.h"

namespace kelvo::cli {

// What kelvo-flash runs on: the real cables and streams, or a test's.
struct FlashEnvironment {
  // A driver of its own for the cable with this serial ("" for listing;
  // for the cable the updater would open, its serial as listed), alive until
  // the run ends. `trace` is the trace file to write, or empty.
  std::function<FtdiDriver&(const std::string& serial, const std::string& trace)> makeDriver;
  ResourceLoader embeddedImage;
  // The embedded image is the build's sample, not the board's firmware.
  bool sampleImage = false;
  std::ostream& out;
  std::ostream& err;
  std::istream& in;
  bool inputIsTerminal = false;
  bool errorIsTerminal = false;
  // The terminal's width on stderr, when errorIsTerminal.
  int errorColumns = 80;
  // The terminal's width on stdout; 0 when it is not a terminal.
  int outputColumns = 0;
  // Signals are taken by the run: they end the program before the first
  // flash and are refused while boards are being flashed.
  bool takeInterrupts = false;
  // Why no cable can be reached at all (the cable driver is missing), or
  // empty. Asked once the command line wants a cable, so --help works
  // without the driver.
  std::function<std::string()> cableDriverProblem;
  // KELVO_TRACE, used when --trace is not given.
  std::string traceFromEnvironment;
  // Why the trace could not be written so far, or empty. Optional.
  std::function<std::string()> traceProblem;
  // The real cable under the driver last made for this serial, which can
  // tell why it would not open; null for other drivers. Optional.
  std::function<const CableDriver*(const std::string& serial)> realCable;
  // Keeps the machine from sleeping or shutting down while the value lives
  // (a logind inhibitor); taken for the flash. Optional.
  std::function<std::shared_ptr<void>()> holdSession;
  // Why the cables opened so far read without real-time priority, neither
  // taking it nor given it by RealtimeKit; empty when they have it. Optional.
  std::function<std::string()> realtimeRefused;
};

// The whole program after main: returns the exit status.
int RunFlash(const std::vector<std::string>& args, FlashEnvironment& env);

}  // namespace kelvo::cli
