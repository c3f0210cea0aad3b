#include "simulator/SimProgram.h"

#include <QApplication>
#include <QPushButton>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>

#include "app/FmStart.h"
#include "app/QtHost.h"
#include "app/SessionGuard.h"
#include "cmdline/CommandLine.h"
#include "core/UpdaterState.h"
#include "flow/ClickDispatch.h"
#include "flow/StartUp.h"
#include "flow/StartUpDiagnosis.h"
#include "link/TracedCable.h"
#include "resources/QtResourceLoader.h"
#include "sim/SimCommandLine.h"
#include "simulator/EventRecorder.h"

namespace kelvo::sim {
namespace {

constexpr int ExitNormal = 0;
constexpr int ExitBadCommandLine = 2;
constexpr int ExitButtonNotVisible = 3;
// --clicks could not be run: another copy was running, so no window came up.
constexpr int ExitClicksNotRun = 4;
// The flash could not be written to --dump-flash's file.
constexpr int ExitDumpFailed = 5;

ResourceLoader MakeResourceLoader(const SimCommandLine& line) {
  switch (line.resource) {
    case SimCommandLine::Resource::File:
      return [bytes = line.resourceBytes](std::string_view, int) { return std::optional(bytes); };
    case SimCommandLine::Resource::Missing:
      return [](std::string_view, int) { return std::optional<std::vector<std::uint8_t>>(); };
    case SimCommandLine::Resource::Embedded:
      break;
  }
  return QtResourceLoader();
}

// Clicks the real push button, so the click takes the same road as the
// user's: Qt's signal, the window's handler, the recorder, the dispatch.
void ClickButton(fmStart& window, int index) {
  for (QPushButton* button : window.findChildren<QPushButton*>()) {
    if (button->text() == QString::fromLatin1(ButtonCaptions[index])) {
      button->click();
      return;
    }
  }
}

bool OpenOutput(const std::optional<std::string>& path, std::ofstream& file, std::ostream*& out) {
  out = nullptr;
  if (!path) return true;
  if (*path == "-") {
    out = &std::cout;
    return true;
  }
  file.open(*path, std::ios::binary | std::ios::trunc);
  out = &file;
  return static_cast<bool>(file);
}

}  // namespace

int RunSimProgram(int argc, char** argv, bool sampleFirmware) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const std::optional<SimCommandLine> line = ParseSimCommandLine(args, &error);
  if (!line) {
    std::cerr << "kelvo-updater-sim: " << error << "\n";
    return ExitBadCommandLine;
  }
  if (line->answer) {
    std::cout << line->answer->text;
    return ExitNormal;
  }

  std::ofstream eventsFile;
  std::ofstream traceFile;
  std::ostream* events = nullptr;
  std::ostream* trace = nullptr;
  if (!OpenOutput(line->eventsFile, eventsFile, events)) {
    std::cerr << "kelvo-updater-sim: "
              << cmdline::OneLine("cannot write events file '" + *line->eventsFile + "'") << "\n";
    return ExitBadCommandLine;
  }
  if (!OpenOutput(line->traceFile, traceFile, trace)) {
    std::cerr << "kelvo-updater-sim: "
              << cmdline::OneLine("cannot write trace file '" + *line->traceFile + "'") << "\n";
    return ExitBadCommandLine;
  }

  // As the updater does: the guard takes the signals before Qt's threads.
  SessionGuard::TakeSignals();
  QApplication app(argc, argv);
  std::optional<TraceWriter> traceWriter;
  if (trace != nullptr) traceWriter.emplace(*trace);
  // The simulated link, or the real driver with every call traced (when
  // asked) as the product traces it.
  std::optional<SimLink> link;
  std::optional<TracedCable> cable;
  FtdiDriver* driver = nullptr;
  std::function<double()> nowMs;
  if (line->realDriver) {
    cable.emplace(traceWriter ? &*traceWriter : nullptr);
    driver = &cable->Driver();
    nowMs = [&cable] { return cable->NowMs(); };
  } else {
    link.emplace(line->link);
    if (traceWriter)
      link->SetTraceSink([&traceWriter](const std::string& traceLine) { traceWriter->Write(traceLine); });
    driver = &*link;
    nowMs = [&link] { return link->NowMs(); };
  }

  fmStart window;
  QtHost host;
  EventRecorder recorder(window, events, nowMs);
  UpdaterState state(*driver, recorder, host, MakeResourceLoader(*line));
  state.SampleFirmware = sampleFirmware && line->resource == SimCommandLine::Resource::Embedded;
  BindWindow(state);
  SessionGuard session(state);

  auto saveScreenshot = [&] {
    if (line->screenshotFile && !window.IsClosed())
      window.Screenshot().save(QString::fromStdString(*line->screenshotFile), "PNG");
  };
  bool closeAsked = false;
  bool secondFindSent = false;
  recorder.SetPumpHook([&] {
    if (line->closeDuringFlashPage && !closeAsked && state.Running == RunningOperation::Flash &&
        state.FlashAddress == *line->closeDuringFlashPage * AddressUnitsPerPage) {
      closeAsked = true;
      window.close();
    }
    if (line->doubleFind && !secondFindSent && state.Running == RunningOperation::DeviceCheck) {
      secondFindSent = true;
      ClickButton(window, ButtonFindDevice);
    }
  });
  recorder.SetAfterClickHook(saveScreenshot);

  Form_Load(state);
  const bool running = !window.IsClosed() && !host.ProgramEnded();
  // On the real driver, the same line the updater writes when it refuses to
  // start; the run itself still ends normally.
  if (!running && cable && !host.InstanceRefused())
    std::cerr << "kelvo-updater-sim: " << Diagnose(state, &cable->Cable()).line << std::endl;
  if (running) {
    recorder.WriteState();
    saveScreenshot();
  }

  int exitCode = ExitNormal;
  // A script's clicks that never ran must not pass for a run.
  if (line->clicks && host.InstanceRefused()) exitCode = ExitClicksNotRun;
  if (running && line->clicks) {
    for (const int index : *line->clicks) {
      if (window.IsClosed() || host.ProgramEnded() || session.EndStatus()) break;
      if (!recorder.ButtonVisible(index)) {
        recorder.WriteError(std::string("\"") + ButtonCaptions[index] + "\" is not visible");
        exitCode = ExitButtonNotVisible;
        break;
      }
      ClickButton(window, index);
    }
    if (!window.IsClosed()) window.close();
  } else if (running) {
    app.exec();
  }

  if (line->dumpFlashFile && link) {
    std::ofstream dump(*line->dumpFlashFile, std::ios::binary | std::ios::trunc);
    const auto& flash = link->Flash();
    dump.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
    dump.close();
    if (!dump) {
      std::cerr << "kelvo-updater-sim: " << cmdline::OneLine("cannot write '" + *line->dumpFlashFile + "'")
                << std::endl;
      if (exitCode == ExitNormal) exitCode = ExitDumpFailed;
    }
  }
  recorder.WriteExit(exitCode);
  return exitCode;
}

}  // namespace kelvo::sim
