#pragma once

namespace kelvo {

struct UpdaterState;

// Programs the board from FirmwareImage: pages 1 to 62 in ascending order,
// then page 0, each verified by reading it back, with a budget of 50 failed
// transfers per page. On an exhausted budget shows the failure message and
// sets OperationFailed; nothing written is rolled back. Page 63 is never sent.
void FlashDevice(UpdaterState& state);

}  // namespace kelvo
