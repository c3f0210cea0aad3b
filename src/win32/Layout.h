#pragma once

#include <windows.h>

#include "flow/WindowLayout.h"

namespace kelvo::win32 {

// How far the designed layout is stretched, across and down, so that its
// texts fit at the desktop's font. 1 keeps the designed size.
struct Stretch {
  double x = 1.0;
  double y = 1.0;
};

// `placement` in pixels at `dpi`: positions to the nearest pixel, sizes up
// to the next one, so that a stretched control is never short of its room.
RECT PlaceAt(const Placement& placement, UINT dpi, Stretch stretch = {});

// The client area's size at `dpi`.
SIZE ClientSizeAt(UINT dpi, Stretch stretch = {});

// Stretches `stretch` as far as a control designed as `placement` needs to
// get `needed` pixels at `dpi`; never shrinks it.
void MakeRoom(Stretch& stretch, const Placement& placement, UINT dpi, SIZE needed);

}  // namespace kelvo::win32
