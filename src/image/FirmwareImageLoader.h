#pragma once

#include <cstddef>
#include <cstdint>

#include "core/ImageLayout.h"

namespace kelvo {

struct UpdaterState;

// Loads the embedded image, descrambles it into FirmwareImage and checks its
// header; sets ImageVersion from it. OperationFailed stays set unless the
// image was accepted. Never throws and shows nothing.
void LoadFirmwareImage(UpdaterState& state);

}  // namespace kelvo
