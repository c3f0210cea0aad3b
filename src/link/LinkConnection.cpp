#include "link/LinkConnection.h"

#include <array>
#include <string_view>

#include "core/UpdaterState.h"
#include "link/LinkTransfers.h"

namespace kelvo {
namespace {

constexpr auto& DeviceDescriptions = LinkDescriptions;

constexpr std::uint32_t BaudRate = 125000;
constexpr std::uint8_t LatencyTimerMs = 2;
constexpr std::uint32_t UsbInTransferSize = 4096;
constexpr std::uint32_t ReadTimeoutMs = 250;
// Bytes the drain read takes at most from whatever was waiting at open.
constexpr std::int32_t DrainLength = 20;

FT_STATUS OpenByDescription(UpdaterState& state, std::string_view description) {
  // string_view literals above are NUL-terminated, so data() is a C string.
  return state.Driver.FT_OpenEx(description.data(), FT_OPEN_BY_DESCRIPTION, &state.LinkHandle);
}

// Applies the line settings in order; returns the first tested status that
// failed, or 0. FT_SetUSBParameters is deliberately not tested.
FT_STATUS ConfigureLink(UpdaterState& state) {
  FtdiDriver& d = state.Driver;
  const FT_HANDLE h = state.LinkHandle;
  FT_STATUS status = d.FT_SetBaudRate(h, BaudRate);
  if (status != FT_OK) return status;
  if ((status = d.FT_SetFlowControl(h, FT_FLOW_NONE, 0, 0)) != FT_OK) return status;
  if ((status = d.FT_SetLatencyTimer(h, LatencyTimerMs)) != FT_OK) return status;
  state.LinkStatus = static_cast<std::int32_t>(d.FT_SetUSBParameters(h, UsbInTransferSize, 0));
  if ((status = d.FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE)) != FT_OK)
    return status;
  if ((status = d.FT_SetChars(h, 0, 0, 0, 0)) != FT_OK) return status;
  if ((status = d.FT_SetTimeouts(h, ReadTimeoutMs, 0)) != FT_OK) return status;
  return FT_OK;
}

}  // namespace

void OpenLink(UpdaterState& state) {
  if (!state.LinkSerial.empty()) {
    state.LinkStatus = static_cast<std::int32_t>(
        state.Driver.FT_OpenEx(state.LinkSerial.c_str(), FT_OPEN_BY_SERIAL_NUMBER, &state.LinkHandle));
  } else {
    state.LinkStatus = static_cast<std::int32_t>(OpenByDescription(state, DeviceDescriptions[0]));
  }
  if (state.LinkStatus != 0 && state.LinkSerial.empty()) {
    state.LinkStatus = static_cast<std::int32_t>(OpenByDescription(state, DeviceDescriptions[1]));
    if (state.LinkStatus != 0) return;
  }
  if (state.LinkStatus != 0) return;

  const FT_STATUS setupStatus = ConfigureLink(state);
  if (setupStatus != FT_OK) {
    state.LinkStatus = static_cast<std::int32_t>(setupStatus);
    state.Driver.FT_Close(state.LinkHandle);
    state.LinkHandle = 0;
    return;
  }

  // Throw away whatever the cable had already received; the outcome does not
  // matter.
  state.ReadLength = DrainLength;
  ReadReply(state);
  state.LinkStatus = 0;
}

void CloseLink(UpdaterState& state) {
  if (state.LinkHandle != 0) state.Driver.FT_Close(state.LinkHandle);
  state.LinkHandle = 0;
}

}  // namespace kelvo
