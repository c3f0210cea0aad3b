#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kelvo {

struct UpdaterState;

// Sends the page in PageBuffer to the board at FlashAddress with "WF" and
// waits for the board's "OK". Outcome in LinkStatus (0: page accepted).
void WritePage(UpdaterState& state);
// Reads 4 × PageInstructions bytes back from FlashAddress with "RF" into
// ReadBackBuffer and compares them with PageBuffer, which it leaves alone.
// Outcome in LinkStatus (0: the page read back equals PageBuffer).
void ReadVerifyPage(UpdaterState& state);
// Reads 4 × PageInstructions bytes from FlashAddress with "RF" into
// ReadBackBuffer, as ReadVerifyPage does, and compares nothing. Outcome in
// LinkStatus (0: the whole page came back).
void ReadPage(UpdaterState& state);

// A page's worth of bytes that start no command, sent after a failed write
// to release a board still waiting for page data.
inline constexpr std::size_t PageFillerBytes = 2048;
const std::array<std::uint8_t, PageFillerBytes>& PageFiller();

}  // namespace kelvo
