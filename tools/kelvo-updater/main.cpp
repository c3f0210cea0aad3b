// kelvo-updater: programs a Kelvo board over its FTDI cable. No command line.
#include <QApplication>
#include <QByteArrayView>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "app/FmStart.h"
#include "app/QtHost.h"
#include "app/SessionGuard.h"
#include "core/UpdaterState.h"
#include "flow/StartUp.h"
#include "flow/StartUpDiagnosis.h"
#include "link/TracedCable.h"
#include "resources/EmbeddedResources.h"
#include "session/RealtimeKit.h"

namespace {

// Bad input to the program itself (KELVO_TRACE), as the other programs
// refuse a bad command line.
constexpr int StatusRefused = 2;
// The program ended because of a failure: a refused start-up, or the cable
// failing the device check.
constexpr int StatusFailure = 1;

// Qt ends a program that reaches no window system with its platform plugins'
// complaints, a fatal message and an abort. While the application starts,
// the updater says so in one line instead and ends as on any failure.
void EndWithoutDisplay(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg) {
    // The platform plugins' complaints lead up to the fatal message.
    if (QByteArrayView(context.category).startsWith("qt.qpa")) return;
    std::cerr << qPrintable(qFormatLogMessage(type, context, message)) << std::endl;
    return;
  }
  auto setting = [](const char* variable) {
    const char* value = std::getenv(variable);
    return std::string(variable) + (value != nullptr && *value != '\0' ? "=" + std::string(value) : " unset");
  };
  std::cerr << "kelvo-updater: no display to show the window on (" << setting("DISPLAY") << ", "
            << setting("WAYLAND_DISPLAY") << ", " << setting("QT_QPA_PLATFORM") << ")" << std::endl;
  std::_Exit(StatusFailure);
}

}  // namespace

int main(int argc, char** argv) {
  // Before Qt starts any thread, so that all of them leave the signals to
  // the session guard.
  kelvo::SessionGuard::TakeSignals();
  const QtMessageHandler qtMessages = qInstallMessageHandler(EndWithoutDisplay);
  QApplication app(argc, argv);
  qInstallMessageHandler(qtMessages);
  // Ties the window to its menu entry and icon where the window system asks
  // by desktop file (Wayland).
  QApplication::setDesktopFileName(QStringLiteral("example.kelvo.updater"));

  // KELVO_TRACE=FILE records every driver call, so a failure in the field
  // can be read and replayed; without it nothing is written. One that
  // cannot be written is refused before the cable is touched.
  std::optional<kelvo::TraceWriter> trace;
  if (const char* path = std::getenv("KELVO_TRACE"); path != nullptr && *path != '\0') {
    std::string error;
    if (!kelvo::IsWritableFile(path, &error)) {
      std::cerr << "kelvo-updater: KELVO_TRACE: " << error << std::endl;
      return StatusRefused;
    }
    trace.emplace(path);
  }
  kelvo::TracedCable cable(trace ? &*trace : nullptr);
  // The cable's receive thread asks RealtimeKit where the program may not
  // take real-time priority itself; without either it says so once.
  cable.Cable().AskForRealtimeWith(kelvo::MakeThreadRealtime);

  kelvo::fmStart window;
  kelvo::QtHost host;
  kelvo::UpdaterState state(cable.Driver(), window, host, kelvo::EmbeddedResources());
  state.SampleFirmware = KELVO_SAMPLE_FIRMWARE != 0;
  kelvo::BindWindow(state);
  kelvo::SessionGuard session(state);

  kelvo::Form_Load(state);
  // A refused start-up has already closed the window or ended the program;
  // a second copy has already said which lock refused it.
  if (host.ProgramEnded() || !window.isVisible()) {
    const kelvo::Diagnosis why = kelvo::Diagnose(state, &cable.Cable());
    if (!why.line.empty()) std::cerr << "kelvo-updater: " << why.line << std::endl;
    return StatusFailure;
  }
  if (const kelvo::ReceivePriority priority = cable.Cable().ReceiveThreadPriority(state.LinkHandle);
      state.LinkHandle != 0 && !priority.realTime) {
    std::cerr << "kelvo-updater: the cable is read at ordinary priority (" << priority.refused
              << "): on a busy machine pages may need retries" << std::endl;
  }
  const int status = app.exec();
  if (session.EndStatus()) return *session.EndStatus();
  // "USB Connection Failure!" closes the window itself; a close the user
  // asked for during the device check is carried out by the program too.
  const bool failed = window.ClosedByProgram() && state.Outcome.kind == kelvo::OutcomeKind::UsbFailure;
  return failed ? StatusFailure : status;
}
