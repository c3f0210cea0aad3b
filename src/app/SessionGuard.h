#pragma once

#include <QObject>
#include <memory>
#include <optional>

#include "core/UpdaterState.h"

class QSocketNotifier;

namespace kelvo {

class SleepInhibitor;

// Keeps the desktop session from cutting a flash short, as the window keeps
// the operator from closing it: SIGTERM and SIGHUP that arrive during a flash
// are held until it has ended, and then close the window; the session
// manager's end is refused; and logind is asked not to sleep, shut down or
// go idle meanwhile. Outside a flash the signals end the program at once, as
// they always would.
class SessionGuard final : public QObject {
 public:
  // Blocks SIGTERM and SIGHUP for the whole program, so that they reach the
  // guard alone; call it first in main, before any thread is started.
  static void TakeSignals();

  // Binds itself to `state` (its FlashGuard), which must outlive it.
  explicit SessionGuard(UpdaterState& state);
  ~SessionGuard() override;

  // The status the program ends with when a held signal closed the window
  // after the flash: 0 after a complete flash, 1 after a failed one.
  std::optional<int> EndStatus() const { return endStatus_; }

 private:
  void OnSignal();
  // Reads the signals waiting: held while `flashing`, else the end.
  void TakePending(bool flashing);
  void OnFlash(bool flashing);

  UpdaterState& state_;
  int signalFd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  int heldSignal_ = 0;
  std::unique_ptr<SleepInhibitor> inhibitor_;
  std::optional<int> endStatus_;
};

}  // namespace kelvo
