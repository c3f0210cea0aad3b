#include "sim/SimClock.h"

#include <thread>

namespace kelvo::sim {

SimClock::SimClock(bool realtime) : realtime_(realtime), start_(std::chrono::steady_clock::now()) {}

Micros SimClock::Now() const {
  if (!realtime_) return virtualNow_;
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_)
      .count();
}

void SimClock::WaitUntil(Micros moment) {
  if (!realtime_) {
    if (moment > virtualNow_) virtualNow_ = moment;
    return;
  }
  // Some sleeps end early (mingw's under wine, by up to a millisecond): a
  // wait is over only once the clock says so.
  const auto due = start_ + std::chrono::microseconds(moment);
  while (std::chrono::steady_clock::now() < due) std::this_thread::sleep_until(due);
}

}  // namespace kelvo::sim
