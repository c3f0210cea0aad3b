// The interrupt guard on Windows: the console control handler in place of
// the signals.
#include <windows.h>

#include <cstdlib>

#include "cli/Interrupts.h"

namespace kelvo::cli {
namespace {

// The system calls the handler without a context of its own, so the one
// guard alive is reached through this pointer, which the guard sets and
// clears.
std::atomic<InterruptGuard*> current = nullptr;

BOOL WINAPI ConsoleEvent(DWORD type) {
  InterruptGuard* guard = current.load();
  return guard != nullptr && guard->OnConsoleEvent(type) ? TRUE : FALSE;
}

}  // namespace

InterruptGuard::InterruptGuard(std::function<void(const std::string&)> say, int quitStatus)
    : say_(std::move(say)), quitStatus_(quitStatus) {
  current = this;
  SetConsoleCtrlHandler(ConsoleEvent, TRUE);
}

InterruptGuard::~InterruptGuard() {
  SetConsoleCtrlHandler(ConsoleEvent, FALSE);
  current = nullptr;
}

void InterruptGuard::SetFlashing(bool flashing) { stage_ = flashing ? Stage::Flashing : Stage::AfterFlash; }

bool InterruptGuard::OnConsoleEvent(unsigned long type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      // After the flash the run ends as it would have anyway, with the
      // boards' summary and status.
      if (stage_ == Stage::AfterFlash) return true;
      if (stage_ == Stage::Flashing) {
        say_(FlashGoesOnLine);
        return true;
      }
      say_(InterruptedLine);
      // Nothing has been written; the system closes the cables.
      std::_Exit(quitStatus_);
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The program ends when this returns, or when the system stops waiting
      // (a few seconds) whatever is done here: the boards get that long to
      // finish.
      while (stage_ == Stage::Flashing) Sleep(20);
      return false;
    default:
      return false;
  }
}

}  // namespace kelvo::cli
