#pragma once

#include <optional>
#include <utility>

#include "core/UpdaterState.h"
#include "support/FakeWindow.h"

namespace kelvo::test {

// A program that carries no resources at all.
inline ResourceLoader NoResources() {
  return [](std::string_view, int) { return std::optional<std::vector<std::uint8_t>>(); };
}

// The state record every routine takes, on a `Driver` of the test's choice and
// the fake window, which stands in for the host as well. The buffers have the
// sizes start-up gives them; a test hands over resources through
// `state.Resources`.
template <class Driver>
struct StateRig {
  template <class... DriverArgs>
  explicit StateRig(DriverArgs&&... driverArgs) : driver(std::forward<DriverArgs>(driverArgs)...) {
    SizeSharedBuffers(state);
  }
  StateRig(const StateRig&) = delete;
  StateRig& operator=(const StateRig&) = delete;

  Driver driver;
  FakeWindow window;
  UpdaterState state{driver, window, window, NoResources()};
};

}  // namespace kelvo::test
