#pragma once

#include <array>
#include <string_view>

namespace kelvo {

// The USB descriptions of the board's cables, tried in this order; the
// board's own cable first.
inline constexpr std::array<std::string_view, 2> LinkDescriptions = {"Corvane Serial Link",
                                                                     "FT232R USB UART"};

struct UpdaterState;

// Opens the cable by its USB description, or by LinkSerial when that is set,
// and gives it the board's line settings. Outcome in LinkStatus and LinkHandle.
void OpenLink(UpdaterState& state);
// Closes the link if one is open; LinkHandle ends at 0, LinkStatus untouched.
void CloseLink(UpdaterState& state);

}  // namespace kelvo
