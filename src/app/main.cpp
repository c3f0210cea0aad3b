// kelvo-updater: programs a Kelvo board over its FTDI cable. No command line.
#include <QApplication>
#include <cstdlib>
#include <fstream>
#include <optional>

#include "app/FmStart.h"
#include "app/QtHost.h"
#include "app/QtResourceLoader.h"
#include "app/StartUp.h"
#include "core/UpdaterState.h"
#include "link/LibFtdiDriver.h"
#include "link/TracingDriver.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);

  kelvo::LibFtdiDriver cable;
  // KELVO_TRACE=FILE records every driver call, so a failure in the field
  // can be read and replayed; without it nothing is written.
  std::ofstream traceFile;
  std::optional<kelvo::TracingDriver> traced;
  if (const char* path = std::getenv("KELVO_TRACE"); path != nullptr && *path != '\0') {
    traceFile.open(path, std::ios::binary | std::ios::trunc);
    if (traceFile) {
      traced.emplace(cable, [&traceFile](const std::string& line) { traceFile << line << '\n' << std::flush; });
    }
  }
  kelvo::FtdiDriver& driver = traced ? static_cast<kelvo::FtdiDriver&>(*traced) : cable;

  kelvo::fmStart window;
  kelvo::QtHost host;
  kelvo::UpdaterState state(driver, window, host, kelvo::QtResourceLoader());
  kelvo::BindWindow(state);

  kelvo::Form_Load(state);
  // A refused start-up has already closed the window or ended the program.
  if (host.ProgramEnded() || !window.isVisible()) return 0;
  return app.exec();
}
