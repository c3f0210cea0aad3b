#pragma once

namespace kelvo {

struct UpdaterState;

// Brings the link back in step after a failed exchange: whatever still
// belongs to it (the rest of an echo, a page the board is still sending, an
// answer that came too late) is read and thrown away until the line has been
// quiet for a whole read timeout, so the next command's purge leaves none of
// it behind. When the failed exchange's last read already ended on a quiet
// timeout, waits once more only if `awaitLateAnswer`. A read call that fails
// (a cable that is gone) ends it at once. LinkStatus is left as it was.
void ResyncLink(UpdaterState& state, bool awaitLateAnswer);

}  // namespace kelvo
