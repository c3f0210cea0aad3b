#include "app/InstanceLock.h"

#include <signal.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <cerrno>
#include <limits>

namespace kelvo {
namespace {

bool ProcessAlive(qint64 pid) {
  if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

InstanceLock::InstanceLock(QString programName) : programName_(std::move(programName)) {
  if (programName_.isEmpty()) programName_ = QStringLiteral("kelvo-updater");
}

InstanceLock::~InstanceLock() = default;

QString InstanceLock::LockFilePath() const { return RuntimeFile(QStringLiteral(".lock")); }

QString InstanceLock::KernelLockPath() const { return RuntimeFile(QStringLiteral(".flock")); }

QString InstanceLock::RuntimeFile(const QString& extension) const {
  const QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (dir.isEmpty()) return {};
  return QDir(dir).filePath(programName_ + extension);
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

  const KernelLock::Outcome kernel = kernelLock_.Take(KernelLockPath());
  if (kernel == KernelLock::Outcome::HeldElsewhere) {
    return RefuseHeld(QStringLiteral("not named in ") + path, KernelLockPath());
  }

  const QString found = FoundLockFile();  // before QLockFile replaces it
  if (lock_->tryLock(0)) {
    if (!found.isEmpty())
      notice_ = QStringLiteral("%1: took over the lock %2 %3").arg(programName_, path, found);
    return anotherRunning_ = false;
  }
  // No lock file can be made here at all: that must not lock the operator out.
  if (lock_->error() != QLockFile::LockFailedError) return anotherRunning_ = false;

  // The file stays: QLockFile finds its holder alive, cannot tell, or cannot
  // remove it. A copy of an earlier version, which takes no kernel lock of its
  // own, holds the file's, also while it has not written its details yet.
  if (KernelLock::HeldElsewhere(path)) {
    return RefuseHeld(QStringLiteral("a process that has not written its details yet"), path);
  }
  const QString stays =
      FoundLockFile() +
      (QFileInfo(path).isWritable() ? QString() : QStringLiteral(" (not writable by this user)"));
  if (kernel == KernelLock::Outcome::Unavailable) {
    return Refuse(
        QStringLiteral("the lock %1 %2 cannot be told from a running copy's without the kernel lock %3; "
                       "if no copy runs, remove it")
            .arg(path, stays, KernelLockPath()));
  }
  notice_ =
      QStringLiteral("%1: found the lock %2 %3 and left it as it is; this copy runs under the kernel lock %4")
          .arg(programName_, path, stays, KernelLockPath());
  return anotherRunning_ = false;
}

bool InstanceLock::Refuse(QString reason) {
  refusal_ = programName_ + QStringLiteral(": not started: ") + reason;
  return anotherRunning_ = true;
}

bool InstanceLock::RefuseHeld(const QString& unnamedHolder, const QString& heldLock) {
  qint64 pid = 0;
  QString host;
  QString application;
  if (lock_->getLockInfo(&pid, &host, &application) && host == QSysInfo::machineHostName() &&
      ProcessAlive(pid)) {
    return Refuse(QStringLiteral("another copy is running (process %1) and holds the lock %2")
                      .arg(pid)
                      .arg(LockFilePath()));
  }
  return Refuse(
      QStringLiteral("another copy is running (%1) and holds the lock %2").arg(unnamedHolder, heldLock));
}

QString InstanceLock::FoundLockFile() const {
  QFile file(lock_->fileName());
  if (!file.exists()) return {};
  if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("that this user cannot read");
  if (file.size() == 0) return QStringLiteral("that is empty");
  qint64 pid = 0;
  QString host;
  QString application;
  if (!lock_->getLockInfo(&pid, &host, &application)) return QStringLiteral("that names no process");
  if (host != QSysInfo::machineHostName()) return QStringLiteral("written on host %1").arg(host);
  return (ProcessAlive(pid) ? QStringLiteral("of process %1, which does not hold it")
                            : QStringLiteral("left by process %1, which has ended"))
      .arg(pid);
}

}  // namespace kelvo
