#include "cli/Interrupts.h"

#include <pthread.h>

#include <cstdlib>

namespace kelvo::cli {

InterruptGuard::InterruptGuard(std::function<void(const std::string&)> say, int quitStatus)
    : say_(std::move(say)), quitStatus_(quitStatus) {
  sigemptyset(&signals_);
  sigaddset(&signals_, SIGINT);
  sigaddset(&signals_, SIGTERM);
  // SIGUSR1 only wakes the thread to end it.
  sigaddset(&signals_, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  thread_ = std::thread([this] { Wait(); });
}

InterruptGuard::~InterruptGuard() {
  stopping_ = true;
  pthread_kill(thread_.native_handle(), SIGUSR1);
  thread_.join();
  pthread_sigmask(SIG_UNBLOCK, &signals_, nullptr);
}

void InterruptGuard::Wait() {
  for (;;) {
    int signal = 0;
    if (sigwait(&signals_, &signal) != 0) continue;
    if (stopping_) return;
    if (signal == SIGUSR1) continue;
    if (flashing_) {
      say_("kelvo-flash: the flash goes on until every board is done; a board must not be left half-written");
      continue;
    }
    say_("kelvo-flash: interrupted; no board was flashed");
    // Nothing has been written; the kernel closes the cables.
    std::_Exit(quitStatus_);
  }
}

}  // namespace kelvo::cli
