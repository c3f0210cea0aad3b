#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/FlashRun.h"
#include "sim/SimLink.h"

namespace kelvo::test {

// Simulated cables on one bus, each with a board of its own, for kelvo-flash
// run in the test's process: every driver lists all the cables, and the one
// made for a serial reaches that cable's board (serial "" the first cable's).
struct SimCables {
  std::vector<sim::SimOptions> boards;  // one per cable; devices[0] is its description
  std::deque<sim::SimLink> links;
  std::map<std::string, sim::SimLink*> bySerial;  // the last link made for each serial
  std::ostringstream out, err;
  std::istringstream in;
  // What the run is told about the cable driver: empty, it is there.
  std::string driverProblem;
  // stderr as a terminal this many columns wide (0: not a terminal).
  int errorColumns = 0;
  // stdout as a terminal this many columns wide (0: not a terminal).
  int outputColumns = 0;
  // The embedded image is the build's sample.
  bool sampleImage = false;
  // What the run is told of its trace: why it could not be written.
  std::function<std::string()> traceProblem;
  // Held for the flash, as the logind inhibitor is.
  std::function<std::shared_ptr<void>()> holdSession;
  // Why the cables read without real-time priority (empty: they do not).
  std::string realtimeRefused;

  FtdiDriver& Make(const std::string& serial) {
    sim::SimOptions bus;
    bus.devices.clear();
    std::size_t board = 0;
    for (std::size_t i = 0; i < boards.size(); ++i) {
      bus.devices.push_back(boards[i].devices.front());
      bus.serials.push_back(boards[i].serials.empty() ? sim::DeviceSerial(bus, i)
                                                      : boards[i].serials.front());
      if (bus.serials.back() == serial) board = i;
    }
    sim::SimOptions options = boards.empty() ? sim::SimOptions{} : boards[board];
    options.devices = bus.devices;
    options.serials = bus.serials;
    links.emplace_back(options);
    return *(bySerial[serial] = &links.back());
  }

  // Runs kelvo-flash with `args`, the embedded image coming from `image`.
  int Run(std::vector<std::string> args, ResourceLoader image, bool terminal = false,
          std::string answer = "") {
    in.str(answer);
    cli::FlashEnvironment env{
        .makeDriver = [this](const std::string& serial, const std::string&) -> FtdiDriver& {
          return Make(serial);
        },
        .embeddedImage = std::move(image),
        .sampleImage = sampleImage,
        .out = out,
        .err = err,
        .in = in,
        .inputIsTerminal = terminal,
        .errorIsTerminal = errorColumns > 0,
        .errorColumns = errorColumns,
        .outputColumns = outputColumns,
        .takeInterrupts = false,
        .cableDriverProblem = [this] { return driverProblem; },
        .traceFromEnvironment = "",
        .traceProblem = traceProblem,
        .realCable = {},
        .holdSession = holdSession,
        .realtimeRefused = [this] { return realtimeRefused; },
    };
    return cli::RunFlash(args, env);
  }
};

}  // namespace kelvo::test
