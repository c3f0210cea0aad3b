#pragma once

#include <atomic>
#include <csignal>
#include <functional>
#include <string>
#include <thread>

namespace kelvo::cli {

// Takes Ctrl-C (SIGINT, and SIGTERM alike) on a thread of its own. Before the
// first flash starts it ends the program at once; while a board is being
// flashed it is refused, with a line saying so: a board must not be left
// half-written. Make it before any other thread, so that they all leave the
// signals to it. On Windows the console's Ctrl-C and Ctrl-Break are taken the
// same way; closing the console window (or logging off) cannot be refused
// there, so it is held off for as long as the system waits.
class InterruptGuard {
 public:
  // `say` writes one line for the operator; `quitStatus` is the exit status
  // of an interrupted run.
  InterruptGuard(std::function<void(const std::string&)> say, int quitStatus);
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  void SetFlashing(bool flashing) { flashing_ = flashing; }
#ifdef _WIN32
  // The console control handler's part for console event `type`; false
  // leaves the event to the system, which ends the program.
  bool OnConsoleEvent(unsigned long type);
#endif

 private:
#ifdef _WIN32
  std::function<void(const std::string&)> say_;
  int quitStatus_;
  std::atomic<bool> flashing_ = false;
#else
  void Wait();

  std::function<void(const std::string&)> say_;
  int quitStatus_;
  sigset_t signals_{};
  std::atomic<bool> flashing_ = false;
  std::atomic<bool> stopping_ = false;
  std::thread thread_;
#endif
};

}  // namespace kelvo::cli
