#include "cli/Interrupts.h"

#include <pthread.h>

#include <cstdlib>

namespace kelvo::cli {

InterruptGuard::InterruptGuard(std::function<void(const std::string&)> say, int quitStatus)
    : say_(std::move(say)), quitStatus_(quitStatus) {
  sigemptyset(&signals_);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&signals_, signal);
  // SIGUSR1 only wakes the thread to end it.
  sigaddset(&signals_, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  thread_ = std::thread([this] { Wait(); });
}

InterruptGuard::~InterruptGuard() {
  stopping_ = true;
  pthread_kill(thread_.native_handle(), SIGUSR1);
  thread_.join();
}

void InterruptGuard::SetFlashing(bool flashing) {
  const std::lock_guard lock(mutex_);
  stage_ = flashing ? Stage::Flashing : Stage::AfterFlash;
}

void InterruptGuard::Wait() {
  for (;;) {
    int signal = 0;
    if (sigwait(&signals_, &signal) != 0) continue;
    if (stopping_) return;
    if (signal == SIGUSR1) continue;
    const std::lock_guard lock(mutex_);
    switch (stage_) {
      case Stage::Flashing:
        say_(FlashGoesOnLine);
        continue;
      case Stage::AfterFlash:
        // The summary is on its way; the run ends with it.
        continue;
      case Stage::BeforeFlash:
        break;
    }
    say_(InterruptedLine);
    // Nothing has been written, and the flash cannot start while the lock is
    // held; the kernel closes the cables.
    std::_Exit(quitStatus_);
  }
}

}  // namespace kelvo::cli
