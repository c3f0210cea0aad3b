#include "app/KernelLock.h"

namespace kelvo {

// Windows has no flock; QLockFile alone decides there, which lets one copy
// run and refuses, with a line that says why, a lock it cannot replace.
KernelLock::~KernelLock() = default;

KernelLock::Outcome KernelLock::Take(const QString&) { return Outcome::Unavailable; }

bool KernelLock::HeldElsewhere(const QString&) { return false; }

}  // namespace kelvo
