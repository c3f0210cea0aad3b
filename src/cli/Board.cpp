#include "cli/Board.h"

#include "flow/ClickDispatch.h"
#include "flow/StartUp.h"
#include "cli/Reporter.h"

namespace kelvo::cli {

std::string PlainVersion(const FirmwareVersion& version) {
  return std::to_string(version.major) + "." + std::to_string(version.minor);
}

Board::Board(FtdiDriver& driver, Reporter& reporter, const std::string& label, const std::string& serial,
             ResourceLoader image)
    : reporter_(reporter),
      label_(label),
      row_(reporter.AddBoard(label)),
      window_(&reporter, row_),
      state_(driver, window_, window_, std::move(image)) {
  state_.LinkSerial = serial;
  BindWindow(state_);
}

Outcome Board::FromMessages(std::size_t shownBefore, Outcome otherwise) const {
  const auto& messages = window_.Messages();
  for (std::size_t i = messages.size(); i > shownBefore; --i) {
    const Outcome outcome = OutcomeOfMessage(messages[i - 1].title, messages[i - 1].text);
    if (outcome != Outcome::Ready) return outcome;
  }
  return otherwise;
}

void Board::Check() {
  Form_Load(state_);
  if (!window_.Gone()) Button_Click(state_, ButtonFindDevice);
  // Every way the check can fail shows its message box.
  outcome_ = FromMessages(0, Outcome::Ready);
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (outcome_ == Outcome::Ready) {
    reporter_.Board(row_, PlainVersion(state_.DeviceVersion), PlainVersion(state_.ImageVersion));
  } else {
    reporter_.Result(row_, outcome_, seconds_, state_.Driver.LineErrors(state_.LinkHandle));
  }
}

void Board::Flash() {
  start_ = std::chrono::steady_clock::now();
  const std::size_t shownBefore = window_.Messages().size();
  Button_Click(state_, ButtonFlashDevice);
  // A flash refused before its first page shows nothing; it wrote nothing.
  outcome_ = state_.OperationFailed ? FromMessages(shownBefore, Outcome::WriteFailure) : Outcome::Complete;
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  reporter_.Result(row_, outcome_, seconds_, state_.Driver.LineErrors(state_.LinkHandle));
}

void Board::Finish() {
  if (!window_.Gone()) window_.Close();
}

}  // namespace kelvo::cli
