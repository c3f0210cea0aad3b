#include "win32/FlashKeepAlive.h"

namespace kelvo::win32 {

FlashKeepAlive::FlashKeepAlive(UpdaterState& state, HWND window) : state_(state), window_(window) {
  state_.FlashGuard = [this](bool flashing) { OnFlash(flashing); };
}

FlashKeepAlive::~FlashKeepAlive() {
  state_.FlashGuard = nullptr;
  if (holding_) OnFlash(false);
}

void FlashKeepAlive::OnFlash(bool flashing) {
  holding_ = flashing;
  if (flashing) {
    // No sleep while the board is written; the screen may still go dark.
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    ShutdownBlockReasonCreate(window_, Reason);
    return;
  }
  ShutdownBlockReasonDestroy(window_);
  SetThreadExecutionState(ES_CONTINUOUS);
}

}  // namespace kelvo::win32
