#include "cli/Board.h"

#include "cli/Reporter.h"
#include "flow/ClickDispatch.h"
#include "flow/StartUp.h"
#include "update/ReadSequence.h"

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
      state_(serial.empty() ? naming_.emplace(driver, [this](const std::string& opened) { Named(opened); })
                            : driver,
             window_, window_, std::move(image)) {
  state_.LinkSerial = serial;
  window_.Watch(&state_.Outcome);
  BindWindow(state_);
}

void Board::Ended(Outcome outcome) {
  outcome_ = outcome;
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  lineErrors_ = state_.Driver.LineErrors(state_.LinkHandle);
  reporter_.Result(row_, outcome_, seconds_, diagnosis_, lineErrors_, state_.Outcome.differingPages);
}

void Board::Named(const std::string& serial) {
  label_ = serial;
  reporter_.Relabel(row_, serial);
}

void Board::Check(bool skipCurrent) {
  Form_Load(state_);
  if (!window_.Gone()) Button_Click(state_, ButtonFindDevice);
  const Outcome checked = OutcomeOf(state_.Outcome);
  if (checked != Outcome::Ready) {
    diagnosis_ = Diagnose(state_, cable_);
    const bool chosenBySerial = !state_.LinkSerial.empty();
    const bool notListed =
        diagnosis_.cause == Diagnosis::Cause::Absent || diagnosis_.cause == Diagnosis::Cause::Foreign;
    // The driver lists a serial cut to what it keeps, and then finds no
    // cable with it: the cable is there, but cannot be named by serial.
    if (chosenBySerial && notListed && state_.LinkSerial.size() == FT_SERIAL_NUMBER_SIZE - 1) {
      diagnosis_ = {Diagnosis::Cause::LongSerial, "",
                    "the cable's serial is longer than the driver keeps (" +
                        std::to_string(FT_SERIAL_NUMBER_SIZE - 1) + " characters: " + state_.LinkSerial +
                        "...), so it cannot be chosen by serial; flash it alone, without --all or --serial"};
    }
    Ended(checked);
    return;
  }
  current_ = state_.DeviceVersion == state_.ImageVersion;
  const bool leftAlone = current_ && skipCurrent;
  reporter_.Board(row_, PlainVersion(state_.DeviceVersion), PlainVersion(state_.ImageVersion), current_,
                  leftAlone);
  if (leftAlone) Ended(Outcome::Current);
}

void Board::Flash() {
  start_ = std::chrono::steady_clock::now();
  Button_Click(state_, ButtonFlashDevice);
  Ended(OutcomeOf(state_.Outcome));
}

void Board::Verify() {
  start_ = std::chrono::steady_clock::now();
  state_.Outcome = {};
  VerifyDevice(state_);
  Ended(OutcomeOf(state_.Outcome));
}

void Board::Read(const std::function<std::string(const std::vector<std::uint8_t>&)>& keep) {
  start_ = std::chrono::steady_clock::now();
  state_.Outcome = {};
  ReadDevice(state_);
  Outcome read = OutcomeOf(state_.Outcome);
  if (read == Outcome::Read) {
    diagnosis_.line = keep(state_.BoardFlash);
    if (!diagnosis_.line.empty()) read = Outcome::ReadFailure;
  }
  Ended(read);
}

void Board::Refuse(Diagnosis why) {
  diagnosis_ = std::move(why);
  Ended(Outcome::NotFound);
}

void Board::Finish() {
  if (!window_.Gone()) window_.Close();
}

}  // namespace kelvo::cli
