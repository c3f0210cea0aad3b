#pragma once

#include <cstdint>
#include <string>

namespace kelvo {

// Asks the desktop's RealtimeKit (org.freedesktop.RealtimeKit1 on the system
// bus, as audio servers do) to run thread `threadId` (the kernel's id) of
// this process at real-time priority `priority`. RealtimeKit grants it only
// to a process whose RLIMIT_RTTIME is bounded by its own limit, so that is set
// first (a real-time thread that spins past it gets SIGXCPU; ours waits in
// libusb). Returns "" once granted, otherwise why not; where there is no bus
// or no RealtimeKit it says so, and nothing else changes.
std::string MakeThreadRealtime(std::int64_t threadId, int priority);

}  // namespace kelvo
