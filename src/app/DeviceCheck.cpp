#include "app/DeviceCheck.h"

#include "image/FirmwareImageLoader.h"
#include "protocol/DeviceIdentification.h"

namespace kelvo {
namespace {

constexpr std::uint32_t PurgeBoth = FT_PURGE_RX | FT_PURGE_TX;

void PurgeLink(UpdaterState& state) {
  state.LinkStatus = static_cast<std::int32_t>(state.Driver.FT_Purge(state.LinkHandle, PurgeBoth));
}

}  // namespace

std::string VersionText(const FirmwareVersion& version) {
  std::string text(1, static_cast<char>(48 + version.Major));
  text += ". ";
  text += std::to_string(version.Minor);
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
    state.Ui.Close();
    state.Ui.MessageBox("USB Connection Failure!", "USB Error", {});
    return;
  }

  state.Ui.SetDeviceName("Kelvo");
  const std::string deviceVersionText = VersionText(state.DeviceVersion);

  LoadFirmwareImage(state);
  if (state.OperationFailed) {
    state.Ui.MessageBox("Device not currently supported for upgrading!", "Device not supported!", {});
    return;
  }

  const std::string imageVersionText = VersionText(state.ImageVersion);
  state.Ui.SetStatusText("Firmware: v" + deviceVersionText + "  -  Upgrading to: v" + imageVersionText);
  state.Ui.SetButtonVisible(ButtonFindDevice, false);
  state.Ui.SetButtonVisible(ButtonFlashDevice, true);
  state.Ui.SetButtonVisible(ButtonAbortFlash, true);
}

}  // namespace kelvo
