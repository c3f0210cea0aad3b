#include "update/FlashSequence.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/ImageLayout.h"
#include "core/Texts.h"
#include "core/UpdaterState.h"
#include "link/LinkResync.h"
#include "link/LinkTransfers.h"
#include "protocol/DeviceIdentification.h"
#include "protocol/PageCommands.h"
#include "update/RetryPolicy.h"

namespace kelvo {
namespace {

constexpr std::int32_t ImageHeaderBytes = ImageHeaderSize;
constexpr std::int32_t PageBytes = ImagePageSize;
// Pages 1 to 62; page 0 follows them and page 63 is never written.
constexpr std::int32_t AscendingPassInstructions = 31744;
constexpr std::int32_t AscendingPassPages = AscendingPassInstructions / InstructionsPerPage;
constexpr int ProgressMaximum = 63;

struct FailureMessages {
  const char* writeText;
  const char* verifyText;
  // The messages that say not to power the board off: the page it starts
  // from may be damaged.
  bool startPage;
};

constexpr FailureMessages AscendingPassMessages = {WriteFailureText, VerifyFailureText, false};
constexpr FailureMessages PageZeroMessages = {PageZeroWriteFailureText, PageZeroVerifyFailureText, true};

// The page's budget is spent. A last failure that the driver reported itself,
// rather than a timeout or a wrong answer, means the cable is gone: that is a
// USB failure, though the window shows the write or verify message.
void Fail(UpdaterState& state, const FailureMessages& messages, OutcomeKind kind) {
  const bool write = kind == OutcomeKind::WriteFailure;
  state.Ui.MessageBox(write ? messages.writeText : messages.verifyText,
                      write ? WriteFailureTitle : VerifyFailureTitle, MessageStyle{});
  state.OperationFailed = true;
  NoteFailure(state, 1);
  state.Outcome.startPageAtRisk = messages.startPage;
  RecordOutcome(state, state.LinkStatus == LinkStatusTransferFailed ? kind : OutcomeKind::UsbFailure);
}

// Before the next attempt nothing of a failed one may still be on its way:
// it would be read as part of that attempt and throw every later exchange on
// the page out of step.
void ResyncAfterFailure(UpdaterState& state, std::int32_t RetriesLeft) {
  NoteFailure(state, RetriesLeft);
  ResyncLink(state, FailuresAllowedPerPage - RetriesLeft <= LateAnswerWaitsPerPage);
}

// A page is written again only once the board has answered "GI" after the
// failed attempt. It answers only while it waits for a command and is not
// programming a page, so the retry's command is neither lost to a board still
// busy with an earlier page (one that drops what arrives meanwhile would then
// read the page's bytes as commands) nor taken for page data. Each probe that
// goes unanswered costs the page one failure; false when the budget runs out.
bool AwaitListeningBoard(UpdaterState& state, std::int32_t& RetriesLeft) {
  for (bool unanswered = false;; unanswered = true) {
    ProbeDevice(state);
    if (state.LinkStatus == 0) {
      // A board that kept the unanswered probes while it programmed answers
      // them all at once, and the answer read may have been one of them: the
      // rest must not meet the retry's command.
      if (unanswered) ResyncLink(state, true);
      return true;
    }
    if (--RetriesLeft == 0) return false;
    ResyncAfterFailure(state, RetriesLeft);
  }
}

// Reads the page back until it matches PageBuffer, drawing on the page's
// budget. Returns false, after the verify message, when the budget runs out.
bool VerifyPage(UpdaterState& state, std::int32_t& RetriesLeft, const FailureMessages& messages) {
  for (;;) {
    ReadVerifyPage(state);
    if (state.LinkStatus == 0) return true;
    if (--RetriesLeft == 0) {
      Fail(state, messages, OutcomeKind::VerifyFailure);
      return false;
    }
    ResyncAfterFailure(state, RetriesLeft);
  }
}

// Writes and verifies the page at `imageOffset` to FlashAddress. Writes, the
// probes between them and verify reads draw on one budget of failures; a
// failed write is retried from a fresh copy of the image, a failed verify by
// reading back again only.
// Returns false, after the message, when the budget runs out; `failures`
// grows by the failed transfers the page cost.
bool TransferPage(UpdaterState& state, std::int32_t imageOffset, const FailureMessages& messages,
                  std::int32_t& failures) {
  std::int32_t RetriesLeft = FailuresAllowedPerPage;
  const auto source = state.FirmwareImage.begin() + imageOffset;
  bool written = false;
  for (;;) {
    std::copy_n(source, PageBytes, state.PageBuffer.begin());
    WritePage(state);
    if (state.LinkStatus == 0) {
      written = true;
      break;
    }
    if (--RetriesLeft == 0) break;
    ResyncAfterFailure(state, RetriesLeft);
    if (!AwaitListeningBoard(state, RetriesLeft)) break;
  }
  if (!written) {
    Fail(state, messages, OutcomeKind::WriteFailure);
  }
  const bool verified = written && VerifyPage(state, RetriesLeft, messages);
  failures += FailuresAllowedPerPage - RetriesLeft;
  return verified;
}

// After a failed transfer the board may have been out of step with the PC: a
// purge can cut a command short on the wire, and the board then takes the
// next command's bytes for the rest of it, which can program a page that was
// already verified. Before such a flash may count as complete, every written
// page is read back once more against the image.
bool ConfirmWrittenPages(UpdaterState& state) {
  // Answers of the failed attempts that the board sent late may still be
  // coming.
  ResyncLink(state, true);
  for (std::int32_t page = 0; page <= AscendingPassPages; ++page) {
    std::copy_n(state.FirmwareImage.begin() + ImageHeaderBytes + page * PageBytes, PageBytes,
                state.PageBuffer.begin());
    state.FlashAddress = page * AddressUnitsPerPage;
    std::int32_t RetriesLeft = FailuresAllowedPerPage;
    if (!VerifyPage(state, RetriesLeft, PageZeroMessages)) return false;
  }
  return true;
}

}  // namespace

void FlashDevice(UpdaterState& state) {
  // The device check has loaded a whole image and start-up has sized the page
  // buffer; should either be short, nothing is sent rather than a partial page.
  if (state.FirmwareImage.size() < FirmwareImageSize || state.PageBuffer.size() < PageBufferSize) {
    state.LinkStatus = LinkStatusTransferFailed;
    state.OperationFailed = true;
    RecordOutcome(state, OutcomeKind::WriteFailure);
    return;
  }

  // Nothing may be started or aborted from the window while pages are being
  // written: the buttons go before events are first let through.
  state.Ui.SetButtonVisible(ButtonFlashDevice, false);
  state.Ui.SetButtonVisible(ButtonAbortFlash, false);
  state.Ui.SetProgressVisible(true);
  state.Ui.SetProgressValue(0);
  state.Ui.SetStatusText(FlashingText);
  PurgeLink(state);
  state.Ui.SetProgressMaximum(ProgressMaximum);
  state.PageInstructions = InstructionsPerPage;
  state.Ui.SetProgressValue(0);
  PurgeLink(state);

  std::int32_t imageOffset = ImageHeaderBytes + PageBytes;
  state.FlashAddress = AddressUnitsPerPage;

  // Page 0 goes last, once every other page is verified, so that a failure
  // anywhere before it leaves the board's start-up page as it was.
  // Counter value i carries page i + 1.
  std::int32_t failures = 0;
  std::int32_t counter = 0;
  for (; counter < AscendingPassPages; ++counter) {
    state.Ui.SetProgressValue(counter);
    state.Ui.PumpEvents();
    if (!TransferPage(state, imageOffset, AscendingPassMessages, failures)) return;
    imageOffset += PageBytes;
    state.FlashAddress += AddressUnitsPerPage;
  }

  state.Ui.SetProgressValue(counter);
  state.Ui.PumpEvents();
  imageOffset = ImageHeaderBytes;
  state.FlashAddress = 0;
  if (!TransferPage(state, imageOffset, PageZeroMessages, failures)) return;
  if (failures > 0 && !ConfirmWrittenPages(state)) return;
  RecordOutcome(state, OutcomeKind::Complete);
}

}  // namespace kelvo
