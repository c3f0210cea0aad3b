#pragma once

#include <windows.h>

#include "core/UpdaterState.h"

namespace kelvo::win32 {

// Keeps Windows from cutting a flash short, as the window keeps the operator
// from closing it: while a flash runs the machine is kept awake, and a
// shutdown or logoff shows why it is held off (the window refuses
// WM_QUERYENDSESSION meanwhile). Binds itself to `state`'s FlashGuard;
// `state` must outlive it.
class FlashKeepAlive {
 public:
  FlashKeepAlive(UpdaterState& state, HWND window);
  ~FlashKeepAlive();
  FlashKeepAlive(const FlashKeepAlive&) = delete;
  FlashKeepAlive& operator=(const FlashKeepAlive&) = delete;

  // What a shutdown is told while a flash runs.
  static constexpr wchar_t Reason[] = L"A Kelvo board is being flashed";

  // A flash is running and the machine is being kept awake for it.
  bool Holding() const { return holding_; }

 private:
  void OnFlash(bool flashing);

  UpdaterState& state_;
  HWND window_;
  bool holding_ = false;
};

}  // namespace kelvo::win32
