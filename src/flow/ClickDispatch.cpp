#include "flow/ClickDispatch.h"

#include "core/UpdaterState.h"
#include "flow/DeviceCheck.h"
#include "flow/WindowSettings.h"
#include "update/FlashSequence.h"

namespace kelvo {
namespace {

// Runs one operation with the record marking it as running, so that a close
// request or another click arriving while it pumps events is treated as such.
template <typename Operation>
void RunOperation(UpdaterState& state, RunningOperation which, Operation operation) {
  const bool guarded = which == RunningOperation::Flash && state.FlashGuard;
  if (guarded) state.FlashGuard(true);
  state.Running = which;
  operation(state);
  state.Running = RunningOperation::None;
  if (guarded) state.FlashGuard(false);
}

}  // namespace

void Button_Click(UpdaterState& state, std::int16_t Index) {
  // The device check keeps "Find Device" visible while it waits for the board;
  // a click that arrives then is not started inside the running operation.
  if (state.Running != RunningOperation::None) return;

  state.OperationFailed = false;
  state.Outcome = {};
  switch (Index) {
    case ButtonFindDevice:
      RunOperation(state, RunningOperation::DeviceCheck, CheckDevice);
      if (state.CloseDeferred) {
        state.CloseDeferred = false;
        state.Ui.Close();
        return;
      }
      if (state.OperationFailed) ApplyIdleSettings(state.Ui);
      break;
    case ButtonFlashDevice:
      RunOperation(state, RunningOperation::Flash, FlashDevice);
      if (state.OperationFailed) {
        ApplyIdleSettings(state.Ui);
      } else {
        ApplyDoneSettings(state.Ui);
      }
      break;
    case ButtonAbortFlash:
    case ButtonOk:
      ApplyIdleSettings(state.Ui);
      break;
    default:
      break;
  }
}

}  // namespace kelvo
