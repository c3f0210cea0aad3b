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

// The answer of a board start-up takes for a Kelvo it may flash: the
// update-mode answer, or the signature with a version other than 0.0.
bool IsKelvoAnswer(const TextBuffer& reply) {
  const bool updateMode = reply[2] == UpdateModeMarker && reply[3] == UpdateModeVersionByte;
  const bool signature = reply[0] == 'P' && reply[1] == 'Z';
  return updateMode || (signature && reply[3] != 0);
}

}  // namespace

void ProbeDevice(UpdaterState& state) {
  PurgeLink(state);
  AskIdentity(state);
  if (state.LinkStatus != 0) return;
  // Four bytes are no answer unless they are the board's: a late "OK" and
  // half an answer to an earlier probe are not.
  if (!IsKelvoAnswer(state.ReplyBuffer)) state.LinkStatus = LinkStatusTransferFailed;
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
