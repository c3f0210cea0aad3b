#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/Board.h"

namespace kelvo::cli {

// What the closing summary says of the run as a whole.
struct RunFacts {
  std::optional<FirmwareVersion> image;  // nullopt: no usable image
  bool sampleImage = false;              // the image is the build's sample
  int status = 0;
  // Board cables present but not flashed, on the updater's own choice.
  std::vector<std::string> leftAlone;
  // Why the trace stopped being written, or empty.
  std::string traceLost;
  // Why no board was reached at all (no cable, no cable driver).
  Diagnosis noBoard;
  // Why the cables were read without real-time priority, or empty.
  std::string realtimeRefused;
};

// The boards' table for people: serial, versions, outcome with the cause of
// a cable that could not be used, time and retries. Fitted to `columns`
// (0: no limit): the columns as wide as their widest entry, and where even
// that does not fit, a few short lines per board instead.
std::string SummaryTable(const std::vector<std::unique_ptr<Board>>& boards, int columns);
// The closing --json line's fields.
std::string SummaryJson(const std::vector<std::unique_ptr<Board>>& boards, const RunFacts& facts);
// A diagnosis in --json: null, or its cause, text and the board's answer.
std::string DiagnosisJson(const Diagnosis& diagnosis);

}  // namespace kelvo::cli
