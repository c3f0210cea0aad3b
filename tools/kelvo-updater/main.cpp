// kelvo-updater: programs a Kelvo board over its FTDI cable. No command line.
#include <QApplication>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>

#include "app/FmStart.h"
#include "app/QtHost.h"
#include "resources/QtResourceLoader.h"
#include "flow/StartUp.h"
#include "flow/StartUpDiagnosis.h"
#include "core/UpdaterState.h"
#include "link/LibFtdiDriver.h"
#include "link/TracingDriver.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // Ties the window to its menu entry and icon where the window system asks
  // by desktop file (Wayland).
  QApplication::setDesktopFileName(QStringLiteral("example.kelvo.updater"));

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
  state.SampleFirmware = KELVO_SAMPLE_FIRMWARE != 0;
  kelvo::BindWindow(state);

  kelvo::Form_Load(state);
  // A refused start-up has already closed the window or ended the program;
  // a second copy has already said which lock refused it.
  if (host.ProgramEnded() || !window.isVisible()) {
    if (!host.InstanceRefused())
      std::cerr << "kelvo-updater: " << kelvo::StartUpRefusalLine(state, host.ProgramEnded(), cable) << std::endl;
    return 1;
  }
  return app.exec();
}
