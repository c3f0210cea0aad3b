#pragma once

#include <array>
#include <cstdint>
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
};

// Gives the image and page buffers the sizes every routine relies on; start-up
// does this once.
inline void SizeSharedBuffers(UpdaterState& state) {
  state.FirmwareImage.assign(FirmwareImageSize, 0);
  state.ScrambledImage.assign(ScrambledImageSize, 0);
  state.ReadBackBuffer.assign(PageBufferSize, 0);
  state.PageBuffer.assign(PageBufferSize, 0);
}

}  // namespace kelvo
