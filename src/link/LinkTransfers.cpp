#include "link/LinkTransfers.h"

#include <algorithm>
#include <cstddef>

#include "core/ImageLayout.h"
#include "core/UpdaterState.h"

namespace kelvo {
namespace {

enum class ReadTarget { Reply, Page };

// Reads exactly ReadLength bytes into `destination` with as few driver calls
// as the board allows. Leaves LinkStatus as the last call ended it: 0 or 4
// when every byte arrived, 8 when a call failed or brought nothing.
void ReadExactly(UpdaterState& state, std::uint8_t* destination, ReadTarget target) {
  bool timedOut = false;
  bool readError = false;
  std::int32_t total = 0;
  do {
    const auto missing = static_cast<std::uint32_t>(state.ReadLength - total);
    std::uint32_t delivered = 0;
    const FT_STATUS status = state.Driver.FT_Read(state.LinkHandle, destination + total, missing, &delivered);
    state.LinkStatus = static_cast<std::int32_t>(status);
    if ((status != FT_OK && status != FT_IO_ERROR) || delivered > missing) {
      // A driver that claims more than it was asked for is as broken as one
      // that fails outright; its count is not trusted.
      state.LinkStatus = LinkStatusTransferFailed;
      readError = true;
      break;
    }
    if (target == ReadTarget::Reply) state.Ui.PumpEvents();
    if (delivered == 0) {
      state.LinkStatus = LinkStatusTransferFailed;
      timedOut = true;
    } else {
      total += static_cast<std::int32_t>(delivered);
    }
  } while (total != state.ReadLength && !timedOut && !readError);
  state.ReadTotal = total;
  state.LineQuiet = timedOut;
}

}  // namespace

void PurgeLink(UpdaterState& state) {
  state.LinkStatus =
      static_cast<std::int32_t>(state.Driver.FT_Purge(state.LinkHandle, FT_PURGE_RX | FT_PURGE_TX));
}

void SendCommand(UpdaterState& state) {
  if (state.WriteLength < 0 || state.WriteLength > static_cast<std::int32_t>(state.CommandBuffer.size())) {
    state.LinkStatus = LinkStatusTransferFailed;
    return;
  }
  std::uint32_t written = 0;
  state.LineQuiet = false;
  state.ReadTotal = 0;
  state.LinkStatus = static_cast<std::int32_t>(state.Driver.FT_Write(
      state.LinkHandle, state.CommandBuffer.data(), static_cast<std::uint32_t>(state.WriteLength), &written));
  if (state.LinkStatus != 0) return;
  state.ReadLength = state.WriteLength;
  ReadEchoOf(state, state.CommandBuffer.data());
}

void ReadEchoOf(UpdaterState& state, const std::uint8_t* sent) {
  ReadReply(state);
  if (state.LinkStatus == 0 && !std::equal(sent, sent + state.ReadLength, state.ReplyBuffer.begin()))
    state.LinkStatus = LinkStatusTransferFailed;
}

void ReadReply(UpdaterState& state) {
  state.ReplyBuffer.fill(' ');
  state.ReadTotal = 0;
  if (state.ReadLength < 0 || state.ReadLength > static_cast<std::int32_t>(state.ReplyBuffer.size())) {
    state.LinkStatus = LinkStatusTransferFailed;
    return;
  }
  ReadExactly(state, state.ReplyBuffer.data(), ReadTarget::Reply);
}

void ReadPageBytes(UpdaterState& state) {
  const auto limit = static_cast<std::int32_t>(std::min(state.ReadBackBuffer.size(), PageBufferSize));
  state.ReadTotal = 0;
  if (state.ReadLength < 0 || state.ReadLength > limit) {
    state.LinkStatus = LinkStatusTransferFailed;
    return;
  }
  ReadExactly(state, state.ReadBackBuffer.data(), ReadTarget::Page);
}

void ReadPageData(UpdaterState& state) {
  state.ReadTotal = 0;
  if (state.ReadLength > static_cast<std::int32_t>(state.PageBuffer.size())) {
    state.LinkStatus = LinkStatusTransferFailed;
    return;
  }
  ReadPageBytes(state);
  if (state.LinkStatus != 0) return;
  if (!std::equal(state.ReadBackBuffer.begin(), state.ReadBackBuffer.begin() + state.ReadLength,
                  state.PageBuffer.begin())) {
    state.LinkStatus = LinkStatusTransferFailed;
  }
}

}  // namespace kelvo
