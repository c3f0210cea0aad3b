#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/UpdaterState.h"
#include "link/LinkConnection.h"
#include "sim/SimLink.h"
#include "support/FakeWindow.h"

namespace kelvo::test {

// The updater's state record wired to a simulated cable and board, with the
// driver calls recorded as trace lines.
struct LinkRig {
  explicit LinkRig(sim::SimOptions options = {})
      : link(std::move(options)), state(link, window, window, [](std::string_view, int) {
          return std::optional<std::vector<std::uint8_t>>();
        }) {
    link.SetTraceSink([this](const std::string& line) { trace.push_back(line); });
    state.PageBuffer.assign(2049, 0);
    state.ReadBackBuffer.assign(2049, 0);
  }

  // Opens the link as start-up does, then forgets the calls and pumps that took.
  void OpenQuietly() {
    OpenLink(state);
    ASSERT_EQ(state.LinkStatus, 0);
    ASSERT_NE(state.LinkHandle, 0u);
    trace.clear();
    window.pumps = 0;
  }

  // The trace lines without their times, for comparing calls and values.
  std::vector<std::string> Calls() const {
    std::vector<std::string> calls;
    for (const std::string& line : trace) {
      const std::size_t callAt = line.find("\"call\"");
      calls.push_back("{" + line.substr(callAt));
    }
    return calls;
  }

  static std::string Blanks(std::size_t count) { return std::string(count, ' '); }

  // ReplyBuffer as text, for readable comparisons.
  std::string Reply(std::size_t count = TextBufferSize) const {
    return std::string(state.ReplyBuffer.begin(),
                       state.ReplyBuffer.begin() + static_cast<std::ptrdiff_t>(count));
  }

  sim::SimLink link;
  FakeWindow window;
  UpdaterState state;
  std::vector<std::string> trace;
};

inline std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace kelvo::test
