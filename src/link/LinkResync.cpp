#include "link/LinkResync.h"

#include "core/UpdaterState.h"

namespace kelvo {
namespace {

// Each call returns within one read timeout, so a board that never falls
// silent costs at most this many timeouts (1 s), enough for three pages'
// worth of stray bytes.
constexpr int MostDrainCalls = 4;

}  // namespace

void ResyncLink(UpdaterState& state, bool awaitLateAnswer) {
  if (state.LineQuiet && !awaitLateAnswer) return;
  for (int call = 0; call < MostDrainCalls; ++call) {
    std::uint32_t delivered = 0;
    const FT_STATUS status =
        state.Driver.FT_Read(state.LinkHandle, state.ReplyBuffer.data(),
                             static_cast<std::uint32_t>(state.ReplyBuffer.size()), &delivered);
    if (status != FT_OK) return;
    state.Ui.PumpEvents();
    if (delivered == 0) {
      state.LineQuiet = true;
      return;
    }
  }
}

}  // namespace kelvo
