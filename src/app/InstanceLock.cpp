#include "app/InstanceLock.h"

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

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
  // its age.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) return anotherRunning_ = false;
  anotherRunning_ = lock_->error() == QLockFile::LockFailedError;
  return anotherRunning_;
}

}  // namespace kelvo
