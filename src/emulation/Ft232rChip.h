#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimWire.h"

namespace kelvo::sim {

// The serial settings the host has given the chip.
struct ChipSettings {
  int baud = 9600;
  int bits = 8;
  int stopBits = 1;  // 1, 2, or 15 for 1.5
  std::string parity = "none";
  std::string flow = "none";
  int latencyMs = 16;
};

// An FT232R as its USB endpoints see it, with a Kelvo board on its serial
// line: the vendor requests, bulk OUT onto the line, bulk IN in 64-byte
// packets that each start with the two modem-status bytes. Time is in µs on
// the caller's clock; the chip never waits, it says when to look again.
class Ft232rChip {
 public:
  static constexpr std::size_t PacketSize = 64;
  static constexpr std::size_t StatusBytes = 2;
  static constexpr std::uint8_t ModemStatus[StatusBytes] = {0x01, 0x60};
  // The chip's transmit buffer: a bulk OUT completes once the rest fits.
  static constexpr std::size_t TxBufferBytes = 128;
  // The chip's receive buffer: what arrives from the line while it is full
  // is lost, and the next packet's second status byte says so.
  static constexpr std::size_t RxBufferBytes = 256;
  static constexpr std::uint8_t OverrunBit = 0x02;

  // `paced`: the line moves a byte per 10 bit times at 125000 baud;
  // otherwise bytes move at once. `rxBufferBytes` 0: nothing is ever lost.
  Ft232rChip(const SimOptions& board, bool paced, std::size_t rxBufferBytes = RxBufferBytes);

  struct ControlSetup {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
  };
  enum class Change { None, Settings, Purge, Reset };
  struct ControlResult {
    bool stall = false;              // the chip refuses the request
    std::vector<std::uint8_t> data;  // for an IN request
    Change change = Change::None;
  };
  // A control request other than the standard descriptor requests.
  ControlResult Control(const ControlSetup& setup, Micros now);

  // Puts bytes on the line; returns when the transfer completes (the chip's
  // buffer has taken the last of them).
  Micros BulkOut(const std::uint8_t* bytes, std::size_t count, Micros now);

  // A bulk IN transfer of `capacity` bytes, pending since `pendingSince`
  // (the chip sends nothing before), being filled.
  struct InTransfer {
    std::size_t capacity = 0;
    std::vector<std::uint8_t> data;
    Micros pendingSince = 0;
  };
  // Adds the packets the chip sent into this transfer by `now`, each at the
  // moment it went: a full packet once its last byte is in, else a short one
  // when the latency timer expires, which ends the transfer. So a transfer
  // pending on an idle-paced line covers one latency period, not its size.
  // True when the transfer is complete, otherwise `wakeAt` says when it may
  // progress. The host's controller fills its transfers one at a time, in
  // order: call this for the first pending one only.
  bool FillIn(InTransfer& transfer, Micros now, Micros* wakeAt);

  // Lets the line and the board run up to `now` with no IN transfer pending:
  // what does not fit in the receive buffer is lost.
  void Advance(Micros now);
  // Bytes from the line lost to a full receive buffer so far.
  std::size_t Lost() const { return lost_; }
  // The cable leaves the bus: the board keeps what it got.
  void Unplug() { wire_.Cut(); }

  const ChipSettings& Settings() const { return settings_; }
  const SimBoard& Board() const { return wire_.Board(); }
  // The baud rate the FT232R's divisor encoding (3 MHz base, eighths) gives.
  static int DecodeBaud(std::uint16_t value, std::uint16_t index);

 private:
  void AppendPacket(InTransfer& transfer, std::size_t dataBytes);
  // The receive buffer at `moment`, the last moment nothing left it: of
  // what has arrived only the first rxBufferBytes_ found room.
  void Overflow(Micros moment);

  bool paced_;
  std::size_t rxBufferBytes_;
  bool overrun_ = false;  // bytes were lost since the last packet
  std::size_t lost_ = 0;
  SimWire wire_;
  ChipSettings settings_;
  Micros lastPacketAt_ = 0;
};

}  // namespace kelvo::sim
