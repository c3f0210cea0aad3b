#pragma once

namespace kelvo::sim {

// The updater on a simulated board: the same window and routines, driven by
// the simulator's command line. Returns the process exit status.
int RunSimProgram(int argc, char** argv);

}  // namespace kelvo::sim
