#pragma once

#include "core/UpdaterState.h"

namespace kelvo::cli {

// How one board's run ended; Ready while it waits for its flash.
enum class Outcome {
  Ready,
  Current,  // already at the image's version, left alone (--skip-current)
  Complete,
  WriteFailure,
  VerifyFailure,
  NotFound,
  NotInUpdateMode,
  ImageUnsupported,
  UsbFailure,
};

// The board's outcome as the routines recorded it.
Outcome OutcomeOf(const OperationOutcome& recorded);
// The outcome's name in --json and the summary, e.g. "write-failure".
const char* OutcomeName(Outcome outcome);
// The program's exit status for a board with this outcome.
int ExitStatus(Outcome outcome);
// How much is at stake on a board that ended so: 4 the page it starts from
// may be damaged, 3 a write or verify failure, 2 the cable failed while pages
// were being written, 1 any other failure, 0 none. With several boards the
// most dangerous decides the exit status, and among equals the higher status.
int Danger(Outcome outcome, const OperationOutcome& recorded);

}  // namespace kelvo::cli
