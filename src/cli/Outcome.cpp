#include "cli/Outcome.h"

namespace kelvo::cli {

Outcome OutcomeOf(const OperationOutcome& recorded) {
  switch (recorded.kind) {
    case OutcomeKind::Complete:
      return Outcome::Complete;
    case OutcomeKind::WriteFailure:
      return Outcome::WriteFailure;
    case OutcomeKind::VerifyFailure:
      return Outcome::VerifyFailure;
    case OutcomeKind::NotFound:
    case OutcomeKind::AlreadyRunning:
      return Outcome::NotFound;
    case OutcomeKind::NotInUpdateMode:
      return Outcome::NotInUpdateMode;
    case OutcomeKind::ImageUnsupported:
      return Outcome::ImageUnsupported;
    case OutcomeKind::UsbFailure:
      return Outcome::UsbFailure;
    case OutcomeKind::None:
    case OutcomeKind::Ready:
      break;
  }
  return Outcome::Ready;
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Ready:
      return "ready";
    case Outcome::Current:
      return "current";
    case Outcome::Complete:
      return "complete";
    case Outcome::WriteFailure:
      return "write-failure";
    case Outcome::VerifyFailure:
      return "verify-failure";
    case Outcome::NotFound:
      return "not-found";
    case Outcome::NotInUpdateMode:
      return "not-in-update-mode";
    case Outcome::ImageUnsupported:
      return "image-unsupported";
    case Outcome::UsbFailure:
      return "usb-failure";
  }
  return "";
}

int ExitStatus(Outcome outcome) {
  switch (outcome) {
    case Outcome::Ready:
    case Outcome::Current:
    case Outcome::Complete:
      return 0;
    case Outcome::WriteFailure:
    case Outcome::VerifyFailure:
      return 1;
    case Outcome::NotFound:
      return 3;
    case Outcome::NotInUpdateMode:
      return 4;
    case Outcome::ImageUnsupported:
      return 5;
    case Outcome::UsbFailure:
      return 6;
  }
  return 0;
}

int Danger(Outcome outcome, const OperationOutcome& recorded) {
  if (ExitStatus(outcome) == 0) return 0;
  if (recorded.startPageAtRisk) return 4;
  if (outcome == Outcome::WriteFailure || outcome == Outcome::VerifyFailure) return 3;
  // The cable went while pages were being written: half-written as well.
  if (outcome == Outcome::UsbFailure && recorded.page >= 0) return 2;
  return 1;
}

}  // namespace kelvo::cli
