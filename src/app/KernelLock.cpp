#include "app/KernelLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>

namespace kelvo {
namespace {

int OpenForLocking(const QString& path, int flags) {
  int fd = -1;
  do {
    fd = ::open(QFile::encodeName(path).constData(), flags | O_RDONLY | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// 0 when taken, else the errno: EWOULDBLOCK while another process holds it.
int LockExclusively(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

KernelLock::~KernelLock() {
  if (fd_ >= 0) ::close(fd_);
}

KernelLock::Outcome KernelLock::Take(const QString& path) {
  if (fd_ >= 0) return Outcome::Taken;
  const int fd = OpenForLocking(path, O_CREAT);
  if (fd < 0) return Outcome::Unavailable;
  const int error = LockExclusively(fd);
  if (error == 0) {
    fd_ = fd;
    return Outcome::Taken;
  }
  ::close(fd);
  return error == EWOULDBLOCK ? Outcome::HeldElsewhere : Outcome::Unavailable;
}

bool KernelLock::HeldElsewhere(const QString& path) {
  const int fd = OpenForLocking(path, 0);
  if (fd < 0) return false;
  const bool held = LockExclusively(fd) == EWOULDBLOCK;
  // Closing drops the lock, if this took it.
  ::close(fd);
  return held;
}

}  // namespace kelvo
