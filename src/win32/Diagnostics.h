#pragma once

#include <string>

namespace kelvo {
class TraceWriter;
}

namespace kelvo::win32 {

// Says `line` (already prefixed with the program's name) where a Windows
// GUI program can be heard: the debugger's output (DebugView and kin), the
// standard error when the program was started with one (a console, a
// script), and `trace` as {"t":…,"diagnosis":…} when one is written.
void SayWhy(const std::string& line, TraceWriter* trace);

}  // namespace kelvo::win32
