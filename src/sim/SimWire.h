#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "sim/SimBoard.h"

namespace kelvo::sim {

// The serial line between the cable's chip and the board, with the board on
// it: the PC's bytes go out one byte time apart, each is echoed back (the
// line is shared) and reaches the board; the board's answers come back
// behind. The same line serves the simulated link and the emulated USB chip.
class SimWire {
 public:
  struct Byte {
    Micros at;  // when it has fully arrived at the far end
    std::uint8_t value;
    bool echoed = true;  // from the PC: whether its echo comes back
  };

  // `byteMicros` is the line's time per byte (0: no pacing).
  SimWire(const SimOptions& options, Micros byteMicros = ByteMicros);

  SimBoard& Board() { return board_; }
  const SimBoard& Board() const { return board_; }

  // The PC's bytes go out from `from`, behind any still being sent; returns
  // when the last one will have arrived. A write of a whole "WF" command may
  // meet a `cut`, `lose` or `short-echo` fault of its page.
  Micros Send(const std::uint8_t* bytes, std::size_t count, Micros from);
  // Lets everything due up to `moment` happen, in time order.
  void ProcessUntil(Micros moment);
  // When the next byte reaches the board or the board acts; nullopt if never.
  std::optional<Micros> NextEventAt() const;

  // Bytes on their way to the PC, in arrival order (those at or before now
  // have arrived).
  const std::deque<Byte>& ToPc() const { return toPc_; }
  std::size_t ArrivedBy(Micros moment) const;
  // Removes the first `count` bytes for the PC.
  void Take(std::size_t count, std::uint8_t* out);
  // Of the bytes for the PC that have arrived by `moment`, only the first
  // `keep` stay (a full buffer loses the rest); returns how many were lost.
  std::size_t KeepArrived(std::size_t keep, Micros moment);
  // Purges: what has arrived for the PC; what the PC sent that is not yet on
  // the line (a byte already going out finishes).
  void DropArrived(Micros now);
  void DropUnsent(Micros now);
  // The cable is gone: the board gets what was sent, nothing comes back.
  void Cut();
  // The echo of the next `count` bytes the PC sends is lost.
  void LoseEchoes(int count) { lostEchoes_ += count > 0 ? count : 0; }

 private:
  void Arrive(std::uint8_t byte, Micros at);

  Micros byteMicros_;
  std::deque<Byte> toPc_;
  std::deque<Byte> fromPc_;
  Micros pcLineFreeAt_ = 0;
  int lostEchoes_ = 0;
  std::map<int, int> lostHeaders_;           // page -> "WF" commands still to lose
  std::map<int, int> shortEchoes_;           // page -> "WF" commands whose echo is still to cut short
  std::map<int, int> headersSent_;           // page -> "WF" commands the PC has written for it
  std::map<std::pair<int, int>, int> cuts_;  // (page, nth "WF" command) -> bytes that reach the board
  SimBoard board_;
};

}  // namespace kelvo::sim
