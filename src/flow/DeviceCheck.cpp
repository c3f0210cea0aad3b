#include "flow/DeviceCheck.h"

#include "core/Texts.h"
#include "image/FirmwareImageLoader.h"
#include "link/LinkTransfers.h"
#include "protocol/DeviceIdentification.h"

namespace kelvo {
std::string VersionText(const FirmwareVersion& version) {
  std::string text(1, static_cast<char>(48 + version.major));
  text += ". ";
  text += std::to_string(version.minor);
  return text;
}

void CheckDevice(UpdaterState& state) {
  PurgeLink(state);
  if (state.LinkStatus == 0) {
    IdentifyDevice(state);
    PurgeLink(state);
  }
  // The user asked to close while the board was being asked; the close is
  // carried out once this returns, and nothing is reported for it.
  if (state.CloseDeferred) return;

  if (state.LinkStatus != 0) {
    RecordOutcome(state, OutcomeKind::UsbFailure);
    state.Ui.Close();
    state.Ui.MessageBox(UsbFailureText, UsbFailureTitle, {});
    return;
  }

  state.Ui.SetDeviceName(BoardName);
  const std::string deviceVersionText = VersionText(state.DeviceVersion);

  LoadFirmwareImage(state);
  if (state.OperationFailed) {
    RecordOutcome(state, OutcomeKind::ImageUnsupported);
    state.Ui.MessageBox(NotSupportedText, NotSupportedTitle, {});
    return;
  }

  const std::string imageVersionText = VersionText(state.ImageVersion);
  state.Ui.SetStatusText(VersionsPrefix + deviceVersionText + VersionsSeparator + imageVersionText);
  state.Ui.SetButtonVisible(ButtonFindDevice, false);
  state.Ui.SetButtonVisible(ButtonFlashDevice, true);
  state.Ui.SetButtonVisible(ButtonAbortFlash, true);
  RecordOutcome(state, OutcomeKind::Ready);
}

}  // namespace kelvo
