#include "cli/Board.h"

#include "cli/Reporter.h"
#include "flow/ClickDispatch.h"
#include "flow/StartUp.h"

namespace kelvo::cli {

std::string PlainVersion(const FirmwareVersion& version) {
  return std::to_string(version.major) + "." + std::to_string(version.minor);
}

Board::Board(FtdiDriver& driver, const CableDriver* cable, Reporter& reporter, const std::string& label,
             const std::string& serial, ResourceLoader image)
    : cable_(cable),
      reporter_(reporter),
      label_(label),
      row_(reporter.AddBoard(label)),
      window_(&reporter, row_),
      state_(driver, window_, window_, std::move(image)) {
  state_.LinkSerial = serial;
  window_.Watch(&state_.Outcome);
  BindWindow(state_);
}

void Board::Ended(Outcome outcome) {
  outcome_ = outcome;
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  lineErrors_ = state_.Driver.LineErrors(state_.LinkHandle);
  reporter_.Result(row_, outcome_, seconds_, diagnosis_, lineErrors_);
}

void Board::Check() {
  Form_Load(state_);
  if (!window_.Gone()) Button_Click(state_, ButtonFindDevice);
  const Outcome checked = OutcomeOf(state_.Outcome);
  if (checked != Outcome::Ready) {
    diagnosis_ = Diagnose(state_, cable_);
    Ended(checked);
    return;
  }
  current_ = state_.DeviceVersion == state_.ImageVersion;
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  reporter_.Board(row_, PlainVersion(state_.DeviceVersion), PlainVersion(state_.ImageVersion), current_);
}

void Board::Flash() {
  start_ = std::chrono::steady_clock::now();
  Button_Click(state_, ButtonFlashDevice);
  Ended(OutcomeOf(state_.Outcome));
}

void Board::Skip() {
  start_ = std::chrono::steady_clock::now();
  Ended(Outcome::Current);
}

void Board::Finish() {
  if (!window_.Gone()) window_.Close();
}

}  // namespace kelvo::cli
