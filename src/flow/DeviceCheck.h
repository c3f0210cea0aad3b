#pragma once

#include <string>

#include "core/UpdaterState.h"

namespace kelvo {

// The operation behind "Find Device": checks the link, identifies the board,
// loads and validates the image, and offers the flash.
void CheckDevice(UpdaterState& state);

// A version as the window shows it: the character 48 + major, ".", then the
// minor with the blank a sign-reserving number conversion puts before it
// (1.2 shows as "1. 2"; a major of 10 shows as ":").
std::string VersionText(const FirmwareVersion& version);

}  // namespace kelvo
