// One updater per user: the lock between separate processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QProcess>
#include <QFile>
#include <QProcessEnvironment>
#include <QSysInfo>
#include <QTemporaryDir>

#include "support/QtTestApp.h"
#include "app/InstanceLock.h"

namespace kelvo {
namespace {

class Instances : public ::testing::Test {
 protected:
  void SetUp() override {
    test::QtTestApp();
    ASSERT_TRUE(runtime.isValid());
  }

  // Starts a probe and returns once it has answered.
  std::string Probe(QProcess& process, const QTemporaryDir& dir, bool hold) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", dir.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(KELVO_INSTANCE_PROBE), hold ? QStringList{"--hold"} : QStringList{});
    if (!process.waitForStarted(10000)) return "not started";
    while (!process.canReadLine()) {
      if (!process.waitForReadyRead(10000)) return "no answer";
    }
    return process.readLine().trimmed().toStdString();
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
