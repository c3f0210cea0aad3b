#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "sim/SimClock.h"
#include "sim/SimLink.h"

namespace kelvo::sim {

// 125000 baud, 8N1: ten bit times of 8 µs each.
inline constexpr Micros ByteMicros = 80;
inline constexpr std::size_t ReceiveBufferBytes = 16384;

// The Kelvo board in update mode: a byte-driven parser for "GI", "WF" and
// "RF" in front of 64 pages of flash. It has no clock of its own: the cable
// hands it each byte with the moment it arrived, and asks it to run its
// pending actions (a page being programmed, a delayed answer) in time order.
// It handles one command at a time: bytes that arrive while it programs a
// page either wait in its receive buffer (up to ReceiveBufferBytes, the rest
// are lost) and are handled, in order, once it has answered "OK", or are
// dropped, as SimOptions::boardReceive says. Bytes that form no command are
// passed over until a command letter starts one.
class SimBoard {
 public:
  // Receives each byte the board sends, with the moment it has arrived at the
  // PC's end of the cable.
  using Output = std::function<void(std::uint8_t byte, Micros arrival)>;

  SimBoard(const SimOptions& options, Output output);

  // A byte from the PC has fully arrived at `at`.
  void Receive(std::uint8_t byte, Micros at);
  // The next byte received is page data whose echo the board sends itself,
  // once the whole page is in.
  bool EchoesNextByteLater() const;
  // When the earliest pending action is due; nullopt when none is.
  std::optional<Micros> NextActionAt() const;
  void RunNextAction();

  // The board sends `bytes` unasked, starting at `at`.
  void SendAt(std::vector<std::uint8_t> bytes, Micros at);
  // The next "GI" is answered by these pieces instead of the identify reply;
  // each piece starts the given number of ms after the previous one ended
  // (the first: after the command).
  void ReplaceNextIdentifyAnswer(std::vector<std::pair<std::vector<std::uint8_t>, double>> pieces);

  // The line's time per byte (default ByteMicros; 0: no pacing).
  void SetByteMicros(Micros micros) { byteMicros_ = micros; }

  const std::vector<std::uint8_t>& Flash() const { return flash_; }
  const std::vector<PageEvent>& PageEvents() const { return events_; }

 private:
  using Pieces = std::vector<std::pair<std::vector<std::uint8_t>, double>>;
  struct Action {
    Micros at;
    std::uint64_t order;
    std::function<void(Micros)> run;
  };

  void Schedule(Micros at, std::function<void(Micros)> run);
  // Puts bytes on the board's line from `at` (or once the line is free);
  // returns when the last one has arrived.
  Micros Transmit(const std::vector<std::uint8_t>& bytes, Micros at);
  void SendPieces(Pieces pieces, std::size_t next, Micros after);
  void Parse(std::uint8_t byte, Micros at);
  void Execute(Micros at);
  void ExecuteIdentify(Micros at);
  void ExecuteWrite(Micros at);
  void ExecuteRead(Micros at);
  void Record(PageEvent::Kind kind, int page, bool exact, Micros at, std::vector<std::uint8_t> data = {});

  Output output_;
  int programMs_;
  SimOptions::BoardReceive receive_;
  bool echoWholePage_;
  std::optional<std::array<std::uint8_t, 4>> identifyReply_;
  std::optional<Pieces> identifyOverride_;
  std::map<int, int> writeRefusals_;         // page -> answers still to refuse
  std::map<int, int> verifySpoils_;          // page -> read-backs still to spoil
  std::map<int, std::vector<int>> lateOks_;  // page -> delays of its next OKs, in order
  std::vector<std::uint8_t> flash_;
  std::vector<PageEvent> events_;
  std::vector<std::uint8_t> command_;
  std::size_t commandLength_ = 0;  // 0 until the two command letters are known
  bool programming_ = false;
  std::vector<std::uint8_t> held_;  // received while programming, not yet parsed
  std::vector<Action> actions_;
  std::uint64_t nextOrder_ = 0;
  Micros lineFreeAt_ = 0;
  Micros byteMicros_ = ByteMicros;
};

}  // namespace kelvo::sim
