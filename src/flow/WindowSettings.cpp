#include "flow/WindowSettings.h"

#include "core/Texts.h"

namespace kelvo {

void ApplyIdleSettings(Window& window) {
  window.SetButtonVisible(ButtonFindDevice, true);
  window.SetButtonVisible(ButtonFlashDevice, false);
  window.SetButtonVisible(ButtonAbortFlash, false);
  window.SetButtonVisible(ButtonOk, false);
  window.SetProgressVisible(false);
  window.SetStatusText("");
  window.SetDeviceName("");
}

void ApplyDoneSettings(Window& window) {
  window.SetButtonVisible(ButtonOk, true);
  window.SetButtonVisible(ButtonFlashDevice, false);
  window.SetButtonVisible(ButtonAbortFlash, false);
  window.SetProgressVisible(false);
  window.SetStatusText(FlashCompleteText);
}

}  // namespace kelvo
