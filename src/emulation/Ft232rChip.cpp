#include "emulation/Ft232rChip.h"

#include <algorithm>
#include <deque>
#include <limits>

namespace kelvo::sim {
namespace {

// The FTDI vendor requests (libftdi's SIO_* numbers).
constexpr std::uint8_t Reset = 0x00;
constexpr std::uint8_t SetFlowControl = 0x02;
constexpr std::uint8_t SetBaudRate = 0x03;
constexpr std::uint8_t SetData = 0x04;
constexpr std::uint8_t PollModemStatus = 0x05;
constexpr std::uint8_t SetLatencyTimer = 0x09;
constexpr std::uint8_t GetLatencyTimer = 0x0A;
constexpr std::uint8_t InDirection = 0x80;

// SIO_RESET's values: 1 drops what waits to go onto the line, 2 what waits
// for the host.
constexpr std::uint16_t PurgeToLine = 1;
constexpr std::uint16_t PurgeToHost = 2;

constexpr const char* Parities[] = {"none", "odd", "even", "mark", "space"};

std::string FlowName(std::uint16_t index) {
  switch (index >> 8) {
    case 0x00:
      return "none";
    case 0x01:
      return "rts-cts";
    case 0x02:
      return "dtr-dsr";
    case 0x04:
      return "xon-xoff";
    default:
      return "unknown";
  }
}

}  // namespace

Ft232rChip::Ft232rChip(const SimOptions& board, bool paced, std::size_t rxBufferBytes)
    : paced_(paced), rxBufferBytes_(rxBufferBytes), wire_(board, paced ? ByteMicros : 0) {}

void Ft232rChip::Advance(Micros now) {
  wire_.ProcessUntil(now);
  Overflow(now);
}

void Ft232rChip::Overflow(Micros moment) {
  if (rxBufferBytes_ == 0) return;
  // The bytes are in arrival order, so the first ones found room and the
  // later ones were lost.
  const std::size_t lost = wire_.KeepArrived(rxBufferBytes_, moment);
  overrun_ = overrun_ || lost > 0;
  lost_ += lost;
}

int Ft232rChip::DecodeBaud(std::uint16_t value, std::uint16_t index) {
  // Eighths of the sub-integer divisor, by the chip's 3-bit code.
  static constexpr int Eighths[] = {0, 4, 2, 1, 3, 5, 6, 7};
  const int integer = value & 0x3FFF;
  const int code = ((value >> 14) & 0x3) | ((index & 0x1) << 2);
  if (integer == 0 && code == 0) return 3000000;
  if (integer == 1 && code == 0) return 2000000;
  const int eighths = integer * 8 + Eighths[code];
  return eighths == 0 ? 0 : (3000000 * 8 + eighths / 2) / eighths;
}

Ft232rChip::ControlResult Ft232rChip::Control(const ControlSetup& setup, Micros now) {
  ControlResult result;
  wire_.ProcessUntil(now);
  switch (setup.request) {
    case Reset:
      if (setup.value == 0) {
        result.change = Change::Reset;
        wire_.DropArrived(now);
        wire_.DropUnsent(now);
      } else {
        result.change = Change::Purge;
        if ((setup.value & PurgeToHost) != 0) wire_.DropArrived(now);
        if ((setup.value & PurgeToLine) != 0) wire_.DropUnsent(now);
      }
      break;
    case SetFlowControl:
      settings_.flow = FlowName(setup.index);
      result.change = Change::Settings;
      break;
    case SetBaudRate:
      settings_.baud = DecodeBaud(setup.value, setup.index);
      result.change = Change::Settings;
      break;
    case SetData: {
      settings_.bits = setup.value & 0xFF;
      const int parity = (setup.value >> 8) & 0x7;
      settings_.parity = parity < 5 ? Parities[parity] : "unknown";
      static constexpr int Stops[] = {1, 15, 2};
      const int stop = (setup.value >> 11) & 0x3;
      settings_.stopBits = stop < 3 ? Stops[stop] : 0;
      result.change = Change::Settings;
      break;
    }
    case PollModemStatus:
      result.data.assign(std::begin(ModemStatus), std::end(ModemStatus));
      break;
    case SetLatencyTimer:
      if ((setup.value & 0xFF) == 0) {
        result.stall = true;
      } else {
        settings_.latencyMs = setup.value & 0xFF;
        result.change = Change::Settings;
      }
      break;
    case GetLatencyTimer:
      result.data.push_back(static_cast<std::uint8_t>(settings_.latencyMs));
      break;
    default:
      // Modem lines, event and error characters, bit modes: accepted, and
      // nothing the board can notice. EEPROM reads answer erased words.
      if ((setup.requestType & InDirection) != 0) result.data.assign(setup.length, 0xFF);
      break;
  }
  if ((setup.requestType & InDirection) != 0 && result.data.size() > setup.length)
    result.data.resize(setup.length);
  return result;
}

Micros Ft232rChip::BulkOut(const std::uint8_t* bytes, std::size_t count, Micros now) {
  wire_.ProcessUntil(now);
  const Micros lastArrives = wire_.Send(bytes, count, now);
  if (!paced_) return now;
  // Once the unsent rest fits in the transmit buffer the host is done.
  const Micros bufferTime = static_cast<Micros>(TxBufferBytes) * ByteMicros;
  return std::max(now, lastArrives - bufferTime);
}

void Ft232rChip::AppendPacket(InTransfer& transfer, std::size_t dataBytes) {
  transfer.data.insert(transfer.data.end(), std::begin(ModemStatus), std::end(ModemStatus));
  if (overrun_) transfer.data.back() |= OverrunBit;
  overrun_ = false;
  const std::size_t start = transfer.data.size();
  transfer.data.resize(start + dataBytes);
  wire_.Take(dataBytes, transfer.data.data() + start);
}

bool Ft232rChip::FillIn(InTransfer& transfer, Micros now, Micros* wakeAt) {
  constexpr std::size_t FullData = PacketSize - StatusBytes;
  constexpr Micros Never = std::numeric_limits<Micros>::max();
  wire_.ProcessUntil(now);
  const Micros latency = static_cast<Micros>(settings_.latencyMs) * 1000;
  // A transfer too small for one packet ends empty.
  while (transfer.capacity >= transfer.data.size() + PacketSize) {
    // Nothing goes before the transfer is pending or while the last packet
    // is still going.
    const Micros earliest = std::max(lastPacketAt_, transfer.pendingSince);
    const std::deque<SimWire::Byte>& queued = wire_.ToPc();
    const Micros fullAt = queued.size() >= FullData ? std::max(earliest, queued[FullData - 1].at) : Never;
    // The timer sends what there is, the status bytes alone if nothing.
    const Micros timerAt = std::max(lastPacketAt_ + latency, transfer.pendingSince);
    const bool full = fullAt <= timerAt;
    const Micros at = full ? fullAt : timerAt;
    if (at > now) {
      *wakeAt = std::max(at, now + 1);
      return false;
    }
    // Until this packet nothing left the buffer: just before it, it was
    // fullest. A byte that arrives at the very moment goes with the packet,
    // as all of an unpaced line's bytes do while a transfer is pending.
    Overflow(at - 1);
    lastPacketAt_ = at;
    if (!full) {
      AppendPacket(transfer, std::min(wire_.ArrivedBy(at), FullData - 1));
      return true;
    }
    AppendPacket(transfer, FullData);
  }
  return true;
}

}  // namespace kelvo::sim
