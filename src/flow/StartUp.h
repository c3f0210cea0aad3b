#pragma once

#include "core/UpdaterState.h"

namespace kelvo {

// The start-up sequence, run once when the window is loaded: refuses a
// second instance, titles the window, opens the link, identifies the board
// and refuses a board that is not in update mode; then shows the idle window
// and sizes the shared buffers.
void Form_Load(UpdaterState& state);

// The close request. Granted, except while an operation needs the link: a
// running flash keeps the window (cutting the link would leave the board
// half-written); a running device check keeps it too, but marks the close as
// deferred so the check carries it out when it returns.
// The program's own closes are always granted.
bool Form_QueryUnload(UpdaterState& state, UnloadMode mode);

// Runs whenever the window is closed: closes the link, if one is open.
void Form_Unload(UpdaterState& state);

// Routes the window's handlers to the routines over `state`. The state must
// outlive the window's use of them.
void BindWindow(UpdaterState& state);

}  // namespace kelvo
