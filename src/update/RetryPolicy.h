#pragma once

#include <cstdint>

namespace kelvo {

struct UpdaterState;

// Failed transfers one page may cost an operation before it gives up on it.
inline constexpr std::int32_t FailuresAllowedPerPage = 50;
// A failed attempt whose last read already waited out the read timeout is
// followed by one more timeout's wait for an answer that comes late, but only
// for the first failures of a page: a board that has gone silent then costs a
// page at most 20 × 250 ms more than its 50 attempts (about 26 s in all).
inline constexpr std::int32_t LateAnswerWaitsPerPage = 20;

// Counts the failed transfer against the page at FlashAddress in the
// record's outcome, for the front ends, which show retries while they happen
// and count them afterwards. `RetriesLeft`: the page's budget after it.
void NoteFailure(UpdaterState& state, std::int32_t RetriesLeft);

}  // namespace kelvo
