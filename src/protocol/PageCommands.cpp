#include "protocol/PageCommands.h"

#include <array>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/ImageLayout.h"
#include "core/UpdaterState.h"
#include "link/LinkTransfers.h"
#include "protocol/CommandBuffer.h"

namespace kelvo {
namespace {

constexpr std::int32_t PageDataBytes = ImagePageSize;
constexpr std::int32_t OkReplyLength = 2;
// The address field carries 24 bits.
constexpr std::int32_t HighestAddress = 0xFFFFFF;

struct AddressField {
  std::uint8_t a2;
  std::uint8_t a1;
  std::uint8_t a0;
};

// Most significant byte first. Every page address the board has is below
// 0x10000, so A2 is 0 in practice; larger addresses still go out as 24 bits
// rather than being cut down to another page's address.
AddressField MakeAddressField(std::int32_t address) {
  return {static_cast<std::uint8_t>(address / 65536), static_cast<std::uint8_t>(address / 256 % 256),
          static_cast<std::uint8_t>(address % 256)};
}

bool AddressFits(std::int32_t address) { return address >= 0 && address <= HighestAddress; }

}  // namespace

const std::array<std::uint8_t, PageFillerBytes>& PageFiller() {
  // 0xFF starts no command ("GI", "WF", "RF"); erased flash holds it too.
  static const std::array<std::uint8_t, PageFillerBytes> filler = [] {
    std::array<std::uint8_t, PageFillerBytes> bytes{};
    bytes.fill(0xFF);
    return bytes;
  }();
  return filler;
}

namespace {

void SendPageData(UpdaterState& state) {
  state.WriteLength = PageDataBytes;
  std::uint32_t written = 0;  // not examined: the echo shows what went out
  state.LineQuiet = false;
  state.LinkStatus = static_cast<std::int32_t>(state.Driver.FT_Write(
      state.LinkHandle, state.PageBuffer.data(), static_cast<std::uint32_t>(PageDataBytes), &written));
}

// After an attempt whose command went out but whose page did not come back
// whole on the echo, the board may be waiting for the rest of the page, and
// would take the retry's command and page for it: a shifted page, and the
// page's last bytes read as a command. A page's worth of bytes that start no
// command fills whatever it still waits for (a page the retry writes again),
// and a board that waits for a command passes over them. Their echo and the
// board's answer are left for the resynchronisation after the failed attempt.
void ReleasePageWait(UpdaterState& state) {
  const std::array<std::uint8_t, PageFillerBytes>& filler = PageFiller();
  const std::int32_t failed = state.LinkStatus;
  std::uint32_t written = 0;
  state.LineQuiet = false;
  state.Driver.FT_Write(state.LinkHandle, filler.data(), static_cast<std::uint32_t>(filler.size()), &written);
  state.LinkStatus = failed;
}

// How many of the command's first bytes the board holds after a command
// echo that failed. The board echoes what it received, in order, so the
// echo's tail that begins the command is what the command left there:
// stale bytes ahead of it, if any, came from earlier exchanges. The whole
// command when its echo came back whole.
std::int32_t CommandBytesHeld(const UpdaterState& state) {
  const std::int32_t received = state.ReadTotal;
  const auto echo = state.ReplyBuffer.begin();
  const auto command = state.CommandBuffer.begin();
  if (received == state.WriteLength && std::equal(command, command + received, echo)) return received;
  for (std::int32_t held = std::min(received, state.WriteLength - 1); held > 0; --held) {
    if (std::equal(command, command + held, echo + (received - held))) return held;
  }
  return 0;
}

// After a command cut short on the line the board holds its first bytes and
// takes whatever comes next for the rest of its address: the filler's 0xFF
// would make that another page's address (0xF8FF runs into page 63). The
// command's own remaining bytes complete it for the page the retry rewrites,
// and the filler then becomes that page's data.
void CompleteCutCommand(UpdaterState& state) {
  const std::int32_t held = CommandBytesHeld(state);
  if (held == 0 || held >= state.WriteLength) return;
  std::uint32_t written = 0;
  state.LineQuiet = false;
  state.Driver.FT_Write(state.LinkHandle, state.CommandBuffer.data() + held,
                        static_cast<std::uint32_t>(state.WriteLength - held), &written);
}

}  // namespace

void WritePage(UpdaterState& state) {
  // Without a whole page to send, nothing may reach the board: a short page
  // would leave the board waiting for data that never comes.
  if (state.PageBuffer.size() < static_cast<std::size_t>(PageDataBytes) || !AddressFits(state.FlashAddress)) {
    state.LinkStatus = LinkStatusTransferFailed;
    return;
  }

  // The purge clears whatever an earlier, failed exchange left on the link.
  // A purge that fails shows up through the command that follows, if at all.
  PurgeLink(state);

  const AddressField address = MakeAddressField(state.FlashAddress);
  PlaceCommand(state, {'W', 'F', address.a2, address.a1, address.a0});
  state.ReadLength = 0;  // SendCommand sets it to the echo's length once the command is out
  SendCommand(state);
  // Without the whole echo nothing says the command reached the board: a
  // board still waiting for a command would read the page's bytes as
  // commands, and they may name any page. What the echo shows of the command
  // is what the board holds of it.
  const bool commandOut = state.ReadLength == state.WriteLength;
  if (state.LinkStatus != 0) {
    if (commandOut) {
      CompleteCutCommand(state);
      ReleasePageWait(state);
    }
    return;
  }

  SendPageData(state);
  if (state.LinkStatus != 0) {
    ReleasePageWait(state);
    return;
  }

  state.ReadLength = PageDataBytes;
  ReadEchoOf(state, state.PageBuffer.data());
  if (state.LinkStatus != 0) {
    ReleasePageWait(state);
    return;
  }

  // A short or failed answer leaves blanks where "OK" should be, so the
  // comparison below catches it without testing the read's own status.
  state.ReadLength = OkReplyLength;
  ReadReply(state);
  if (state.ReplyBuffer[0] != 'O' || state.ReplyBuffer[1] != 'K') state.LinkStatus = LinkStatusTransferFailed;
}

namespace {

// Purges the link and sends "RF" for the page at FlashAddress; false, with
// LinkStatus set, when the command could not be sent whole or the page would
// not fit the buffers the caller reads it into or the count field.
bool RequestPage(UpdaterState& state, std::size_t room) {
  const std::int32_t instructions = state.PageInstructions;
  if (instructions < 0 || instructions > static_cast<std::int32_t>(PageBufferSize) / BytesPerInstruction ||
      static_cast<std::size_t>(instructions * BytesPerInstruction) > room ||
      !AddressFits(state.FlashAddress)) {
    state.LinkStatus = LinkStatusTransferFailed;
    return false;
  }

  PurgeLink(state);

  const AddressField address = MakeAddressField(state.FlashAddress);
  const auto c1 = static_cast<std::uint8_t>(instructions / 256);
  const auto c0 = static_cast<std::uint8_t>(instructions - 256 * c1);
  PlaceCommand(state, {'R', 'F', address.a2, address.a1, address.a0, c1, c0});
  SendCommand(state);
  if (state.LinkStatus != 0) return false;
  state.ReadLength = instructions * BytesPerInstruction;
  return true;
}

}  // namespace

void ReadVerifyPage(UpdaterState& state) {
  // Refuse before touching the link when the page would not fit the buffers
  // the comparison uses or the count field.
  if (RequestPage(state, std::min(state.PageBuffer.size(), state.ReadBackBuffer.size()))) ReadPageData(state);
}

void ReadPage(UpdaterState& state) {
  if (RequestPage(state, state.ReadBackBuffer.size())) ReadPageBytes(state);
}

}  // namespace kelvo
