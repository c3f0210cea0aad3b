#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/BoardWindow.h"
#include "cli/NamingDriver.h"
#include "cli/Outcome.h"
#include "core/UpdaterState.h"
#include "flow/StartUpDiagnosis.h"

namespace kelvo::cli {

class Reporter;

// One board on its own cable, with its own state record and driver: the
// window's steps, run by the command line. Each step runs on one thread at a
// time; nothing here is shared with another board.
class Board {
 public:
  // `serial` empty: the cable the updater would open, which is then labelled
  // by the serial its open handle gives. `cable` is the real cable under
  // `driver`, which can tell why an open failed; null otherwise.
  Board(FtdiDriver& driver, const CableDriver* cable, Reporter& reporter, const std::string& label,
        const std::string& serial, ResourceLoader image);

  // Start-up and "Find Device": opens the link, identifies the board and
  // checks the image. Ready afterwards unless the routines recorded
  // otherwise, or `skipCurrent` and the board already runs the image's version.
  void Check(bool skipCurrent);
  // "Flash Device", for a Ready board.
  void Flash();
  // --verify, for a Ready board: compares its pages with the image, writing
  // nothing.
  void Verify();
  // --read, for a Ready board: reads its whole flash and hands it to `keep`,
  // which answers why it could not keep it, or "".
  void Read(const std::function<std::string(const std::vector<std::uint8_t>&)>& keep);
  // Ends a board whose cable cannot be told from another without opening it.
  void Refuse(Diagnosis why);
  // Closes the link, as closing the window does.
  void Finish();

  Outcome Result() const { return outcome_; }
  // The board already runs the image's version.
  bool Current() const { return current_; }
  double Seconds() const { return seconds_; }
  const std::string& Label() const { return label_; }
  const UpdaterState& State() const { return state_; }
  const Diagnosis& Diagnosed() const { return diagnosis_; }
  // What the board's cable counted on its receive side, as the board ended.
  const LineErrorCounts& LineErrors() const { return lineErrors_; }

 private:
  void Ended(Outcome outcome);
  // The open by description took the cable with this serial.
  void Named(const std::string& serial);

  const CableDriver* cable_;
  Reporter& reporter_;
  std::string label_;
  int row_;
  BoardWindow window_;
  std::optional<NamingDriver> naming_;  // before state_, whose driver it may be
  UpdaterState state_;
  Outcome outcome_ = Outcome::Ready;
  bool current_ = false;
  Diagnosis diagnosis_;
  LineErrorCounts lineErrors_;
  double seconds_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Runs `step` on every board that waits for it, each on a thread of its own.
template <typename Step>
void OnEveryBoard(std::vector<std::unique_ptr<Board>>& boards, Step step) {
  std::vector<std::jthread> threads;
  for (auto& board : boards) {
    if (board->Result() == Outcome::Ready) threads.emplace_back([&board, &step] { step(*board); });
  }
}

// A version as plain "major.minor", for --json and the summary.
std::string PlainVersion(const FirmwareVersion& version);

}  // namespace kelvo::cli
