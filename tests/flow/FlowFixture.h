#pragma once

#include "flow/StartUp.h"
#include "support/SampleResource.h"
#include "support/SimRig.h"

namespace kelvo::test {

// The whole program on a simulated board: the recording window, the sim
// cable and one state record, started as the program starts.
struct Flow : SimRig {
  explicit Flow(sim::SimOptions options = {}, ResourceLoader resources = ResourceOf(ScrambledSample()))
      : SimRig(std::move(options)) {
    state.Resources = std::move(resources);
    BindWindow(state);
  }

  void Start() { Form_Load(state); }
  int IdentifyCommands() const { return Count("\"FT_Write\",\"args\":[\"4749\",2]"); }
};

}  // namespace kelvo::test
