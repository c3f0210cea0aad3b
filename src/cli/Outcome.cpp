#include "cli/Outcome.h"

#include <array>
#include <cstring>

#include "core/Texts.h"

namespace kelvo::cli {
namespace {

struct OutcomeRow {
  Outcome outcome;
  const char* name;
  int exitStatus;
  const char* messageTitle;  // or text, for the refusal under the application's title
};

constexpr std::array<OutcomeRow, 8> Outcomes = {{
    {Outcome::Ready, "ready", 0, nullptr},
    {Outcome::Complete, "complete", 0, nullptr},
    {Outcome::WriteFailure, "write-failure", 1, WriteFailureTitle},
    {Outcome::VerifyFailure, "verify-failure", 1, VerifyFailureTitle},
    {Outcome::NotFound, "not-found", 3, LinkNotFoundTitle},
    {Outcome::NotInUpdateMode, "not-in-update-mode", 4, NotInUpdateModeText},
    {Outcome::ImageUnsupported, "image-unsupported", 5, NotSupportedTitle},
    {Outcome::UsbFailure, "usb-failure", 6, UsbFailureTitle},
}};

const OutcomeRow& RowOf(Outcome outcome) { return Outcomes[static_cast<std::size_t>(outcome)]; }

}  // namespace

const char* OutcomeName(Outcome outcome) { return RowOf(outcome).name; }

int ExitStatus(Outcome outcome) { return RowOf(outcome).exitStatus; }

Outcome OutcomeOfMessage(const std::string& title, const std::string& text) {
  for (const OutcomeRow& row : Outcomes) {
    if (row.messageTitle != nullptr && (title == row.messageTitle || text == row.messageTitle)) return row.outcome;
  }
  return Outcome::Ready;
}

}  // namespace kelvo::cli
