// One updater per user: the lock between separate processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSysInfo>
#include <QTemporaryDir>
#include <array>
#include <vector>

#include "app/InstanceLock.h"
#include "support/QtTestApp.h"

namespace kelvo {
namespace {

// The unprivileged user root's probes become.
constexpr uid_t NobodyId = 65534;

class Instances : public ::testing::Test {
 protected:
  void SetUp() override {
    test::QtTestApp();
    ASSERT_TRUE(runtime.isValid());
  }

  // Starts a probe and returns its first line: its answer, or "ready".
  std::string Probe(QProcess& process, const QTemporaryDir& dir, bool hold, QStringList args = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", dir.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    if (hold) args << "--hold";
    process.start(QStringLiteral(KELVO_INSTANCE_PROBE), args + asUser);
    if (!process.waitForStarted(10000)) return "not started";
    return NextLine(process);
  }

  static std::string NextLine(QProcess& process) {
    while (!process.canReadLine()) {
      if (!process.waitForReadyRead(10000)) return "no answer";
    }
    return process.readLine().trimmed().toStdString();
  }

  // Starts three copies, lets them ask for the lock at the same instant, and
  // counts the ones that were let run.
  int OfThreeAtOnceRunning() {
    std::array<QProcess, 3> copies;
    for (QProcess& copy : copies) {
      if (Probe(copy, runtime, true, {"--ready"}) != "ready") return -1;
    }
    for (QProcess& copy : copies) copy.write("go\n");
    for (QProcess& copy : copies) copy.waitForBytesWritten(10000);
    int running = 0;
    for (QProcess& copy : copies) running += NextLine(copy) == "free" ? 1 : 0;
    for (QProcess& copy : copies) Release(copy);
    return running;
  }

  void LeaveLockFile(const QByteArray& contents) {
    QFile file(LockFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                file.write(contents) == contents.size());
  }

  std::string ProbeOnce(const QTemporaryDir& dir) {
    QProcess process;
    std::string answer = Probe(process, dir, false);
    process.waitForFinished(10000);
    lastStderr = process.readAllStandardError().toStdString();
    return answer;
  }

  QString LockFile() const { return runtime.path() + "/kelvo_instance_probe.lock"; }

  static void Release(QProcess& holder) {
    holder.closeWriteChannel();
    holder.waitForFinished(10000);
  }

  QTemporaryDir runtime;
  std::string lastStderr;
  // Probes give up root's rights for these, to meet a file as its user would.
  QStringList asUser;
};

TEST_F(Instances, SecondProcessIsRefusedUntilTheFirstEnds) {
  QProcess first;
  ASSERT_EQ(Probe(first, runtime, true), "free");
  EXPECT_EQ(ProbeOnce(runtime), "running");
  EXPECT_THAT(lastStderr, ::testing::HasSubstr(LockFile().toStdString()));
  // A holder that has not written its details yet still holds the file.
  QFile(LockFile()).open(QIODevice::WriteOnly | QIODevice::Truncate);
  EXPECT_EQ(ProbeOnce(runtime), "running");
  Release(first);
  EXPECT_EQ(ProbeOnce(runtime), "free");
  EXPECT_EQ(lastStderr, "");
}

// Lock files that nobody alive can be shown to hold: left empty by a crash,
// garbled, written on another host, or by a process that is gone.
TEST_F(Instances, ALockNoLiveHolderCanBeShownToHoldIsTakenOver) {
  const QByteArray host = QSysInfo::machineHostName().toUtf8();
  for (const QByteArray& contents : {QByteArray(), QByteArray("\xff\xfe\x01garbage"),
                                     QByteArray("4242\nkelvo_instance_probe\nanother-host.example\n"),
                                     "2147483646\nkelvo_instance_probe\n" + host + "\n"}) {
    QFile file(LockFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size() && file.flush());
    QProcess holder;
    EXPECT_EQ(Probe(holder, runtime, true), "free") << contents.toStdString();
    EXPECT_EQ(ProbeOnce(runtime), "running") << contents.toStdString();
    Release(holder);
  }
}

TEST_F(Instances, LockOfACrashedRunIsTakenOver) {
  QProcess first;
  ASSERT_EQ(Probe(first, runtime, true), "free");
  first.kill();
  first.waitForFinished(10000);
  EXPECT_EQ(ProbeOnce(runtime), "free");
}

// Copies started together: of three that ask at the same instant exactly one
// runs, with no lock file, a lock of a run that has ended, or an empty one.
TEST_F(Instances, OfThreeCopiesAskingAtOnceExactlyOneRuns) {
  const QByteArray ended = "2147483646\nkelvo_instance_probe\n" + QSysInfo::machineHostName().toUtf8() + "\n";
  for (int trial = 0; trial < 6; ++trial) {
    QFile::remove(LockFile());
    EXPECT_EQ(OfThreeAtOnceRunning(), 1) << "no lock file, trial " << trial;
    LeaveLockFile(ended);
    EXPECT_EQ(OfThreeAtOnceRunning(), 1) << "ended run's lock, trial " << trial;
    LeaveLockFile({});
    EXPECT_EQ(OfThreeAtOnceRunning(), 1) << "empty lock file, trial " << trial;
  }
}

// A lock of a run that has ended which this user cannot write: a read-only
// file of their own, or root's file in their runtime directory. It stays as it
// is, and yet one copy runs at a time. Root can write any file, so as root the
// probes run as an unprivileged user whose runtime directory this is.
TEST_F(Instances, AnEndedRunsLockThisUserCannotWriteStaysAndOneCopyRuns) {
  const bool root = geteuid() == 0;
  const uid_t user = root ? NobodyId : geteuid();
  const gid_t group = root ? NobodyId : getegid();
  if (root) {
    asUser = {"--as-user", QString::number(user)};
    ASSERT_EQ(chown(QFile::encodeName(runtime.path()).constData(), user, group), 0);
  }
  const QByteArray ended = "2147483646\nkelvo_instance_probe\n" + QSysInfo::machineHostName().toUtf8() + "\n";
  for (const uid_t owner : root ? std::vector<uid_t>{user, 0} : std::vector<uid_t>{user}) {
    const std::string who = owner == 0 ? "root's file" : "own read-only file";
    LeaveLockFile(ended);
    ASSERT_EQ(chown(QFile::encodeName(LockFile()).constData(), owner, owner == 0 ? 0 : group), 0);
    ASSERT_TRUE(QFile::setPermissions(
        LockFile(), owner == 0 ? QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther : QFile::ReadOwner));
    QProcess first;
    EXPECT_EQ(Probe(first, runtime, true), "free") << who;
    EXPECT_EQ(ProbeOnce(runtime), "running") << who;
    EXPECT_THAT(lastStderr, ::testing::HasSubstr(LockFile().toStdString())) << who;
    Release(first);
    EXPECT_EQ(ProbeOnce(runtime), "free") << who;
    // Says what it found, and leaves it.
    EXPECT_THAT(lastStderr, ::testing::HasSubstr("process 2147483646")) << who;
    QFile file(LockFile());
    EXPECT_TRUE(file.open(QIODevice::ReadOnly) && file.readAll() == ended) << who;
    for (int trial = 0; trial < 3; ++trial) {
      EXPECT_EQ(OfThreeAtOnceRunning(), 1) << who << ", trial " << trial;
    }
  }
}

// Without the kernel lock (its file is root's, unreadable) QLockFile alone
// decides: it still lets one copy run, but a lock left behind that it cannot
// replace refuses the start, and the line says how to end that.
TEST_F(Instances, WithoutTheKernelLockALeftLockRefusesAndSaysWhy) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can leave a file its user cannot read";
  asUser = {"--as-user", QString::number(NobodyId)};
  ASSERT_EQ(chown(QFile::encodeName(runtime.path()).constData(), NobodyId, NobodyId), 0);
  QFile kernelLock(runtime.path() + "/kelvo_instance_probe.flock");
  ASSERT_TRUE(kernelLock.open(QIODevice::WriteOnly) && kernelLock.setPermissions(QFile::ReadOwner));
  QProcess first;
  EXPECT_EQ(Probe(first, runtime, true), "free");
  EXPECT_EQ(ProbeOnce(runtime), "running");
  Release(first);
  LeaveLockFile("2147483646\nkelvo_instance_probe\n" + QSysInfo::machineHostName().toUtf8() + "\n");
  EXPECT_EQ(ProbeOnce(runtime), "running");
  EXPECT_THAT(lastStderr, ::testing::HasSubstr("if no copy runs, remove it"));
}

TEST_F(Instances, AnotherUsersRunDoesNotBlock) {
  QTemporaryDir otherUser;
  QProcess first;
  ASSERT_EQ(Probe(first, otherUser, true), "free");
  EXPECT_EQ(ProbeOnce(runtime), "free");
  Release(first);
}

TEST_F(Instances, OnlyTheSameProgramBlocks) {
  QProcess first;
  ASSERT_EQ(Probe(first, runtime, true), "free");

  const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
  qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  {
    InstanceLock other(QStringLiteral("some-other-program"));
    EXPECT_FALSE(other.AnotherInstanceRunning());
    InstanceLock same(QStringLiteral("kelvo_instance_probe"));
    EXPECT_TRUE(same.AnotherInstanceRunning());
    // The answer holds for the whole run.
    EXPECT_TRUE(same.AnotherInstanceRunning());
  }
  qputenv("XDG_RUNTIME_DIR", saved);
  Release(first);
}

TEST_F(Instances, UnusableRuntimeDirectoryDoesNotLockTheOperatorOut) {
  const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
  qputenv("XDG_RUNTIME_DIR", (runtime.path() + "/missing/deeper").toLocal8Bit());
  InstanceLock lock(QStringLiteral("kelvo-updater"));
  EXPECT_FALSE(lock.AnotherInstanceRunning());
  qputenv("XDG_RUNTIME_DIR", saved);
}

}  // namespace
}  // namespace kelvo
