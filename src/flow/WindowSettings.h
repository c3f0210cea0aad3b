#pragma once

#include "core/Window.h"

namespace kelvo {

// The window's starting state: only "Find Device", both texts empty, no bar.
void ApplyIdleSettings(Window& window);
// The state after a good flash: only "Ok!" and "Flash Complete!". "Find
// Device" and the device name are left as the flash left them.
void ApplyDoneSettings(Window& window);

}  // namespace kelvo
