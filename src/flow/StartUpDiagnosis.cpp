#include "flow/StartUpDiagnosis.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "core/UpdaterState.h"
#include "link/LinkConnection.h"

namespace kelvo {
namespace {

using Cause = Diagnosis::Cause;

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string Hex(const std::array<std::uint8_t, 4>& bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char digits[4];
    std::snprintf(digits, sizeof digits, i == 0 ? "%02x" : " %02x", bytes[i]);
    text += digits;
  }
  return text;
}

Diagnosis Refused(Cause cause, std::string line) { return {cause, "", std::move(line)}; }

// Only the open's status to go by, as D2XX itself gives it.
Diagnosis OfStatus(std::int32_t status) {
  const std::string wanted = Quoted(LinkDescriptions[0]) + " or " + Quoted(LinkDescriptions[1]);
  if (status == static_cast<std::int32_t>(FT_DEVICE_NOT_FOUND))
    return Refused(Cause::Absent, "no FTDI device is described " + wanted);
  if (status == static_cast<std::int32_t>(FT_DEVICE_NOT_OPENED))
    return Refused(Cause::Unopened,
                   "the cable is connected but could not be opened (status " + std::to_string(status) + ")");
  return Refused(Cause::SetUpFailed,
                 "the cable opened but could not be set up (status " + std::to_string(status) + ")");
}

#ifdef _WIN32
// The vendor's driver says less than libftdi1: whether it is there at all,
// and the status of the call that failed.
Diagnosis OfCable(std::int32_t status, const CableDriver* cable) {
  if (cable != nullptr && !cable->LoadError().empty()) return Refused(Cause::Absent, cable->LoadError());
  return OfStatus(status);
}
#else
Diagnosis OfCable(std::int32_t status, const CableDriver* cable) {
  const std::string wanted = Quoted(LinkDescriptions[0]) + " or " + Quoted(LinkDescriptions[1]);
  const bool notFound = status == static_cast<std::int32_t>(FT_DEVICE_NOT_FOUND);
  const bool notOpened = status == static_cast<std::int32_t>(FT_DEVICE_NOT_OPENED);
  const std::string setUp = "the cable opened but could not be set up (status " + std::to_string(status);
  if (cable == nullptr) return OfStatus(status);
  const LibFtdiDriver::OpenReport& report = cable->LastOpen();
  if (!report.refused.empty()) {
    const std::string line =
        "the cable " + Quoted(report.refused) + " is connected but could not be opened: ";
    const std::string reason = " [" + report.reason + "]";
    switch (report.cause) {
      case LibFtdiDriver::OpenReport::Cause::Permission:
        return Refused(Cause::Denied, line +
                                          "permission denied (is the package's udev rule installed, and the "
                                          "user logged in at this seat?)" +
                                          reason);
      case LibFtdiDriver::OpenReport::Cause::Busy:
        return Refused(Cause::Busy, line + "another program is using it" + reason);
      case LibFtdiDriver::OpenReport::Cause::Other:
      case LibFtdiDriver::OpenReport::Cause::None:
        break;
    }
    return Refused(Cause::Unopened, line + "the USB system refused" + reason);
  }
  // An open that succeeded forgets what it saw; a later failure is set-up's.
  if (!notFound && !notOpened) return Refused(Cause::SetUpFailed, setUp + ": " + cable->LastError() + ")");
  if (report.seen.empty())
    return Refused(Cause::Absent,
                   "no FTDI USB device is connected (looked for a cable described " + wanted + ")");
  std::string seen;
  for (const std::string& product : report.seen) seen += (seen.empty() ? "" : ", ") + Quoted(product);
  return Refused(Cause::Foreign, "no FTDI device is described " + wanted + "; connected: " + seen);
}
#endif

Diagnosis OfBoard(const OperationOutcome& outcome) {
  const auto& reply = outcome.answer;
  const bool nothing = std::all_of(reply.begin(), reply.end(), [](std::uint8_t b) { return b == ' '; });
  if (outcome.linkStatus != 0 && nothing)
    return {Cause::Silent, "", "the board did not answer \"GI\" (is it powered and in update mode?)"};
  Diagnosis diagnosis{Cause::NoVersion, Hex(reply), ""};
  diagnosis.line = "the board is not in update mode: its answer to \"GI\" was " + diagnosis.answer;
  if (outcome.linkStatus != 0) {
    diagnosis.cause = Cause::ShortAnswer;
    diagnosis.line += " (incomplete, blank-filled; status " + std::to_string(outcome.linkStatus) + ")";
  } else if (reply[0] != 'P' || reply[1] != 'Z') {
    diagnosis.cause = Cause::NotKelvo;
    diagnosis.line += " (not a Kelvo: the signature is not \"PZ\")";
  } else {
    diagnosis.line += " (a Kelvo reporting firmware 0.0)";
  }
  return diagnosis;
}

}  // namespace

Diagnosis Diagnose(const UpdaterState& state, const CableDriver* cable) {
  switch (state.Outcome.kind) {
    case OutcomeKind::NotFound:
      return OfCable(state.Outcome.linkStatus, cable);
    case OutcomeKind::NotInUpdateMode:
      return OfBoard(state.Outcome);
    default:
      return {};
  }
}

Diagnosis DiagnoseOpen(std::int32_t status, const CableDriver* cable) { return OfCable(status, cable); }

const char* CauseName(Diagnosis::Cause cause) {
  switch (cause) {
    case Cause::None:
      return "";
    case Cause::Absent:
      return "absent";
    case Cause::Foreign:
      return "foreign";
    case Cause::Denied:
      return "denied";
    case Cause::Busy:
      return "busy";
    case Cause::Unopened:
      return "unopened";
    case Cause::SetUpFailed:
      return "set-up-failed";
    case Cause::Silent:
      return "silent";
    case Cause::ShortAnswer:
      return "short-answer";
    case Cause::NotKelvo:
      return "not-kelvo";
    case Cause::NoVersion:
      return "no-version";
    case Cause::DuplicateSerial:
      return "duplicate-serial";
    case Cause::LongSerial:
      return "long-serial";
  }
  return "";
}

}  // namespace kelvo
