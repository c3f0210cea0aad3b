#pragma once

#include <string>

#include "link/CableDriver.h"

namespace kelvo {

struct UpdaterState;

// One line for stderr that says in detail why start-up refused to go on, once
// Form_Load has returned without a window: the cable (none at all, none with
// either description and what was seen, or one that could not be opened and
// why) or the board (its answer to "GI" in hex). `programEnded` tells the
// board's refusal, which ends the program, from the link's, which only closes
// the window. The message boxes say less; operators and support read this.
std::string StartUpRefusalLine(const UpdaterState& state, bool programEnded, const CableDriver& cable);

}  // namespace kelvo
