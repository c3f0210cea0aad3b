#pragma once

#include <QString>

namespace kelvo {

// An exclusive lock that the kernel keeps on a file for this process (flock)
// and drops when the process ends, however it ends: unlike a lock file's
// contents it is never left behind. Reading the file is all it needs, so a
// file this user cannot write serves as well.
class KernelLock {
 public:
  enum class Outcome { Taken, HeldElsewhere, Unavailable };

  KernelLock() = default;
  ~KernelLock();
  KernelLock(const KernelLock&) = delete;
  KernelLock& operator=(const KernelLock&) = delete;

  // Takes the lock on `path`, making the file when it is missing, and keeps it
  // while this object lives. The file is never removed: a process that opened
  // it a moment before would then hold a lock on a file nobody else sees.
  Outcome Take(const QString& path);

  // Whether a process holds the kernel lock on the existing file `path`;
  // false as well when the file cannot be opened.
  static bool HeldElsewhere(const QString& path);

 private:
  int fd_ = -1;
};

}  // namespace kelvo
