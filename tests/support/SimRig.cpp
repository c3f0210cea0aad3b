#include "support/SimRig.h"

#include <algorithm>
#include <stdexcept>

#include "link/LinkConnection.h"

namespace kelvo::test {

SimRig::SimRig(sim::SimOptions options) : StateRig(std::move(options)) {
  link.SetTraceSink([this](const std::string& line) { trace.push_back(line); });
}

bool SimRig::OpenQuietly() {
  OpenLink(state);
  trace.clear();
  window.pumps = 0;
  return state.LinkStatus == 0 && state.LinkHandle != 0;
}

std::vector<std::string> SimRig::Calls() const {
  std::vector<std::string> calls;
  for (const std::string& line : trace) calls.push_back("{" + line.substr(line.find("\"call\"")));
  return calls;
}

int SimRig::Count(const std::string& text) const {
  return static_cast<int>(std::count_if(
      trace.begin(), trace.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

std::string SimRig::Reply(std::size_t count) const {
  return std::string(state.ReplyBuffer.begin(),
                     state.ReplyBuffer.begin() + static_cast<std::ptrdiff_t>(count));
}

sim::SimOptions WithFaults(const std::vector<std::string>& specs, sim::SimOptions options) {
  for (const std::string& spec : specs) {
    std::string error;
    const std::optional<sim::Fault> fault = sim::ParseFault(spec, &error);
    if (!fault) throw std::invalid_argument(spec + ": " + error);
    options.faults.push_back(*fault);
  }
  return options;
}

}  // namespace kelvo::test
