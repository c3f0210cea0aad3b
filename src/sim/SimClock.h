#pragma once

#include <chrono>
#include <cstdint>

namespace kelvo::sim {

// Microseconds since the clock was made. The wire's byte time (80 µs) is a
// whole number of them, so the model never accumulates rounding.
using Micros = std::int64_t;

// The simulation's one notion of time. Virtual: time stands still until a
// wait moves it, and a wait returns at once. Real: steady_clock, and a wait
// sleeps until the moment has come.
class SimClock {
 public:
  explicit SimClock(bool realtime);

  Micros Now() const;
  // Returns once `moment` has come; never earlier.
  void WaitUntil(Micros moment);

 private:
  bool realtime_;
  std::chrono::steady_clock::time_point start_;
  Micros virtualNow_ = 0;
};

}  // namespace kelvo::sim
