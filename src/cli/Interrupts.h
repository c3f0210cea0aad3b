#pragma once

#include <atomic>
#include <csignal>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kelvo::cli {

// What the operator is told of a signal (or Ctrl-C) while boards are being
// flashed, and of one that ends the program before the flash.
inline constexpr char FlashGoesOnLine[] =
    "kelvo-flash: the flash goes on until every board is done; a board must not be left half-written";
inline constexpr char InterruptedLine[] = "kelvo-flash: interrupted; no board was flashed";

// Takes the signals that would end the program (SIGINT, SIGTERM, SIGHUP,
// SIGPIPE) on a thread of its own. Before the first flash starts one ends the
// program at once; once a flash has started none does: while a board is being
// flashed it is refused with a line saying so (a board must not be left
// half-written), and after the flash the run ends as it would have anyway,
// with the boards' summary and status. A closed output (SIGPIPE) only makes
// its writes fail. Make it before any other thread, so that they all leave
// the signals to it. On Windows the console's Ctrl-C and Ctrl-Break are
// taken the same way; closing the console window (or logging off) cannot be
// refused there, so it is held off for as long as the system waits.
class InterruptGuard {
 public:
  // `say` writes one line for the operator; `quitStatus` is the exit status
  // of a run interrupted before its flash.
  InterruptGuard(std::function<void(const std::string&)> say, int quitStatus);
  // Leaves the signals blocked: one that arrives as the run ends must not
  // change how it ends.
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  // true: the flash starts (no signal ends the program from now on);
  // false: it has ended.
  void SetFlashing(bool flashing);
#ifdef _WIN32
  // The console control handler's part for console event `type`; false
  // leaves the event to the system, which ends the program.
  bool OnConsoleEvent(unsigned long type);
#endif

 private:
  enum class Stage { BeforeFlash, Flashing, AfterFlash };
#ifdef _WIN32
  std::function<void(const std::string&)> say_;
  int quitStatus_;
  std::atomic<Stage> stage_ = Stage::BeforeFlash;
#else
  void Wait();

  std::function<void(const std::string&)> say_;
  int quitStatus_;
  sigset_t signals_{};
  // Held while a signal is acted on, so that the flash cannot start while
  // the program is being ended.
  std::mutex mutex_;
  Stage stage_ = Stage::BeforeFlash;
  std::atomic<bool> stopping_ = false;
  std::thread thread_;
#endif
};

}  // namespace kelvo::cli
