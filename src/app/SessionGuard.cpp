#include "app/SessionGuard.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <iostream>

#include "flow/StartUp.h"
#include "session/SleepInhibitor.h"

namespace kelvo {
namespace {

sigset_t GuardedSignals() {
  sigset_t guarded;
  sigemptyset(&guarded);
  sigaddset(&guarded, SIGTERM);
  sigaddset(&guarded, SIGHUP);
  return guarded;
}

// Ends the program of `signal`, as if it had never been held.
[[noreturn]] void DieOf(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signal);
  std::_Exit(128 + signal);
}

}  // namespace

void SessionGuard::TakeSignals() {
  const sigset_t guarded = GuardedSignals();
  pthread_sigmask(SIG_BLOCK, &guarded, nullptr);
}

SessionGuard::SessionGuard(UpdaterState& state) : state_(state) {
  const sigset_t guarded = GuardedSignals();
  signalFd_ = signalfd(-1, &guarded, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd_ >= 0) {
    notifier_ = new QSocketNotifier(signalFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { OnSignal(); });
  }
  state_.FlashGuard = [this](bool flashing) { OnFlash(flashing); };
#ifndef QT_NO_SESSIONMANAGER
  // Logging out mid-flash would close the window under the flash; refused
  // as the operator's own close is.
  connect(qGuiApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
    if (!Form_QueryUnload(state_, UnloadMode::User) && manager.allowsInteraction()) {
      manager.cancel();
      manager.release();
    }
  });
#endif
}

SessionGuard::~SessionGuard() {
  state_.FlashGuard = nullptr;
  if (signalFd_ >= 0) close(signalFd_);
}

void SessionGuard::OnSignal() { TakePending(state_.Running == RunningOperation::Flash); }

void SessionGuard::TakePending(bool flashing) {
  signalfd_siginfo info{};
  while (signalFd_ >= 0 && read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    const int signal = static_cast<int>(info.ssi_signo);
    if (!flashing) DieOf(signal);
    if (heldSignal_ == 0)
      std::cerr
          << "kelvo-updater: the flash goes on until it has ended; a board must not be left half-written"
          << std::endl;
    heldSignal_ = signal;
  }
}

void SessionGuard::OnFlash(bool flashing) {
  if (flashing) {
    inhibitor_ = std::make_unique<SleepInhibitor>("A Kelvo board is being flashed");
    return;
  }
  inhibitor_.reset();
  // One that came while the last page was written is held like the others.
  TakePending(true);
  if (heldSignal_ == 0) return;
  // The click that ran the flash still sets the window's next state; the
  // window closes once it has.
  endStatus_ = state_.OperationFailed ? 1 : 0;
  QTimer::singleShot(0, this, [this] { state_.Ui.Close(); });
}

}  // namespace kelvo
