#pragma once

#include <chrono>
#include <fstream>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "link/CableDriver.h"
#include "link/TracingDriver.h"

namespace kelvo {

// One trace that every cable of a program writes to (KELVO_TRACE, --trace):
// each line whole and flushed, under a lock, since boards run on threads of
// their own. Every line's "t" counts from the trace's opening, so the lines
// of several cables read in time order.
class TraceWriter {
 public:
  // Writes to `out`, which must outlive the writer.
  explicit TraceWriter(std::ostream& out);
  // Writes to the file at `path`, emptied at the first line, so that a run
  // that calls no driver (--version) leaves an earlier trace alone; nothing
  // is written when it cannot be opened.
  explicit TraceWriter(const std::string& path);
  TraceWriter(const TraceWriter&) = delete;
  TraceWriter& operator=(const TraceWriter&) = delete;

  void Write(const std::string& line);
  std::chrono::steady_clock::time_point Start() const { return start_; }
  // Why a line could not be written (the file would not open, the disk is
  // full, the file takes no writes), in one line; empty while all went in.
  // A trace that failed once is incomplete, so the first reason stays.
  std::string Problem();

 private:
  std::mutex mutex_;
  std::string path_;  // opened at the first line, once
  std::string name_;  // the path, for the problem's words
  std::string problem_;
  std::ofstream file_;
  std::ostream* out_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Whether a file could be written at `path`, found without touching it (an
// existing trace is emptied only at its first line): an existing file must be
// writable, and a new one's folder must exist and take new files. False with
// `error` set to one line otherwise.
bool IsWritableFile(const std::string& path, std::string* error);

// The real cable as the programs open it: CableDriver, and every call on it
// written to `trace` when one is given, with `serial` on each line when the
// trace is shared.
class TracedCable {
 public:
  explicit TracedCable(TraceWriter* trace, std::optional<std::string> serial = std::nullopt);
  TracedCable(const TracedCable&) = delete;
  TracedCable& operator=(const TracedCable&) = delete;

  // The driver the routines use: the tracing one, or the cable itself.
  FtdiDriver& Driver() { return traced_ ? static_cast<FtdiDriver&>(*traced_) : cable_; }
  // The cable underneath, for what only it can tell (why an open failed)
  // and what only it can be given.
  const CableDriver& Cable() const { return cable_; }
  CableDriver& Cable() { return cable_; }
  // Milliseconds since the trace opened, or since this cable was made.
  double NowMs() const;

 private:
  CableDriver cable_;
  std::chrono::steady_clock::time_point start_;
  std::optional<TracingDriver> traced_;
};

}  // namespace kelvo
