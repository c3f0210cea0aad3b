#pragma once

namespace kelvo {

struct UpdaterState;

// Reading the board's flash with "RF" alone: nothing is ever written to it.
// A page that does not come back whole is read again, with the flash's
// budget of failed transfers per page; a page still unread then ends the
// operation (ReadFailure, or UsbFailure when the driver itself failed last),
// never counting as one that differs. Both show their progress on the
// window's bar and set OperationFailed when they do not end well.

// Compares pages 0 to 62, those a flash writes, with FirmwareImage: Matches,
// or Differs with the pages in Outcome.differingPages.
void VerifyDevice(UpdaterState& state);
// Reads all 64 pages into BoardFlash (131072 bytes): ReadComplete.
void ReadDevice(UpdaterState& state);

}  // namespace kelvo
