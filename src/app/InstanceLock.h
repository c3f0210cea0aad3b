#pragma once

#include <QString>
#include <memory>

class QLockFile;

namespace kelvo {

// Tells whether another copy of the same program is running, through a lock
// file that the first copy holds until it exits. The file lies in the user's
// own runtime directory, so another user cannot block us, and is named after
// the program, so different programs do not block each other. A lock counts
// only while its holder can be shown to be alive: a process of this program
// on this host, or one that still holds the file's kernel lock. Anything else
// (a crashed run, a file left empty by a crash while it was being written,
// unreadable content, another host's file) is taken over, so that a stale
// file never locks the operator out.
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

  // Why the start was refused, naming the lock file, for stderr; empty while
  // no other instance was found.
  QString RefusalLine() const;

 private:
  QString programName_;
  std::unique_ptr<QLockFile> lock_;
  bool asked_ = false;
  bool anotherRunning_ = false;
  qint64 holderPid_ = 0;
};

}  // namespace kelvo
