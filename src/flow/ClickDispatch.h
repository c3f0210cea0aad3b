#pragma once

#include <cstdint>

namespace kelvo {

struct UpdaterState;

// The one handler of the window's button array: runs the clicked button's
// operation to its end and sets the window's next state from OperationFailed.
void Button_Click(UpdaterState& state, std::int16_t Index);

}  // namespace kelvo
