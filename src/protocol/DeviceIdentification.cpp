#include "protocol/DeviceIdentification.h"

#include "core/UpdaterState.h"
#include "link/LinkTransfers.h"
#include "protocol/CommandBuffer.h"

namespace kelvo {
namespace {
constexpr std::int32_t IdentifyReplyLength = 4;
// Byte 3 and byte 4 of the reply that mark a board waiting in update mode.
constexpr std::uint8_t UpdateModeMarker = 3;
constexpr std::uint8_t UpdateModeVersionByte = 255;
}  // namespace

namespace {

void AskIdentity(UpdaterState& state) {
  PlaceCommand(state, {'G', 'I'});
  SendCommand(state);
  if (state.LinkStatus != 0) return;
  state.ReadLength = IdentifyReplyLength;
  ReadReply(state);
}

}  // namespace

void ProbeDevice(UpdaterState& state) {
  PurgeLink(state);
  AskIdentity(state);
}

void IdentifyDevice(UpdaterState& state) {
  AskIdentity(state);
  if (state.LinkStatus != 0) return;

  const std::uint8_t byte3 = state.ReplyBuffer[2];
  const std::uint8_t byte4 = state.ReplyBuffer[3];
  state.UpdateModeFlag = byte3 == UpdateModeMarker && byte4 == UpdateModeVersionByte;
  if (state.ReplyBuffer[0] == 'P' && state.ReplyBuffer[1] == 'Z') {
    state.DeviceVersion = {byte4 / 16, byte4 % 16};
  }
  state.LinkStatus = 0;
}

}  // namespace kelvo
