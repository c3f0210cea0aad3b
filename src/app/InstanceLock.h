#pragma once

#include <QString>
#include <memory>

#include "app/KernelLock.h"

class QLockFile;

namespace kelvo {

// Tells whether another copy of the same program is running. The first copy
// holds its locks until it exits; they lie in the user's own runtime
// directory, so another user cannot block us, and are named after the
// program, so different programs do not block each other.
//
// Two locks, each for what it does well. The kernel lock ("<name>.flock")
// decides: the kernel drops it when its holder ends, however it ends, so it
// is never stale, and copies that ask at the same instant get exactly one
// answer "free". QLockFile's file ("<name>.lock") names the holder for a
// refused start, is the lock that earlier versions take, and is replaced by
// QLockFile when it shows the holder gone. No other lock file is ever
// deleted: one that names nobody may be one its maker has not finished
// writing. A file that stays (not writable by this user, empty, garbled,
// from another host) keeps nobody out while no process holds its own
// kernel lock; the notice line then says what was found.
class InstanceLock {
 public:
  // `programName`: the running program's file name without extension.
  explicit InstanceLock(QString programName);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // The first call tries to take the lock and keeps it when free; later calls
  // repeat that answer. A lock that cannot be made at all (no writable runtime
  // directory) counts as free: a broken directory must not lock the operator
  // out of the updater.
  bool AnotherInstanceRunning();

  // Where the lock lives, e.g. "$XDG_RUNTIME_DIR/kelvo-updater.lock"; empty
  // when there is no usable runtime directory.
  QString LockFilePath() const;

  // The file that carries the kernel lock, beside LockFilePath().
  QString KernelLockPath() const;

  // Why the start was refused, naming the lock file, for stderr; empty while
  // no other instance was found.
  QString RefusalLine() const { return refusal_; }

  // What this start found and did about a lock left behind, for stderr;
  // empty when there was none.
  QString NoticeLine() const { return notice_; }

 private:
  QString RuntimeFile(const QString& extension) const;
  bool Refuse(QString refusal);
  // Refuses, naming the holder: the process the lock file names when it is
  // alive on this host, else `unnamedHolder` and the lock it holds.
  bool RefuseHeld(const QString& unnamedHolder, const QString& heldLock);
  // What the lock file left behind says, for a notice; empty when there is none.
  QString FoundLockFile() const;

  QString programName_;
  KernelLock kernelLock_;
  std::unique_ptr<QLockFile> lock_;
  bool asked_ = false;
  bool anotherRunning_ = false;
  QString refusal_;
  QString notice_;
};

}  // namespace kelvo
