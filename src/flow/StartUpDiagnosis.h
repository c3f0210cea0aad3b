#pragma once

#include <string>

#include "link/CableDriver.h"

namespace kelvo {

struct UpdaterState;

// Why a start-up was refused, in detail, for both front ends. The message
// boxes say less; operators and support read this.
struct Diagnosis {
  enum class Cause {
    None,         // start-up was not refused for its cable or board
    Absent,       // no FTDI device at all
    Foreign,      // FTDI devices, none with either description
    Denied,       // a matching cable this user may not open
    Busy,         // a matching cable another program holds
    Unopened,     // a matching cable that could not be opened, for another reason
    SetUpFailed,  // the cable opened but refused a line setting
    Silent,       // the board did not answer "GI"
    ShortAnswer,  // part of an answer, then nothing
    NotKelvo,     // an answer without the Kelvo's signature
    NoVersion,    // a Kelvo reporting firmware 0.0
    // Chosen by serial (kelvo-flash), a cable that its serial cannot name:
    DuplicateSerial,  // several cables report the same serial
    LongSerial,       // its serial is longer than the driver keeps
  };
  Cause cause = Cause::None;
  // The board's answer to "GI" in hex ("50 5a 00 00"), when it gave any.
  std::string answer;
  // One line that says why; empty with Cause::None.
  std::string line;
};

// The diagnosis of the start-up recorded in `state` (its Outcome: NotFound or
// NotInUpdateMode), once Form_Load has returned. `cable` is the real cable's
// driver, which can tell what it found at the open; without it (another
// driver) the cause is taken from the open's status alone.
Diagnosis Diagnose(const UpdaterState& state, const CableDriver* cable);

// Why an open that ended with `status` failed (FT_DEVICE_NOT_FOUND,
// FT_DEVICE_NOT_OPENED, or a line setting's status), told as Diagnose tells
// a refused start-up; for a cable listed but not opened too.
Diagnosis DiagnoseOpen(std::int32_t status, const CableDriver* cable);

// The cause as --json names it: "absent", "foreign", "denied", "busy",
// "unopened", "set-up-failed", "silent", "short-answer", "not-kelvo",
// "no-version", "duplicate-serial", "long-serial"; "" for None.
const char* CauseName(Diagnosis::Cause cause);

}  // namespace kelvo
