#pragma once

#include <chrono>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "cli/Outcome.h"
#include "core/FtdiDriver.h"
#include "flow/StartUpDiagnosis.h"

namespace kelvo::cli {

// Everything kelvo-flash tells the operator, from any board's thread: on
// stderr a line per board (a live bar on a terminal wide enough for it, plain
// lines otherwise), and with --json one JSON line per event on stdout.
class Reporter {
 public:
  // `columns`: the terminal's width, when `terminal`.
  Reporter(std::ostream& out, std::ostream& err, bool json, bool terminal, int columns = 80);
  ~Reporter();

  // A board's row; `label` is its serial.
  int AddBoard(const std::string& label);
  // The row's board turned out to be on the cable with this serial.
  void Relabel(int row, const std::string& label);
  // The board's version and the image's; `current`: they are the same, and
  // `leftAlone`: the board is not flashed for it (its result says so).
  void Board(int row, const std::string& firmware, const std::string& image, bool current,
             bool leftAlone = false);
  void Status(int row, const std::string& text);
  void Progress(int row, int value, int maximum);
  // A failed transfer on flash page `page` is being retried: `attempt` of 50.
  void Retry(int row, int page, int attempt);
  void Message(int row, const std::string& title, const std::string& text);
  // `lineErrors`: what the board's cable counted on its receive side;
  // `differing`: after a comparison with the image, the pages that differ.
  void Result(int row, Outcome outcome, double seconds, const Diagnosis& diagnosis,
              const LineErrorCounts& lineErrors = {}, const std::vector<int>& differing = {});
  // A line of its own on stderr, above the bars.
  void Note(const std::string& text);
  // A question on stderr below the board lines, which stay as they are
  // (the answer moves the cursor); later lines start below the answer. A note
  // before the answer (Ctrl-C) starts on a line of its own.
  void Question(const std::string& text);
  // The question was answered; without an answer (end of input) its line is
  // ended here.
  void Answered(bool answered);
  // Plain text on stdout (the cable list).
  void Print(const std::string& text);
  void Json(const std::string& fields);

 private:
  struct Row {
    std::string label;
    std::string text;
    std::string tail;    // after the bar: the time left, or the retry under way
    int shownStep = -1;  // plain lines: the last tenth of the flash reported
    std::chrono::steady_clock::time_point flashStart;
  };
  // Callers hold mutex_.
  // Plain lines from now on, when a bar with this label would not fit.
  void FitBars(const std::string& label);
  void JsonLocked(const std::string& fields);
  void NoteLocked(const std::string& text);
  void Redraw();
  void Erase();

  std::ostream& out_;
  std::ostream& err_;
  const bool json_;
  bool terminal_;
  const int columns_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  std::vector<Row> rows_;
  std::size_t drawn_ = 0;  // bar lines on the screen below the cursor's line
  bool asking_ = false;    // the cursor is after a question, on its line
};

}  // namespace kelvo::cli
