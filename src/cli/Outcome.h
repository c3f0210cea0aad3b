#pragma once

#include <string>
#include <vector>

#include "core/UpdaterState.h"
#include "flow/StartUpDiagnosis.h"

namespace kelvo::cli {

// How one board's run ended; Ready while it waits for its flash.
enum class Outcome {
  Ready,
  Current,  // already at the image's version, left alone (--skip-current)
  Complete,
  StartPageAtRisk,  // the flash failed on the page the board starts from: it may not start
  WriteFailure,
  VerifyFailure,
  NotFound,
  NotInUpdateMode,
  ImageUnsupported,
  UsbFailure,
  // --verify and --read, which write nothing:
  Matches,      // pages 0 to 62 hold the image
  Differs,      // some of them do not
  Read,         // the whole flash was read (and written to the file)
  ReadFailure,  // a page could not be read, or the file not written
};

// The exit status of a run whose boards all ended well but whose trace could
// not be written to the end.
inline constexpr int TraceLostStatus = 8;
// The exit status of a --verify that found a board differing from the image.
inline constexpr int DiffersStatus = 9;

// The board's outcome as the routines recorded it.
Outcome OutcomeOf(const OperationOutcome& recorded);
// The outcome's name in --json and the summary, e.g. "write-failure".
const char* OutcomeName(Outcome outcome);
// The outcome's name with the cause of a board that could not be used, as
// the summary table and the board's line show it: "not-found (denied)".
// A board that differs from the image has the pages said too:
// "differs (pages 3-5, 9)".
std::string OutcomeText(Outcome outcome, const Diagnosis& diagnosis, const std::vector<int>& differing = {});
// The pages that differ in --json: [3,4,5,9].
std::string PagesJson(const std::vector<int>& pages);
// The program's exit status for a board with this outcome.
int ExitStatus(Outcome outcome);
// How much is at stake on a board that ended so: 4 the page it starts from
// may be damaged, 3 a write or verify failure, 2 the cable failed while pages
// were being written, 1 any other failure, 0 none. With several boards the
// most dangerous decides the exit status, and among equals the higher status.
int Danger(Outcome outcome, const OperationOutcome& recorded);

}  // namespace kelvo::cli
