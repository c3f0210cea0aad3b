#include "app/QtHost.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>
#include <iostream>

#include "app/InstanceLock.h"
#include "core/Texts.h"

namespace kelvo {

QtHost::QtHost() = default;

QtHost::~QtHost() = default;

bool QtHost::AnotherInstanceRunning() {
  if (instanceLock_) return instanceLock_->AnotherInstanceRunning();
  instanceLock_ = std::make_unique<InstanceLock>(QString::fromStdString(ProgramFileName()));
  const bool running = instanceLock_->AnotherInstanceRunning();
  // The box only says "already running"; stderr says which lock refused, so
  // that a stale one can be found.
  if (running) std::cerr << instanceLock_->RefusalLine().toStdString() << std::endl;
  // A lock left behind that start-up took over or had to leave in place.
  if (!running && !instanceLock_->NoticeLine().isEmpty())
    std::cerr << instanceLock_->NoticeLine().toStdString() << std::endl;
  instanceRefused_ = running;
  return running;
}

std::string QtHost::ProgramFileName() {
  return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString();
}

int QtHost::VersionMajor() { return KELVO_VERSION_MAJOR; }

int QtHost::VersionMinor() { return KELVO_VERSION_MINOR; }

std::string QtHost::ApplicationTitle() { return ApplicationTitleText; }

void QtHost::EndProgram() {
  programEnded_ = true;
  // Leaving a loop that does not run would instead make the next one (even a
  // message box's) return at once.
  if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::exit(0);
}

}  // namespace kelvo
