#pragma once

#include <QString>
#include <memory>

class QLockFile;

namespace kelvo {

// Tells whether another copy of the same program is running, through a lock
// file that the first copy holds until it exits. The file lies in the user's
// own runtime directory, so another user cannot block us, and is named after
// the program, so different programs do not block each other. A lock left by
// a crashed run is recognised as stale and taken over.
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

 private:
  QString programName_;
  std::unique_ptr<QLockFile> lock_;
  bool asked_ = false;
  bool anotherRunning_ = false;
};

}  // namespace kelvo
