#pragma once

namespace kelvo {

// Every text the operator reads, word for word; the window and the command
// line show the same ones.
inline constexpr char ApplicationTitleText[] = "Kelvo Firmware Updater";
inline constexpr char WindowTitlePrefix[] = "Kelvo Firmware Updater v";
// Ends the title of a build that carries the sample image, not the board's firmware.
inline constexpr char SampleFirmwareTitleSuffix[] = " (sample firmware)";

inline constexpr char AlreadyRunningText[] = " already running! ";
inline constexpr char LinkNotFoundText[] = "Serial Link interface not found!";
inline constexpr char LinkNotFoundTitle[] = "USB Error!";
inline constexpr char NotInUpdateModeText[] = "Kelvo not in update mode! ";

inline constexpr char UsbFailureText[] = "USB Connection Failure!";
inline constexpr char UsbFailureTitle[] = "USB Error";
inline constexpr char BoardName[] = "Kelvo";
inline constexpr char NotSupportedText[] = "Device not currently supported for upgrading!";
inline constexpr char NotSupportedTitle[] = "Device not supported!";
inline constexpr char VersionsPrefix[] = "Firmware: v";
inline constexpr char VersionsSeparator[] = "  -  Upgrading to: v";

inline constexpr char FlashingText[] = "Flashing device...";
inline constexpr char FlashCompleteText[] = "Flash Complete!";
// Reading a board's flash without writing it, on the command line.
inline constexpr char VerifyingText[] = "Verifying device...";
inline constexpr char ReadingText[] = "Reading device...";
inline constexpr char WriteFailureTitle[] = "Write Failure!";
inline constexpr char VerifyFailureTitle[] = "Verify Failure!";
inline constexpr char WriteFailureText[] = "Device write error! Data is corrupted!  Re-try update!";
inline constexpr char VerifyFailureText[] = "Device verify error!  Data is corrupted!  Re-try update!";
// Page 0 holds what the board starts from: a board that fails there must stay
// powered until the update has been run again.
inline constexpr char PageZeroWriteFailureText[] =
    "Step 3 - Device write error!  Data is corrupted!  ** DO NOT POWER OFF BOARD!! **  Re-try update!";
inline constexpr char PageZeroVerifyFailureText[] =
    "Device verify error!  Data is corrupted!  ** DO NOT POWER OFF BOARD!! **  Re-try update!";

}  // namespace kelvo
