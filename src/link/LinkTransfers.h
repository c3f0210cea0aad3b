#pragma once

#include <cstdint>

namespace kelvo {

struct UpdaterState;

// Clears both directions of the link: whatever an earlier exchange left
// there is gone. Outcome in LinkStatus.
void PurgeLink(UpdaterState& state);
// Writes the first WriteLength bytes of CommandBuffer and consumes their echo.
// An echo with other bytes than the command fails like a short one.
void SendCommand(UpdaterState& state);
// Reads exactly ReadLength bytes into ReplyBuffer (blank-filled first).
void ReadReply(UpdaterState& state);
// Reads the echo of the ReadLength bytes at `sent` into ReplyBuffer. The line
// returns exactly what went out, so other bytes in its place belong to some
// earlier exchange, and whatever follows them answers no command of this
// one: such an echo fails (LinkStatus 8) as a short one does.
void ReadEchoOf(UpdaterState& state, const std::uint8_t* sent);
// Reads exactly ReadLength bytes into ReadBackBuffer and compares them with
// PageBuffer.
void ReadPageData(UpdaterState& state);
// Reads exactly ReadLength bytes into ReadBackBuffer and compares nothing.
void ReadPageBytes(UpdaterState& state);

}  // namespace kelvo
