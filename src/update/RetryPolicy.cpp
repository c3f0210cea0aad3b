#include "update/RetryPolicy.h"

#include <algorithm>

#include "core/ImageLayout.h"
#include "core/UpdaterState.h"

namespace kelvo {

void NoteFailure(UpdaterState& state, std::int32_t RetriesLeft) {
  OperationOutcome& outcome = state.Outcome;
  outcome.page = state.FlashAddress / AddressUnitsPerPage;
  outcome.attempt = FailuresAllowedPerPage - RetriesLeft + 1;
  const auto it = std::find_if(outcome.retries.begin(), outcome.retries.end(),
                               [&](const PageRetries& r) { return r.page == outcome.page; });
  if (it == outcome.retries.end()) {
    outcome.retries.push_back({outcome.page, 1});
  } else {
    ++it->failures;
  }
}

}  // namespace kelvo
