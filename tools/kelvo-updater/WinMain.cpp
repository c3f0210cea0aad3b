// kelvo-updater.exe: programs a Kelvo board over its FTDI cable, in a window
// on the Win32 API. No command line.
#include <windows.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "core/UpdaterState.h"
#include "flow/StartUp.h"
#include "flow/StartUpDiagnosis.h"
#include "link/TracedCable.h"
#include "resources/EmbeddedResources.h"
#include "win32/Diagnostics.h"
#include "win32/FlashKeepAlive.h"
#include "win32/FmStart.h"
#include "win32/Wide.h"
#include "win32/WinHost.h"

namespace {

// Bad input to the program itself (KELVO_TRACE), as the other programs
// refuse a bad command line.
constexpr int StatusRefused = 2;
// The program ended because of a failure: a refused start-up, or the cable
// failing the device check.
constexpr int StatusFailure = 1;

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  kelvo::win32::WinHost host;
  const std::string name = host.ProgramFileName();

  // KELVO_TRACE=FILE records every driver call, so a failure in the field
  // can be read and replayed; without it nothing is written. One that
  // cannot be written is refused before the cable is touched.
  std::optional<kelvo::TraceWriter> trace;
  if (const char* path = std::getenv("KELVO_TRACE"); path != nullptr && *path != '\0') {
    std::string error;
    if (!kelvo::IsWritableFile(path, &error)) {
      kelvo::win32::SayWhy(name + ": KELVO_TRACE: " + error, nullptr);
      return StatusRefused;
    }
    trace.emplace(path);
  }
  kelvo::TracedCable cable(trace ? &*trace : nullptr);

  kelvo::win32::fmStart window;
  kelvo::UpdaterState state(cable.Driver(), window, host, kelvo::EmbeddedResources());
  state.SampleFirmware = KELVO_SAMPLE_FIRMWARE != 0;
  kelvo::BindWindow(state);
  kelvo::win32::FlashKeepAlive keepAlive(state, window.Handle());

  kelvo::Form_Load(state);
  // A refused start-up has already closed the window or ended the program.
  if (host.ProgramEnded() || window.IsClosed()) {
    const std::string why = state.Outcome.kind == kelvo::OutcomeKind::AlreadyRunning
                                ? "not started: another copy is running and holds the mutex " +
                                      kelvo::win32::Narrow(kelvo::win32::WinHost::MutexName(name))
                                : kelvo::Diagnose(state, &cable.Cable()).line;
    if (!why.empty()) kelvo::win32::SayWhy(name + ": " + why, trace ? &*trace : nullptr);
    return StatusFailure;
  }

  MSG message;
  while (!window.IsClosed() && GetMessageW(&message, nullptr, 0, 0) > 0) window.Dispatch(message);
  // "USB Connection Failure!" closes the window itself; a close the user
  // asked for during the device check is carried out by the program too.
  const bool failed = window.ClosedByProgram() && state.Outcome.kind == kelvo::OutcomeKind::UsbFailure;
  return failed ? StatusFailure : 0;
}
