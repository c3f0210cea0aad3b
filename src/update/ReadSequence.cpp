#include "update/ReadSequence.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/ImageLayout.h"
#include "core/Texts.h"
#include "core/UpdaterState.h"
#include "link/LinkResync.h"
#include "protocol/PageCommands.h"
#include "update/RetryPolicy.h"

namespace kelvo {
namespace {

// The pages a flash writes; page 63 never is.
constexpr int VerifiedPages = 63;
constexpr int AllPages = ImagePageCount;

// Reads the page at FlashAddress whole into ReadBackBuffer, drawing failed
// reads on the page's budget; false once the budget is spent.
bool ReadWholePage(UpdaterState& state) {
  std::int32_t RetriesLeft = FailuresAllowedPerPage;
  for (;;) {
    ReadPage(state);
    if (state.LinkStatus == 0) return true;
    if (--RetriesLeft == 0) {
      NoteFailure(state, 1);
      return false;
    }
    NoteFailure(state, RetriesLeft);
    // The rest of a page the board is still sending must not be taken for
    // the start of the next attempt's.
    ResyncLink(state, FailuresAllowedPerPage - RetriesLeft <= LateAnswerWaitsPerPage);
  }
}

void End(UpdaterState& state, OutcomeKind kind) {
  state.OperationFailed = kind != OutcomeKind::Matches && kind != OutcomeKind::ReadComplete;
  RecordOutcome(state, kind);
}

// A page that could not be read: the cable is gone when the driver itself
// reported the last failure, as in a flash.
void EndUnread(UpdaterState& state) {
  End(state,
      state.LinkStatus == LinkStatusTransferFailed ? OutcomeKind::ReadFailure : OutcomeKind::UsbFailure);
}

// Reads pages 0 to `pages` − 1 in ascending order, handing each to `take`
// with its number while the bar shows the progress; false when a page could
// not be read.
template <typename Take>
bool ReadPages(UpdaterState& state, int pages, const char* status, Take take) {
  state.Outcome.readOnly = true;
  if (state.ReadBackBuffer.size() < ImagePageSize) {
    state.LinkStatus = LinkStatusTransferFailed;
    return false;
  }
  state.Ui.SetProgressVisible(true);
  state.Ui.SetStatusText(status);
  state.Ui.SetProgressMaximum(pages);
  state.PageInstructions = InstructionsPerPage;
  for (int page = 0; page < pages; ++page) {
    state.Ui.SetProgressValue(page);
    state.Ui.PumpEvents();
    state.FlashAddress = page * AddressUnitsPerPage;
    if (!ReadWholePage(state)) return false;
    take(page);
  }
  state.Ui.SetProgressValue(pages);
  return true;
}

}  // namespace

void VerifyDevice(UpdaterState& state) {
  std::vector<int>& differing = state.Outcome.differingPages;
  differing.clear();
  // A short image would be compared with bytes that are not there.
  const bool imageWhole = state.FirmwareImage.size() >= FirmwareImageSize;
  if (!imageWhole) state.LinkStatus = LinkStatusTransferFailed;
  if (!imageWhole || !ReadPages(state, VerifiedPages, VerifyingText, [&](int page) {
        const auto image = state.FirmwareImage.begin() + static_cast<std::ptrdiff_t>(ImagePageOffset(page));
        if (!std::equal(image, image + ImagePageSize, state.ReadBackBuffer.begin()))
          differing.push_back(page);
      })) {
    EndUnread(state);
    return;
  }
  End(state, differing.empty() ? OutcomeKind::Matches : OutcomeKind::Differs);
}

void ReadDevice(UpdaterState& state) {
  state.BoardFlash.assign(ImagePageCount * ImagePageSize, 0);
  if (!ReadPages(state, AllPages, ReadingText, [&](int page) {
        std::copy_n(state.ReadBackBuffer.begin(), ImagePageSize,
                    state.BoardFlash.begin() + static_cast<std::ptrdiff_t>(page * ImagePageSize));
      })) {
    // Never a part of the flash for the whole of it.
    state.BoardFlash.clear();
    EndUnread(state);
    return;
  }
  End(state, OutcomeKind::ReadComplete);
}

}  // namespace kelvo
