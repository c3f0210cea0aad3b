#pragma once

#include <string>
#include <vector>

#include "sim/SimLink.h"
#include "support/StateRig.h"

namespace kelvo::test {

// The state record on the simulated cable and board, with the driver calls
// kept as trace lines.
struct SimRig : StateRig<sim::SimLink> {
  explicit SimRig(sim::SimOptions options = {});

  // Opens the link as start-up does, then forgets the calls and pumps that
  // took; false when the link did not open.
  bool OpenQuietly();
  // The trace lines without their times, for comparing calls and values.
  std::vector<std::string> Calls() const;
  // How many trace lines contain `text`.
  int Count(const std::string& text) const;
  // ReplyBuffer as text, for readable comparisons.
  std::string Reply(std::size_t count = TextBufferSize) const;
  static std::string Blanks(std::size_t count) { return std::string(count, ' '); }

  sim::SimLink& link = driver;
  std::vector<std::string> trace;
};

// `options` with the faults added, each written as the simulator program takes
// it; a spec it does not take throws.
sim::SimOptions WithFaults(const std::vector<std::string>& specs, sim::SimOptions options = {});

inline std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace kelvo::test
