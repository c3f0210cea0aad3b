#include "win32/Diagnostics.h"

#include <windows.h>

#include <chrono>
#include <cstdio>

#include "link/TraceJson.h"
#include "link/TracedCable.h"
#include "win32/Wide.h"

namespace kelvo::win32 {

void SayWhy(const std::string& line, TraceWriter* trace) {
  OutputDebugStringW((Widen(line) + L"\n").c_str());
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error != nullptr && error != INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  }
  if (trace != nullptr) {
    const auto ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - trace->Start());
    char at[48];
    std::snprintf(at, sizeof at, "%.3f", ms.count());
    trace->Write(std::string("{\"t\":") + at + ",\"diagnosis\":" + JsonString(line) + "}");
  }
}

}  // namespace kelvo::win32
