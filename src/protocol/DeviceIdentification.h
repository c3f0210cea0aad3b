#pragma once

namespace kelvo {

struct UpdaterState;

// Asks the board "GI"; sets UpdateModeFlag from the reply and, when the reply
// carries the board's signature, DeviceVersion. Outcome in LinkStatus.
void IdentifyDevice(UpdaterState& state);
// Purges the link, asks the board "GI" and checks that the echo came back
// and then a whole answer that start-up would take for a Kelvo in update
// mode, leaving the versions alone. The board answers only while it waits
// for a command and is not programming a page. Outcome in LinkStatus (0: it
// answered).
void ProbeDevice(UpdaterState& state);

}  // namespace kelvo
