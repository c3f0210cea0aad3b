#include "cli/Outcome.h"

namespace kelvo::cli {

Outcome OutcomeOf(const OperationOutcome& recorded) {
  const bool failed = recorded.kind == OutcomeKind::WriteFailure ||
                      recorded.kind == OutcomeKind::VerifyFailure || recorded.kind == OutcomeKind::UsbFailure;
  if (failed && recorded.startPageAtRisk) return Outcome::StartPageAtRisk;
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
    case OutcomeKind::Matches:
      return Outcome::Matches;
    case OutcomeKind::Differs:
      return Outcome::Differs;
    case OutcomeKind::ReadComplete:
      return Outcome::Read;
    case OutcomeKind::ReadFailure:
      return Outcome::ReadFailure;
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
    case Outcome::StartPageAtRisk:
      return "start-page-at-risk";
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
    case Outcome::Matches:
      return "matches";
    case Outcome::Differs:
      return "differs";
    case Outcome::Read:
      return "read";
    case Outcome::ReadFailure:
      return "read-failure";
  }
  return "";
}

std::string OutcomeText(Outcome outcome, const Diagnosis& diagnosis, const std::vector<int>& differing) {
  const std::string name = OutcomeName(outcome);
  if (outcome == Outcome::Differs && !differing.empty()) {
    // Runs of pages as ranges: an erased board differs in "0-62".
    std::string pages;
    for (std::size_t i = 0; i < differing.size();) {
      std::size_t end = i;
      while (end + 1 < differing.size() && differing[end + 1] == differing[end] + 1) ++end;
      pages += (pages.empty() ? "" : ", ") + std::to_string(differing[i]) +
               (end > i ? "-" + std::to_string(differing[end]) : "");
      i = end + 1;
    }
    return name + (differing.size() == 1 ? " (page " : " (pages ") + pages + ")";
  }
  return diagnosis.cause == Diagnosis::Cause::None ? name : name + " (" + CauseName(diagnosis.cause) + ")";
}

std::string PagesJson(const std::vector<int>& pages) {
  std::string json;
  for (const int page : pages) json += (json.empty() ? "" : ",") + std::to_string(page);
  return "[" + json + "]";
}

int ExitStatus(Outcome outcome) {
  switch (outcome) {
    case Outcome::Ready:
    case Outcome::Current:
    case Outcome::Complete:
    case Outcome::Matches:
    case Outcome::Read:
      return 0;
    case Outcome::WriteFailure:
    case Outcome::VerifyFailure:
    case Outcome::ReadFailure:
      return 1;
    case Outcome::Differs:
      return DiffersStatus;
    case Outcome::NotFound:
      return 3;
    case Outcome::NotInUpdateMode:
      return 4;
    case Outcome::ImageUnsupported:
      return 5;
    case Outcome::UsbFailure:
      return 6;
    case Outcome::StartPageAtRisk:
      return 7;
  }
  return 0;
}

int Danger(Outcome outcome, const OperationOutcome& recorded) {
  if (ExitStatus(outcome) == 0) return 0;
  if (recorded.startPageAtRisk) return 4;
  if (outcome == Outcome::WriteFailure || outcome == Outcome::VerifyFailure) return 3;
  // The cable went while pages were being written: half-written as well.
  if (outcome == Outcome::UsbFailure && recorded.page >= 0 && !recorded.readOnly) return 2;
  return 1;
}

}  // namespace kelvo::cli
