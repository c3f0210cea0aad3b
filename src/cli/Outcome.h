#pragma once

#include <string>

namespace kelvo::cli {

// How one board's run ended; Ready while it waits for its flash.
enum class Outcome {
  Ready,
  Complete,
  WriteFailure,
  VerifyFailure,
  NotFound,
  NotInUpdateMode,
  ImageUnsupported,
  UsbFailure,
};

// The outcome's name in --json and the summary, e.g. "write-failure".
const char* OutcomeName(Outcome outcome);
// The program's exit status for a board with this outcome.
int ExitStatus(Outcome outcome);
// The outcome a failure message box stands for (by its title, or its text
// where the title is the application's own); nullopt-like Ready for others.
Outcome OutcomeOfMessage(const std::string& title, const std::string& text);

}  // namespace kelvo::cli
