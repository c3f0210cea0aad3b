#pragma once

#include <cstdint>

namespace kelvo {

struct UpdaterState;

inline constexpr std::int32_t PageReadLimit = 2049;

// Writes the first WriteLength bytes of CommandBuffer and consumes their echo.
void SendCommand(UpdaterState& state);
// Reads exactly ReadLength bytes into ReplyBuffer (blank-filled first).
void ReadReply(UpdaterState& state);
// Reads exactly ReadLength bytes into ReadBackBuffer and compares them with
// PageBuffer.
void ReadPageData(UpdaterState& state);

}  // namespace kelvo
