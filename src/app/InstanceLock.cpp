#include "app/InstanceLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>

namespace kelvo {

InstanceLock::InstanceLock(QString programName) : programName_(std::move(programName)) {
  if (programName_.isEmpty()) programName_ = QStringLiteral("kelvo-updater");
}

InstanceLock::~InstanceLock() = default;

QString InstanceLock::LockFilePath() const {
  const QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (dir.isEmpty()) return {};
  return QDir(dir).filePath(programName_ + QStringLiteral(".lock"));
}

bool InstanceLock::AnotherInstanceRunning() {
  if (asked_) return anotherRunning_;
  asked_ = true;
  const QString path = LockFilePath();
  if (path.isEmpty()) return anotherRunning_ = false;
  lock_ = std::make_unique<QLockFile>(path);
  // The holder may run for hours; only a dead holder makes a lock stale, never
  // its age. With this, QLockFile itself takes over a lock of a process that
  // is gone from this host.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) return anotherRunning_ = false;
  if (lock_->error() != QLockFile::LockFailedError) return anotherRunning_ = false;

  // QLockFile refused: its holder runs here, or the file says nothing
  // QLockFile can check.
  QString host;
  QString application;
  if (lock_->getLockInfo(&holderPid_, &host, &application) && host == QSysInfo::machineHostName())
    return anotherRunning_ = true;
  holderPid_ = 0;
  // Removing fails while a live holder keeps its kernel lock on the file (it
  // may not have written its details yet); a file that cannot even be opened
  // holds no such lock for anyone.
  if (!lock_->removeStaleLockFile() && !QFileInfo(path).isWritable()) QFile::remove(path);
  if (lock_->tryLock(0)) return anotherRunning_ = false;
  anotherRunning_ = lock_->error() == QLockFile::LockFailedError;
  return anotherRunning_;
}

QString InstanceLock::RefusalLine() const {
  if (!anotherRunning_) return {};
  const QString holder =
      holderPid_ > 0 ? QStringLiteral("process %1").arg(holderPid_) : QStringLiteral("a process that has not written its details yet");
  return QStringLiteral("%1: not started: another copy is running (%2) and holds the lock %3")
      .arg(programName_, holder, LockFilePath());
}

}  // namespace kelvo
