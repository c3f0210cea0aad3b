#pragma once

namespace kelvo {

struct UpdaterState;

// Asks the board "GI"; sets UpdateModeFlag from the reply and, when the reply
// carries the board's signature, DeviceVersion. Outcome in LinkStatus.
void IdentifyDevice(UpdaterState& state);

}  // namespace kelvo
