#pragma once

namespace kelvo {

struct UpdaterState;

// Opens the cable by its USB description and gives it the board's line
// settings. Outcome in LinkStatus and LinkHandle.
void OpenLink(UpdaterState& state);
// Closes the link if one is open; LinkHandle ends at 0, LinkStatus untouched.
void CloseLink(UpdaterState& state);

}  // namespace kelvo
