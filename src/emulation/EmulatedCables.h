#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emulation/Ft232rChip.h"
#include "sim/SimBoard.h"

namespace kelvo::sim {

// One emulated FT232R cable and the board behind it.
struct CableSetup {
  std::string description = "Corvane Serial Link";  // the USB product string
  std::string serial = "KV000001";
  SimOptions board;
  // The cable leaves the bus once the PC has sent this many bytes.
  std::optional<long long> unplugAfterBytes;
  // The chip's receive buffer, the FT232R's by default; 0: unlimited,
  // nothing is ever lost.
  std::size_t rxBufferBytes = Ft232rChip::RxBufferBytes;
};

struct EmulationOptions {
  std::vector<CableSetup> cables;
  bool deny = false;  // the device nodes cannot be opened
  bool busy = false;  // another program has claimed the interface
  bool paced = true;  // 125000 baud 8N1 and the chip's latency timer
  // Receives one JSON line (without newline) per cable event.
  std::function<void(const std::string& line)> events;
};

// Emulated FT232R cables on an emulated USB bus (umockdev): a process that
// runs with Environment() sees them through libusb as real devices. The
// requests are served on umockdev's own thread until Stop().
class EmulatedCables {
 public:
  explicit EmulatedCables(EmulationOptions options);  // throws std::runtime_error
  ~EmulatedCables();
  EmulatedCables(const EmulatedCables&) = delete;
  EmulatedCables& operator=(const EmulatedCables&) = delete;

  // What a program needs in its environment to see the cables.
  std::vector<std::pair<std::string, std::string>> Environment() const;
  // Stops serving; the boards stay readable.
  void Stop();
  // The cable leaves the bus now, as with unplugAfterBytes. From any thread,
  // once a program has made a request to the cable.
  void Unplug(std::size_t cable);
  // The next `count` bulk IN transfers end in a transaction error, each with
  // the packets it had; the chip keeps the rest. From any thread, as Unplug.
  void FailInTransfers(std::size_t cable, int count);

  std::size_t Count() const;
  const std::string& Serial(std::size_t cable) const;
  // Valid after Stop().
  const SimBoard& Board(std::size_t cable) const;

  struct Statistics {
    long long requests = 0;         // usbfs requests served
    long long discards = 0;         // of which cancellations
    long long bulkTransfers = 0;    // bulk transfers completed, both directions
    long long emptyReads = 0;       // bulk IN transfers that carried no data
    long long quickEmptyReads = 0;  // ... and were answered within 1 ms (spinning)
    long long lostBytes = 0;        // bytes for the PC that found the chip's receive buffer full
    long long overruns = 0;         // times bytes were lost
  };
  // So far; from any thread.
  Statistics Stats() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelvo::sim
