#pragma once

#include <string>
#include <vector>

#include "core/FtdiDriver.h"
#include "flow/StartUpDiagnosis.h"

namespace kelvo::cli {

// An attached FTDI cable as the driver lists it.
struct Cable {
  std::string description;
  std::string serial;
};

// The attached cables, in the driver's order; none when it cannot list them.
std::vector<Cable> ListCables(FtdiDriver& driver);

// Opens and closes the cable by its serial: Cause::None when it opens,
// otherwise why not. `real` is the real cable under `driver`, or null.
Diagnosis ProbeCable(FtdiDriver& driver, const CableDriver* real, const Cable& cable);
// Whether --all takes the cable: it has one of the board's descriptions.
bool IsBoardCable(const Cable& cable);
// One line of --list.
std::string CableLine(const Cable& cable, const Diagnosis& probe);

// A cable to flash: by serial, or (empty serial) the one the updater would open.
struct Target {
  std::string serial;
  std::string label;  // the serial as shown
  // How many attached cables report this serial: with more than one, none
  // of them can be chosen by it.
  int sharing = 1;
};
// Why the cables that report `target`'s serial cannot be told apart, or
// Cause::None when one cable does.
Diagnosis SharedSerial(const Target& target);

// The cables the command line asks for: `serials` by serial, `all` every cable
// with one of the board's descriptions, neither the updater's own choice.
// False with `error` set for a serial that is not attached.
bool ChooseTargets(const std::vector<Cable>& cables, const std::vector<std::string>& serials, bool all,
                   std::vector<Target>* targets, std::string* error);

// The serials of the board's cables other than `opened`: those a run on the
// updater's own choice leaves alone ("-" for a cable without one).
std::vector<std::string> OtherBoardCables(const std::vector<Cable>& cables, const std::string& opened);

// Why `cables` hold no cable with either of the board's descriptions.
std::string NoBoardCable(const std::vector<Cable>& cables);

}  // namespace kelvo::cli
