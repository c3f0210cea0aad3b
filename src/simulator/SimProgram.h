#pragma once

namespace kelvo::sim {

// The updater on a simulated board: the same window and routines, driven by
// the simulator's command line. `sampleFirmware`: the embedded image is the
// build's sample, which the title then says. Returns the process exit status.
int RunSimProgram(int argc, char** argv, bool sampleFirmware);

}  // namespace kelvo::sim
