#pragma once

#include <cstdint>

namespace kelvo {

struct UpdaterState;

// Clears both directions of the link: whatever an earlier exchange left
// there is gone. Outcome in LinkStatus.
void PurgeLink(UpdaterState& state);
// Writes the first WriteLength bytes of CommandBuffer and consumes their echo.
void SendCommand(UpdaterState& state);
// Reads exactly ReadLength bytes into ReplyBuffer (blank-filled first).
void ReadReply(UpdaterState& state);
// Reads exactly ReadLength bytes into ReadBackBuffer and compares them with
// PageBuffer.
void ReadPageData(UpdaterState& state);
// Reads exactly ReadLength bytes into ReadBackBuffer and compares nothing.
void ReadPageBytes(UpdaterState& state);

}  // namespace kelvo
