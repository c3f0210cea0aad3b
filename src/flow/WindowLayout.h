#pragma once

#include <array>

#include "core/Window.h"

namespace kelvo {

// The main window as designed, for both windows (Qt's and Win32's): places
// in twips (1440 to the inch; 15 to a pixel at 96 dpi) from the top left of
// the client area, and never changing while the program runs.
struct Placement {
  int left, top, width, height;
};

inline constexpr int TwipsPerInch = 1440;
inline constexpr int ClientWidthTwips = 5040;
inline constexpr int ClientHeightTwips = 4095;

inline constexpr std::array<Placement, ButtonCount> ButtonPlacements = {{
    {1613, 3240, 1815, 495},
    {773, 3240, 1455, 495},
    {2813, 3240, 1455, 495},
    {1980, 3240, 1080, 495},
}};
inline constexpr Placement Picture1Placement = {1320, 360, 2400, 1935};
inline constexpr Placement ProgressBarPlacement = {1260, 3270, 2535, 435};
inline constexpr Placement DeviceNamePlacement = {540, 2400, 3975, 255};
inline constexpr Placement StatusTextPlacement = {525, 2760, 3975, 255};

// The photograph's own size in pixels at 96 dpi.
inline constexpr int PictureWidth = 160;
inline constexpr int PictureHeight = 120;

// The widest texts the labels show in normal use (the version line with
// three-digit minor versions). The layout makes room for them from the start,
// so that the window keeps its size from step to step.
inline constexpr char WidestDeviceName[] = "Kelvo";
inline constexpr char WidestStatusText[] = "Firmware: v9. 255  -  Upgrading to: v9. 255";

inline constexpr char ProgressBarHint[] = "This bar shows the current progress of an operation.";

// Where the keyboard focus goes when the focused button disappears: the
// button that carries the operator on to the next step.
inline constexpr std::array<int, ButtonCount> FocusPreference = {ButtonFlashDevice, ButtonFindDevice,
                                                                 ButtonOk, ButtonAbortFlash};

// What a screen reader says for the controls whose text alone is not enough.
inline constexpr char PictureName[] = "Kelvo board";
inline constexpr char PictureDescription[] = "Photograph of the Kelvo board";
inline constexpr char ProgressBarName[] = "Flash progress";
inline constexpr char DeviceNameName[] = "Board";
inline constexpr char StatusTextName[] = "Status";

}  // namespace kelvo
