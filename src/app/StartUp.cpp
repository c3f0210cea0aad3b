#include "app/StartUp.h"

#include <string>

#include "app/ClickDispatch.h"
#include "app/WindowSettings.h"
#include "link/LinkConnection.h"
#include "protocol/DeviceIdentification.h"

namespace kelvo {
namespace {

constexpr char AlreadyRunningText[] = " already running! ";
constexpr char TitlePrefix[] = "Kelvo Firmware Updater v";
constexpr char SampleFirmwareTitleSuffix[] = " (sample firmware)";
constexpr char LinkNotFoundText[] = "Serial Link interface not found!";
constexpr char LinkNotFoundTitle[] = "USB Error!";
constexpr char NotInUpdateModeText[] = "Kelvo not in update mode! ";

// A board in update mode reports no usable version; it is treated as 1.2.
constexpr FirmwareVersion UpdateModeVersion = {1, 2};

constexpr std::int16_t FirmwareResourceId = 100;
constexpr std::size_t FirmwareImageBytes = 131080;   // header + 64 pages
constexpr std::size_t ScrambledImageBytes = 524320;  // four stored bytes per image byte
constexpr std::size_t PageBufferBytes = 2049;        // one page, plus a last element never used

constexpr MessageStyle Refusal = {.Critical = true, .SystemModal = true};

// Message, close, end: the order every refusal of a running start-up keeps.
void Refuse(Window& ui, const std::string& text) {
  ui.MessageBox(text, ui.ApplicationTitle(), Refusal);
  ui.Close();
  ui.EndProgram();
}

}  // namespace

void Form_Load(UpdaterState& state) {
  Window& ui = state.Ui;

  if (ui.AnotherInstanceRunning()) {
    Refuse(ui, ui.ProgramFileName() + AlreadyRunningText);
    return;
  }

  std::string title =
      TitlePrefix + std::to_string(ui.VersionMajor()) + "." + std::to_string(ui.VersionMinor());
  if (state.SampleFirmware) title += SampleFirmwareTitleSuffix;
  ui.SetTitle(title);

  if (state.LinkHandle == 0) {
    OpenLink(state);
    if (state.LinkStatus != 0) {
      // The window goes first; the message then stands alone, and the
      // program ends once it is dismissed.
      ui.Close();
      ui.MessageBox(LinkNotFoundText, LinkNotFoundTitle, MessageStyle{});
      return;
    }
  }

  // A failed exchange leaves the version at 0.0, which the check below
  // refuses; its status needs no test of its own.
  IdentifyDevice(state);
  if (state.UpdateModeFlag) state.DeviceVersion = UpdateModeVersion;
  if (state.DeviceVersion.Major + state.DeviceVersion.Minor == 0) {
    Refuse(ui, NotInUpdateModeText);
    return;
  }

  ApplyIdleSettings(ui);
  ui.Show();

  state.ImageResourceId = FirmwareResourceId;
  state.FirmwareImage.assign(FirmwareImageBytes, 0);
  state.ScrambledImage.assign(ScrambledImageBytes, 0);
  state.ReadBackBuffer.assign(PageBufferBytes, 0);
  state.PageBuffer.assign(PageBufferBytes, 0);
}

bool Form_QueryUnload(UpdaterState& state, UnloadMode mode) {
  if (mode == UnloadMode::Program) return true;
  switch (state.Running) {
    case RunningOperation::Flash:
      return false;
    case RunningOperation::DeviceCheck:
      state.CloseDeferred = true;
      return false;
    case RunningOperation::None:
      break;
  }
  return true;
}

void Form_Unload(UpdaterState& state) { CloseLink(state); }

void BindWindow(UpdaterState& state) {
  state.Ui.SetHandlers({
      .Button_Click = [&state](std::int16_t index) { Button_Click(state, index); },
      .Form_QueryUnload = [&state](UnloadMode mode) { return Form_QueryUnload(state, mode); },
      .Form_Unload = [&state] { Form_Unload(state); },
  });
}

}  // namespace kelvo
