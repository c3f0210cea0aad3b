#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/FtdiDriver.h"
#include "core/Host.h"
#include "core/ImageLayout.h"
#include "core/Resources.h"
#include "core/Window.h"

namespace kelvo {

// LinkStatus for a transfer that timed out, failed or brought wrong data.
inline constexpr std::int32_t LinkStatusTransferFailed = 8;

inline constexpr std::size_t TextBufferSize = 4096;
using TextBuffer = std::array<std::uint8_t, TextBufferSize>;

struct FirmwareVersion {
  int major = 0;
  int minor = 0;
  friend bool operator==(const FirmwareVersion&, const FirmwareVersion&) = default;
};

// Which operation a click has started; decides how a close request or a
// repeated click is treated while it runs.
enum class RunningOperation { None, DeviceCheck, Flash };

// What ended an operation (or start-up). The routines record it where they
// show their message, so a front end learns what happened from this value and
// never from a message's words.
enum class OutcomeKind {
  None,
  AlreadyRunning,    // start-up: another copy runs
  NotFound,          // start-up: the link could not be opened
  NotInUpdateMode,   // start-up: the board's answer gave no version
  Ready,             // the device check showed both versions and offers the flash
  ImageUnsupported,  // the device check refused the image
  UsbFailure,        // the device check's purge failed, or a flash's last failure was the driver's own
  WriteFailure,
  VerifyFailure,
  Complete,
  // Reading the board's flash, which writes nothing:
  Matches,       // pages 0 to 62 hold the image
  Differs,       // some of them do not (OperationOutcome::differingPages)
  ReadComplete,  // every page came back whole (BoardFlash)
  ReadFailure,   // a page did not come back whole within its budget
};

// Failed transfers that one page cost in a flash.
struct PageRetries {
  int page = 0;
  int failures = 0;
  friend bool operator==(const PageRetries&, const PageRetries&) = default;
};

struct OperationOutcome {
  OutcomeKind kind = OutcomeKind::None;
  // LinkStatus where it ended.
  std::int32_t linkStatus = 0;
  // In a flash: the page being transferred and its attempt, from 1 (while
  // retries go on, the one under way; at a failure, the one that failed).
  // -1 and 0 before the first page.
  int page = -1;
  int attempt = 0;
  // The flash ended while page 0, which the board starts from, was being
  // written or the written pages confirmed: the board may not start.
  bool startPageAtRisk = false;
  // Every page of this flash that needed retries, in the order first met.
  std::vector<PageRetries> retries;
  // The operation only read the board's flash: nothing was written to it.
  bool readOnly = false;
  // A comparison with the image: the pages that differ from it, ascending.
  std::vector<int> differingPages;
  // The board's answer to "GI" when start-up refused it: the reply as read,
  // blank-filled where nothing came.
  std::array<std::uint8_t, 4> answer{' ', ' ', ' ', ' '};
  FirmwareVersion deviceVersion;
  FirmwareVersion imageVersion;
};

// All process-wide state. Each routine takes this record alone: callers set
// inputs here, call, and read the outcome fields right afterwards.
struct UpdaterState {
  UpdaterState(FtdiDriver& driver, Window& window, Host& program, ResourceLoader resources)
      : Driver(driver), Ui(window), Program(program), Resources(std::move(resources)) {
    CommandBuffer.fill(' ');
    ReplyBuffer.fill(' ');
  }

  FtdiDriver& Driver;
  Window& Ui;
  Host& Program;
  ResourceLoader Resources;

  FT_HANDLE LinkHandle = 0;
  std::int32_t LinkStatus = 0;
  std::int32_t WriteLength = 0;
  std::int32_t ReadLength = 0;
  // Bytes the last read received before it ended: ReadLength when it came
  // whole, fewer when it timed out or failed.
  std::int32_t ReadTotal = 0;
  // The last read ended on a call that brought nothing within the read
  // timeout: the line has been quiet that long since (or the cable is gone).
  // Cleared by every write, whose echo is then on its way.
  bool LineQuiet = false;
  TextBuffer CommandBuffer{};
  TextBuffer ReplyBuffer{};
  std::vector<std::uint8_t> PageBuffer;
  std::vector<std::uint8_t> ReadBackBuffer;
  std::vector<std::uint8_t> FirmwareImage;
  std::vector<std::uint8_t> ScrambledImage;
  // The board's whole flash as ReadDevice last read it, page k at 2048 × k.
  std::vector<std::uint8_t> BoardFlash;
  std::int32_t FlashAddress = 0;
  std::int32_t PageInstructions = 0;
  FirmwareVersion DeviceVersion;
  FirmwareVersion ImageVersion;
  bool UpdateModeFlag = false;
  bool OperationFailed = false;
  std::int16_t ImageResourceId = 0;
  // The cable OpenLink opens: empty for the first one with the board's
  // description, as the window does; otherwise the cable with this serial.
  std::string LinkSerial;

  // The program carries the build's sample image, not the board's firmware;
  // the window title says so.
  bool SampleFirmware = false;

  RunningOperation Running = RunningOperation::None;
  // A close the user asked for while the device check waited for the board;
  // carried out once the check returns.
  bool CloseDeferred = false;

  // What ended the last operation; cleared with OperationFailed by every click.
  OperationOutcome Outcome;
  // Called with true before a flash sends its first byte and with false once
  // it has ended, so that a front end can keep the session from cutting it
  // short (signals, sleep, shutdown) meanwhile. Optional.
  std::function<void(bool flashing)> FlashGuard;
};

// Records how the running operation ended, with LinkStatus and both versions
// as they stand.
inline void RecordOutcome(UpdaterState& state, OutcomeKind kind) {
  state.Outcome.kind = kind;
  state.Outcome.linkStatus = state.LinkStatus;
  state.Outcome.deviceVersion = state.DeviceVersion;
  state.Outcome.imageVersion = state.ImageVersion;
}

// Gives the image and page buffers the sizes every routine relies on; start-up
// does this once.
inline void SizeSharedBuffers(UpdaterState& state) {
  state.FirmwareImage.assign(FirmwareImageSize, 0);
  state.ScrambledImage.assign(ScrambledImageSize, 0);
  state.ReadBackBuffer.assign(PageBufferSize, 0);
  state.PageBuffer.assign(PageBufferSize, 0);
}

}  // namespace kelvo
