#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

namespace kelvo::test {

// The one QApplication of a test process, with a runtime directory of its own
// so the instance lock never meets a real updater's.
inline QApplication& QtTestApp() {
  static QTemporaryDir runtimeDir;
  static bool env = qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit());
  (void)env;
  static int argc = 1;
  static char name[] = "kelvo_app_tests";
  static char* argv[] = {name, nullptr};
  // Never destroyed: tearing Qt down among the exit handlers crashes in its
  // input-device registry, which is gone by then.
  static auto* app = new QApplication(argc, argv);
  return *app;
}

// Answers modal message boxes as soon as they are shown, after handing each
// to `inspect`: only the next one, or every one while `owner` lives.
inline void AnswerMessageBoxes(std::function<void(QMessageBox&)> inspect, QObject* owner = nullptr) {
  const bool onlyNext = owner == nullptr;
  auto* timer = new QTimer(onlyNext ? QCoreApplication::instance() : owner);
  timer->setInterval(1);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, inspect, onlyNext] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    if (onlyNext) {
      timer->stop();
      timer->deleteLater();
    }
    inspect(*box);
    box->accept();
  });
  timer->start();
}

}  // namespace kelvo::test
