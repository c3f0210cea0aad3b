#include "flow/StartUp.h"

#include <algorithm>
#include <string>

#include "core/Texts.h"
#include "flow/ClickDispatch.h"
#include "flow/WindowSettings.h"
#include "link/LinkConnection.h"
#include "protocol/DeviceIdentification.h"

namespace kelvo {
namespace {

// A board in update mode reports no usable version; it is treated as 1.2.
constexpr FirmwareVersion UpdateModeVersion = {1, 2};

constexpr MessageStyle Refusal = {.critical = true, .systemModal = true};

// Message, close, end: the order every refusal of a running start-up keeps.
void Refuse(UpdaterState& state, const std::string& text) {
  state.Ui.MessageBox(text, state.Program.ApplicationTitle(), Refusal);
  state.Ui.Close();
  state.Program.EndProgram();
}

}  // namespace

void Form_Load(UpdaterState& state) {
  Window& ui = state.Ui;
  Host& program = state.Program;

  if (program.AnotherInstanceRunning()) {
    RecordOutcome(state, OutcomeKind::AlreadyRunning);
    Refuse(state, program.ProgramFileName() + AlreadyRunningText);
    return;
  }

  std::string title = WindowTitlePrefix + std::to_string(program.VersionMajor()) + "." +
                      std::to_string(program.VersionMinor());
  if (state.SampleFirmware) title += SampleFirmwareTitleSuffix;
  ui.SetTitle(title);

  if (state.LinkHandle == 0) {
    OpenLink(state);
    if (state.LinkStatus != 0) {
      RecordOutcome(state, OutcomeKind::NotFound);
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
  if (state.DeviceVersion.major + state.DeviceVersion.minor == 0) {
    RecordOutcome(state, OutcomeKind::NotInUpdateMode);
    std::copy_n(state.ReplyBuffer.begin(), state.Outcome.answer.size(), state.Outcome.answer.begin());
    Refuse(state, NotInUpdateModeText);
    return;
  }

  ApplyIdleSettings(ui);
  ui.Show();

  state.ImageResourceId = EmbeddedImageResourceId;
  SizeSharedBuffers(state);
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
